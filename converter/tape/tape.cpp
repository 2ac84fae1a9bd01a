#include "converter/tape/tape.hpp"

#include <algorithm>
#include <numeric>
#include <cstdio>
#include <cmath>
#include <cstring>
#include <future>
#include <memory>
#include <optional>

#include "converter/decoder/cursor.hpp"
#include "converter/decoder/edge_scanner.hpp"
#include "converter/decoder/reader.hpp"
#include "converter/merge/merge.hpp"
#include "converter/output/record.hpp"
#include "converter/output/tape_image.hpp"
#include "converter/settings.hpp"
#include "converter/signal/calibration.hpp"
#include "converter/tape/attempts.hpp"
#include "converter/tape/finder.hpp"
#include "converter/tape/window.hpp"
#include "converter/report/report_text.hpp"
#include "converter/tape/whole_record.hpp"
#include "gtp/gtp.hpp"
#include "gtp/stdio_file.hpp"

namespace sonokas::tape {

TapeLog tapeLog;

namespace {

using report::Format;

unsigned Word(const std::vector<std::uint8_t>& payload, std::size_t offset) {
    return static_cast<unsigned>(gtp::ReadLittleEndian(payload, offset, 2));
}

Verdict Judge(const RecordAttempt& best) {
    if (best.header) {
        if (best.checksumUnknown) return Verdict::checksumUnknown;
        return best.outcome == output::AttemptOutcome::good ? Verdict::good : Verdict::checksumWrong;
    }
    if (best.report.sync != gtp::kSyncByte) return Verdict::wrongSync;
    if (best.report.early || best.outcome == output::AttemptOutcome::noLead) return Verdict::endedEarly;
    return best.outcome == output::AttemptOutcome::good ? Verdict::good : Verdict::checksumWrong;
}

// Writes a record: one standard block in the tape's file, or a numbered raw file of its own
// (the data bytes without the checksum and trailing byte). Flushed at once: a run that is
// stopped keeps every record written.
void WriteRecord(std::FILE* tapeFile, const TapeEntry& entry) {
    const std::vector<std::uint8_t>& payload = entry.payload;
    if (settings.binaryOutput) {
        gtp::File file = gtp::OpenFile(NumberedPath(settings.outputPath.view(), entry.number).c_str(), "wb");
        constexpr std::size_t kBeforeData = 5;  // sync and address bytes
        if (file && payload.size() > kBeforeData + 2) {
            std::fwrite(payload.data() + kBeforeData, 1, payload.size() - kBeforeData - 2, file.get());
        }
        return;
    }
    if (entry.number == 1) {
        output::WriteNameBlock(tapeFile);
    }
    output::WriteStandardBlock(tapeFile, payload);
    if (tapeFile != nullptr) std::fflush(tapeFile);
}

}  // namespace

int VerdictRank(Verdict verdict) {
    switch (verdict) {
        case Verdict::good: return 3;
        case Verdict::checksumWrong:
        case Verdict::checksumUnknown: return 2;
        default: return 1;
    }
}

int DoubtfulBytes(const TapeEntry& entry) { return decoder::DoubtfulBytes(entry.confidence); }

const char* VerdictText(Verdict verdict) {
    switch (verdict) {
        case Verdict::good: return "good";
        case Verdict::checksumWrong: return "checksum wrong";
        case Verdict::endedEarly: return "ended early";
        case Verdict::wrongSync: return "wrong sync";
        case Verdict::checksumUnknown: return "checksum not known";
    }
    return "";
}

void WriteTape(const std::vector<TapeEntry>& entries) {
    gtp::File tapeFile;
    if (!settings.binaryOutput) tapeFile = gtp::OpenFile(settings.outputPath.c_str(), "wb");
    for (const TapeEntry& entry : entries) WriteRecord(tapeFile.get(), entry);
}

TapeEntry EntryOf(const RecordAttempt& best, int number, std::int64_t leadStart, std::int64_t signalEnd,
                  const signal::Calibration* calibration) {
    TapeEntry entry;
    entry.number = number;
    entry.leadStart = leadStart;
    entry.payload = ImagePayload(best.image, best.report);
    entry.header = best.header;
    entry.signalEnd = signalEnd;
    entry.tried = best.tried;
    entry.notes = best.notes;
    entry.confidence = best.confidence;
    entry.confidence.resize(entry.payload.size(), 0.0f);
    entry.byteStarts = best.byteStarts;
    entry.stated = best.stated;
    if (calibration != nullptr && !calibration->documented) {
        const signal::LeadIn& lead = calibration->lead;
        entry.speed = signal::SpeedPercent(*calibration);
        // The lead-in is measured at 16 bits: full scale is 128 of the decoders' 8-bit steps.
        entry.levelDb = 20 * std::log10(std::max(lead.amplitude, 0.5) / (128 * signal::kDecoderStep));
        entry.snrDb = 20 * std::log10(std::max(lead.amplitude, 0.5) / std::max(lead.noise, 0.25));
        entry.channel = signal::ChannelText(*calibration);
    }
    entry.verdict = Judge(best);
    for (const TapeEntry& earlier : tapeLog.entries) {
        if (earlier.payload == entry.payload) {
            entry.copyOf = earlier.number;
            break;
        }
    }
    return entry;
}

namespace {

// Good, and not by a sum that bytes in doubt could make up for.
bool SurelyGood(const TapeEntry& entry) { return entry.verdict == Verdict::good && DoubtfulBytes(entry) < 2; }

// A record read: its summary entry, which holds what is written.
struct ReadRecord {
    TapeEntry entry;
    bool clearUpToTheEnd = false;  // cut by the recording's end, every byte before read clearly
};

// Reads the record within `bounds` with `first` as its first reading (indices of its track,
// whose first sample is the recording's `offset`); the lines go to `log`.
ReadRecord Record(const RecordBounds& bounds, decoder::Reader first, signal::Calibration* calibration,
                  std::int64_t offset, std::string& log, bool cutByEnd, const std::vector<std::int32_t>* edges = nullptr,
                  std::int32_t edgesFrom = 0) {
    ReadRecord read;
    TapeEntry& entry = read.entry;
    entry.number = static_cast<int>(tapeLog.entries.size()) + 1;
    entry.leadStart = offset + bounds.leadStart;
    first.log = &log;
    decoder::Say(first, "\nRecord %i at %s\n", entry.number, TimeText(entry.leadStart).c_str());
    if (calibration != nullptr) {
        signal::PrintCalibration(*calibration, first);
    }

    // The decoders see the record's stretch as the whole recording.
    first.track.sampleCount = std::min(first.track.sampleCount, bounds.extentEnd);
    first.origin = offset;
    first.edges = edges;
    first.edgesFrom = edgesFrom;
    int attempts = 0;
    const RecordAttempt best = AttemptRecord(first, calibration, bounds.begin, attempts, bounds.signalEnd, cutByEnd);
    if (calibration != nullptr && best.outcome == output::AttemptOutcome::good) SayKept(first, best, attempts);
    read.clearUpToTheEnd = cutByEnd && ClearUpToTheEnd(best);

    // Without a known signal end (-1), the stretch's end.
    entry = EntryOf(best, entry.number, entry.leadStart, offset + (bounds.signalEnd >= 0 ? bounds.signalEnd : bounds.extentEnd),
                    calibration);
    return read;
}

// A record found, its end sure: how it is read (indices of its readers' tracks).
struct Found {
    RecordBounds bounds;
    decoder::Reader first;               // its first reading
    bool calibrated = false;             // read as the calibration says (else as without /auto)
    bool documented = false;             // with /auto, found where no lead-in of regular pulses is
    std::vector<std::int32_t> edges;     // the edges its search passed, when its first reading reads them
    bool edgesHold = false;
    std::int32_t before = 0;             // where its search began
    std::int32_t lead = 0;               // where its lead-in begins
    std::int32_t looked = 0;             // the furthest sample its search read
    // Only a lead-in was found, followed by no reading's regular bytes: it is a record when a
    // reading of it is surely good; else the search goes on from `moveTo` (a recording's sample).
    bool provisional = false;
    std::int64_t moveTo = 0;
};

// True when the record read as `first` says more than read as `second`: a better verdict; of two
// alike, more of the record read, then fewer bytes in doubt, then bytes decided more clearly.
bool Outdone(const TapeEntry& first, const TapeEntry& second) {
    if (VerdictRank(first.verdict) != VerdictRank(second.verdict)) return VerdictRank(first.verdict) > VerdictRank(second.verdict);
    if (first.payload.size() != second.payload.size()) return first.payload.size() > second.payload.size();
    if (DoubtfulBytes(first) != DoubtfulBytes(second)) return DoubtfulBytes(first) < DoubtfulBytes(second);
    const auto clarity = [](const TapeEntry& e) { return std::accumulate(e.confidence.begin(), e.confidence.end(), 0.0); };
    return clarity(first) > clarity(second);
}

// What one turn of the record loop came to.
struct Turn {
    enum Kind { found, moveOn, needMore, done } kind = done;
    Found record;
    std::int64_t horizon = 0;   // moveOn: the furthest sample the turn depended on
    bool anew = false;          // needMore: the next turn searches anew, not on from here
};

// A found record read: the summary entry and image, where the search goes on (an index of the
// readers' tracks), and whether that is not sure yet (a search read too near the samples' end;
// then `needTo`, when set, is the recording's sample the window should reach first).
struct Reading {
    ReadRecord read;
    std::int32_t next = 0;
    bool undecided = false;
    std::int64_t needTo = 0;
    bool none = false;  // a provisional record that is none: nothing to print or write
};

// Where the stretch that readings cut short say the record has ends (an index of `first`'s
// track), for a record not read good, or a provisional one read good on a lead-in's length;
// 0 for none. The stretch stops short where the signal pauses or the next lead-in begins; -1
// when the samples there are do not reach that far yet (then `needTo` is how far they should).
std::int32_t DeclaredEnd(const Found& found, const TapeEntry& entry, const decoder::Reader& first,
                         const signal::Calibration& calibration, std::int64_t offset, std::int32_t count, bool whole,
                         std::int64_t& needTo) {
    const double period = calibration.bytePeriod * first.cursor.sampleRate;
    StatedLength stated = entry.stated;
    if (entry.verdict == Verdict::good) {
        // Only a lead-in was found: the record read good on the lead-in's length after it may
        // reach its end, where the trailing byte (no part of the sum) needs its stretch too.
        if (!found.provisional || entry.header || entry.byteStarts.empty()) return 0;
        stated = {merge::RecordLength(merge::RecordKey(entry.payload)), entry.byteStarts[0], 2};
    }
    const std::size_t length = stated.length;
    if (length == 0 || length > output::kImageSize || !(period >= 1)) return 0;
    // The bytes' time as the lead-in measured it, and 5 % for the speed drifting since.
    const double syncAt = static_cast<double>(stated.from - offset);
    const auto declared = static_cast<std::int64_t>(syncAt + (static_cast<double>(length) * 1.05 + 0.5) * period);
    const std::int32_t from = found.bounds.extentEnd;
    auto end = static_cast<std::int32_t>(std::min<std::int64_t>(declared, count));
    if (end <= from) return 0;
    // The next record's lead-in ends the stretch: with the addresses misread, its bytes are not this record's.
    decoder::Reader scan = first;
    scan.track.sampleCount = end;
    const RecordBounds next = FindRecord(scan, from);
    if (next.found) end = std::min(end, next.begin);
    // So does silence as long as a lead-in, as where the search ends a record amid its bytes:
    // the record's pulses stopped there (a tape cut short).
    scan.cursor.position = scan.cursor.lastBoundary = from;
    scan.cursor.previousSample = from > 0 ? scan.track.samples[from - 1] : 0;
    scan.track.sampleCount = end;
    const auto silence = static_cast<std::int32_t>(kLeadInBytes * period);
    std::int32_t last = from;
    while (decoder::NextEdge(scan) == 1 && scan.cursor.position - last <= silence) last = scan.cursor.position;
    if (end - last > silence) {
        const auto after = static_cast<std::int32_t>(last + period / 2);
        return after > from ? after : 0;
    }
    if (next.found || end >= declared || whole) return end;
    // The signal goes on past the samples there are: the window reads on to the stretch's end
    // where two readings agree on the length, else a step at a time (a length misread clearly
    // by one reading holds no more than three times the samples there are before it is checked).
    needTo = offset + (stated.by >= 2 ? declared : std::min<std::int64_t>(declared, std::int64_t{count} * 3));
    return -1;
}

// Reads a found record. With `calibration` (/auto) a record that is not good is found and read
// again on the conditioned samples, and the better reading kept; `count` samples are there, the
// last `margin` of them not final unless `whole`.
Reading ReadFound(Found& found, signal::Calibration* calibration, std::int64_t offset, std::int32_t count, bool whole,
                  std::int64_t margin, std::string& log) {
    Reading result;
    decoder::Reader& first = found.first;
    const bool calibrated = found.calibrated && calibration != nullptr;
    // The record's signal goes on to the recording's end.
    const bool cutByEnd = whole && found.bounds.extentEnd >= count;
    result.read = Record(found.bounds, first, calibrated || found.documented ? calibration : nullptr, offset, log, cutByEnd,
                         found.edgesHold ? &found.edges : nullptr, found.before);
    result.next = found.bounds.extentEnd;
    if (!calibrated) return result;
    // Read as it is, the record's end may have been missed: found and read again without the echo
    // its reading found, on the conditioned samples, and then on the pulses found by their shape,
    // and the better reading kept. The record is found by the same pulses its reading reads.
    const struct {
        bool (*use)(signal::Calibration&, decoder::Reader&);
        const char* text;
    } ways[] = {{signal::EchoFirst, "Auto: the record read again on the signal without its echo\n"},
                {signal::ConditionFirst, "Auto: the record read again on the conditioned signal\n"},
                {signal::MatchFirst, "Auto: the record read again on the pulses found by their shape\n"}};
    for (const auto& way : ways) {
        if (result.read.entry.verdict == Verdict::good || result.read.clearUpToTheEnd || !way.use(*calibration, first)) continue;
        decoder::Reader finder = first;
        const RecordBounds again = FindRecord(finder, found.before, found.lead);
        if (!whole && std::int64_t{again.lookedTo} + margin >= count) {
            result.undecided = true;
            return result;
        }
        if (again.found) {
            first.log = &log;
            decoder::Say(first, way.text);
            ReadRecord second = Record(again, first, calibration, offset, log, cutByEnd && again.extentEnd >= count);
            if (!Outdone(result.read.entry, second.entry)) {
                result.read = std::move(second);
                result.next = again.extentEnd;
            }
        }
    }
    // Echoes, or damage that breaks every byte's rhythm as its edges show it, hide the record's
    // end from the search, which ends a record after a lead-in's length without one regular byte.
    // Its own addresses, read clearly, say how long it is: it is read again over that stretch,
    // and that reading kept only when it is surely good.
    const TapeEntry& entry = result.read.entry;
    const bool stated = entry.verdict == Verdict::good ? found.provisional : entry.stated.length > 0;
    // The reading the calibration now puts first, its samples conditioned again (the readings
    // before conditioned others, and only up to the stretch's end).
    decoder::Reader reader = first;
    if (stated) signal::RestoreCalibration(*calibration, reader);
    std::int64_t needTo = 0;
    const std::int32_t end = stated ? DeclaredEnd(found, entry, reader, *calibration, offset, count, whole, needTo) : 0;
    if (end < 0) {
        result.undecided = true;
        result.needTo = needTo;
        return result;
    }
    if (end > 0) {
        // Nothing past the stated length is read: that is where the record ends.
        RecordBounds stretch = found.bounds;
        stretch.extentEnd = stretch.scanned = end;
        stretch.signalEnd = -1;
        reader.log = &log;
        decoder::Say(reader, "Auto: the record read again over the stretch its addresses give\n");
        ReadRecord third = Record(stretch, reader, calibration, offset, log, whole && end >= count);
        if (SurelyGood(third.entry)) {
            const std::vector<std::int64_t>& starts = third.entry.byteStarts;
            const double period = calibration->bytePeriod * first.cursor.sampleRate;
            result.next = starts.empty() ? end
                                         : static_cast<std::int32_t>(std::min<double>(
                                               end, static_cast<double>(starts.back() - offset) + 1.5 * period));
            result.read = std::move(third);
        }
    }
    if (found.provisional && !SurelyGood(result.read.entry)) {
        result.none = true;
        result.next = static_cast<std::int32_t>(std::clamp<std::int64_t>(found.moveTo - offset, 0, count));
    }
    return result;
}

// The searches under way while the window grows: each goes on where it stopped. Indices are the
// window's, which stay while the loop's place does.
struct Pending {
    bool calibrated = false;            // the calibration found the lead-in at `lead`
    std::int32_t lead = -1;
    std::int32_t before = 0;
    std::optional<RecordSearch> search;  // the record, read as the calibration says
    std::vector<std::int32_t> edges;     // the edges that search passed
    decoder::Reader reader;              // the record's first reading, as the calibration set it up
    std::optional<RecordSearch> plain;   // the search as without /auto
    signal::LeadFollow follow;           // a lead-in found, followed as far as the samples went
    std::int64_t followBase = 0;         // the window's base then
};

// The loop's place: records are searched from `from`; the lead-in search (with /auto) and the
// search as without /auto go on from where they stopped in the samples seen so far.
struct Place {
    std::int64_t from = 0;
    std::int64_t leadFrom = 0;
    std::int64_t plainFrom = 0;
    Pending pending;
    void Set(std::int64_t at) {
        from = leadFrom = plainFrom = at;
        pending = Pending{};
    }
};

// A reader of the recording's rate, with the command line's settings.
decoder::Reader RateReader() {
    decoder::Reader r;
    decoder::TakeSettings(r);
    r.cursor.sampleRate = decoder::cursor.sampleRate;
    return r;
}

// The command line's reading of the window's mix (what reads without /auto), ending at `count`.
decoder::Reader PlainReader(const TapeWindow& window, std::int32_t count) {
    decoder::Reader r = RateReader();
    r.track = decoder::SampleTrack{window.mix.data(), count};
    return r;
}

std::int32_t Local(std::int64_t at, const TapeWindow& window) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(at - window.base, 0, window.Count()));
}

// Whether what a search read up to `looked` can still change: the window's last `margin` samples may.
bool Open(std::int64_t looked, const TapeWindow& window, std::int64_t margin) {
    return !window.ended && looked + margin >= window.Count();
}

// A record found by the search as without /auto: read as without /auto, once its end is sure.
Turn PlainRecord(const RecordBounds& bounds, const TapeWindow& window, std::int64_t margin,
                 signal::Calibration& calibration) {
    Turn turn;
    if (Open(bounds.lookedTo, window, margin)) {
        turn.kind = Turn::needMore;
        return turn;
    }
    Found& found = turn.record;
    found.first = PlainReader(window, window.Count());
    if (settings.autoCalibrate) {
        signal::UseDocumentedSettings(calibration, found.first);
        found.documented = true;
    }
    found.bounds = bounds;
    found.before = bounds.begin;
    found.looked = bounds.lookedTo;
    turn.kind = Turn::found;
    return turn;
}

// The search as without /auto from the loop's place, on the window as it is now.
RecordBounds SearchPlain(Place& place, const TapeWindow& window) {
    decoder::Reader plain = PlainReader(window, window.Count());
    if (!place.pending.plain) place.pending.plain.emplace(plain, Local(place.plainFrom, window));
    return place.pending.plain->Run(plain, window.ended);
}

// The search as without /auto found nothing before `limit`: it goes on from where it may.
void MovePlain(Place& place, const TapeWindow& window, const RecordBounds& bounds, Turn& turn) {
    turn.kind = window.base + bounds.resume <= place.plainFrom ? Turn::needMore : Turn::moveOn;
    if (turn.kind == Turn::moveOn) {
        place.plainFrom = window.base + bounds.resume;
        place.pending.plain.reset();
    }
}

// One turn on the samples of the window; `margin` samples at its end may still change.
Turn TakeTurn(Place& place, TapeWindow& window, std::int64_t margin, signal::Calibration& calibration) {
    const std::int32_t count = window.Count();
    const std::int32_t complete = window.ended ? -1 : static_cast<std::int32_t>(std::max<std::int64_t>(count - margin, 0));
    const std::int32_t from = Local(place.from, window);
    Pending& pending = place.pending;
    Turn turn;
    if (!settings.autoCalibrate) {
        const RecordBounds bounds = SearchPlain(place, window);
        if (bounds.found) return PlainRecord(bounds, window, margin, calibration);
        if (!window.ended) MovePlain(place, window, bounds, turn);
        return turn;
    }
    signal::UseWindow(calibration, window.mix.data(), window.fine ? window.fineMix.data() : nullptr,
                      window.channels ? window.left.data() : nullptr, window.channels ? window.right.data() : nullptr,
                      count, window.conditioned.get(), &window.conditionedUsed, window.base);
    decoder::Reader& calibrated = pending.reader;
    if (pending.calibrated) {
        // The lead-in found in an earlier turn: the reader back on the chosen reading, in the window as it is now.
        signal::RestoreCalibration(calibration, calibrated);
    } else {
        calibrated = RateReader();
        std::int32_t resume = -1;
        if (pending.followBase != window.base) pending.follow = signal::LeadFollow{};
        pending.followBase = window.base;
        const std::int32_t lead = signal::CalibrateNextRecord(calibration, from, Local(place.leadFrom, window), complete,
                                                              resume, calibrated, &pending.follow);
        if (lead < 0) {
            if (resume == signal::kNeedMore) {
                turn.kind = Turn::needMore;
                return turn;
            }
            // No lead-in of regular pulses before `resume` (or at all): a record that reads
            // without /auto and ends there is read so.
            const RecordBounds bounds = SearchPlain(place, window);
            if (bounds.found && (resume < 0 || (bounds.endedByPause && bounds.lookedTo < resume))) {
                return PlainRecord(bounds, window, margin, calibration);
            }
            if (resume < 0) return turn;
            if (bounds.found) {
                turn.kind = Turn::needMore;
            } else {
                MovePlain(place, window, bounds, turn);
            }
            if (window.base + resume > place.leadFrom && !bounds.found) {
                place.leadFrom = window.base + resume;
                turn.kind = Turn::moveOn;
            }
            return turn;
        }
        {
            // Before the lead-in: a record that reads without /auto and ends with a pause there.
            decoder::Reader plain = PlainReader(window, lead);
            const RecordBounds bounds = FindRecord(plain, Local(place.plainFrom, window));
            if (bounds.found && bounds.endedByPause) {
                return PlainRecord(bounds, window, margin, calibration);
            }
        }
        pending.calibrated = true;
        pending.lead = lead;
        pending.before =
            static_cast<std::int32_t>(std::max<std::int64_t>(from, std::int64_t{lead} - BytePeriodSamples(calibrated)));
        pending.search.emplace(calibrated, pending.before, lead);
        pending.search->edgeLog = &pending.edges;
    }
    const std::int32_t lead = pending.lead;
    const std::int32_t before = pending.before;
    decoder::Reader first = calibrated;
    // The conditioned samples in the window's last `margin` may still change: the search takes no
    // edge there until they are final.
    // The conditioned samples in the window's last `margin` may still change: the search takes no
    // edge there until they are final.
    RecordBounds bounds = pending.search->Run(first, window.ended, complete);
    if (Open(bounds.lookedTo, window, margin)) {
        turn.kind = Turn::needMore;
        return turn;
    }
    // The record's edges as the search found them: its first reading takes them as they are.
    std::vector<std::int32_t> edges = std::move(pending.edges);
    pending = Pending{};
    std::int64_t looked = bounds.lookedTo;
    bool asItIs = true;  // the record found on the reading its first attempt reads
    // Too rough to find as it is: found without the lead-in's echo (when it has one), on the
    // conditioned samples, then on the pulses found by their shape.
    if (!bounds.found) signal::LookForEcho(calibration, first.cursor.sampleRate);
    for (bool (*use)(signal::Calibration&, decoder::Reader&) : {signal::EchoFirst, signal::ConditionFirst, signal::MatchFirst}) {
        if (bounds.found || !use(calibration, first)) continue;
        asItIs = false;
        decoder::Reader finder = first;
        bounds = FindRecord(finder, before, lead);
        looked = std::max<std::int64_t>(looked, bounds.lookedTo);
    }
    if (Open(looked, window, margin)) {
        turn.kind = Turn::needMore;
        turn.anew = true;
        return turn;
    }
    const std::int64_t moveTo = std::max({place.from + 1, window.base + lead + 1, window.base + bounds.scanned});
    bool provisional = false;
    if (!bounds.found) {
        // A lead-in of regular pulses that no reading's rhythm follows into its record (echoes
        // that break every byte's): read all the same, over a lead-in's length after it, as a run
        // of it alone reads it; a surely good reading makes it a record, its addresses giving its
        // stretch.
        const std::vector<std::int32_t>& leadEdges = calibration.lead.edges;
        const std::int64_t leadEnd = leadEdges.empty() ? -1 : leadEdges.back();
        const std::int64_t stretchEnd = leadEnd + kLeadInBytes * BytePeriodSamples(first);
        if (leadEnd > lead && stretchEnd > count && !window.ended) {
            turn.kind = Turn::needMore;
            turn.anew = true;
            return turn;
        }
        if (leadEnd <= lead) {
            turn.kind = Turn::moveOn;
            turn.horizon = window.base + looked;
            place.Set(moveTo);
            return turn;
        }
        provisional = true;
        bounds.found = true;
        bounds.begin = before;
        bounds.leadStart = lead;
        // Where its signal ends is not known: nothing is read past the length its addresses give.
        bounds.extentEnd = bounds.scanned = static_cast<std::int32_t>(std::min<std::int64_t>(stretchEnd, count));
        bounds.signalEnd = -1;
        bounds.endedByPause = false;
        looked = std::max<std::int64_t>(looked, bounds.extentEnd);
    }
    Found& found = turn.record;
    found.provisional = provisional;
    found.moveTo = moveTo;
    found.bounds = bounds;
    found.first = first;
    found.calibrated = true;
    found.edges = std::move(edges);
    found.edgesHold = asItIs;
    found.before = before;
    found.lead = lead;
    found.looked = static_cast<std::int32_t>(looked);
    turn.kind = Turn::found;
    return turn;
}

// The most samples (all channels) a record read on a worker may copy: more is read in the loop,
// so that memory stays within about twice the longest record's.
constexpr std::int64_t kWorkerBytes = std::int64_t{16} << 20;

// A found record read on a worker, beside the search for the next: it owns a copy of its
// samples, its calibration and its readers, so nothing it touches is shared.
struct Task {
    std::int64_t offset = 0;             // the recording's sample of the copy's first
    std::vector<std::int8_t> mix;
    std::vector<std::int16_t> fine, left, right;
    input::ZeroedSamples conditioned;
    signal::Calibration calibration;
    Found found;
    bool whole = false;                  // the copy reaches the recording's end
    std::int64_t margin = 0;
    std::string log;
    Reading reading;
    Place place;                         // the loop's place when the record was found
    std::int64_t next = 0;               // where the search went on meanwhile
    std::FILE* tapeFile = nullptr;
    bool output = true;                  // its lines printed and its block written
    bool committed = false;              // printed and written by the worker: the loop was right
    std::future<void> done;

    std::int32_t Count() const { return static_cast<std::int32_t>(mix.size()); }
};

// Moves every index of `b` back by `shift`.
void Shift(RecordBounds& b, std::int32_t shift) {
    for (std::int32_t* at : {&b.begin, &b.leadStart, &b.signalEnd, &b.extentEnd, &b.scanned, &b.lookedTo, &b.resume}) {
        *at -= shift;
    }
}

// The task for a found record: its samples from a margin before its search to the window's end.
std::unique_ptr<Task> MakeTask(Found&& found, const TapeWindow& window, const signal::Calibration& calibration,
                               std::int64_t margin, const Place& place) {
    auto task = std::make_unique<Task>();
    const std::int32_t first = std::max<std::int32_t>(
        0, static_cast<std::int32_t>(std::min<std::int64_t>(found.before, found.bounds.begin) - margin));
    const std::int32_t count = window.Count() - first;
    task->offset = window.base + first;
    task->mix.assign(window.mix.data() + first, window.mix.data() + window.Count());
    if (window.fine) task->fine.assign(window.fineMix.data() + first, window.fineMix.data() + window.Count());
    if (window.channels) {
        task->left.assign(window.left.data() + first, window.left.data() + window.Count());
        task->right.assign(window.right.data() + first, window.right.data() + window.Count());
    }
    task->whole = window.ended;
    task->margin = margin;
    task->place.from = place.from;
    task->place.leadFrom = place.leadFrom;
    task->place.plainFrom = place.plainFrom;
    task->found = std::move(found);
    Found& f = task->found;
    Shift(f.bounds, first);
    f.before -= first;
    f.lead -= first;
    f.looked -= first;
    for (std::int32_t& edge : f.edges) edge -= first;
    if (f.calibrated || f.documented) {
        task->calibration = calibration;
        task->conditioned = input::AllocateZeroedSamples(static_cast<std::uint32_t>(count));
        if (window.conditionedUsed && task->conditioned) {
            // What earlier records conditioned there, as the loop would find it.
            std::memcpy(task->conditioned.get(), window.conditioned.get() + first, static_cast<std::size_t>(count));
        }
        signal::Rebase(task->calibration, first, task->mix.data(), window.fine ? task->fine.data() : nullptr,
                       window.channels ? task->left.data() : nullptr, window.channels ? task->right.data() : nullptr,
                       count, task->conditioned.get());
    }
    if (f.calibrated) {
        signal::RestoreCalibration(task->calibration, f.first);
    } else {
        f.first.track = decoder::SampleTrack{task->mix.data(), count};
    }
    return task;
}

// Prints a record's lines and writes its block at once (with `output`), and keeps its entry.
void Commit(std::FILE* tapeFile, const std::string& log, ReadRecord&& read, bool output) {
    if (output) {
        std::fwrite(log.data(), 1, log.size(), stdout);
        std::fflush(stdout);
        WriteRecord(tapeFile, read.entry);
    }
    tapeLog.entries.push_back(std::move(read.entry));
}

// Where the search goes on after the task's record, as its reading says.
std::int64_t NextAfter(const Task& task) { return std::max(task.place.from + 1, task.offset + task.reading.next); }

// Reads the record; when the loop went on from where the reading says, the record's lines and
// block go out at once (nothing else is printed or written while a record is on the worker).
void RunTask(Task& task) {
    const bool calibration = task.found.calibrated || task.found.documented;
    task.reading = ReadFound(task.found, calibration ? &task.calibration : nullptr, task.offset, task.Count(), task.whole,
                             task.margin, task.log);
    if (!task.reading.undecided && NextAfter(task) == task.next) {
        if (!task.reading.none) Commit(task.tapeFile, task.log, std::move(task.reading.read), task.output);
        task.committed = true;
    }
}

}  // namespace

volatile std::sig_atomic_t stopRequested = 0;

void ResetTape() {
    tapeLog = TapeLog{};
    stopRequested = 0;
}

std::string NumberedPath(std::string_view path, int number) {
    const auto nameStart = path.find_last_of("/\\");
    const auto dot = path.rfind('.');
    const bool extension = dot != std::string_view::npos && (nameStart == std::string_view::npos || dot > nameStart);
    const std::size_t stem = extension ? dot : path.size();
    std::string numbered(path.substr(0, stem));
    numbered.append(Format("-%i", number));
    numbered.append(path.substr(stem));
    return numbered;
}

std::string TimeText(std::int64_t sample) {
    const std::int64_t rate = decoder::cursor.sampleRate;
    const std::int64_t hundredths = rate > 0 ? std::max<std::int64_t>(sample, 0) * 100 / rate : 0;
    return Format("%lld:%02lld:%02lld.%02lld", static_cast<long long>(hundredths / 360000),
                  static_cast<long long>(hundredths / 6000 % 60), static_cast<long long>(hundredths / 100 % 60),
                  static_cast<long long>(hundredths % 100));
}

void RunTape() {
    const std::int16_t* fine = nullptr;
    const std::int16_t* left = nullptr;
    const std::int16_t* right = nullptr;
    signal::KeptChannels(signal::recording, fine, left, right);
    MemoryFeed feed(decoder::track.samples, fine, left, right, decoder::track.sampleCount);
    const decoder::SampleTrack whole = decoder::track;
    RunTape(feed);
    decoder::track = whole;
}

void RunTape(SampleFeed& feed, const TapeOptions& options) {
    tapeLog = TapeLog{};
    if (settings.failCount <= 0) {
        return;
    }
    gtp::File tapeFile;
    if (!settings.binaryOutput && options.output) {
        tapeFile = gtp::OpenFile(settings.outputPath.c_str(), "wb");
    }
    const std::int64_t rate = std::max(decoder::cursor.sampleRate, 1);
    const auto samples = [&](double s) { return std::max<std::int64_t>(static_cast<std::int64_t>(s * rate), 1 << 12); };
    const std::int64_t chunk = samples(options.chunkSeconds);
    const std::int64_t margin = samples(options.marginSeconds);
    TapeWindow window;
    if (options.report != nullptr) {
        window.levels = &options.report->levelDb;
        window.levelStep = rate * std::max<std::int64_t>(1, static_cast<std::int64_t>(options.report->levelStep));
    }
    signal::Calibration calibration;  // the search's, record by record
    window.fine = settings.autoCalibrate && feed.Fine();
    window.channels = window.fine && feed.Channels();
    const bool stereo = window.channels;
    window.SettleChannels(feed, static_cast<std::int32_t>(rate), &stopRequested);
    calibration.stereo = stereo && !window.channels;
    Place place;
    std::string log;
    std::int64_t ahead = chunk;
    // A record read on a worker while the search goes on. Its end was found as it was read as
    // it is; when the reading found it elsewhere (read again on the conditioned samples) or could
    // not tell yet, the search from there on is thrown away and runs again from the record.
    std::unique_ptr<Task> reading;
    bool here = false;  // the next record is read in the loop (after a worker's was thrown away)
    auto finish = [&](bool stopping) {
        std::unique_ptr<Task> task = std::move(reading);
        task->done.get();
        if (task->committed) return true;
        if (stopping && !task->reading.undecided) {
            if (!task->reading.none) Commit(tapeFile.get(), task->log, std::move(task->reading.read), options.output);
            return true;
        }
        window.Restore(task->offset, task->mix.data(), window.fine ? task->fine.data() : nullptr,
                       window.channels ? task->left.data() : nullptr, window.channels ? task->right.data() : nullptr,
                       task->conditioned.get(),
                       task->offset + task->Count());
        place.from = task->place.from;
        place.leadFrom = task->place.leadFrom;
        place.plainFrom = task->place.plainFrom;
        place.pending = Pending{};
        ahead = std::max(chunk, task->reading.needTo + margin - std::max(place.leadFrom, place.plainFrom));
        here = true;
        return false;
    };
    while (stopRequested == 0) {
        // Keep what the searches still need, and a margin before it for the filters' reach; and
        // what the record on the worker may still need, until it is read.
        const std::int64_t keep = std::min({place.leadFrom, place.plainFrom}) - margin;
        if (reading && keep > reading->offset + reading->Count() && !finish(false)) continue;
        window.Drop(keep);
        if (!window.Fill(feed, std::max(place.leadFrom, place.plainFrom) + ahead, &stopRequested)) {
            if (reading) finish(true);
            std::printf("\nNot enough memory for the record at %s!\n", TimeText(place.from).c_str());
            break;
        }
        if (stopRequested != 0) break;
        Turn turn = TakeTurn(place, window, margin, calibration);
        if (turn.kind == Turn::needMore) {
            // A long record: the searches go on where they stopped, so the loop reads on a little
            // at a time (its lines come soon after its end when the tape plays live, and the window
            // holds little more than the record); a search that starts anew reads ahead half as
            // far again each time, so that no record is searched often.
            ahead = turn.anew ? std::max(ahead + chunk, (window.end - std::max(place.leadFrom, place.plainFrom)) * 3 / 2)
                              : std::max(ahead, window.end - std::max(place.leadFrom, place.plainFrom)) + chunk;
            continue;
        }
        ahead = chunk;
        if (turn.kind == Turn::moveOn) continue;
        if (reading && !finish(false)) continue;  // the record before is read first, in tape order
        if (turn.kind == Turn::done) break;
        Found& found = turn.record;
        const std::int64_t copied = (window.end - window.base - std::min(found.before, found.bounds.begin) + margin) *
                                    (1 + (window.fine ? 2 : 0) + (window.channels ? 4 : 0));
        if (options.worker && !here && copied <= kWorkerBytes) {
            reading = MakeTask(std::move(found), window, calibration, margin, place);
            Task* task = reading.get();
            task->next = task->found.provisional ? task->found.moveTo
                                                 : std::max(place.from + 1, task->offset + task->found.bounds.extentEnd);
            task->tapeFile = tapeFile.get();
            task->output = options.output;
            task->done = std::async(std::launch::async, [task] { RunTask(*task); });
            place.Set(task->next);
            continue;
        }
        log.clear();
        Reading r = ReadFound(found, &calibration, window.base, window.Count(), window.ended, margin, log);
        if (r.undecided) {
            ahead = std::max({ahead + chunk, (window.end - std::max(place.leadFrom, place.plainFrom)) * 3 / 2,
                              r.needTo + margin - std::max(place.leadFrom, place.plainFrom)});
            place.pending = Pending{};
            continue;
        }
        here = false;
        if (r.none) {
            place.Set(window.base + r.next);
            continue;
        }
        // A record: its lines and its block go out at once.
        Commit(tapeFile.get(), log, std::move(r.read), options.output);
        place.Set(std::max(place.from + 1, window.base + r.next));
    }
    if (reading) {
        // Stopped with a record on the worker: it is read whole, and kept.
        finish(true);
    }
    if (!options.output) {
        // Nothing of another pass is printed.
    } else if (stopRequested != 0) {
        std::printf("\nStopped: the records read so far are kept\n");
    } else if (tapeLog.entries.empty()) {
        // Nothing on the recording looks like a record: the documented end of an empty one.
        std::printf("\nStarting conversion\n\n");
        std::printf("No lead found !\n");
    }
    if (options.report != nullptr) options.report->duration = static_cast<double>(window.end) / rate;
    if (options.summary) PrintSummary();
}

// A record as the report tells it; times in seconds at `rate`.
report::RecordFacts FactsOf(const TapeEntry& entry, double rate, const std::string& recordingChannel) {
    report::RecordFacts f;
    const auto& p = entry.payload;
    f.number = entry.number;
    f.start = static_cast<double>(entry.leadStart) / rate;
    f.end = static_cast<double>(std::max(entry.signalEnd, entry.leadStart)) / rate;
    f.header = entry.header;
    if (entry.header) {
        std::string name;
        for (std::size_t i = 8; i < p.size() && p[i] != 0xFF; ++i) name += static_cast<char>(p[i]);
        f.name = name;
        f.startAddress = static_cast<int>(Word(p, 2));
        f.endAddress = static_cast<int>(Word(p, 4));
    } else {
        f.startAddress = static_cast<int>(Word(p, 1));
        f.endAddress = static_cast<int>(Word(p, 3));
    }
    f.length = f.endAddress - f.startAddress;
    f.verdict = VerdictText(entry.verdict);
    if (entry.copyOf > 0) f.copyOf = entry.copyOf;
    f.speed = entry.speed;
    f.levelDb = entry.levelDb;
    f.snrDb = entry.snrDb;
    f.channel = entry.channel.empty() ? recordingChannel : entry.channel;
    for (const auto& [what, gave] : entry.tried) f.attempts.push_back({what, gave});
    // Bytes are counted from the sync byte as the record is stored; a raw image leaves out the
    // sync and address bytes, which come first.
    auto index = [&](std::int32_t imageBytes) {
        return settings.binaryOutput ? (imageBytes > 0 ? imageBytes + 5 : 0) : std::max(imageBytes - 5, 0);
    };
    for (const decoder::ProblemNote& note : entry.notes) {
        f.problems.push_back({index(note.imageBytes), static_cast<double>(note.byteStart) / rate, note.message});
        if (entry.verdict == Verdict::good || note.samples.empty()) continue;
        report::Excerpt e;
        e.startTime = static_cast<double>(note.samplesFrom) / rate;
        e.rate = static_cast<std::int32_t>(rate);
        e.samples = note.samples;
        for (int bit = 0; bit < 8; ++bit) {
            e.slotTimes.push_back((static_cast<double>(note.byteStart) + bit * note.slot) / rate);
            e.bits.push_back(note.byte >= 0 ? (note.byte >> bit) & 1 : -1);
        }
        e.problemTime = static_cast<double>(note.at) / rate;
        e.byte = index(note.imageBytes);
        e.message = note.message;
        f.excerpts.push_back(std::move(e));
    }
    return f;
}

void FillReport(report::TapeFacts& facts, const std::string& recordingChannel) {
    const double rate = std::max(decoder::cursor.sampleRate, 1);
    facts.records.clear();
    facts.summary = report::Summary{};
    for (const TapeEntry& entry : tapeLog.entries) {
        facts.records.push_back(FactsOf(entry, rate, recordingChannel));
        ++facts.summary.records;
        if (entry.verdict == Verdict::good) ++facts.summary.good;
        if (entry.copyOf > 0) ++facts.summary.copies;
    }
    facts.summary.bad = facts.summary.records - facts.summary.good;
    facts.interrupted = stopRequested != 0;
}

void PrintSummary() {
    std::fflush(stdout);
    std::printf("\nTape summary\n\n");
    int good = 0;
    int copies = 0;
    for (const TapeEntry& entry : tapeLog.entries) {
        const auto& p = entry.payload;
        std::string what;
        if (entry.header) {
            what = Format("Header: %-20s  Start: $%04x", HeaderName(p).c_str(), Word(p, 2));
            if (Word(p, 6) != 0) what += Format("  Line: %u", Word(p, 6));
        } else {
            what = Format("Start: $%04x  End+1: $%04x  Length: %i bytes", Word(p, 1), Word(p, 3),
                          static_cast<int>(Word(p, 3)) - static_cast<int>(Word(p, 1)));
        }
        std::string verdict = VerdictText(entry.verdict);
        if (entry.copyOf > 0) {
            verdict += Format(", copy of record %i", entry.copyOf);
            ++copies;
        }
        if (!entry.how.empty()) verdict += ", " + entry.how;
        good += entry.verdict == Verdict::good ? 1 : 0;
        std::printf("%3i  %s  %-54s  %s\n", entry.number, TimeText(entry.leadStart).c_str(), what.c_str(),
                    verdict.c_str());
    }
    const int total = static_cast<int>(tapeLog.entries.size());
    std::printf("\nRecords: %i, good: %i, bad: %i, copies: %i\n", total, good, total - good, copies);
}

}  // namespace sonokas::tape
