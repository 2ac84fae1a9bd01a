// Whole-process time and peak memory of the converter on a long recording (over 30 minutes,
// 44100 Hz, 16-bit stereo), side by side with sox doing the same conversion to 8-bit mono.
//
//   build/bench/converter_bench [--benchmark_filter=...]
//
// The recording is generated once into the temp directory (about 330 MB) and removed at the end.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/measure.hpp"
#include "tools/audio_writer.hpp"
#include "tools/tape_signal.hpp"

namespace {


struct LongRecording {
    std::filesystem::path dir;
    std::string wav;
    std::uint64_t frames = 0;

    // 65535 data bytes last 31 min 40 s; a spoiled checksum makes /fail use every attempt.
    explicit LongRecording(bool spoiled) {
        dir = std::filesystem::temp_directory_path() /
              ("sonokas-bench-" + std::to_string(getpid()) + (spoiled ? "-spoiled" : "-sound"));
        std::filesystem::create_directories(dir);
        wav = (dir / "long.wav").string();
        tapegen::TapeRecord record;
        record.start = 0;
        record.checksumError = spoiled ? 1 : 0;
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
    static LongRecording recording(true);
    return recording;
}

// The same record read with a right checksum, for the runs that stop at a good attempt.
LongRecording& SoundRecording() {
    static LongRecording recording(false);
    return recording;
}

void Measure(benchmark::State& state, const std::string& name, const std::vector<std::string>& argv) {
    bench::Command command;
    command.argv = argv;
    bench::Measure(state, name, command, Recording().frames, 44100);
}

void BM_SonokasTiming(benchmark::State& state) {
    const auto& r = Recording();
    Measure(state, "sonokas", {SONOKAS_BINARY, r.wav, (r.dir / "out.gtp").string()});
}

void BM_SonokasSound(benchmark::State& state) {
    const auto& r = SoundRecording();
    Measure(state, "sonokas-sound", {SONOKAS_BINARY, r.wav, (r.dir / "out.gtp").string()});
}

void BM_SonokasAuto(benchmark::State& state) {
    const auto& r = SoundRecording();
    Measure(state, "sonokas-auto", {SONOKAS_BINARY, "/auto", r.wav, (r.dir / "auto.gtp").string()});
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
BENCHMARK(BM_SonokasSound)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SonokasAuto)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SonokasExactFail10)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_Sox)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("\n");
    bench::PrintRatio("sonokas", "sox", "below 1 means SONOKAS is faster");
    bench::PrintRatio("sonokas-auto", "sonokas-sound", "what /auto costs over the default run");
    return 0;
}
