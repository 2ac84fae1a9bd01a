#include "converter/tape/attempts.hpp"

#include <algorithm>

#include "converter/decoder/cursor.hpp"
#include "converter/decoder/reader.hpp"
#include "converter/decoder/timing.hpp"
#include "converter/output/tape_image.hpp"
#include "converter/settings.hpp"
#include "converter/signal/calibration.hpp"
#include "converter/tape/whole_record.hpp"

namespace sonokas::tape {

namespace {

int Rank(const RecordAttempt& attempt) {
    if (attempt.outcome == output::AttemptOutcome::good) return 3;
    if (attempt.outcome == output::AttemptOutcome::bad) return attempt.report.early ? 1 : 2;
    return 0;
}

// Every attempt starts at the record's first sample, as the run loop rewinds to the first.
void Rewind(std::int32_t begin) {
    decoder::cursor.position = begin;
    decoder::cursor.lastBoundary = begin;
    decoder::cursor.previousSample =
        begin > 0 && begin <= decoder::track.sampleCount ? decoder::track.samples[begin - 1] : 0;
    output::image.byteCount = 0;
}

}  // namespace

bool BetterAttempt(const RecordAttempt& a, const RecordAttempt& b) {
    if (Rank(a) != Rank(b)) return Rank(a) > Rank(b);
    if (a.problems != b.problems) return a.problems < b.problems;
    return a.image.size() > b.image.size();
}

RecordAttempt AttemptRecord(std::int32_t begin, int& attemptsMade, std::int32_t signalEnd) {
    attemptsMade = 0;
    RecordAttempt best;
    if (settings.failCount <= 0) {
        return best;
    }
    const std::int32_t firstExact = settings.exactValue;
    const int alternatives = settings.autoCalibrate ? signal::AlternativeCount() : 0;
    const int total = settings.failCount + alternatives;
    // A caller may end the track where the record's stretch ends; the calibration's
    // alternatives point the decoders at the whole track again.
    const std::int32_t trackEnd = decoder::track.sampleCount;
    // Edges found before serve the first attempt only: the others read other samples or settings.
    const std::vector<std::int32_t>* const edges = decoder::reader.edges;
    for (int k = 0; k < total; ++k) {
        decoder::reader.edges = k == 0 ? edges : nullptr;
        decoder::reader.edgeIndex = 0;
        if (k > 0 && k <= alternatives) {
            settings.exactValue = firstExact;
            signal::ApplyAlternative(k - 1);
        } else if (k > alternatives) {
            if (settings.autoCalibrate) {
                signal::RestoreCalibration();
            }
            // The further "/fail" attempts: exactValue raised by one each, in wrapping arithmetic.
            settings.exactValue = static_cast<std::int32_t>(static_cast<std::uint32_t>(firstExact) +
                                                            static_cast<std::uint32_t>(k - alternatives));
        }
        decoder::track.sampleCount = std::min(decoder::track.sampleCount, trackEnd);
        Rewind(begin);
        const std::int32_t problemsBefore = decoder::problemCount;
        RecordAttempt attempt;
        attempt.outcome = output::DecodeRecord();
        if (signalEnd >= 0 && attempt.outcome != output::AttemptOutcome::noLead) {
            attempt.outcome = FinishWholeRecord(signalEnd, attempt.outcome, attempt.readOn, attempt.header);
        }
        attempt.report = output::report;
        // A header ends with its signal, not where its addresses point: no early end.
        attempt.report.early = attempt.report.early && !attempt.header;
        attempt.problems = decoder::problemCount - problemsBefore;
        attempt.image.assign(output::image.data.begin(), output::image.data.begin() + output::image.byteCount);
        attempt.endPosition = decoder::cursor.position;
        attempt.number = k + 1;
        ++attemptsMade;
        if (k == 0 || BetterAttempt(attempt, best)) {
            best = std::move(attempt);
        }
        if (best.outcome != output::AttemptOutcome::bad) {
            break;
        }
    }
    decoder::reader.edges = nullptr;
    settings.exactValue = firstExact;
    if (settings.autoCalibrate && alternatives > 0) {
        signal::RestoreCalibration();
    }
    std::copy(best.image.begin(), best.image.end(), output::image.data.begin());
    output::image.byteCount = static_cast<std::int32_t>(best.image.size());
    return best;
}

}  // namespace sonokas::tape
