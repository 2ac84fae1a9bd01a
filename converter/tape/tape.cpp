#include "converter/tape/tape.hpp"

namespace sonokas::tape {

void RunTape() {}

}  // namespace sonokas::tape
