#include "converter/input/readers.hpp"

namespace sonokas::input {

// Creative Voice files are not read yet.
LoadStatus LoadVoc(const char*, SampleInfo&, SampleBuffer& buffer, std::int32_t& count) {
    buffer.reset();
    count = 0;
    return LoadNotThisFormat;
}

}  // namespace sonokas::input
