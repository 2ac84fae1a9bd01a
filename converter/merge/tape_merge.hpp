// The records of a tape's recordings brought together: the passes of "/with" matched to the
// main recording's records by addresses, length and tape order, and every record taken from its
// best reading, merged from its readings and its copies on the tape when none alone is good.
#pragma once

#include <vector>

#include "converter/tape/tape.hpp"

namespace sonokas::merge {

// `recordings[0]` is the main recording's records, the others the passes', each in tape order
// (times at the main recording's rate). Gives the records to write, numbered in tape order, and
// prints a line for each record merged or restored. `changed`: they differ from the main
// recording's records as read, so that the output is written again.
std::vector<tape::TapeEntry> MergeTape(const std::vector<std::vector<tape::TapeEntry>>& recordings, bool& changed);

}  // namespace sonokas::merge
