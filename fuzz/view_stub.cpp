// The interactive view for the fuzz targets: they run with "/inter" off, so the decoders must
// never open or ask it.
#include "converter/decoder/error_view.hpp"
#include "fuzz/fuzz_support.hpp"

namespace sonokas::decoder {

void OpenErrorView() { fuzzing::Fail("the view was opened"); }

int AskBit(std::int32_t, std::int32_t, std::int32_t, std::int32_t, std::int32_t, int, std::int32_t, std::int32_t) {
    fuzzing::Fail("a bit was asked with /inter off");
}

}  // namespace sonokas::decoder
