// "/report": what a whole-tape run found, as JSON for scripts or as one self-contained HTML
// page for people. The writer only renders the facts it is given.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sonokas::report {

// Every time is in seconds from the recording's start. Every member has a default, so that
// designated initializers may leave any out without a warning.

struct Problem {
    std::int32_t byte = 0;  // index in the record as stored, the sync byte 0
    double time = 0;
    std::string message{};
};

// One way the record was read, and what that reading gave: "as it is" / "checksum wrong".
struct Attempt {
    std::string what{};
    std::string gave{};
};

// The signal around one problem, as the decoders saw it.
struct Excerpt {
    double startTime = 0;                // time of samples[0]
    std::int32_t rate = 0;
    std::vector<std::int8_t> samples{};  // signed 8-bit, at most a few thousand
    std::vector<double> slotTimes{};     // where each bit slot begins, within the excerpt
    std::vector<int> bits{};             // the bit decided in each slot (0, 1; -1 not known)
    double problemTime = 0;              // the doubtful spot
    std::int32_t byte = 0;
    std::string message{};
};

struct RecordFacts {
    int number = 0;
    double start = 0, end = 0;
    bool header = false;
    std::optional<std::string> name{};  // bytes as read from tape (any values)
    int startAddress = 0, endAddress = 0, length = 0;
    std::string verdict{};  // the summary's word: "good", "checksum wrong", "ended early", "wrong sync"
    std::optional<int> copyOf{};
    std::optional<double> speed{};             // % of the standard timing; a slower tape shows < 100
    std::optional<double> levelDb{}, snrDb{};  // the pulses' level in dBFS; signal over noise in dB
    std::string channel{};                     // "mono", "mixed channels", "left channel", "right channel"
    std::vector<Attempt> attempts{};
    std::vector<Problem> problems{};
    std::vector<Excerpt> excerpts{};
};

struct Summary {
    int records = 0, good = 0, bad = 0, copies = 0;
};

struct TapeFacts {
    std::string path{}, type{};
    std::int32_t rate = 0;
    int channels = 0;
    double duration = 0;
    std::vector<std::string> settings{};  // the options as given on the command line
    std::vector<RecordFacts> records{};
    Summary summary{};
    double levelStep = 1.0;
    std::vector<float> levelDb{};  // the recording's peak level in dBFS, one value per levelStep
    bool interrupted = false;      // the run was stopped; the records read so far
};

// By the file name's extension (.json or .html, any case); false when it cannot be written or
// the extension is neither.
bool WriteReport(const TapeFacts& facts, const std::string& path);

// The file name ends in .json or .html (any case).
bool IsReportPath(const std::string& path);

// The JSON report: plain ASCII, tape bytes that are not printable ASCII as \u00XX escapes.
std::string JsonText(const TapeFacts& facts);

// The HTML report: inline CSS and SVG, no script, nothing fetched.
std::string HtmlText(const TapeFacts& facts);

}  // namespace sonokas::report
