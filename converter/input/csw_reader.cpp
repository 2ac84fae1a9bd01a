#include "converter/input/readers.hpp"

namespace sonokas::input {

// Compressed Square Wave files are not read yet.
LoadStatus LoadCsw(const char*, SampleInfo&, SampleBuffer& buffer, std::int32_t& count) {
    buffer.reset();
    count = 0;
    return LoadNotThisFormat;
}

}  // namespace sonokas::input
