// Whole-process time and peak memory of the converter on a long recording (over 30 minutes,
// 44100 Hz, 16-bit stereo), side by side with sox doing the same conversion to 8-bit mono.
//
//   build/bench/converter_bench [--benchmark_filter=...]
//
// The recording is generated once into the temp directory (about 330 MB) and removed at the end.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tools/audio_writer.hpp"
#include "tools/tape_signal.hpp"

namespace {

struct ProcessFigures {
    double seconds = 0;
    double peakMiB = 0;
    bool ok = false;
};

// Runs a program with its output discarded; wall time and the child's peak resident memory.
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

struct LongRecording {
    std::filesystem::path dir;
    std::string wav;
    std::uint64_t frames = 0;

    LongRecording() {
        dir = std::filesystem::temp_directory_path() / ("sonokas-bench-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir);
        wav = (dir / "long.wav").string();
        // 65535 data bytes last 31 min 40 s; a spoiled checksum makes /fail use every attempt.
        tapegen::TapeRecord record;
        record.start = 0;
        record.checksumError = 1;
        std::uint32_t x = 5;
        for (int i = 0; i < 65535; ++i) {
            x = x * 1664525u + 1013904223u;
            record.data.push_back(static_cast<std::uint8_t>(x >> 24));
        }
        const auto signal = tapegen::RenderRecord(record, 44100, {});
        frames = signal.size();
        tapegen::WriteWav(wav, signal, {44100, 16, 2});
    }
    ~LongRecording() {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
};

LongRecording& Recording() {
    static LongRecording recording;
    return recording;
}

std::map<std::string, double> bestSeconds;

void Measure(benchmark::State& state, const std::string& name, const std::vector<std::string>& argv) {
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
    const double bufferMiB = static_cast<double>(Recording().frames) / (1024.0 * 1024.0);
    state.counters["peak_MiB"] = last.peakMiB;
    state.counters["buffer_MiB"] = bufferMiB;
    state.counters["audio_min"] = static_cast<double>(Recording().frames) / 44100.0 / 60.0;
}

void BM_SonokasTiming(benchmark::State& state) {
    const auto& r = Recording();
    Measure(state, "sonokas", {SONOKAS_BINARY, r.wav, (r.dir / "out.gtp").string()});
}

void BM_SonokasExactFail10(benchmark::State& state) {
    const auto& r = Recording();
    Measure(state, "sonokas-exact", {SONOKAS_BINARY, "/exact", "0", "/fail", "10", r.wav, (r.dir / "exact.gtp").string()});
}

void BM_Sox(benchmark::State& state) {
    const auto& r = Recording();
    Measure(state, "sox", {"sox", "-D", r.wav, "-t", "raw", "-e", "signed", "-b", "8", "-c", "1", (r.dir / "out.raw").string()});
}

BENCHMARK(BM_SonokasTiming)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SonokasExactFail10)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_Sox)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (bestSeconds.count("sonokas") && bestSeconds.count("sox")) {
        std::printf("\nSONOKAS / sox time ratio: %.2f (below 1 means SONOKAS is faster)\n",
                    bestSeconds["sonokas"] / bestSeconds["sox"]);
    }
    return 0;
}
