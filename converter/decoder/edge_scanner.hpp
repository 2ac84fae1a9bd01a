// Finds the next strong swing of the signal (a fall, or a rise with /up).
#pragma once

namespace sonokas::decoder {

struct Reader;

// 1 with `position` just past the edge, 0 when the buffer ended first.
int NextEdge(Reader& r);
// The same on the documented run's reader, with the command line's threshold and direction.
int NextEdge();

}  // namespace sonokas::decoder
