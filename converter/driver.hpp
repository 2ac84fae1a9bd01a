// The converter's command line, loading and run loop.
#pragma once

#include "converter/fatal.hpp"

#include <optional>
#include <string>
#include <vector>
#include <string_view>

#include "converter/input/sample.hpp"
#include "converter/settings.hpp"

namespace sonokas {

// Fills `settings` from the arguments after the program name; gives the error message
// of the first faulty argument, if any. Output paths are not derived here.
std::optional<std::string> ScanArguments(int argc, const char* const* argv);

// The output path for a lone input path: cut after the last ".", add the extension.
// A path without any "." gets "." and the extension appended. Empty when too long.
std::optional<std::string> DeriveOutputPath(std::string_view path, std::string_view extension);

void PrintSampleInfo(const input::SampleInfo& info);


// The attempt loop of "/fail": converts until an attempt is not bad or the count is spent,
// raising exactValue and rewinding the cursor and the image after each. `afterAttempt`, when
// given, runs after each attempt, before the rewind.
void RunAttempts(void (*afterAttempt)() = nullptr);

// "/auto" on one record: calibrates from the first lead-in, reads the record with the
// attempts that keep the best, and writes the best.
void RunAutoRecord();

// "/multi": the recording read as a stream and every record of it, each written as it is read.
void RunWholeTape(const std::vector<std::string>& arguments);

// The whole run; gives the exit status (errors end the run through ErrorExit, which main catches).
int RunConverter(int argc, const char* const* argv);

}  // namespace sonokas
