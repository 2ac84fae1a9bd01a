#include "converter/driver.hpp"

#include <signal.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <algorithm>

#include "converter/decoder/cursor.hpp"
#include "converter/decoder/error_view.hpp"
#include "converter/decoder/reader.hpp"
#include "converter/input/readers.hpp"
#include "converter/merge/tape_merge.hpp"
#include "converter/output/record.hpp"
#include "converter/output/tape_image.hpp"
#include "gtp/gtp.hpp"
#include "converter/report/tape_report.hpp"
#include "converter/output/tape_image.hpp"
#include "converter/run_start.hpp"
#include "converter/signal/calibration.hpp"
#include "converter/stream/recording_stream.hpp"
#include "converter/tape/attempts.hpp"
#include "converter/tape/tape.hpp"
#include "converter/tape/window.hpp"
#include "gtp/stdio_file.hpp"

namespace sonokas {

namespace {

constexpr const char* kUsage[] = {
    "\nUsage: SONOKAS options [INPUT.VOC|.WAV|.CSW] [OUTPUT.GTP|.BIN]\n",
    "\n       Options: /bin       - Create .Binary file instead of GTP\n",
    "                /thr num   - Set Threshold to num (default: 220)\n",
    "                /up        - Reverse detection direction\n",
    "                /exact num - Use Exact algorythm with value num\n",
    "                /name str  - Insert the NAME block with str\n",
    "                /fail num  - Increase exact for num times until OK\n",
    "                /inter     - Turn on Interactive Erorr fixing\n",
};

constexpr const char* kTooLong = "Too long name on command line (255 characters at most)!";

// Leading blanks, a sign and digits; no digits give 0; values past 32 bits are clamped.
std::int32_t ParseNumber(const char* text) {
    errno = 0;
    const long long value = std::strtoll(text, nullptr, 10);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<std::int32_t>(value);
}

// Options begin with "/"; an absolute path such as /tmp/TAPE.WAV (a further "/" inside)
// is a file name, since no option word holds a second "/".
bool IsOption(const char* argument) {
    return argument[0] == '/' && std::strchr(argument + 1, '/') == nullptr;
}

std::string Format(const char* format, const char* argument) {
    const int size = std::snprintf(nullptr, 0, format, argument);
    std::string text(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    std::snprintf(text.data(), text.size() + 1, format, argument);
    return text;
}

const char* StatusMessage(input::LoadStatus status) {
    switch (status) {
        case input::LoadNoMemory: return "Not enough memory to load input file!";
        case input::LoadBadVersion: return "This version of the sample file is not supported!";
        case input::LoadBadFormat: return "The sample data is in a unsupported format!";
        case input::LoadEmpty: return "The sample file is empty!";
        default: return nullptr;
    }
}

}  // namespace

std::optional<std::string> ScanArguments(int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (!IsOption(argument)) {
            ++settings.fileNameCount;
            if (settings.fileNameCount > 2) {
                return "Too Many files on command line!";
            }
            SettingText& path = settings.fileNameCount == 1 ? settings.inputPath : settings.outputPath;
            if (!path.Assign(argument)) {
                return kTooLong;
            }
            continue;
        }
        const char option = argument[1];
        const bool takesValue =
            option == 'e' || option == 'f' || option == 'n' || option == 't' || option == 'r' || option == 'w';
        if (takesValue && i + 1 >= argc) {
            // The value is missing: the option cannot be carried out.
            return Format("Invalid Option %s !", argument);
        }
        switch (option) {
            case 'a': settings.autoCalibrate = true; break;
            case 'm': settings.multiRecord = true; break;
            case 'b': settings.binaryOutput = true; break;
            case 'i': settings.interactive = true; break;
            case 'u': settings.reverseDirection = true; break;
            case 'e': settings.exactValue = ParseNumber(argv[++i]); break;
            case 'f': settings.failCount = ParseNumber(argv[++i]); break;
            case 't':
                settings.threshold = ParseNumber(argv[++i]);
                settings.thresholdGiven = true;
                break;
            case 'n':
                if (!settings.nameText.Assign(argv[++i])) {
                    return kTooLong;
                }
                break;
            case 'r':
                if (!settings.reportPath.Assign(argv[++i])) {
                    return kTooLong;
                }
                break;
            case 'w':
                // The next argument is the file, even when it begins with "/".
                if (settings.withCount >= static_cast<std::int32_t>(settings.withPaths.size())) {
                    return "Too many /with files (8 at most)!";
                }
                if (!settings.withPaths[static_cast<std::size_t>(settings.withCount++)].Assign(argv[++i])) {
                    return kTooLong;
                }
                break;
            default: return Format("Invalid Option %s !", argument);
        }
    }
    return std::nullopt;
}

std::optional<std::string> DeriveOutputPath(std::string_view path, std::string_view extension) {
    std::string result;
    const auto dot = path.rfind('.');
    if (dot == std::string_view::npos) {
        result = std::string(path) + ".";
    } else {
        result = std::string(path.substr(0, dot + 1));
    }
    result += extension;
    if (result.size() > 255) {
        return std::nullopt;
    }
    return result;
}

void PrintSampleInfo(const input::SampleInfo& info) {
    std::printf("\nType: %s\n", info.typeText);
    std::printf("Duration: %02d hrs %02d mins %02d.%02d secs\n", info.hours, info.minutes, info.seconds,
                info.hundredths);
    std::printf("Rate: %d Hz\n", info.sampleRate);
}

namespace {

// One record's run, kept for its report: the attempt written, where its lead-in begins, and
// whether the calibration read it.
struct OneRecord {
    tape::RecordAttempt written;
    std::vector<decoder::ProblemNote> notes;  // the documented attempts' problems, attempt by attempt
    std::int64_t begin = 0;
    bool calibrated = false;
};

OneRecord oneRecord;

// After each documented attempt: it is the one written, and one more tried.
void KeepAttempt() {
    tape::RecordAttempt& a = oneRecord.written;
    const output::RecordReport& report = output::report;
    a.report = report;
    a.outcome = report.leadIn == 0                            ? output::AttemptOutcome::noLead
                : !report.early && report.sum == gtp::kChecksumGood ? output::AttemptOutcome::good
                                                                    : output::AttemptOutcome::bad;
    a.image.assign(output::image.data.begin(), output::image.data.begin() + output::image.byteCount);
    a.notes = std::move(oneRecord.notes);
    oneRecord.notes.clear();
    a.endPosition = decoder::cursor.position;
    a.tried.emplace_back(tape::DecoderText(settings.exactValue), tape::GaveText(a));
}

// The report of a run of one record.
void WriteOneRecordReport(const input::SampleInfo& info, const std::vector<std::string>& arguments) {
    report::TapeFacts facts;
    facts.path = settings.inputPath.view();
    facts.type = info.typeText;
    facts.rate = info.sampleRate;
    facts.channels = input::channelSamples.channels;
    facts.duration = info.sampleRate > 0 ? static_cast<double>(info.sampleCount) / info.sampleRate : 0;
    facts.settings = arguments;
    const tape::RecordAttempt& a = oneRecord.written;
    const std::string channel = facts.channels >= 2 ? "mixed channels" : "mono";
    if (!a.tried.empty() && a.outcome != output::AttemptOutcome::noLead) {
        const tape::TapeEntry entry = tape::EntryOf(a, 1, oneRecord.begin, std::max<std::int64_t>(a.endPosition, oneRecord.begin),
                                                    oneRecord.calibrated ? &signal::recording : nullptr);
        facts.records.push_back(tape::FactsOf(entry, std::max(info.sampleRate, 1), channel));
        facts.summary = {1, entry.verdict == tape::Verdict::good ? 1 : 0, entry.verdict == tape::Verdict::good ? 0 : 1, 0};
    }
    if (!report::WriteReport(facts, settings.reportPath.c_str())) {
        std::printf("\nCannot write the report file!\n");
    }
}

}  // namespace

void RunAttempts(void (*afterAttempt)()) {
    while (settings.failCount > 0) {
        const output::AttemptOutcome outcome = output::ConvertRecord();
        if (afterAttempt != nullptr) {
            afterAttempt();
        }
        if (outcome == output::AttemptOutcome::bad) {
            --settings.failCount;
        } else {
            settings.failCount = 0;
        }
        // Raised in wrapping arithmetic: a value at the top of the range must not overflow.
        settings.exactValue = static_cast<std::int32_t>(static_cast<std::uint32_t>(settings.exactValue) + 1u);
        decoder::cursor.position = 0;
        decoder::cursor.lastBoundary = 0;
        decoder::cursor.previousSample = 0;
        output::image.byteCount = 0;
    }
}

void RunAutoRecord() {
    if (settings.failCount <= 0) {
        return;
    }
    decoder::Reader first;
    decoder::TakeSettings(first);
    first.cursor.sampleRate = decoder::cursor.sampleRate;
    const std::int32_t begin = signal::CalibrateNextRecord(signal::recording, 0, first);
    if (begin < 0) {
        // Nothing that looks like a lead-in: the documented attempts on the recording as it is.
        signal::UseDocumentedSettings(signal::recording, first);
        signal::PrintCalibration(signal::recording, first);
        RunAttempts(settings.reportPath.empty() ? nullptr : KeepAttempt);
        return;
    }
    signal::PrintCalibration(signal::recording, first);
    gtp::File file = gtp::OpenFile(settings.outputPath.c_str(), "wb");
    int attempts = 0;
    tape::RecordAttempt best = tape::AttemptRecord(first, &signal::recording, begin, attempts);
    if (best.outcome != output::AttemptOutcome::noLead) {
        output::WriteImage(file.get(), best.image);
    }
    tape::SayKept(first, best, attempts);
    oneRecord.written = std::move(best);
    oneRecord.begin = begin;
    oneRecord.calibrated = true;
}

namespace {

// The recording as the record loop reads it.
class StreamFeed : public tape::SampleFeed {
public:
    explicit StreamFeed(stream::RecordingStream* recording) : recording_(recording) {}
    std::size_t Read(std::int8_t* mix, std::int16_t* fine, std::int16_t* left, std::int16_t* right,
                     std::size_t frames) override {
        return recording_ != nullptr ? recording_->Read(mix, fine, left, right, frames) : 0;
    }
    bool Fine() const override { return recording_ != nullptr && recording_->HasFine(); }
    bool Channels() const override { return recording_ != nullptr && recording_->HasChannels(); }

private:
    stream::RecordingStream* recording_;
};

extern "C" void RequestStop(int) { tape::stopRequested = 1; }

// SIGINT and SIGTERM end a whole-tape run after the record being read; a read that waits for
// the pipe is broken off (no restart), so that the end comes at once.
void StopOnSignals() {
    tape::CatchSignal(SIGINT, RequestStop);
    tape::CatchSignal(SIGTERM, RequestStop);
}

// The recordings of "/with", opened before anything is decoded: one that cannot be read ends
// the run at once, as the main input does.
std::vector<std::unique_ptr<stream::RecordingStream>> OpenPasses() {
    std::vector<std::unique_ptr<stream::RecordingStream>> passes;
    for (std::int32_t k = 0; k < settings.withCount; ++k) {
        const char* path = settings.withPaths[static_cast<std::size_t>(k)].c_str();
        {
            gtp::File file = gtp::OpenFile(path, "rb");
            if (!file) ErrorExit(Format("Cannot open the /with file %s!", path));
            if (std::fgetc(file.get()) == EOF) ErrorExit(Format("The /with file %s is empty!", path));
        }
        auto pass = std::make_unique<stream::RecordingStream>();
        const input::LoadStatus status = pass->Open(path, settings.autoCalibrate);
        if (status == input::LoadEmpty) ErrorExit(Format("The /with file %s is empty!", path));
        if (status != input::LoadOk) {
            const char* message = StatusMessage(status);
            ErrorExit(message != nullptr ? Format("%s", message) + Format(" (/with %s)", path)
                                         : Format("The /with file %s is not a recording!", path));
        }
        passes.push_back(std::move(pass));
    }
    return passes;
}

// Reads every record of the recording (none: an empty one) into tapeLog, as the options say.
void ReadTape(stream::RecordingStream* recording, const tape::TapeOptions& options) {
    StreamFeed feed(recording);
    if (settings.interactive) {
        tape::RunTape(feed, options);
    } else {
        // The recording is read and converted on a thread of its own while records are decoded.
        tape::ThreadedFeed ahead(feed, &tape::stopRequested);
        tape::RunTape(ahead, options);
    }
}

// Reads the passes of "/with" and merges their records with the main recording's (in tapeLog)
// and copies on the tape with each other; writes the output again when that changed it.
void MergeRecordings(std::vector<std::unique_ptr<stream::RecordingStream>>& passes) {
    const std::int32_t rate = decoder::cursor.sampleRate;
    auto line = [](int number, const char* path) {
        const auto& entries = tape::tapeLog.entries;
        const auto good = std::count_if(entries.begin(), entries.end(),
                                        [](const tape::TapeEntry& e) { return e.verdict == tape::Verdict::good; });
        std::printf("\nRecording %i: %s: %zu records, %zu good\n", number, path, entries.size(),
                    static_cast<std::size_t>(good));
    };
    if (!passes.empty()) line(1, settings.inputPath.c_str());
    std::vector<std::vector<tape::TapeEntry>> recordings{std::move(tape::tapeLog.entries)};
    for (std::size_t k = 0; k < passes.size() && tape::stopRequested == 0; ++k) {
        const std::int32_t passRate = passes[k]->Info().sampleRate;
        decoder::cursor.sampleRate = passRate;
        tape::TapeOptions quietly;
        quietly.output = false;
        quietly.summary = false;
        ReadTape(passes[k].get(), quietly);
        line(static_cast<int>(k) + 2, settings.withPaths[k].c_str());
        std::fflush(stdout);
        // The passes' times at the main recording's rate.
        for (tape::TapeEntry& e : tape::tapeLog.entries) {
            if (passRate <= 0) break;
            e.leadStart = e.leadStart * rate / passRate;
            e.signalEnd = e.signalEnd * rate / passRate;
        }
        recordings.push_back(std::move(tape::tapeLog.entries));
    }
    decoder::cursor.sampleRate = rate;
    bool changed = false;
    tape::tapeLog.entries = merge::MergeTape(recordings, changed);
    if (changed) tape::WriteTape(tape::tapeLog.entries);
}

}  // namespace

void RunWholeTape(const std::vector<std::string>& arguments) {
    const bool fromPipe = settings.inputPath.view() == "-";
    if (!fromPipe && !gtp::OpenFile(settings.inputPath.c_str(), "rb")) {
        ErrorExit("Cannot open input file!");
    }
    StopOnSignals();
    stream::RecordingStream recording;
    const input::LoadStatus status =
        fromPipe ? recording.Open(stream::DescriptorInput(0, &tape::stopRequested), settings.autoCalibrate)
                 : recording.Open(settings.inputPath.c_str(), settings.autoCalibrate);
    if (status == input::LoadOk) {
        if (recording.LengthKnown()) {
            PrintSampleInfo(recording.Info());
        } else {
            std::printf("\nType: %s\n", recording.Info().typeText);
            std::printf("Duration: unknown, read as it arrives\n");
            std::printf("Rate: %d Hz\n", recording.Info().sampleRate);
        }
        std::fflush(stdout);
        decoder::cursor.sampleRate = recording.Info().sampleRate;
    } else if (const char* message = StatusMessage(status)) {
        ErrorExit(message);
    }
    std::vector<std::unique_ptr<stream::RecordingStream>> passes = OpenPasses();
    if (settings.failCount > 0 && !CanCreateOutput(settings.outputPath.c_str())) {
        ErrorExit("Cannot create output file!");
    }
    if (settings.interactive) {
        decoder::OpenErrorView();
    }
    report::TapeFacts facts;
    tape::TapeOptions options;
    if (!settings.reportPath.empty()) options.report = &facts;
    options.summary = false;
    // No reader takes the file: the run goes on with an empty recording.
    ReadTape(status == input::LoadOk ? &recording : nullptr, options);
    if (settings.failCount > 0) {
        MergeRecordings(passes);
        tape::PrintSummary();
    }
    if (options.report != nullptr) {
        facts.path = settings.inputPath.view();
        facts.type = status == input::LoadOk ? recording.Info().typeText : "";
        facts.rate = decoder::cursor.sampleRate;
        facts.channels = status == input::LoadOk ? recording.Channels() : 0;
        facts.settings = arguments;
        tape::FillReport(facts, facts.channels >= 2 ? "mixed channels" : "mono");
        if (!report::WriteReport(facts, settings.reportPath.c_str())) {
            std::printf("\nCannot write the report file!\n");
        }
    }
}

int RunConverter(int argc, const char* const* argv) {
    if (const auto status = AnswerInfoRequest(argc, argv)) {
        return *status;
    }
    std::printf("\nVOC/CSW/WAV to GTP (Galaksija Tape) Converter - 0.06\n");
    if (argc <= 1) {
        for (const char* line : kUsage) {
            std::printf("%s", line);
        }
        return 0;
    }
    if (auto error = ScanArguments(argc, argv)) {
        ErrorExit(*error);
    }
    if (settings.fileNameCount == 0) {
        ErrorExit("No Files specified !");
    }
    if (settings.fileNameCount == 1 && settings.inputPath.view() == "-") {
        ErrorExit("No output file given for standard input !");
    }
    if (settings.fileNameCount == 1) {
        auto derived = DeriveOutputPath(settings.inputPath.view(), settings.binaryOutput ? "bin" : "gtp");
        if (!derived || !settings.outputPath.Assign(*derived)) {
            ErrorExit(kTooLong);
        }
    }

    if (!settings.reportPath.empty()) {
        // Found out before anything is decoded, as for the output file.
        if (!report::IsReportPath(settings.reportPath.c_str())) ErrorExit("The report file must end in .json or .html!");
        if (!CanCreateOutput(settings.reportPath.c_str())) ErrorExit("Cannot create report file!");
    }
    if (settings.multiRecord || settings.withCount > 0) {
        // A whole tape is read as a stream, block by block as it arrives.
        RunWholeTape(std::vector<std::string>(argv + 1, argv + argc));
        return 1;
    }
    input::SpoolFile spool;
    const char* inputPath = OpenInput(spool);
    input::SampleInfo info;
    input::SampleBuffer samples;
    std::int32_t sampleCount = 0;
    // "/auto" calibrates on the recording at its own resolution.
    input::channelSamples.mixWanted = settings.autoCalibrate;
    const input::LoadStatus status = input::LoadRecording(inputPath, info, samples, sampleCount);
    input::channelSamples.mixWanted = false;
    if (status == input::LoadOk) {
        PrintSampleInfo(info);
        decoder::cursor.sampleRate = info.sampleRate;
    } else if (const char* message = StatusMessage(status)) {
        ErrorExit(message);
    }
    decoder::track = decoder::SampleTrack{samples.get(), sampleCount};
    if (settings.autoCalibrate) {
        signal::UseRecording(signal::recording, samples.get(), sampleCount, input::channelSamples.mix.get(),
                             input::channelSamples.left.get(), input::channelSamples.right.get(), inputPath);
    }
    // Found out before anything is decoded, not after all of it.
    if (settings.failCount > 0 && !CanCreateOutput(settings.outputPath.c_str())) {
        ErrorExit("Cannot create output file!");
    }

    if (settings.interactive) {
        decoder::OpenErrorView();
    }
    if (!settings.reportPath.empty()) decoder::reader.notes = &oneRecord.notes;
    if (settings.autoCalibrate) {
        RunAutoRecord();
    } else {
        RunAttempts(settings.reportPath.empty() ? nullptr : KeepAttempt);
    }
    decoder::reader.notes = nullptr;
    if (!settings.reportPath.empty()) WriteOneRecordReport(info, std::vector<std::string>(argv + 1, argv + argc));
    decoder::track = decoder::SampleTrack{};
    return 1;
}

}  // namespace sonokas
