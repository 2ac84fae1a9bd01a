#include "tests/support/scripted_view.hpp"

#include "converter/decoder/error_view.hpp"

namespace sonokas::testing {
ScriptedView scriptedView;
}

namespace sonokas::decoder {

void OpenErrorView() { testing::scriptedView.opened = true; }

int AskBit(std::int32_t windowStart, std::int32_t windowEnd, std::int32_t slotStart, std::int32_t nextPeak,
           std::int32_t peak, int tentativeBit, std::int32_t leftSum, std::int32_t rightSum) {
    auto& view = testing::scriptedView;
    const std::size_t index = view.asked.size();
    view.asked.push_back({windowStart, windowEnd, slotStart, nextPeak, peak, tentativeBit, leftSum, rightSum});
    return index < view.answers.size() ? view.answers[index] : tentativeBit;
}

}  // namespace sonokas::decoder
