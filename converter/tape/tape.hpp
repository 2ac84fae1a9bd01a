// "/multi": every record of the recording, in tape order, into one file, with a summary.
#pragma once

namespace sonokas::tape {

// Reads every record of the loaded recording and writes the output; prints each record's
// messages under a heading, then the summary.
void RunTape();

}  // namespace sonokas::tape
