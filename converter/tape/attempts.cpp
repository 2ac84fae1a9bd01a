#include "converter/tape/attempts.hpp"

#include <algorithm>
#include <numeric>

#include "converter/decoder/reader.hpp"
#include "converter/settings.hpp"
#include "converter/signal/calibration.hpp"
#include "converter/tape/whole_record.hpp"
#include "gtp/gtp.hpp"

namespace sonokas::tape {

namespace {

int Rank(const RecordAttempt& attempt) {
    if (attempt.outcome == output::AttemptOutcome::good) return 4;
    // A reading that finds more bytes in the record's signal than its addresses hold has slipped
    // a bit somewhere (a pulse lost or one too many): every byte from there on is shifted,
    // however clearly each was read. One that ends where the addresses say has not.
    if (attempt.outcome == output::AttemptOutcome::bad) return attempt.report.early ? 1 : attempt.readOn > 0 ? 2 : 3;
    return 0;
}

// Every attempt starts at the record's first sample, as the run loop rewinds to the first.
void Rewind(decoder::Reader& r, std::int32_t begin) {
    r.cursor.position = begin;
    r.cursor.lastBoundary = begin;
    r.cursor.previousSample = begin > 0 && begin <= r.track.sampleCount ? r.track.samples[begin - 1] : 0;
    r.imageBytes = 0;
    r.edgeIndex = 0;
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

bool BetterAttempt(const RecordAttempt& a, const RecordAttempt& b) {
    if (Rank(a) != Rank(b)) return Rank(a) > Rank(b);
    // Of two bad readings, the one with fewer bytes in question: a problem makes its byte
    // doubtful, and so does a bit decided by a hair or a slot whose own pulse was hardly there.
    const auto doubtful = [](const RecordAttempt& x) {
        return std::count_if(x.confidence.begin(), x.confidence.end(), [](float c) { return !(c >= decoder::kDoubtful); });
    };
    if (doubtful(a) != doubtful(b)) return doubtful(a) < doubtful(b);
    // Then the one whose bits were decided more clearly over all.
    const auto clarity = [](const RecordAttempt& x) { return std::accumulate(x.confidence.begin(), x.confidence.end(), 0.0); };
    if (clarity(a) != clarity(b)) return clarity(a) > clarity(b);
    if (a.problems != b.problems) return a.problems < b.problems;
    return a.image.size() > b.image.size();
}

RecordAttempt AttemptRecord(const decoder::Reader& first, signal::Calibration* calibration, std::int32_t begin,
                            int& attemptsMade, std::int32_t signalEnd) {
    attemptsMade = 0;
    RecordAttempt best;
    if (settings.failCount <= 0) {
        return best;
    }
    const int alternatives = calibration != nullptr ? signal::AlternativeCount(*calibration) : 0;
    const int total = settings.failCount + alternatives;
    // The first reader's track ends where the record's stretch ends; the calibration's
    // alternatives point at whole sources again.
    const std::int32_t trackEnd = first.track.sampleCount;
    const bool gtpMode = !settings.binaryOutput;
    std::vector<std::pair<std::string, std::string>> tried;
    for (int k = 0; k < total; ++k) {
        decoder::Reader r = first;
        if (k > 0) {
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
        Rewind(r, begin);
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
                                  std::all_of(attempt.confidence.begin(), attempt.confidence.end(),
                                              [](float c) { return c >= decoder::kDoubtful; });
        attempt.byteStarts = std::move(reading.byteStarts);
        attempt.endPosition = r.cursor.position;
        attempt.number = k + 1;
        r.notes = nullptr;
        std::string what;
        if (calibration != nullptr && k <= alternatives) {
            what = signal::ReadingText(*calibration, k - 1);
        } else {
            what = DecoderText(r.exactValue);
        }
        tried.emplace_back(std::move(what), GaveText(attempt));
        ++attemptsMade;
        if (k == 0 || BetterAttempt(attempt, best)) {
            best = std::move(attempt);
        }
        // A reading that finds no lead where the calibration measured one has not read the
        // record: the next reading may.
        const bool leadMeasured = calibration != nullptr && !calibration->documented && k < alternatives;
        // A header read clearly is kept as read: another reading cannot make a rule right that
        // is not the machine's.
        if (best.outcome == output::AttemptOutcome::good || best.checksumUnknown ||
            (best.outcome == output::AttemptOutcome::noLead && !leadMeasured)) {
            break;
        }
    }
    best.tried = std::move(tried);
    return best;
}

}  // namespace sonokas::tape
