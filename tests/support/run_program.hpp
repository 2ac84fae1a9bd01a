// Helpers for tests: running a built program, temporary files, captured output.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

struct ProgramResult {
    int exitStatus = -1;
    std::string output;  // standard output, byte for byte
    double cpuSeconds = 0;  // processor time the program used, load on the machine aside
};

// Runs the program with the arguments (no shell quoting issues: each argument is quoted).
ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& arguments);

// A fresh directory under the system temp dir, removed when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string File(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

std::vector<std::uint8_t> ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::vector<std::uint8_t>& bytes);

// Processor time this process has used so far: a measure of work that other processes
// running beside the test do not stretch, as they stretch wall-clock time.
double CpuSeconds();

// Standard output written by `body` while it runs in this process.
std::string CaptureStdout(const std::function<void()>& body);

}  // namespace testsupport
