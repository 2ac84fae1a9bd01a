// An owned C stdio file that closes itself on every path.
#pragma once

#include <cstdio>
#include <memory>

namespace gtp {

struct FileCloser {
    void operator()(std::FILE* file) const noexcept {
        if (file != nullptr) {
            std::fclose(file);
        }
    }
};

using File = std::unique_ptr<std::FILE, FileCloser>;

inline File OpenFile(const char* path, const char* mode) {
    return File(std::fopen(path, mode));
}

}  // namespace gtp
