// SONOKAS with "/inter" under a virtual X display: doubtful bits answered with real key presses.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/run_program.hpp"
#include "tools/audio_writer.hpp"
#include "tools/tape_signal.hpp"

// Last: Xlib's macros (None, Status, True, ...) must not reach the other headers.
#include <X11/Xlib.h>

namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

constexpr int kRate = 44100;
constexpr auto kPatience = 30s;

std::string Shell(const std::string& command) {
    std::string output;
    if (std::FILE* pipe = popen(command.c_str(), "r")) {
        char chunk[512];
        std::size_t got = 0;
        while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, got);
        pclose(pipe);
    }
    return output;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
    return count;
}

// A virtual X server of our own for the whole suite, so that no display is needed.
class XServer {
public:
    bool Start() {
        int fds[2];
        if (pipe(fds) != 0) return false;
        pid_ = fork();
        if (pid_ == 0) {
            close(fds[0]);
            const int devNull = open("/dev/null", O_RDWR);
            dup2(devNull, 1);
            dup2(devNull, 2);
            const std::string fd = std::to_string(fds[1]);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x800x24", "-nolisten", "tcp",
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        if (pid_ < 0) return false;
        // Xvfb writes its display number once it accepts clients.
        std::string number;
        pollfd wait{fds[0], POLLIN, 0};
        char c = 0;
        while (poll(&wait, 1, 20000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
        close(fds[0]);
        if (number.empty()) return false;
        display_ = ":" + number;
        return true;
    }

    void Stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }

    const std::string& display() const { return display_; }

private:
    pid_t pid_ = -1;
    std::string display_;
};

XServer server;

// Sends the window manager's "close" request, as a click on the window's close button does.
bool RequestClose(const std::string& display, unsigned long window) {
    Display* connection = XOpenDisplay(display.c_str());
    if (connection == nullptr) return false;
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(connection, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(connection, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    const Status sent = XSendEvent(connection, window, False, NoEventMask, &event);
    XFlush(connection);
    XCloseDisplay(connection);
    return sent != 0;
}

// One converter run in the background, its standard output going to a file.
class Converter {
public:
    Converter(const std::vector<std::string>& arguments, const std::string& outputPath) : outputPath_(outputPath) {
        pid_ = fork();
        if (pid_ == 0) {
            setenv("DISPLAY", server.display().c_str(), 1);
            const int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int devNull = open("/dev/null", O_RDWR);
            dup2(devNull, 0);
            dup2(out, 1);
            dup2(devNull, 2);
            std::vector<char*> argv{const_cast<char*>(SONOKAS_BINARY)};
            for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
            argv.push_back(nullptr);
            execv(SONOKAS_BINARY, argv.data());
            _exit(127);
        }
    }
    ~Converter() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    std::string Output() const { return ReadText(outputPath_); }

    // Waits until the output holds `count` doubtful-bit lines; false when the run ends or stalls first.
    bool WaitForQuestion(std::size_t count) {
        const auto until = std::chrono::steady_clock::now() + kPatience;
        while (std::chrono::steady_clock::now() < until) {
            if (Count(Output(), "Problem in : ") >= count) {
                // The picture is shown right before the line is flushed; give the server a moment.
                std::this_thread::sleep_for(300ms);
                return true;
            }
            if (HasExited()) return false;
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }

    // The window's id, once it is mapped; 0 when none appears.
    unsigned long Window() const {
        const std::string found = Shell("DISPLAY=" + server.display() + " timeout 20 xdotool search --sync" +
                                        " --onlyvisible --name '^SONOKAS$' 2>/dev/null");
        return std::strtoul(found.c_str(), nullptr, 10);
    }

    // The exit status, or -1 when the run does not end in time.
    int Wait() {
        const auto until = std::chrono::steady_clock::now() + kPatience;
        while (!HasExited() && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(20ms);
        return exited_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
    }

private:
    bool HasExited() {
        if (!exited_ && waitpid(pid_, &status_, WNOHANG) == pid_) exited_ = true;
        return exited_;
    }

    std::string outputPath_;
    pid_t pid_ = -1;
    bool exited_ = false;
    int status_ = 0;
};

void PressKey(unsigned long window, const std::string& key) {
    // The key's release may reach a window already gone after the last answer: no message then.
    const std::string command =
        "DISPLAY=" + server.display() + " xdotool key --window " + std::to_string(window) + " " + key + " 2>/dev/null";
    std::system(command.c_str());
}

// The window's picture as a PNG; gives "width height colours" of the saved image.
std::string Screenshot(unsigned long window, const std::string& path) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    const std::string display = "DISPLAY=" + server.display();
    // On a loaded machine the capture now and then comes back empty: it is taken again.
    std::string picture;
    for (int attempt = 0; attempt < 3 && picture.empty(); ++attempt) {
        std::system((display + " import -window " + std::to_string(window) + " '" + path + "'").c_str());
        picture = Shell("identify -format '%w %h %k' '" + path + "' 2>/dev/null");
    }
    return picture;
}

struct Record {
    tapegen::TapeRecord tape;
    Bytes bytes;                       // as the tape carries them
    std::vector<std::size_t> doubtful;  // tape byte indices whose first 1 bit is weak
};

// 64 data bytes; the first 1 bit of data bytes 5 and 12 has a middle pulse of 0.3 of full scale,
// whose smaller flank sum (38) lies in the doubt band of the exact values 35 (read as 1) and 40 (as 0).
Record WeakRecord() {
    Record record;
    record.tape.leadIn = 40;
    record.tape.start = 0x3000;
    for (int i = 0; i < 64; ++i) record.tape.data.push_back(static_cast<std::uint8_t>(i * 37 + 11));
    record.bytes = tapegen::RecordBytes(record.tape);
    const std::size_t firstData = static_cast<std::size_t>(record.tape.leadIn) + 5;
    record.doubtful = {firstData + 5, firstData + 12};
    return record;
}

std::vector<float> Render(const Record& record) {
    tapegen::SignalOptions options;
    auto pulses = tapegen::LayOutPulses({record.bytes}, options);
    for (std::size_t index : record.doubtful) {
        const int bit = std::countr_zero(record.bytes[index]);
        tapegen::FindPulse(pulses, tapegen::SlotTime(options, index, bit) + tapegen::kHalfSlot)->height = 0.3;
    }
    return tapegen::RenderPulses(pulses, kRate, options);
}

// The GTP file of the record's bytes after the lead-in, the weak bits set as answered.
Bytes ExpectedGtp(const Record& record, const std::vector<int>& answers) {
    Bytes payload(record.bytes.begin() + record.tape.leadIn, record.bytes.end());
    for (std::size_t n = 0; n < record.doubtful.size(); ++n) {
        auto& byte = payload[record.doubtful[n] - static_cast<std::size_t>(record.tape.leadIn)];
        const auto mask = static_cast<std::uint8_t>(1u << std::countr_zero(record.bytes[record.doubtful[n]]));
        byte = static_cast<std::uint8_t>(answers[n] != 0 ? byte | mask : byte & ~mask);
    }
    const auto length = static_cast<std::uint32_t>(payload.size());
    Bytes file{0x00, static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8),
               static_cast<std::uint8_t>(length >> 16), static_cast<std::uint8_t>(length >> 24)};
    file.insert(file.end(), payload.begin(), payload.end());
    return file;
}

class ErrorViewEndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() { serverUp = server.Start(); }
    static void TearDownTestSuite() { server.Stop(); }

    void SetUp() override {
        ASSERT_TRUE(serverUp) << "Xvfb could not be started";
        record_ = WeakRecord();
        input_ = dir_.File("weak.wav");
        ASSERT_TRUE(tapegen::WriteWav(input_, Render(record_), tapegen::PcmFormat{}));
    }

    static bool serverUp;
    testsupport::TempDir dir_;
    Record record_;
    std::string input_;
};

bool ErrorViewEndToEnd::serverUp = false;

TEST_F(ErrorViewEndToEnd, KeyPressesDecideTheDoubtfulBits) {
    struct Case {
        const char* exact;
        std::vector<std::string> keys;
        std::vector<int> bits;  // what the keys make of the two weak bits
        const char* screenshot;
    };
    // With 35 both weak bits are read as 1 and with 40 as 0; the keys overrule either way.
    const Case cases[] = {
        {"35", {"0", "1"}, {0, 1}, "error_view.png"},
        {"40", {"1", "Escape"}, {1, 0}, nullptr},
        {"40", {"space", "KP_1"}, {0, 1}, nullptr},
        {"35", {"1", "a"}, {1, 0}, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("/exact ") + c.exact + " keys " + c.keys[0] + " " + c.keys[1]);
        const std::string gtp = dir_.File("out.gtp");
        Converter run({"/exact", c.exact, "/inter", input_, gtp}, dir_.File("console.txt"));
        const unsigned long window = run.Window();
        ASSERT_NE(window, 0u) << run.Output();
        for (std::size_t n = 0; n < c.keys.size(); ++n) {
            ASSERT_TRUE(run.WaitForQuestion(n + 1)) << run.Output();
            if (n == 0 && c.screenshot != nullptr) {
                EXPECT_EQ(Screenshot(window, std::string(ARTIFACT_DIR) + "/" + c.screenshot).substr(0, 8), "1000 600");
            }
            PressKey(window, c.keys[n]);
        }
        EXPECT_EQ(run.Wait(), 1) << run.Output();
        EXPECT_EQ(Count(run.Output(), "Problem in : "), 2u) << run.Output();
        EXPECT_EQ(testsupport::ReadFileBytes(gtp), ExpectedGtp(record_, c.bits));
    }
}

TEST_F(ErrorViewEndToEnd, TheScreenshotShowsTraceHighlightMarkerAndCaption) {
    Converter run({"/exact", "35", "/inter", input_, dir_.File("out.gtp")}, dir_.File("console.txt"));
    const unsigned long window = run.Window();
    ASSERT_NE(window, 0u);
    ASSERT_TRUE(run.WaitForQuestion(1));
    const std::string shot = dir_.File("shot.png");
    ASSERT_EQ(Screenshot(window, shot).substr(0, 8), "1000 600");
    // Each colour of the picture is on the screen: background, trace, highlight, marker, caption.
    const std::string histogram = Shell("convert '" + shot + "' -format %c histogram:info:- 2>/dev/null");
    for (const char* colour : {"#FFFFFF", "#14A0A0", "#000000", "#FF3232", "#0000A0"}) {
        EXPECT_NE(histogram.find(colour), std::string::npos) << colour << "\n" << histogram;
    }
    PressKey(window, "1");
    ASSERT_TRUE(run.WaitForQuestion(2));
    PressKey(window, "1");
    EXPECT_EQ(run.Wait(), 1);
}

TEST_F(ErrorViewEndToEnd, ClosingTheWindowEndsTheRunInsteadOfGuessing) {
    const std::string gtp = dir_.File("out.gtp");
    Converter run({"/exact", "35", "/inter", input_, gtp}, dir_.File("console.txt"));
    const unsigned long window = run.Window();
    ASSERT_NE(window, 0u);
    ASSERT_TRUE(run.WaitForQuestion(1));
    ASSERT_TRUE(RequestClose(server.display(), window));
    EXPECT_EQ(run.Wait(), 0);
    const std::string output = run.Output();
    const std::string error = "\n-- Error: The interactive window was closed before the bit was decided!\n";
    ASSERT_GE(output.size(), error.size());
    EXPECT_EQ(output.substr(output.size() - error.size()), error);
    EXPECT_EQ(Count(output, "Problem in : "), 1u);
    EXPECT_TRUE(testsupport::ReadFileBytes(gtp).empty());  // no record written
}

TEST(ErrorViewWithoutDisplay, TheRunStopsBeforeAnyAttempt) {
    testsupport::TempDir dir;
    const std::string input = dir.File("weak.wav");
    ASSERT_TRUE(tapegen::WriteWav(input, Render(WeakRecord()), tapegen::PcmFormat{}));
    const std::string gtp = dir.File("out.gtp");
    const auto result =
        testsupport::RunProgram("env", {"-u", "DISPLAY", SONOKAS_BINARY, "/exact", "35", "/inter", input, gtp});
    EXPECT_EQ(result.exitStatus, 0);
    const std::string tail = "Rate: 44100 Hz\n\n-- Error: Cannot open the interactive window!\n";
    ASSERT_GE(result.output.size(), tail.size()) << result.output;
    EXPECT_EQ(result.output.substr(result.output.size() - tail.size()), tail);
    EXPECT_FALSE(std::filesystem::exists(gtp));
}

}  // namespace
