// What a new user meets first: --help and --version of the three programs, their manual pages
// as installed, and the errors for an input that cannot be opened and an output that cannot be
// created (each with its whole console output, leaving no file behind).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "tests/support/run_program.hpp"
#include "tools/audio_writer.hpp"
#include "tools/tape_signal.hpp"

namespace {

namespace fs = std::filesystem;
using testsupport::ProgramResult;
using testsupport::RunProgram;

const std::string kBanner = "\nVOC/CSW/WAV to GTP (Galaksija Tape) Converter - 0.06\n";

struct Program {
    const char* name;
    std::string binary;
    std::vector<std::string> options;  // every one must stand at the start of a help line
};

const Program kPrograms[] = {
    {"SONOKAS", SONOKAS_BINARY, {"/bin", "/thr", "/up", "/exact", "/name", "/fail", "/inter", "/auto", "/multi", "/with", "--help", "-h", "--version"}},
    {"KASDIR", KASDIR_BINARY, {"/basic", "--help", "-h", "--version"}},
    {"tapegen", TAPEGEN_BINARY, {"--gtp", "--random", "--rate", "--bits", "--csw-version", "--help", "-h"}},
};

// The option words that begin the lines of a help text ("/thr num ...", "--rate HZ ...", "--help, -h").
std::set<std::string> HelpOptions(const std::string& help) {
    std::set<std::string> found;
    const std::regex line(R"(^ +((?:/|-)[a-z-]+)(?:, (-[a-z-]+))?)", std::regex::multiline);
    for (auto it = std::sregex_iterator(help.begin(), help.end(), line); it != std::sregex_iterator(); ++it) {
        found.insert((*it)[1]);
        if ((*it)[2].matched) found.insert((*it)[2]);
    }
    return found;
}

// The files in a folder, by name.
std::set<std::string> Files(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
    return names;
}

// Runs with the temporary folder as the working folder, so that a stray file would show there.
ProgramResult RunIn(const testsupport::TempDir& dir, const std::string& binary, const std::vector<std::string>& args) {
    const fs::path before = fs::current_path();
    fs::current_path(dir.path());
    const ProgramResult result = RunProgram(binary, args);
    fs::current_path(before);
    return result;
}

TEST(HelpAndVersion, EveryProgramListsItsOptionsAndNamesItsVersion) {
    for (const Program& program : kPrograms) {
        SCOPED_TRACE(program.name);
        testsupport::TempDir dir;
        for (const char* ask : {"--help", "-h"}) {
            const ProgramResult help = RunIn(dir, program.binary, {ask});
            EXPECT_EQ(help.exitStatus, 0);
            EXPECT_EQ(help.output.rfind("Usage: ", 0), 0u) << help.output;
            const std::set<std::string> listed = HelpOptions(help.output);
            for (const std::string& option : program.options) EXPECT_TRUE(listed.count(option)) << option;
        }
        // Also after a file name, where it used to be taken for the output file.
        const ProgramResult late = RunIn(dir, program.binary, {"TAPE.WAV", "--help"});
        EXPECT_EQ(late.exitStatus, 0);
        const ProgramResult version = RunIn(dir, program.binary, {"--version"});
        EXPECT_EQ(version.output, std::string(program.name) + " " + TAPE_TOOLS_VERSION + "\n");
        EXPECT_EQ(version.exitStatus, 0);
        EXPECT_TRUE(Files(dir.path()).empty());
    }
    EXPECT_STREQ(TAPE_TOOLS_VERSION, "0.07");
}

TEST(ManualPages, InstalledRenderedWithoutWarningsAndNamingEveryOption) {
    testsupport::TempDir prefix;
    const ProgramResult install =
        RunProgram("sh", {"-c", "cmake --install \"$0\" --prefix \"$1\" 2>&1", BUILD_DIR, prefix.path().string()});
    ASSERT_EQ(install.exitStatus, 0) << install.output;
    for (const Program& program : kPrograms) {
        SCOPED_TRACE(program.name);
        const fs::path page = prefix.path() / "share/man/man1" / (std::string(program.name) + ".1");
        ASSERT_TRUE(fs::exists(page));
        EXPECT_TRUE(fs::exists(prefix.path() / "bin" / program.name));
        const ProgramResult render = RunProgram("sh", {"-c", "groff -man -ww -Tutf8 -z \"$0\" 2>&1", page.string()});
        EXPECT_EQ(render.output, "");
        EXPECT_EQ(render.exitStatus, 0);
        // Every option that --help lists is named in the page (written there as \-\-name).
        const auto bytes = testsupport::ReadFileBytes(page.string());
        std::string text(bytes.begin(), bytes.end());
        text = std::regex_replace(text, std::regex(R"(\\-)"), "-");
        for (const std::string& option : HelpOptions(RunProgram(program.binary, {"--help"}).output)) {
            EXPECT_NE(text.find(option), std::string::npos) << option;
        }
        EXPECT_NE(text.find(".SH EXIT STATUS"), std::string::npos);
        EXPECT_NE(text.find(".SH EXAMPLES"), std::string::npos);
    }
}

struct FaultCase {
    const char* name;
    std::vector<std::string> args;  // "@" stands for the folder
    std::string output;             // "<three lines>" stands for the recording's Type, Duration and Rate
    int exitStatus;
};

TEST(ConverterFaults, UnopenableInputAndUncreatableOutputEndBeforeDecoding) {
    testsupport::TempDir dir;
    tapegen::TapeRecord record;
    record.data = {1, 2, 3};
    record.leadIn = 40;
    testsupport::WriteFileBytes(dir.File("TAPE.WAV"), tapegen::EncodeWav(tapegen::RenderRecord(record, 22050, {}), {22050, 8, 1}));
    fs::create_directory(dir.path() / "folder");
    // The three lines, as a run that decodes prints them before "Starting conversion".
    const ProgramResult good = RunProgram(SONOKAS_BINARY, {"/fail", "0", dir.File("TAPE.WAV")});
    ASSERT_EQ(good.output.rfind(kBanner + "\nType: Wave Audio File (WAV)\n", 0), 0u) << good.output;
    const std::string threeLines = good.output.substr(kBanner.size());

    const std::string cannotOpen = kBanner + "\n-- Error: Cannot open input file!\n";
    const std::string cannotCreate = kBanner + threeLines + "\n-- Error: Cannot create output file!\n";
    const FaultCase cases[] = {
        {"missing input", {"@/MISSING.WAV", "@/OUT.gtp"}, cannotOpen, 0},
        {"missing input, derived output", {"/fail", "5", "@/MISSING.WAV"}, cannotOpen, 0},
        {"missing input, /bin", {"@/MISSING.WAV", "/bin"}, cannotOpen, 0},
        {"input in a missing folder", {"@/none/TAPE.WAV", "@/OUT.gtp"}, cannotOpen, 0},
        {"output in a missing folder", {"@/TAPE.WAV", "@/none/OUT.gtp"}, cannotCreate, 0},
        {"output is a folder", {"@/TAPE.WAV", "@/folder"}, cannotCreate, 0},
        {"output in a missing folder, /exact and /fail", {"/exact", "3", "/fail", "9", "@/TAPE.WAV", "@/none/OUT.bin"}, cannotCreate, 0},
        // No attempt, so no output file is needed: as it always was.
        {"output in a missing folder, /fail 0", {"/fail", "0", "@/TAPE.WAV", "@/none/OUT.gtp"}, kBanner + threeLines, 1},
        {"standard input without an output", {"-"}, kBanner + "\n-- Error: No output file given for standard input !\n", 0},
    };
    const std::set<std::string> before = Files(dir.path());
    for (const FaultCase& c : cases) {
        std::vector<std::string> args;
        for (std::string arg : c.args) {
            if (arg[0] == '@') arg = dir.path().string() + arg.substr(1);
            args.push_back(arg);
        }
        const ProgramResult run = RunIn(dir, SONOKAS_BINARY, args);
        EXPECT_EQ(run.output, c.output) << c.name;
        EXPECT_EQ(run.exitStatus, c.exitStatus) << c.name;
        EXPECT_EQ(Files(dir.path()), before) << c.name;
        EXPECT_TRUE(fs::is_empty(dir.path() / "folder")) << c.name;
    }
}

}  // namespace
