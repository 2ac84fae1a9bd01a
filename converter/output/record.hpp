// One conversion attempt: reads a tape record and writes it as GTP or raw image.
#pragma once

namespace sonokas::output {

enum class AttemptOutcome { good, bad, noLead };

AttemptOutcome ConvertRecord();

// Empties the image buffer (the start state of every attempt).
void ResetImage();

}  // namespace sonokas::output
