// The interactive view that lets the user decide doubtful bits ("/inter").
#pragma once

#include <cstdint>

namespace sonokas::decoder {

// Sets up the window; called once before the first attempt when `interactive` is on.
void OpenErrorView();

// Shows a doubtful bit and waits for a key: '1' gives 1, any other key 0.
int AskBit(std::int32_t windowStart, std::int32_t windowEnd, std::int32_t slotStart, std::int32_t nextPeak,
           std::int32_t peak, int tentativeBit, std::int32_t leftSum, std::int32_t rightSum);

}  // namespace sonokas::decoder
