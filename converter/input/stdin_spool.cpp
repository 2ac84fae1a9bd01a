#include "converter/input/stdin_spool.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace sonokas::input {

SpoolFile::~SpoolFile() {
    if (descriptor_ >= 0) {
        close(descriptor_);
    }
}

bool SpoolFile::Create() {
    if (descriptor_ >= 0) {
        close(descriptor_);
        descriptor_ = -1;
    }
    const char* folder = std::getenv("TMPDIR");
    std::string pattern = std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") + "/sonokas-XXXXXX";
    descriptor_ = mkstemp(pattern.data());
    if (descriptor_ < 0) {
        return false;
    }
    unlink(pattern.c_str());
    path_ = "/proc/self/fd/" + std::to_string(descriptor_);
    return true;
}

bool SpoolFile::Write(const void* bytes, std::size_t size) {
    const auto* from = static_cast<const char*>(bytes);
    for (std::size_t written = 0; written < size;) {
        const ssize_t step = write(descriptor_, from + written, size - written);
        if (step <= 0) {
            return false;
        }
        written += static_cast<std::size_t>(step);
    }
    return true;
}

bool SpoolFile::Fill(std::FILE* stream, std::uint64_t limit) {
    if (!Create()) {
        return false;
    }
    std::vector<char> chunk(64 * 1024);
    std::uint64_t copied = 0;
    while (copied < limit) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), limit - copied));
        const std::size_t got = std::fread(chunk.data(), 1, want, stream);
        if (!Write(chunk.data(), got)) {
            return false;
        }
        copied += got;
        if (got < want) {
            break;
        }
    }
    return true;
}

}  // namespace sonokas::input
