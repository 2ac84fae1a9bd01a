// A whole tape from a pipe, as a sound card delivers it: each record's lines come out while the
// tape still plays, and a run stopped by a signal keeps the records read so far, whole, in the
// output and in the report.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <string>
#include <vector>

#include "tests/support/run_program.hpp"
#include "tools/audio_writer.hpp"
#include "tools/tape_signal.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr int kRate = 22050;

// SONOKAS with its standard input and output on pipes.
class LiveRun {
public:
    explicit LiveRun(const std::vector<std::string>& arguments) {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            close(in[0]), close(in[1]), close(out[0]), close(out[1]);
            std::vector<char*> argv{const_cast<char*>(SONOKAS_BINARY)};
            for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(SONOKAS_BINARY, argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        input_ = in[1];
        output_ = out[0];
    }
    ~LiveRun() {
        if (pid_ > 0) Finish();
    }
    void Write(const Bytes& bytes, std::size_t from, std::size_t to) {
        for (std::size_t at = from; at < to;) {
            const ssize_t n = write(input_, bytes.data() + at, to - at);
            if (n <= 0) return;
            at += static_cast<std::size_t>(n);
        }
    }
    // Reads standard output until it holds `text`, for at most `seconds`.
    bool WaitFor(const std::string& text, double seconds) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (printed_.find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline || !ReadSome(100)) return printed_.find(text) != std::string::npos;
        }
        return true;
    }
    void Signal(int number) { kill(pid_, number); }
    // Closes standard input, reads the rest of the output and gives the exit status.
    int Finish() {
        if (input_ >= 0) close(input_), input_ = -1;
        while (ReadSome(10000)) {
        }
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        close(output_);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    const std::string& printed() const { return printed_; }

private:
    bool ReadSome(int milliseconds) {
        pollfd p{output_, POLLIN, 0};
        if (poll(&p, 1, milliseconds) <= 0) return poll(&p, 1, 0) > 0 && ReadSome(0);
        char buffer[4096];
        const ssize_t n = read(output_, buffer, sizeof buffer);
        if (n <= 0) return false;
        printed_.append(buffer, static_cast<std::size_t>(n));
        return true;
    }
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    std::string printed_;
};

// Three records 4 s apart, as a WAV stream of unknown length, and where the second begins.
struct LiveTape {
    Bytes wav;
    std::size_t secondStarts = 0;
    std::vector<Bytes> payloads;
};

LiveTape MakeTape() {
    LiveTape tape;
    std::vector<Bytes> bytes;
    for (int r = 0; r < 3; ++r) {
        tapegen::TapeRecord record;
        record.start = static_cast<std::uint16_t>(0x3000 + 0x100 * r);
        record.data = Bytes(60, static_cast<std::uint8_t>(0x11 * (r + 1)));
        tape.payloads.push_back(tapegen::RecordPayload(record));
        bytes.push_back(Bytes(100, 0));
        bytes.back().insert(bytes.back().end(), tape.payloads.back().begin(), tape.payloads.back().end());
    }
    tapegen::SignalOptions options;
    options.gap = 4.0;
    const auto pulses = tapegen::LayOutPulses(bytes, options);
    const std::vector<float> signal = tapegen::RenderPulses(pulses, kRate, options);
    tape.wav = tapegen::EncodeWav(signal, kRate, tapegen::WavVariant{.unknownSizes = true});
    // The second record's first pulse: after the first record's pulses and its closing pulse.
    std::size_t first = 1;
    for (std::uint8_t b : bytes[0]) first += 8 + static_cast<std::size_t>(__builtin_popcount(b));
    const auto frame = static_cast<std::size_t>(pulses[first].time * kRate) - kRate / 2;
    tape.secondStarts = tape.wav.size() - signal.size() * 2 + frame * 2;
    return tape;
}

// The GTP blocks of a file: each standard block's payload.
std::vector<Bytes> Blocks(const Bytes& file) {
    std::vector<Bytes> blocks;
    for (std::size_t at = 0; at + 5 <= file.size();) {
        const std::size_t size = file[at + 1] | file[at + 2] << 8 | file[at + 3] << 16 | std::size_t{file[at + 4]} << 24;
        if (at + 5 + size > file.size()) {
            blocks.push_back({});  // a block cut short
            break;
        }
        blocks.emplace_back(file.begin() + static_cast<long>(at + 5), file.begin() + static_cast<long>(at + 5 + size));
        at += 5 + size;
    }
    return blocks;
}

TEST(Live, EachRecordIsPrintedWhileTheTapePlaysAndAStopKeepsWhatWasRead) {
    const LiveTape tape = MakeTape();
    struct Case {
        const char* what;
        std::vector<std::string> options;
        bool stop;
    };
    const Case cases[] = {
        {"played to the end", {"/multi"}, false},
        {"played to the end, /auto", {"/auto", "/multi"}, false},
        {"stopped after the first record", {"/multi"}, true},
        {"stopped after the first record, /auto", {"/auto", "/multi"}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::TempDir dir;
        std::vector<std::string> arguments = c.options;
        arguments.insert(arguments.end(), {"/report", dir.File("SIDE.json"), "-", dir.File("SIDE.gtp")});
        LiveRun run(arguments);
        run.Write(tape.wav, 0, tape.secondStarts);
        // The first record's verdict arrives before the second record is played.
        ASSERT_TRUE(run.WaitFor("Succesfully read all bytes!", 30)) << run.printed();
        EXPECT_EQ(run.printed().find("Record 2"), std::string::npos);
        if (c.stop) {
            run.Signal(SIGINT);
        } else {
            run.Write(tape.wav, tape.secondStarts, tape.wav.size());
        }
        EXPECT_EQ(run.Finish(), 1);
        const std::vector<Bytes> blocks = Blocks(testsupport::ReadFileBytes(dir.File("SIDE.gtp")));
        const std::vector<Bytes> expected(tape.payloads.begin(), tape.payloads.begin() + (c.stop ? 1 : 3));
        EXPECT_EQ(blocks, expected);
        EXPECT_NE(run.printed().find(c.stop ? "Records: 1, good: 1" : "Records: 3, good: 3"), std::string::npos)
            << run.printed();
        // The report holds the records read, and says when the run was stopped.
        const Bytes bytes = testsupport::ReadFileBytes(dir.File("SIDE.json"));
        const std::string report(bytes.begin(), bytes.end());
        EXPECT_NE(report.find(c.stop ? "\"interrupted\": true" : "\"interrupted\": false"), std::string::npos) << report;
        EXPECT_NE(report.find(c.stop ? "\"records\": 1" : "\"records\": 3"), std::string::npos) << report;
    }
}

}  // namespace
