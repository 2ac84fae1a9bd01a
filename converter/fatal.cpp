#include "converter/fatal.hpp"

#include <cstdio>

namespace sonokas {

void ErrorExit(const std::string& message) {
    std::printf("\n-- Error: %s\n", message.c_str());
    std::fflush(stdout);
    throw RunEnded{0};
}

}  // namespace sonokas
