// Whole-process measurements for the benchmarks: wall time and peak memory of a program run.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace bench {

struct ProcessFigures {
    double seconds = 0;
    double peakMiB = 0;
    bool ok = false;
    std::string error;  // why not ok
};

// A program run: its arguments, and where its standard input and output come from and go.
struct Command {
    std::vector<std::string> argv;
    std::string stdinFile;   // fed through a pipe by `cat FILE`, as in `cat FILE | PROGRAM`; empty: none
    std::string stdoutFile;  // receives the standard output; empty: it is discarded
};

// Runs a program; wall time and the peak resident memory of the program itself (not of the
// cat that feeds it), from its start to its end.
ProcessFigures RunMeasured(const Command& command);

// The best time of each benchmark by name, for the ratios printed at the end.
extern std::map<std::string, double> bestSeconds;

// Checks a run by its standard output: an error text, or empty when the run did its work.
using OutputCheck = std::function<std::string(const std::string& output)>;

// Times the program once per iteration; reports its peak memory beside the size of the sample
// buffer of a recording of `frames` frames at `rate`, and twice that plus 8 MiB. Gives the best
// time and the highest peak; `ok` is false (and the benchmark skipped with an error) when the
// program cannot run or a run fails the check.
ProcessFigures Measure(benchmark::State& state, const std::string& name, const Command& command,
                       std::uint64_t frames, int rate, const OutputCheck& check = {});

// "NAME / OTHER time ratio: R (note)" when both were measured.
void PrintRatio(const std::string& name, const std::string& other, const char* note);

// This process's resident anonymous memory now (RssAnon): what a child it forks starts with, and
// so counts in that child's peak until it replaces itself with another program. 0 when unknown.
double ResidentMiB();

// The whole contents of a file ("" when it cannot be read).
std::string ReadText(const std::string& path);

}  // namespace bench
