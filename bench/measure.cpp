#include "bench/measure.hpp"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace bench {

std::map<std::string, double> bestSeconds;

ProcessFigures RunMeasured(const std::vector<std::string>& argv) {
    ProcessFigures figures;
    const auto begin = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        std::freopen("/dev/null", "w", stdout);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    figures.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    figures.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
    figures.ok = WIFEXITED(status) && WEXITSTATUS(status) != 127;
    return figures;
}

void Measure(benchmark::State& state, const std::string& name, const std::vector<std::string>& argv,
             std::uint64_t frames, int rate) {
    ProcessFigures last;
    double best = 1e9;
    for (auto _ : state) {
        last = RunMeasured(argv);
        if (!last.ok) {
            state.SkipWithError(("cannot run " + argv[0]).c_str());
            return;
        }
        state.SetIterationTime(last.seconds);
        best = std::min(best, last.seconds);
    }
    bestSeconds[name] = best;
    const double bufferMiB = static_cast<double>(frames) / (1024.0 * 1024.0);
    state.counters["peak_MiB"] = last.peakMiB;
    state.counters["buffer_MiB"] = bufferMiB;
    state.counters["limit_MiB"] = 2 * bufferMiB + 8;
    state.counters["audio_min"] = static_cast<double>(frames) / rate / 60.0;
}

void PrintRatio(const std::string& name, const std::string& other, const char* note) {
    if (bestSeconds.count(name) && bestSeconds.count(other)) {
        std::printf("%s / %s time ratio: %.2f (%s)\n", name.c_str(), other.c_str(), bestSeconds[name] / bestSeconds[other],
                    note);
    }
}

}  // namespace bench
