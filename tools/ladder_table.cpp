// ladder: converts every record under every rung of the damage ladder and prints a markdown
// table: does the converter read it byte for byte with its default options, with the best
// documented options (the first of a small search that works), and with /auto.
//
//   build/tools/ladder [--sonokas PATH] [--jobs N] [--only TEXT]
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "tools/ladder.hpp"

extern char** environ;

namespace {

const char kUsage[] =
    "Usage: ladder [--sonokas PATH] [--jobs N] [--only TEXT]\n"
    "  --sonokas PATH   the converter (default: SONOKAS beside the tools directory)\n"
    "  --jobs N         conversions at once (default 2)\n"
    "  --only TEXT      only the rungs whose name holds TEXT\n";

// Runs the program with its output discarded (or kept in `output`); true when it could be
// started and ended.
bool Run(const std::string& program, const std::vector<std::string>& arguments, const std::string& output = "/dev/null") {
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t child = 0;
    const int failed = posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    return failed == 0 && waitpid(child, &status, 0) == child && WIFEXITED(status);
}

std::vector<std::uint8_t> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The documented options a user would try: each polarity with thresholds from 220 down to
// 20, then the exact decoder with ten rising values, each polarity.
std::vector<std::vector<std::string>> DocumentedSearch() {
    std::vector<std::vector<std::string>> search;
    for (bool up : {false, true}) {
        for (int threshold = 220; threshold >= 20; threshold -= 20) {
            std::vector<std::string> options;
            if (up) options.push_back("/up");
            options.insert(options.end(), {"/thr", std::to_string(threshold)});
            search.push_back(options);
        }
    }
    search.push_back({"/exact", "0", "/fail", "10"});
    search.push_back({"/up", "/exact", "0", "/fail", "10"});
    return search;
}

struct Case {
    const tapegen::LadderRecord* record;
    const tapegen::Rung* rung;
    bool plain = false;
    std::string best = "none";
    bool automatic = false;
    std::string retry = {};  // the retry of /auto that read the record, if the first reading did not
};

}  // namespace

int main(int argc, char** argv) {
    std::string sonokas = (std::filesystem::absolute(argv[0]).parent_path().parent_path() / "SONOKAS").string();
    unsigned jobs = 2;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--sonokas" && i + 1 < argc) {
            sonokas = argv[++i];
        } else if (arg == "--jobs" && i + 1 < argc) {
            jobs = static_cast<unsigned>(std::max(1, std::atoi(argv[++i])));
        } else if (arg == "--only" && i + 1 < argc) {
            only = argv[++i];
        } else {
            std::fputs(kUsage, arg == "--help" ? stdout : stderr);
            return arg == "--help" ? 0 : 2;
        }
    }
    if (access(sonokas.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "ladder: cannot run %s (see --sonokas)\n", sonokas.c_str());
        return 2;
    }
    const auto records = tapegen::LadderRecords();
    const auto rungs = tapegen::LadderRungs();
    std::vector<Case> cases;
    for (const auto& rung : rungs) {
        if (rung.name.find(only) == std::string::npos) continue;
        for (const auto& record : records) cases.push_back({&record, &rung});
    }
    const auto dir = std::filesystem::temp_directory_path() / ("sonokas-ladder-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const auto search = DocumentedSearch();

    std::atomic<std::size_t> next{0};
    auto work = [&] {
        for (std::size_t i; (i = next++) < cases.size();) {
            Case& c = cases[i];
            const std::string gtp = (dir / ("case" + std::to_string(i) + ".gtp")).string();
            const auto expected = tapegen::ExpectedGtp(c.record->record);
            const std::string console = (dir / ("case" + std::to_string(i) + ".txt")).string();
            // The file a user would have: a WAV, or the MP3 or Ogg copy itself.
            const std::string stem = (dir / ("case" + std::to_string(i))).string();
            const std::string recording = tapegen::WriteRungFile(*c.rung, {c.record->record}, stem);
            if (recording.empty()) {
                std::fprintf(stderr, "ladder: cannot write %s\n", stem.c_str());
                continue;
            }
            auto reads = [&](std::vector<std::string> options) {
                std::filesystem::remove(gtp);
                options.insert(options.end(), {recording, gtp});
                return Run(sonokas, options, console) && ReadAll(gtp) == expected;
            };
            c.plain = reads({});
            for (const auto& options : search) {
                if (reads(options)) {
                    c.best.clear();
                    for (const auto& option : options) c.best += (c.best.empty() ? "" : " ") + option;
                    break;
                }
            }
            c.automatic = reads({"/auto"});
            // The retry that read it, when the first reading did not.
            const auto text = ReadAll(console);
            const std::string said(text.begin(), text.end());
            const auto retry = said.rfind("Auto: trying ");
            if (c.automatic && said.find("Auto: the readings merged byte by byte") != std::string::npos) {
                c.retry = "the readings merged byte by byte";
            } else if (c.automatic && retry != std::string::npos) {
                c.retry = said.substr(retry + 13, said.find('\n', retry) - retry - 13);
            }
            std::filesystem::remove(console);
            std::filesystem::remove(recording);
            std::filesystem::remove(gtp);
        }
    };
    std::vector<std::thread> workers;
    for (unsigned j = 0; j < jobs; ++j) workers.emplace_back(work);
    for (auto& worker : workers) worker.join();
    std::filesystem::remove_all(dir);

    std::printf("| Rung | Record | Defaults | Best documented options | /auto |\n|---|---|---|---|---|\n");
    int plain = 0, best = 0, automatic = 0;
    for (const Case& c : cases) {
        const std::string verdict = c.automatic ? (c.retry.empty() ? "yes" : "yes, retry: " + c.retry) : "no";
        std::printf("| %s | %s | %s | %s | %s |\n", c.rung->name.c_str(), c.record->name.c_str(), c.plain ? "yes" : "no",
                    c.best.c_str(), verdict.c_str());
        plain += c.plain;
        best += c.best != "none";
        automatic += c.automatic;
    }
    std::printf("| **Total** | %zu cases | %d | %d | %d |\n", cases.size(), plain, best, automatic);
    return 0;
}
