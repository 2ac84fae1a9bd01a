// Whole-process measurements for the benchmarks: wall time and peak memory of a program run.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace bench {

struct ProcessFigures {
    double seconds = 0;
    double peakMiB = 0;
    bool ok = false;
};

// Runs a program with its output discarded; wall time and the child's peak resident memory.
ProcessFigures RunMeasured(const std::vector<std::string>& argv);

// The best time of each benchmark by name, for the ratios printed at the end.
extern std::map<std::string, double> bestSeconds;

// Times the program once per iteration; reports its peak memory beside the size of the sample
// buffer of a recording of `frames` frames at `rate`, and twice that plus 8 MiB.
void Measure(benchmark::State& state, const std::string& name, const std::vector<std::string>& argv,
             std::uint64_t frames, int rate);

// "NAME / OTHER time ratio: R (note)" when both were measured.
void PrintRatio(const std::string& name, const std::string& other, const char* note);

}  // namespace bench
