// The converter's fatal errors: the error frame is printed and the run ends with status 0. The
// end travels up to `main` as an exception, so that every file and thread on the way is closed
// and joined; only `main` ends the process.
#pragma once

#include <string>

namespace sonokas {

struct RunEnded {
    int status = 0;
};

// Prints the error frame and ends the run with status 0.
[[noreturn]] void ErrorExit(const std::string& message);

}  // namespace sonokas
