// Whole tapes: SONOKAS reading every record of a recording beside sox converting it to 8-bit mono
// and cat reading it, with the wall time (best of the iterations) and the peak memory of each.
//
//   build/bench/tape_bench                                      # every tape, about 1.5 minutes
//   build/bench/tape_bench --benchmark_filter='/(30|60)min/'    # the two short tapes, 15 s
//   build/bench/tape_bench --benchmark_filter='/(120min|96k)'   # the two long ones
//   build/bench/tape_bench --benchmark_filter='/60min/(auto_multi|sox|cat)/'
//
// Benchmarks are named tape/TAPE/RUN. Tapes, of records of 6150 data bytes (3 min 3 s each, with
// a second of silence either side):
//   30min        10 records, 30.6 min, 44100 Hz 16-bit mono, 162 MB
//   60min        20 records, 61.2 min, 44100 Hz 16-bit mono, 324 MB
//   120min       40 records, 122.3 min, 44100 Hz 16-bit mono, 647 MB
//   96k24stereo  20 records, 61.2 min, 96000 Hz 24-bit stereo, 2.1 GB; the right channel carries
//                the signal at 0.9 of the left, so that the channels differ
//   60minquiet   the 60min tape recorded 36 dB lower with pink hiss 20 dB under it: "/auto" reads
//                its records conditioned, as the window grows
// Runs: auto_multi "SONOKAS /auto /multi TAPE OUT.gtp", multi "SONOKAS /multi TAPE OUT.gtp",
// auto_multi_pipe "cat TAPE | SONOKAS /auto /multi - OUT.gtp" (SONOKAS's own peak, not cat's),
// sox "sox -D TAPE -t raw -e signed -b 8 -c 1 OUT" and cat "cat TAPE > /dev/null". A SONOKAS run
// that does not end with "Records: N, good: N" for the tape's N records is an error (its row says
// why, and the program exits with 1): a broken run's time means nothing.
//
// A tape is written once, record by record, into the temp directory ($TMPDIR, else /tmp) when the
// first benchmark that needs it runs; everything is removed at the end. A full run needs about
// 4.7 GB there (3.5 GB of tapes, 1.1 GB of sox output), and today up to 2.1 GB more while SONOKAS
// copies standard input to a file of its own.
//
// At the end a markdown table gives every run, its time against sox's and cat's, and its peak
// memory, then per tape whether "/auto /multi" (from the file and from a pipe) meets the goals:
// at most 0.25 of sox's time, at most 4 times cat's, at most 64 MiB.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "bench/measure.hpp"
#include "tools/audio_writer.hpp"
#include "tools/tape_signal.hpp"

namespace {

constexpr int kDataBytes = 6150;  // with the lead-in, the other record bytes and 2 s of silence: 3 minutes
constexpr double kMaxSoxShare = 0.25;
constexpr double kMaxCatFactor = 4;
constexpr double kMaxPeakMiB = 64;

struct TapeKind {
    const char* key;    // in the benchmark names
    const char* label;  // in the table
    int records;
    tapegen::PcmFormat format;
    int iterations;
    bool quiet = false;  // 36 dB lower, with pink hiss 20 dB under the signal
};

const TapeKind kTapes[] = {
    {"30min", "30 min, 44.1 kHz 16-bit mono", 10, {44100, 16, 1}, 3},
    {"60min", "60 min, 44.1 kHz 16-bit mono", 20, {44100, 16, 1}, 3},
    {"120min", "120 min, 44.1 kHz 16-bit mono", 40, {44100, 16, 1}, 2},
    {"96k24stereo", "60 min, 96 kHz 24-bit stereo", 20, {96000, 24, 2, -1, -1, 0.9f}, 2},
    {"60minquiet", "60 min, 44.1 kHz 16-bit mono, quiet", 20, {44100, 16, 1}, 2, true},
};

enum Run { kAutoMulti, kMulti, kAutoMultiPipe, kSox, kCat, kRuns };
const char* const kRunKeys[kRuns] = {"auto_multi", "multi", "auto_multi_pipe", "sox", "cat"};
const char* const kRunLabels[kRuns] = {"SONOKAS /auto /multi TAPE", "SONOKAS /multi TAPE",
                                       "cat TAPE \\| SONOKAS /auto /multi -", "sox", "cat"};

// The directory of one run's tapes and outputs, removed at the end.
struct WorkDir {
    std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("sonokas-tape-bench-" + std::to_string(getpid()));
    WorkDir() { std::filesystem::create_directories(path); }
    ~WorkDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string File(const std::string& name) const { return (path / name).string(); }
};

WorkDir& Dir() {
    static WorkDir dir;
    return dir;
}

struct Tape {
    std::string wav;
    std::uint64_t frames = 0;
    bool written = false;
    bool ok = false;
};

Tape tapes[std::size(kTapes)];

void WriteTape(const TapeKind& kind, const std::string& path) {
    tapegen::WavWriter writer(path, kind.format);
    std::uint32_t x = 7;
    for (int r = 0; r < kind.records; ++r) {
        tapegen::TapeRecord record;
        record.start = static_cast<std::uint16_t>(0x2C36 + r);
        for (int i = 0; i < kDataBytes; ++i) {
            x = x * 1664525u + 1013904223u;
            record.data.push_back(static_cast<std::uint8_t>(x >> 24));
        }
        tapegen::SignalOptions options;
        options.leadingSilence = 1.0;
        options.trailingSilence = 1.0;
        if (kind.quiet) options.levelDb = -36, options.hissSnrDb = 20;
        writer.Append(tapegen::RenderRecord(record, kind.format.sampleRate, options));
    }
    _exit(writer.Close() ? 0 : 1);
}

// Writes the tape on first use, one record rendered at a time and appended, in a child process:
// a program started later begins as a copy of this process, and that copy counts in its peak
// memory, so this process holds no record's signal.
const Tape& TapeOf(std::size_t index) {
    Tape& tape = tapes[index];
    if (tape.written) return tape;
    tape.written = true;
    const TapeKind& kind = kTapes[index];
    tape.wav = Dir().File(std::string(kind.key) + ".wav");
    const auto begin = std::chrono::steady_clock::now();
    std::fflush(nullptr);
    const pid_t writer = fork();
    if (writer == 0) WriteTape(kind, tape.wav);
    int status = 0;
    tape.ok = writer > 0 && waitpid(writer, &status, 0) == writer && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    std::error_code error;
    const std::uintmax_t bytes = std::filesystem::file_size(tape.wav, error);
    tape.ok = tape.ok && !error;
    if (tape.ok) tape.frames = (bytes - 44) / static_cast<std::uint64_t>(kind.format.bits / 8 * kind.format.channels);
    std::fprintf(stderr, "tape_bench: %s %s (%.0f MB) in %.1f s\n", tape.ok ? "wrote" : "FAILED to write",
                 tape.wav.c_str(), tape.ok ? static_cast<double>(bytes) / 1e6 : 0.0,
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
    return tape;
}

// A SONOKAS run is worth timing only when it read every record of the tape, each good.
std::string CheckRecords(const std::string& output, int expected) {
    const auto at = output.rfind("Records: ");
    int records = -1;
    int good = -1;
    if (at == std::string::npos || std::sscanf(output.c_str() + at, "Records: %d, good: %d", &records, &good) != 2) {
        return "no tape summary in SONOKAS's output";
    }
    if (records == expected && good == expected) return "";
    return "SONOKAS read " + std::to_string(records) + " records (" + std::to_string(good) + " good) of " +
           std::to_string(expected);
}

struct Row {
    bench::ProcessFigures figures;
    std::string error;
};

std::map<std::pair<std::size_t, int>, Row> rows;

void BenchmarkRun(benchmark::State& state, std::size_t index, Run run) {
    const TapeKind& kind = kTapes[index];
    Row& row = rows[{index, run}];
    const Tape& tape = TapeOf(index);
    if (!tape.ok) {
        row.error = "cannot write " + tape.wav;
        state.SkipWithError(row.error.c_str());
        return;
    }
    const std::string stem = Dir().File(std::string(kind.key) + "-" + kRunKeys[run]);
    bench::Command command;
    switch (run) {
        case kAutoMulti:
            command.argv = {SONOKAS_BINARY, "/auto", "/multi", tape.wav, stem + ".gtp"};
            break;
        case kMulti:
            command.argv = {SONOKAS_BINARY, "/multi", tape.wav, stem + ".gtp"};
            break;
        case kAutoMultiPipe:
            command.argv = {SONOKAS_BINARY, "/auto", "/multi", "-", stem + ".gtp"};
            command.stdinFile = tape.wav;
            break;
        case kSox:
            command.argv = {"sox", "-D", tape.wav, "-t", "raw", "-e", "signed", "-b", "8", "-c", "1", stem + ".raw"};
            break;
        case kCat:
            command.argv = {"cat", tape.wav};
            break;
        case kRuns:
            break;
    }
    bench::OutputCheck check;
    if (run == kAutoMulti || run == kMulti || run == kAutoMultiPipe) {
        command.stdoutFile = stem + ".txt";
        check = [&kind](const std::string& output) { return CheckRecords(output, kind.records); };
    }
    row.figures = bench::Measure(state, std::string(kind.key) + "/" + kRunKeys[run], command, tape.frames,
                                 kind.format.sampleRate, check);
    row.error = row.figures.error;
}

const Row* Find(std::size_t index, int run) {
    const auto found = rows.find({index, run});
    return found != rows.end() && found->second.figures.ok ? &found->second : nullptr;
}

std::string Ratio(const Row& row, const Row* base) {
    if (base == nullptr) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", row.figures.seconds / base->figures.seconds);
    return text;
}

// "0.80 x sox (no), 10.1 x cat (no), 160 MiB (no)", and whether all three are met, or unknown.
std::string Judge(std::size_t index, int run, bool& met, bool& known) {
    const Row* row = Find(index, run);
    const Row* sox = Find(index, kSox);
    const Row* cat = Find(index, kCat);
    if (row == nullptr) {
        known = false;
        return rows.count({index, run}) ? "error" : "not measured";
    }
    auto verdict = [&](bool measured, bool holds) {
        known = known && measured;
        met = met && holds;
        return !measured ? " (?)" : holds ? " (yes)" : " (no)";
    };
    const double soxShare = sox ? row->figures.seconds / sox->figures.seconds : 0;
    const double catFactor = cat ? row->figures.seconds / cat->figures.seconds : 0;
    char text[160];
    std::snprintf(text, sizeof text, "%s x sox%s, %s x cat%s, %.0f MiB%s", Ratio(*row, sox).c_str(),
                  verdict(sox != nullptr, soxShare <= kMaxSoxShare), Ratio(*row, cat).c_str(),
                  verdict(cat != nullptr, catFactor <= kMaxCatFactor), row->figures.peakMiB,
                  verdict(true, row->figures.peakMiB <= kMaxPeakMiB));
    return text;
}

// Prints the table and the goals; false when any run failed.
bool PrintTable() {
    std::printf("\n| tape | run | time s | x sox | x cat | peak MiB |\n|---|---|---:|---:|---:|---:|\n");
    for (std::size_t t = 0; t < std::size(kTapes); ++t) {
        for (int r = 0; r < kRuns; ++r) {
            const auto found = rows.find({t, r});
            if (found == rows.end()) continue;
            const Row& row = found->second;
            if (!row.figures.ok) {
                std::printf("| %s | %s | error: %s | | | |\n", kTapes[t].label, kRunLabels[r], row.error.c_str());
                continue;
            }
            std::printf("| %s | %s | %.3f | %s | %s | %.1f |\n", kTapes[t].label, kRunLabels[r], row.figures.seconds,
                        Ratio(row, Find(t, kSox)).c_str(), Ratio(row, Find(t, kCat)).c_str(), row.figures.peakMiB);
        }
    }
    std::printf("\nA started program holds a copy of this process (%.1f MiB resident) until it becomes the program\n"
                "measured, so no peak falls below that.\n",
                bench::ResidentMiB());
    std::printf("\nGoals for /auto /multi (loud tapes; the quiet one shows what conditioning costs): at most %.2f x sox,"
                " at most %.0f x cat, at most %.0f MiB.\n", kMaxSoxShare, kMaxCatFactor, kMaxPeakMiB);
    for (std::size_t t = 0; t < std::size(kTapes); ++t) {
        if (kTapes[t].quiet || (!rows.count({t, kAutoMulti}) && !rows.count({t, kAutoMultiPipe}))) continue;
        bool met = true;
        bool known = true;
        const std::string file = Judge(t, kAutoMulti, met, known);
        const std::string pipe = Judge(t, kAutoMultiPipe, met, known);
        std::printf("- %s: goals %s; file %s; pipe %s\n", kTapes[t].label,
                    !met ? "NOT met" : known ? "met" : "unknown (a run is missing or failed)", file.c_str(), pipe.c_str());
    }
    for (const auto& [key, row] : rows) {
        if (!row.figures.ok) return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    for (std::size_t t = 0; t < std::size(kTapes); ++t) {
        for (int r = 0; r < kRuns; ++r) {
            // Without /auto a quiet tape reads nothing, as the documented reading does.
            if (kTapes[t].quiet && r == kMulti) continue;
            const std::string name = std::string("tape/") + kTapes[t].key + "/" + kRunKeys[r];
            benchmark::RegisterBenchmark(name.c_str(),
                                         [t, r](benchmark::State& state) { BenchmarkRun(state, t, static_cast<Run>(r)); })
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond)
                ->Iterations(kTapes[t].iterations);
        }
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return PrintTable() ? 0 : 1;
}
