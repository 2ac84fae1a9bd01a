// A stand-in for the interactive view: answers doubtful bits from a script.
#pragma once

#include <cstdint>
#include <vector>

namespace sonokas::testing {

struct AskedBit {
    std::int32_t windowStart, windowEnd, slotStart, nextPeak, peak;
    int tentativeBit;
    std::int32_t leftSum, rightSum;
};

struct ScriptedView {
    bool opened = false;
    std::vector<int> answers;  // taken in order; when used up, the tentative bit stands
    std::vector<AskedBit> asked;
};

extern ScriptedView scriptedView;

inline void ResetScriptedView() { scriptedView = ScriptedView{}; }

}  // namespace sonokas::testing
