// A whole tape: "SONOKAS /auto /multi" on a recording of 60 minutes holding 20 records (44100 Hz,
// 16-bit mono), side by side with sox converting it to 8-bit mono, with each process's peak memory.
//
//   build/bench/tape_bench [--benchmark_filter=...]
//
// The recording is written record by record into the temp directory (about 320 MB) and removed
// at the end.
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

constexpr int kRate = 44100;
constexpr int kRecords = 20;
constexpr int kDataBytes = 6150;  // 100 lead-in bytes, 6150 data bytes and 2 s of gap: 3 minutes


void PutLittleEndian(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

struct WholeTape {
    std::filesystem::path dir;
    std::string wav;
    std::uint64_t frames = 0;

    // Renders one record at a time and appends its samples, so no 60-minute signal is held.
    WholeTape() {
        dir = std::filesystem::temp_directory_path() / ("sonokas-tape-bench-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir);
        wav = (dir / "side_a.wav").string();
        std::FILE* file = std::fopen(wav.c_str(), "wb");
        if (file == nullptr) return;
        std::vector<std::uint8_t> header(44, 0);
        std::fwrite(header.data(), 1, header.size(), file);
        const tapegen::PcmFormat format{kRate, 16, 1};
        std::uint32_t x = 7;
        for (int r = 0; r < kRecords; ++r) {
            tapegen::TapeRecord record;
            record.start = static_cast<std::uint16_t>(0x2C36 + r);
            for (int i = 0; i < kDataBytes; ++i) {
                x = x * 1664525u + 1013904223u;
                record.data.push_back(static_cast<std::uint8_t>(x >> 24));
            }
            tapegen::SignalOptions options;
            options.leadingSilence = 1.0;
            options.trailingSilence = 1.0;
            const std::vector<std::uint8_t> pcm = tapegen::EncodePcm(tapegen::RenderRecord(record, kRate, options), format);
            std::fwrite(pcm.data(), 1, pcm.size(), file);
            frames += pcm.size() / 2;
        }
        const auto dataBytes = static_cast<std::uint32_t>(frames * 2);
        header.clear();
        header.insert(header.end(), {'R', 'I', 'F', 'F'});
        PutLittleEndian(header, 36 + dataBytes, 4);
        header.insert(header.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
        PutLittleEndian(header, 16, 4);
        PutLittleEndian(header, 1, 2);
        PutLittleEndian(header, 1, 2);
        PutLittleEndian(header, kRate, 4);
        PutLittleEndian(header, kRate * 2, 4);
        PutLittleEndian(header, 2, 2);
        PutLittleEndian(header, 16, 2);
        header.insert(header.end(), {'d', 'a', 't', 'a'});
        PutLittleEndian(header, dataBytes, 4);
        std::fseek(file, 0, SEEK_SET);
        std::fwrite(header.data(), 1, header.size(), file);
        std::fclose(file);
    }
    ~WholeTape() {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
};

WholeTape& Tape() {
    static WholeTape tape;
    return tape;
}

void Measure(benchmark::State& state, const std::string& name, const std::vector<std::string>& argv) {
    bench::Measure(state, name, argv, Tape().frames, kRate);
}

void BM_SonokasAutoMulti(benchmark::State& state) {
    const auto& t = Tape();
    Measure(state, "sonokas", {SONOKAS_BINARY, "/auto", "/multi", t.wav, (t.dir / "side_a.gtp").string()});
}

void BM_SonokasMulti(benchmark::State& state) {
    const auto& t = Tape();
    Measure(state, "sonokas-multi", {SONOKAS_BINARY, "/multi", t.wav, (t.dir / "plain.gtp").string()});
}

void BM_Sox(benchmark::State& state) {
    const auto& t = Tape();
    Measure(state, "sox", {"sox", "-D", t.wav, "-t", "raw", "-e", "signed", "-b", "8", "-c", "1", (t.dir / "out.raw").string()});
}

BENCHMARK(BM_SonokasAutoMulti)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SonokasMulti)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Sox)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("\n");
    bench::PrintRatio("sonokas", "sox", "at most 0.5 wanted");
    bench::PrintRatio("sonokas-multi", "sox", "without /auto");
    return 0;
}
