#include "converter/tape/attempts.hpp"

#include <algorithm>
#include <climits>
#include <numeric>
#include <optional>
#include <tuple>

#include "converter/decoder/reader.hpp"
#include "converter/merge/merge.hpp"
#include "converter/report/report_text.hpp"
#include "converter/settings.hpp"
#include "converter/signal/calibration.hpp"
#include "converter/tape/whole_record.hpp"
#include "gtp/gtp.hpp"

namespace sonokas::tape {

namespace {

int Rank(const RecordAttempt& attempt) {
    if (attempt.outcome == output::AttemptOutcome::good) return 5;
    if (attempt.outcome != output::AttemptOutcome::bad) return 0;
    // One that did not find the sync byte did not read the record at all.
    if (!attempt.header && attempt.report.sync != gtp::kSyncByte) return 1;
    // A reading that finds more bytes in the record's signal than its addresses hold has slipped
    // a bit somewhere (a pulse lost or one too many): every byte from there on is shifted,
    // however clearly each was read. One that ends where the addresses say has not.
    return attempt.report.early ? 2 : attempt.readOn > 0 ? 3 : 4;
}

// Every attempt starts at the record's first sample, as the run loop rewinds to the first.
void Rewind(decoder::Reader& r, std::int32_t begin) {
    r.cursor.position = begin;
    r.cursor.lastBoundary = begin;
    r.cursor.previousSample = begin > 0 && begin <= r.track.sampleCount ? r.track.samples[begin - 1] : 0;
    r.imageBytes = 0;
    r.edgeIndex = 0;
}

constexpr int kReadThrough = 3;  // the rank of a bad reading of the whole record (it may read on)

// A right checksum proves the bytes only where at most one was read in doubt: errors at two or
// more can make up for each other in the sum (a reverberant room's tail read as the middle pulse
// of two eighth bits adds 0x100). Such a reading is kept only when no other reading is surer.
bool Sure(const RecordAttempt& a) {
    return a.outcome == output::AttemptOutcome::good && decoder::DoubtfulBytes(a.confidence) < 2;
}

constexpr int kLeadRestarts = 4;  // times a reading goes on past a false sync byte in the lead-in

// True when the reading's sync byte is wrong and the bytes read after it are zeros (the lead-in's),
// and there is room to read from after it.
bool LeadInGoesOn(const RecordAttempt& a, double byteSamples) {
    if (a.header || a.outcome != output::AttemptOutcome::bad || a.report.sync == gtp::kSyncByte) return false;
    if (a.byteStarts.empty() || byteSamples <= 0 || a.report.start != 0 || a.report.end != 0) return false;
    return a.byteStarts[0] + byteSamples < a.endPosition;
}

// A sync byte spoilt by a dropout or a click, while every byte after it was read clearly and
// they hold the record's checksum once the sync byte is the 0xA5 it always is. Then the record
// is whole: the sync byte is set right and the reading counts as good (true). Bytes in doubt
// after it rule this out: errors that come back along the record (an echo, a codec) can make up
// for each other in the sum.
bool MendSyncByte(RecordAttempt& a, bool gtpMode) {
    if (a.header || a.outcome != output::AttemptOutcome::bad || a.report.early || a.readOn != 0) return false;
    if (a.confidence.empty() || decoder::DoubtfulBytes({a.confidence.begin() + 1, a.confidence.end()}) != 0) return false;
    if (a.report.sync == gtp::kSyncByte ||
        static_cast<std::uint8_t>(a.report.sum - a.report.sync + gtp::kSyncByte) != gtp::kChecksumGood) {
        return false;
    }
    if (gtpMode) {
        if (a.image.size() <= gtp::kBlockHeaderSize) return false;
        a.image[gtp::kBlockHeaderSize] = gtp::kSyncByte;
    }
    a.report.sync = gtp::kSyncByte;
    a.report.sum = gtp::kChecksumGood;
    a.outcome = output::AttemptOutcome::good;
    return true;
}

// The record's key (addresses) as `a` read it clearly, when the stretch cut it short after them.
std::vector<std::uint8_t> CutShortKey(const RecordAttempt& a) {
    constexpr std::size_t kAddressed = 5;  // sync byte, start and end + 1
    if (a.header || !a.report.early || a.report.sync != gtp::kSyncByte || a.byteStarts.empty() ||
        a.confidence.size() < kAddressed) {
        return {};
    }
    for (std::size_t i = 1; i < kAddressed; ++i) {
        if (!(a.confidence[i] >= decoder::kDoubtful)) return {};
    }
    const std::vector<std::uint8_t> payload = ImagePayload(a.image, a.report);
    if (payload.size() < kAddressed) return {};
    std::vector<std::uint8_t> key = merge::RecordKey(payload);
    if (merge::IsHeaderKey(key) || merge::RecordLength(key) <= payload.size()) return {};
    return key;
}

// The readings of one recording err in different places where they err by a hair: a pulse a
// codec smeared, a bit that one conditioning decides and another does not. Merged as readings
// of copies are (most of them, or the surest byte where the others were in doubt), they may give
// the record whose checksum holds; then `best` becomes that. Nothing is tried for the checksum.
bool MergeAttempts(const std::vector<RecordAttempt>& whole, RecordAttempt& best) {
    // Readings of the record the best one read: its sync byte and addresses.
    const std::vector<std::uint8_t> key = merge::RecordKey(ImagePayload(best.image, best.report));
    std::vector<const RecordAttempt*> same;
    std::vector<std::vector<std::uint8_t>> payloads;
    for (const RecordAttempt& a : whole) {
        std::vector<std::uint8_t> payload = ImagePayload(a.image, a.report);
        if (key.empty() || merge::RecordKey(payload) != key) continue;
        same.push_back(&a);
        payloads.push_back(std::move(payload));
    }
    if (same.size() < 2) return false;
    std::vector<merge::Bytes> readings;
    for (std::size_t k = 0; k < same.size(); ++k) {
        readings.push_back({payloads[k], same[k]->confidence, same[k]->byteStarts});
    }
    const std::optional<std::vector<std::uint8_t>> merged = merge::MergeReadings(readings, true);
    if (!merged || merged->size() != payloads[0].size()) return false;
    const RecordAttempt& model = *same[0];
    best = model;
    const std::size_t size = payloads[0].size();
    if (model.image.size() >= size) {
        // A block: its header, then the payload.
        best.image.resize(model.image.size() - size);
        best.image.insert(best.image.end(), merged->begin(), merged->end());
    } else {
        // A raw image: the payload less its sync and address bytes.
        best.image.assign(merged->begin() + static_cast<std::ptrdiff_t>(size - model.image.size()), merged->end());
    }
    best.outcome = output::AttemptOutcome::good;
    best.problems = 0;
    best.merged = true;
    return true;
}

}  // namespace

const char* GaveText(const RecordAttempt& a) {
    if (a.outcome == output::AttemptOutcome::noLead) return "no lead";
    if (a.outcome == output::AttemptOutcome::good) return "good";
    if (a.checksumUnknown) return "checksum not known";
    if (!a.header && a.report.sync != gtp::kSyncByte) return "wrong sync";
    if (a.report.early) return "ended early";
    return "checksum wrong";
}

std::string DecoderText(std::int32_t exactValue) {
    return exactValue == kTimingDecoder ? "the timing decoder" : "the exact decoder, value " + std::to_string(exactValue);
}

void SayKept(decoder::Reader& say, const RecordAttempt& best, int attempts) {
    if (best.checksumUnknown || best.merged || best.outcome == output::AttemptOutcome::noLead || Sure(best)) return;
    std::vector<std::int64_t> doubtful;
    for (std::size_t i = 0; i < best.confidence.size() && i < best.byteStarts.size(); ++i) {
        if (!(best.confidence[i] >= decoder::kDoubtful)) doubtful.push_back(best.byteStarts[i]);
    }
    constexpr std::size_t kListed = 8;
    std::string at;
    for (std::size_t i = 0; i < doubtful.size() && i < kListed; ++i) {
        at += (i == 0 ? "" : ", ") + report::Format("%.2f s", decoder::Seconds(say, doubtful[i]));
    }
    if (doubtful.size() > kListed) at += report::Format(" and %zu more", doubtful.size() - kListed);
    if (best.outcome == output::AttemptOutcome::good) {
        decoder::Say(say, "Auto: the checksum holds over %zu bytes read in doubt, at %s: errors there could make up for "
                          "each other; another pass or copy of the tape can confirm them (/with)\n", doubtful.size(), at.c_str());
        return;
    }
    const std::size_t index = static_cast<std::size_t>(std::max(best.number - 1, 0));
    const std::string what = index < best.tried.size() ? best.tried[index].first : "";
    decoder::Say(say, "Auto: no reading holds the checksum (%i tried); the file has the best (%s): %s\n", attempts,
                 what.c_str(), GaveText(best));
    if (!doubtful.empty()) {
        decoder::Say(say, "Auto: %zu %s in doubt, at %s\n", doubtful.size(), doubtful.size() == 1 ? "byte" : "bytes",
                     at.c_str());
    } else if (!best.header && !best.report.early && best.report.sync == gtp::kSyncByte && best.readOn == 0) {
        decoder::Say(say, "Auto: every byte was read clearly, yet the sum is wrong: bits changed without a trace (as a "
                          "lossy copy changes them), or the record was saved so; another pass or copy of the tape may "
                          "tell (/with)\n");
    }
}

bool BetterAttempt(const RecordAttempt& a, const RecordAttempt& b) {
    if (Rank(a) != Rank(b)) return Rank(a) > Rank(b);
    // Of two bad readings, the one with fewer bytes in question: a problem makes its byte
    // doubtful, and so does a bit decided by a hair or a slot whose own pulse was hardly there.
    const int doubtfulA = decoder::DoubtfulBytes(a.confidence);
    const int doubtfulB = decoder::DoubtfulBytes(b.confidence);
    if (doubtfulA != doubtfulB) return doubtfulA < doubtfulB;
    // Then the one whose bits were decided more clearly over all.
    const auto clarity = [](const RecordAttempt& x) { return std::accumulate(x.confidence.begin(), x.confidence.end(), 0.0); };
    if (clarity(a) != clarity(b)) return clarity(a) > clarity(b);
    if (a.problems != b.problems) return a.problems < b.problems;
    return a.image.size() > b.image.size();
}

bool ClearUpToTheEnd(const RecordAttempt& a) {
    if (a.outcome != output::AttemptOutcome::bad || !a.report.early || a.confidence.empty()) return false;
    // The last byte may have been cut by the end.
    return decoder::DoubtfulBytes({a.confidence.begin(), a.confidence.end() - 1}) == 0;
}

RecordAttempt AttemptRecord(const decoder::Reader& first, signal::Calibration* calibration, std::int32_t begin,
                            int& attemptsMade, std::int32_t signalEnd, bool cutByEnd) {
    attemptsMade = 0;
    RecordAttempt best;
    if (settings.failCount <= 0) {
        return best;
    }
    int alternatives = calibration != nullptr ? signal::AlternativeCount(*calibration) : 0;
    int total = settings.failCount + alternatives;
    // The first reader's track ends where the record's stretch ends; the calibration's
    // alternatives point at whole sources again.
    const std::int32_t trackEnd = first.track.sampleCount;
    // The readings condition the record's stretch and a little more for the filters' reach, not
    // what follows it (on a whole tape, the rest of the window).
    struct ReadTo {
        signal::Calibration* c;
        std::int32_t before;
        ~ReadTo() {
            if (c != nullptr) c->readTo = before;
        }
    } readTo{calibration, calibration != nullptr ? calibration->readTo : -1};
    if (calibration != nullptr) {
        const double reach = 2 * calibration->bytePeriod * first.cursor.sampleRate;
        calibration->readTo = static_cast<std::int32_t>(std::min<double>(trackEnd + std::max(reach, 0.0), INT32_MAX));
    }
    const bool gtpMode = !settings.binaryOutput;
    std::vector<std::pair<std::string, std::string>> tried;
    std::vector<RecordAttempt> whole;  // bad readings of the whole record, for MergeAttempts
    // Keys that readings cut short stated, with where their sync byte began and how many stated each.
    std::vector<std::tuple<std::vector<std::uint8_t>, std::int64_t, int>> stated;
    // Reading k of the record from sample `from` (`exact`: the exact value it read with).
    auto readAt = [&](int k, std::int32_t from, std::int32_t& exact) {
        decoder::Reader r = first;
        if (k > 0 || from != begin) {
            // Edges found before serve the first attempt only: the others read other samples or settings.
            r.edges = nullptr;
        }
        if (k > 0 && k <= alternatives) {
            signal::ApplyAlternative(*calibration, k - 1, r);
        } else if (k > alternatives) {
            if (calibration != nullptr) {
                signal::RestoreCalibration(*calibration, r);
            }
            // The further "/fail" attempts: exactValue raised by one each, in wrapping arithmetic.
            r.exactValue = static_cast<std::int32_t>(static_cast<std::uint32_t>(first.exactValue) +
                                                     static_cast<std::uint32_t>(k - alternatives));
        }
        r.track.sampleCount = std::min(r.track.sampleCount, trackEnd);
        Rewind(r, from);
        const std::int32_t problemsBefore = r.problemCount;
        RecordAttempt attempt;
        r.notes = &attempt.notes;
        output::RecordReading reading = output::DecodeRecord(r, gtpMode);
        attempt.outcome = reading.outcome;
        if (signalEnd >= 0 && attempt.outcome != output::AttemptOutcome::noLead) {
            attempt.outcome = FinishWholeRecord(r, reading, signalEnd, attempt.readOn, attempt.header);
        }
        attempt.report = reading.report;
        // A header ends with its signal, not where its addresses point: no early end.
        attempt.report.early = attempt.report.early && !attempt.header;
        attempt.problems = r.problemCount - problemsBefore;
        attempt.image = std::move(reading.image);
        attempt.confidence = std::move(reading.confidence);
        attempt.checksumUnknown = attempt.header && attempt.outcome == output::AttemptOutcome::bad && attempt.problems == 0 &&
                                  decoder::DoubtfulBytes(attempt.confidence) == 0;
        attempt.byteStarts = std::move(reading.byteStarts);
        attempt.endPosition = r.cursor.position;
        attempt.number = k + 1;
        r.notes = nullptr;
        exact = r.exactValue;
        return attempt;
    };
    for (int k = 0; k < total; ++k) {
        std::int32_t exact = 0;
        RecordAttempt attempt = readAt(k, begin, exact);
        // A sync byte other than 0xA5 with zero bytes after it: the lead-in went on, and the byte
        // was a click or a codec's smear within it. The same reading again from after that byte.
        for (int again = 0; calibration != nullptr && !calibration->documented && again < kLeadRestarts &&
                            LeadInGoesOn(attempt, calibration->bytePeriod * first.cursor.sampleRate);
             ++again) {
            const auto after = static_cast<std::int32_t>(attempt.byteStarts[0] + calibration->bytePeriod * first.cursor.sampleRate);
            decoder::Reader say = first;
            decoder::Say(say, "Auto: the lead-in goes on after a wrong sync byte, read again from there\n");
            RecordAttempt later = readAt(k, after, exact);
            if (!BetterAttempt(later, attempt)) break;
            attempt = std::move(later);
        }
        const std::uint8_t syncRead = attempt.report.sync;
        if (calibration != nullptr && MendSyncByte(attempt, gtpMode)) {
            decoder::Reader say = first;
            decoder::Say(say, "Auto: the sync byte read as $%02x is taken as $a5: the bytes after it hold the checksum\n",
                         syncRead);
        }
        std::string what;
        if (calibration != nullptr && k <= alternatives) {
            what = signal::ReadingText(*calibration, k - 1);
        } else {
            what = DecoderText(exact);
        }
        tried.emplace_back(std::move(what), GaveText(attempt));
        ++attemptsMade;
        if (std::vector<std::uint8_t> key = calibration != nullptr ? CutShortKey(attempt) : std::vector<std::uint8_t>{};
            !key.empty()) {
            auto same = std::find_if(stated.begin(), stated.end(), [&](const auto& s) { return std::get<0>(s) == key; });
            if (same != stated.end()) {
                ++std::get<2>(*same);
            } else {
                stated.emplace_back(std::move(key), attempt.byteStarts[0], 1);
            }
        }
        if (calibration != nullptr && Rank(attempt) >= kReadThrough && !attempt.header) whole.push_back(attempt);
        if (k == 0 || BetterAttempt(attempt, best)) {
            best = std::move(attempt);
        }
        // The first reading failed: an echo on the lead-in puts the record without it first.
        if (k == 0 && calibration != nullptr && best.outcome != output::AttemptOutcome::good && !best.checksumUnknown &&
            signal::LookForEcho(*calibration, first.cursor.sampleRate)) {
            alternatives = signal::AlternativeCount(*calibration);
            total = settings.failCount + alternatives;
        }
        // A reading that finds no lead where the calibration measured one has not read the
        // record: the next reading may.
        const bool leadMeasured = calibration != nullptr && !calibration->documented && k < alternatives;
        // A header read clearly is kept as read: another reading cannot make a rule right that
        // is not the machine's.
        // Without the calibration, a right checksum is taken as the documented run takes it.
        const bool good = calibration != nullptr ? Sure(best) : best.outcome == output::AttemptOutcome::good;
        if (good || best.checksumUnknown || (best.outcome == output::AttemptOutcome::noLead && !leadMeasured)) {
            break;
        }
        // The recording ends inside the record (a capture stopped, a tape run out): no reading
        // finds more, and one that read every byte before clearly cannot read them better.
        if (cutByEnd && calibration != nullptr && ClearUpToTheEnd(best)) {
            decoder::Reader say = first;
            decoder::Say(say, "Auto: the recording ends inside the record; every byte before was read clearly\n");
            break;
        }
    }
    // Readings that all failed, or whose only right checksum is in doubt: merged byte by byte
    // (each byte read surely somewhere), they may give the record, or another that holds.
    const bool bad = best.outcome == output::AttemptOutcome::bad;
    RecordAttempt merged = best;
    if ((bad || (best.outcome == output::AttemptOutcome::good && !Sure(best))) && MergeAttempts(whole, merged) &&
        (bad || ImagePayload(merged.image, merged.report) != ImagePayload(best.image, best.report))) {
        best = std::move(merged);
        decoder::Reader say = first;
        decoder::Say(say, "Auto: the readings merged byte by byte, checksum right\n");
        tried.emplace_back("the readings merged byte by byte", GaveText(best));
    }
    best.tried = std::move(tried);
    // The length most readings cut short stated (of as many, the shortest).
    for (const auto& candidate : stated) {
        const int votes = std::get<2>(candidate);
        const std::size_t length = merge::RecordLength(std::get<0>(candidate));
        const auto most = [&](const auto& s) {
            const int other = std::get<2>(s);
            return other > votes || (other == votes && merge::RecordLength(std::get<0>(s)) < length);
        };
        if (std::none_of(stated.begin(), stated.end(), most)) {
            best.stated = {length, std::get<1>(candidate), votes};
            break;
        }
    }
    return best;
}

}  // namespace sonokas::tape
