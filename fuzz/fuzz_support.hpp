// Helpers shared by the fuzz targets: a scratch file that holds the current input, and a quiet
// standard output (the programs print a line or more for every record they see).
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzzing {

// The path of this process's scratch file, created on the first call and removed at exit.
const char* ScratchPath();

// Replaces the scratch file's contents with `data`.
void WriteScratch(const std::uint8_t* data, std::size_t size);

// Sends standard output to /dev/null for the rest of the run.
void SilenceStdout();

// Ends the run as a finding, with a message naming the broken promise.
[[noreturn]] void Fail(const char* what);

inline void Check(bool condition, const char* what) {
    if (!condition) {
        Fail(what);
    }
}

}  // namespace fuzzing
