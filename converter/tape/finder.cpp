#include "converter/tape/finder.hpp"

#include <algorithm>

#include "converter/decoder/cursor.hpp"
#include "converter/decoder/edge_scanner.hpp"
#include "converter/decoder/reader.hpp"
#include "converter/decoder/timing.hpp"
#include "gtp/gtp.hpp"

namespace sonokas::tape {

namespace {

// How far an interval may lie from its place in the rhythm: a fifth of speed error or wow
// within one byte still reads, and noise edges hardly ever fall into every window of a byte.
constexpr double kTolerance = 0.25;

struct Range {
    double low = 0;
    double high = 0;
    bool Holds(double samples) const { return samples >= low && samples <= high; }
};

Range Around(double seconds, std::int32_t rate) {
    const double samples = seconds * rate;
    return {samples * (1 - kTolerance), samples * (1 + kTolerance)};
}

// Reads bytes from the intervals between edges, as the tape lays them out: a 0 bit one slot,
// a 1 bit two halves, the eighth bit in the last slot. Any other interval breaks the byte.
struct ByteReader {
    Range half, slotRest, slot, last, lastRest;
    int bit = 0;
    bool inHalf = false;
    unsigned value = 0;
    std::int32_t start = 0;      // just past the byte's first edge
    std::int32_t startFrom = 0;  // just past the edge before it: a scan from here finds `start`

    enum Step { going, done, broken };

    void Begin(std::int32_t edge, std::int32_t before) {
        bit = 0;
        inHalf = false;
        value = 0;
        start = edge;
        startFrom = before;
    }

    Step Take(double interval) {
        const bool eighth = bit == 7;
        if (inHalf) {
            if (!(eighth ? lastRest : slotRest).Holds(interval)) return broken;
            inHalf = false;
            value |= 1u << bit;
        } else if (half.Holds(interval)) {
            inHalf = true;
            return going;
        } else if (!(eighth ? last : slot).Holds(interval)) {
            return broken;
        }
        return ++bit == 8 ? done : going;
    }
};

// Reads a byte as the timing decoder does (a first interval up to the short interval makes a
// 1 and takes one more edge; the eighth bit must end with the pause), and takes it only when
// it lasted a byte period: the byte after a regular one, in a record the conditioning left
// with a stray or a missing edge that the strict reading refuses.
struct ChainedReader {
    bool active = false;
    int bit = 0;
    bool second = false;
    bool one = false;  // the byte has a 1 bit
    std::int32_t start = 0;

    void Begin(std::int32_t edge) {
        active = true;
        bit = 0;
        second = false;
        one = false;
        start = edge;
    }

    // True when the byte ended at `edge` within its time; a broken byte leaves it inactive.
    bool Take(const decoder::Reader& r, std::int32_t edge, double interval, std::int64_t bytePeriod) {
        const decoder::DecoderTiming& timing = r.timing;
        const double rate = r.cursor.sampleRate;
        if (!second && static_cast<float>(interval / rate) <= timing.shortInterval) {
            second = true;
            one = true;
            return false;
        }
        second = false;
        if (bit == 7 && interval / rate - timing.pauseAllowance < timing.minimumEnd) {
            active = false;
            return false;
        }
        if (++bit < 8) return false;
        active = false;
        const double length = static_cast<double>(edge - start);
        return length >= 0.9 * static_cast<double>(bytePeriod) && length <= 1.1 * static_cast<double>(bytePeriod);
    }
};

ByteReader MakeReader(const decoder::Reader& r) {
    const decoder::DecoderTiming& timing = r.timing;
    const std::int32_t rate = r.cursor.sampleRate;
    const double slot = timing.slotLength;
    const double middle = slot * timing.pulseAt;
    const double last = timing.lastSlotLength;
    ByteReader reader;
    reader.half = Around(middle, rate);
    reader.slotRest = Around(slot - middle, rate);
    reader.slot = Around(slot, rate);
    reader.last = Around(last, rate);
    reader.lastRest = Around(last - middle, rate);
    return reader;
}

// The record's stretch goes on half a byte period past its signal: a decoder that fell a byte
// behind reads the last byte as it would at the end of the recording, and no further byte.
std::int32_t AfterSignal(const decoder::Reader& r, std::int32_t signalEnd, std::int32_t count) {
    return static_cast<std::int32_t>(std::min<std::int64_t>(count, signalEnd + BytePeriodSamples(r) / 2));
}

// A place from which a new search sees what this one sees from here on: just past the last
// edge when the byte under way began afresh there, or, once the signal has been quiet for
// longer than any interval of a byte, the last sample at which no edge's swing was under way.
std::int32_t QuietPlace(const decoder::Reader& r, std::int32_t count) {
    std::int32_t p = count;
    const std::int8_t* s = r.track.samples;
    auto swinging = [&](std::int32_t k) { return r.reverseDirection ? s[k - 1] > s[k - 2] : s[k - 1] < s[k - 2]; };
    while (p >= 2 && swinging(p)) --p;
    return p;
}

}  // namespace

std::int64_t BytePeriodSamples(const decoder::Reader& r) {
    if (r.cursor.sampleRate <= 0) return 0;
    const double seconds = 7.0 * r.timing.slotLength + r.timing.lastSlotLength;
    return static_cast<std::int64_t>(std::clamp(seconds * r.cursor.sampleRate, 0.0, 1.0e12));
}

std::int64_t BytePeriodSamples() { return BytePeriodSamples(decoder::reader); }

RecordBounds FindRecord(std::int32_t from, std::int32_t leadBy) {
    decoder::TakeSettings(decoder::reader);
    return FindRecord(decoder::reader, from, leadBy);
}

RecordBounds FindRecord(decoder::Reader& r, std::int32_t from, std::int32_t leadBy) {
    RecordSearch search(r, from, leadBy);
    return search.Run(r);
}

struct RecordSearch::State {
    std::int32_t from;
    std::int32_t leadBy;
    std::int32_t before;          // just past the last edge taken
    std::int32_t lastRegularEnd = 0;
    int zeros = 0;
    bool started = false;
    bool leadOnly = false;        // every regular byte since the lead-in was found is a zero byte
    RecordBounds bounds;
    ByteReader reader;
    ChainedReader chained;
};

RecordSearch::RecordSearch(const decoder::Reader& r, std::int32_t from, std::int32_t leadBy)
    : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.from = std::max(from, 0);
    s.leadBy = leadBy;
    s.before = s.from;
    s.bounds.resume = s.from;
    s.reader = MakeReader(r);
}

RecordSearch::RecordSearch(RecordSearch&&) noexcept = default;
RecordSearch& RecordSearch::operator=(RecordSearch&&) noexcept = default;
RecordSearch::~RecordSearch() = default;

RecordBounds RecordSearch::Run(decoder::Reader& r, bool whole, std::int32_t settled) {
    decoder::DecoderCursor& cursor = r.cursor;
    decoder::SampleTrack& track = r.track;
    State& s = *state_;
    ByteReader& reader = s.reader;
    ChainedReader& chained = s.chained;
    RecordBounds& bounds = s.bounds;
    const std::int32_t count = std::max<std::int32_t>(track.sampleCount, 0);
    if (cursor.sampleRate <= 0 || s.from >= count) {
        RecordBounds none;
        none.scanned = none.lookedTo = count;
        none.resume = std::min(s.from, count);
        return none;
    }
    // While the lead-in is searched for, the track ends where a lead-in begun by `leadBy`
    // has shown itself; the whole track is back as soon as the lead-in is found.
    struct CountGuard {
        decoder::SampleTrack& track;
        std::int32_t full;
        ~CountGuard() { track.sampleCount = full; }
    } guard{track, track.sampleCount};
    if (s.leadBy >= 0 && !bounds.found) {
        const std::int64_t window = (kLeadInBytes + 2) * BytePeriodSamples(r);
        track.sampleCount = static_cast<std::int32_t>(std::min<std::int64_t>(count, std::int64_t{s.leadBy} + window));
    }
    // On from the last edge: the edge scanner needs no more than its place and the sample before it.
    cursor.position = s.before;
    cursor.previousSample = s.before > 0 ? track.samples[s.before - 1] : 0;
    cursor.lastBoundary = s.before;

    const std::int64_t bytePeriod = BytePeriodSamples(r);
    int& zeros = s.zeros;
    std::int32_t& before = s.before;
    std::int32_t& lastRegularEnd = s.lastRegularEnd;
    // A stretch without one regular byte may be damage (a dropout, a codec's smeared frame), not
    // the record's end. The record goes on when regular bytes come after it, unless those are
    // zero bytes after a pause (the next record's lead-in) where the record had more than its
    // lead-in; a lead-in's length of it ends the record all the same. Inside the lead-in, more
    // zero bytes are the lead-in going on.
    const std::int64_t pause = kPauseBytes * bytePeriod;
    const std::int64_t longest = kLeadInBytes * bytePeriod;
    auto endedAtPause = [&](std::int32_t lookedTo) {
        RecordBounds result = bounds;
        result.signalEnd = lastRegularEnd;
        result.extentEnd = result.scanned = AfterSignal(r, lastRegularEnd, count);
        result.endedByPause = true;
        result.lookedTo = lookedTo;
        return result;
    };
    // The lead-in found, with its last byte ending at `edge`: the whole track is back.
    auto found = [&](std::int32_t edge) {
        bounds.found = true;
        track.sampleCount = count;
        lastRegularEnd = edge;
        chained.Begin(edge);
    };
    // A byte begun afresh at `edge` with no zero byte counted: a new search from `before` goes on alike.
    auto begin = [&](std::int32_t edge) {
        reader.Begin(edge, before);
        if (zeros == 0 && !bounds.found) bounds.resume = before;
    };
    while (decoder::NextEdge(r) == 1) {
        const std::int32_t edge = cursor.position;
        // Its swing may go on past the samples there are, or its samples may still change.
        if (!whole && (edge == count || (settled >= 0 && edge >= settled))) break;
        if (edgeLog != nullptr) edgeLog->push_back(edge);
        if (bounds.found && static_cast<std::int64_t>(edge) - lastRegularEnd > longest) {
            // A pause: the record's signal ended with its last regular byte.
            return endedAtPause(edge);
        }
        const double interval = static_cast<double>(edge - before);
        if (chained.active && chained.Take(r, edge, interval, bytePeriod)) {
            // The byte after a regular one took its time and ended with the pause: the chain goes on.
            if (chained.one) s.leadOnly = false;
            lastRegularEnd = edge;
            chained.Begin(edge);
            reader.Begin(edge, before);
        } else if (!s.started) {
            begin(edge);
            s.started = true;
        } else {
            switch (reader.Take(interval)) {
                case ByteReader::going: break;
                case ByteReader::done:
                    if (bounds.found) {
                        if (!s.leadOnly && reader.value == 0 && reader.start - lastRegularEnd > pause) {
                            return endedAtPause(edge);  // the next record's lead-in after a pause
                        }
                        if (reader.value != 0) s.leadOnly = false;
                        lastRegularEnd = edge;
                        chained.Begin(edge);
                    } else if (reader.value != 0) {
                        if (s.leadBy >= 0 && zeros >= kSyncedLeadInBytes && reader.value == gtp::kSyncByte) {
                            found(edge);  // a short lead-in, and the record's sync byte after it
                        }
                        zeros = 0;
                    } else {
                        if (zeros++ == 0) {
                            bounds.begin = reader.startFrom;
                            bounds.leadStart = reader.start;
                        }
                        if (zeros == kLeadInBytes) {
                            found(edge);
                            s.leadOnly = true;
                        }
                    }
                    begin(edge);
                    break;
                case ByteReader::broken:
                    if (!bounds.found) zeros = 0;
                    begin(edge);
                    break;
            }
        }
        before = edge;
    }
    RecordBounds result = bounds;
    if (bounds.found) {
        // The recording ended. When it ends amid the signal (within a byte's intervals of the
        // last edge, and within a pause of the last regular byte), the record runs to its end.
        const double longestInByte = reader.last.high;
        const bool cutInside = static_cast<std::int64_t>(count) - lastRegularEnd <= pause &&
                               static_cast<double>(count - before) <= longestInByte;
        result.signalEnd = lastRegularEnd;
        result.extentEnd = cutInside ? count : AfterSignal(r, lastRegularEnd, count);
        result.scanned = result.extentEnd;
        // Where the recording ends, a pause ends the record; where more may come, only a pause
        // that nothing later can undo does.
        const std::int64_t decided = whole && !s.leadOnly ? pause : longest;
        if (static_cast<std::int64_t>(count) - lastRegularEnd > decided) {
            result.endedByPause = true;
            result.lookedTo = static_cast<std::int32_t>(lastRegularEnd + decided + 1);
            return result;
        }
    } else {
        result.scanned = track.sampleCount;
        if (zeros == 0 && static_cast<double>(track.sampleCount - before) > reader.last.high) {
            // Whatever edge comes next breaks the byte under way and begins one afresh.
            result.resume = std::max(result.resume, QuietPlace(r, track.sampleCount));
        }
    }
    result.lookedTo = track.sampleCount;
    return result;
}

}  // namespace sonokas::tape
