#include "bench/measure.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace bench {

namespace {

// In a child: `fd` becomes `target` (standard input or output).
void Redirect(int fd, int target) {
    if (fd < 0 || dup2(fd, target) < 0) _exit(127);
    close(fd);
}

[[noreturn]] void Exec(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

}  // namespace

std::map<std::string, double> bestSeconds;

ProcessFigures RunMeasured(const Command& command) {
    ProcessFigures figures;
    const auto begin = std::chrono::steady_clock::now();
    int pipeEnds[2] = {-1, -1};
    pid_t feeder = 0;
    if (!command.stdinFile.empty()) {
        if (pipe(pipeEnds) != 0) return figures;
        feeder = fork();
        if (feeder == 0) {
            close(pipeEnds[0]);
            Redirect(pipeEnds[1], STDOUT_FILENO);
            Exec({"cat", command.stdinFile});
        }
    }
    const pid_t child = feeder < 0 ? -1 : fork();
    if (child == 0) {
        if (pipeEnds[0] >= 0) {
            close(pipeEnds[1]);
            Redirect(pipeEnds[0], STDIN_FILENO);
        }
        const char* out = command.stdoutFile.empty() ? "/dev/null" : command.stdoutFile.c_str();
        Redirect(open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644), STDOUT_FILENO);
        Exec(command.argv);
    }
    if (pipeEnds[0] >= 0) {
        close(pipeEnds[0]);
        close(pipeEnds[1]);
    }
    int status = 0;
    rusage usage{};
    const bool waited = child > 0 && wait4(child, &status, 0, &usage) == child;
    figures.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    figures.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
    figures.ok = waited && WIFEXITED(status) && WEXITSTATUS(status) != 127;
    if (feeder > 0) {
        // cat ends once the file is read, or on a broken pipe where the program stopped reading
        // early; either way its status says nothing about the program.
        int feederStatus = 0;
        waitpid(feeder, &feederStatus, 0);
    }
    return figures;
}

ProcessFigures Measure(benchmark::State& state, const std::string& name, const Command& command,
                       std::uint64_t frames, int rate, const OutputCheck& check) {
    ProcessFigures result;
    result.seconds = 1e9;
    for (auto _ : state) {
        const ProcessFigures run = RunMeasured(command);
        std::string error = run.ok ? "" : "cannot run " + command.argv[0];
        if (error.empty() && check) error = check(ReadText(command.stdoutFile));
        if (!error.empty()) {
            state.SkipWithError(error.c_str());
            return {.error = error};
        }
        state.SetIterationTime(run.seconds);
        result.seconds = std::min(result.seconds, run.seconds);
        result.peakMiB = std::max(result.peakMiB, run.peakMiB);
    }
    result.ok = true;
    bestSeconds[name] = result.seconds;
    const double bufferMiB = static_cast<double>(frames) / (1024.0 * 1024.0);
    state.counters["peak_MiB"] = result.peakMiB;
    state.counters["buffer_MiB"] = bufferMiB;
    state.counters["limit_MiB"] = 2 * bufferMiB + 8;
    state.counters["audio_min"] = static_cast<double>(frames) / rate / 60.0;
    return result;
}

void PrintRatio(const std::string& name, const std::string& other, const char* note) {
    if (bestSeconds.count(name) && bestSeconds.count(other)) {
        std::printf("%s / %s time ratio: %.2f (%s)\n", name.c_str(), other.c_str(), bestSeconds[name] / bestSeconds[other],
                    note);
    }
}

double ResidentMiB() {
    const std::string status = ReadText("/proc/self/status");
    const auto at = status.find("RssAnon:");
    return at == std::string::npos ? 0 : std::strtod(status.c_str() + at + 8, nullptr) / 1024.0;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace bench
