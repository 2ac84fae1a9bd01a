// The attempts at one record that keep the best: "/fail" retries and, with "/auto", the
// calibration's alternatives, each starting again where the record begins.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "converter/decoder/reader.hpp"
#include "converter/output/record.hpp"
#include "converter/tape/tape.hpp"

namespace sonokas::decoder {
struct Reader;
}
namespace sonokas::signal {
struct Calibration;
}

namespace sonokas::tape {

struct RecordAttempt {
    output::AttemptOutcome outcome = output::AttemptOutcome::noLead;
    output::RecordReport report;
    std::int32_t problems = 0;         // decoder problem reports during the attempt
    std::vector<std::uint8_t> image;   // the image bytes the attempt built
    std::vector<float> confidence;     // each byte's, from the sync byte on
    std::vector<std::int64_t> byteStarts;  // where each of those bytes began
    std::int32_t endPosition = 0;      // where the decoder stopped
    int number = 0;                    // 1 for the first attempt
    std::int32_t readOn = 0;           // bytes read on past the record's stated end
    bool header = false;               // a program header, judged by the sum of all its bytes
    // A header whose bytes were all read clearly but whose sum is not the one the rule wants:
    // the rule is our generator's, not the machine's, so its checksum is not known.
    bool checksumUnknown = false;
    bool merged = false;                // the readings merged byte by byte (each byte agreed or sure)
    StatedLength stated;  // the length that most readings cut short stated
    std::vector<decoder::ProblemNote> notes;  // the problems its decoders reported
    // Every attempt made at the record (on the best only): what it read and what that gave.
    std::vector<std::pair<std::string, std::string>> tried;
};

// True when `a` is a better reading than `b`: a right checksum first, then a complete record
// that ends where its addresses say, then one that reads on, one cut short, one without its sync
// byte; then fewer doubtful bytes, clearer bytes over all, fewer problem reports, more bytes.
bool BetterAttempt(const RecordAttempt& a, const RecordAttempt& b);

// What an attempt gave, in the summary's words ("no lead" where it found none).
const char* GaveText(const RecordAttempt& a);

// The decoder an attempt without the calibration read with: the timing decoder, or the exact
// decoder with its value.
std::string DecoderText(std::int32_t exactValue);

// After readings that all failed (a bad `best` of `attempts`): which one the output holds, what
// it gave, and where its bytes in doubt lie, so that the recording can be looked at there. One
// whose every byte was read clearly yet whose sum is wrong had bits changed that left no trace (a
// lossy copy moves and makes pulses so), or was saved so: only another copy or pass can tell.
// A good `best` whose sum holds over two bytes or more read in doubt is told with those bytes.
void SayKept(decoder::Reader& say, const RecordAttempt& best, int attempts);

// Reads the record whose signal begins at sample `begin`: the first attempt with `first` as it
// is; while attempts are bad, the alternatives of `calibration` (with "/auto"; none without one) and then the rest of
// "/fail" with exactValue raised by one each time, each on a reader of its own. Stops at the first
// attempt that is not bad (with the calibration, at the first good one with at most one byte in
// doubt, else at the end, where the readings are merged) and gives the best. `attemptsMade`
// counts the attempts. With
// `signalEnd` at 0 or above, every attempt reads on to that sample and is judged as a whole
// (FinishWholeRecord). The readers' messages go to `first`'s log. With `cutByEnd` (the record's
// signal goes on to the recording's end), a reading that ran out there with every byte before
// its last read clearly is kept as read: another reading finds no more samples.
RecordAttempt AttemptRecord(const decoder::Reader& first, signal::Calibration* calibration, std::int32_t begin,
                            int& attemptsMade, std::int32_t signalEnd = -1, bool cutByEnd = false);

// True when `a` ran out at the recording's end with every byte before its last read clearly.
bool ClearUpToTheEnd(const RecordAttempt& a);

}  // namespace sonokas::tape
