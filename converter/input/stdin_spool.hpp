// A recording that arrives as a stream (standard input): copied once into a temporary file, so
// that every reader can read it by path and seek in it as in any file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace sonokas::input {

// The most a stream may bring: a 16-bit stereo recording of the largest sample count, and
// its header. What comes after is not read; the recording is taken as cut off there.
#ifdef SONOKAS_MAX_SPOOL_BYTES
inline constexpr std::uint64_t kMaxSpoolBytes = SONOKAS_MAX_SPOOL_BYTES;
#else
inline constexpr std::uint64_t kMaxSpoolBytes = (std::uint64_t{1} << 33) + 4096;
#endif

// The temporary file. It is removed from its folder as soon as it is made, so that nothing is
// left behind however the process ends; `path` reaches it through the open descriptor.
class SpoolFile {
public:
    SpoolFile() = default;
    SpoolFile(const SpoolFile&) = delete;
    SpoolFile& operator=(const SpoolFile&) = delete;
    ~SpoolFile();
    const char* path() const { return path_.c_str(); }
    bool open() const { return descriptor_ >= 0; }

    // Copies `stream` to its end (at most `limit` bytes) into a new temporary file.
    // False when no temporary file can be made or written.
    bool Fill(std::FILE* stream, std::uint64_t limit = kMaxSpoolBytes);

    // A new, empty temporary file, for bytes appended with Write. False when none can be made.
    bool Create();
    // Appends bytes to the file; false when they cannot be written.
    bool Write(const void* bytes, std::size_t size);

private:
    int descriptor_ = -1;
    std::string path_;
};

}  // namespace sonokas::input
