#include "fuzz/fuzz_support.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

namespace fuzzing {

namespace {

std::string scratchPath;

void RemoveScratch() {
    if (!scratchPath.empty()) {
        unlink(scratchPath.c_str());
    }
}

}  // namespace

const char* ScratchPath() {
    if (scratchPath.empty()) {
        const char* directory = std::getenv("TMPDIR");
        std::string pattern = std::string(directory != nullptr && *directory != '\0' ? directory : "/tmp") +
                              "/sonokas-fuzz-XXXXXX";
        const int descriptor = mkstemp(pattern.data());
        if (descriptor < 0) {
            std::perror("mkstemp");
            std::abort();
        }
        close(descriptor);
        scratchPath = pattern;
        std::atexit(RemoveScratch);
    }
    return scratchPath.c_str();
}

void WriteScratch(const std::uint8_t* data, std::size_t size) {
    std::FILE* file = std::fopen(ScratchPath(), "wb");
    if (file == nullptr) {
        std::perror("scratch file");
        std::abort();
    }
    if (size > 0 && std::fwrite(data, 1, size, file) != size) {
        std::perror("scratch file");
        std::abort();
    }
    std::fclose(file);
}

void SilenceStdout() {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        std::perror("/dev/null");
        std::abort();
    }
}

void Fail(const char* what) {
    std::fprintf(stderr, "\n== broken promise: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

}  // namespace fuzzing
