// What the converter does before it loads anything: answering --help and --version, opening
// the input (standard input for "-"), and making sure that the output file can be created.
#pragma once

#include <optional>

#include "converter/input/stdin_spool.hpp"

namespace sonokas {

// The text of --help and -h: every option on a line of its own.
extern const char kHelpText[];

// For a --help, -h or --version argument anywhere on the command line: prints the help text
// or "SONOKAS <version>" and gives exit status 0. Nothing for every other command line.
std::optional<int> AnswerInfoRequest(int argc, const char* const* argv);

// The path the readers read: the input path, or for "-" a copy of standard input in `spool`.
// Ends the run with "Cannot open input file!" when neither can be opened.
const char* OpenInput(input::SpoolFile& spool);

// True when the output file can be written. Leaves no trace: an existing file is opened without
// being cut, and a file made for the test is removed again.
bool CanCreateOutput(const char* path);

}  // namespace sonokas
