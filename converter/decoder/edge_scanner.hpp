// Finds the next strong swing of the signal (a fall, or a rise with /up).
#pragma once

namespace sonokas::decoder {

// 1 with `position` just past the edge, 0 when the buffer ended first.
int NextEdge();

}  // namespace sonokas::decoder
