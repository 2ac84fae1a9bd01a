#include "converter/decoder/error_view.hpp"

namespace sonokas::decoder {

// Not built yet: no window, the decoder's own bit stands.
void OpenErrorView() {}

int AskBit(std::int32_t, std::int32_t, std::int32_t, std::int32_t, std::int32_t, int tentativeBit, std::int32_t,
           std::int32_t) {
    return tentativeBit;
}

}  // namespace sonokas::decoder
