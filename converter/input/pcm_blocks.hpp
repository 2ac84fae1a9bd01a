// Blocks of WAV frames converted at once: the decoders' samples, each byte for byte what
// ConvertWidePcm gives, and (kept for "/auto") the 16-bit mix and channels as the readers keep them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "converter/input/sample.hpp"

namespace sonokas::input {

// Converts `frames` frames of `in` into `mix` and, when chosen with `keep`, `fine` and, for two
// channels or more and chosen with `channels`, `left` and `right` (none of them null then).
using BlockConvert = void (*)(const std::uint8_t* in, std::int8_t* mix, std::int16_t* fine, std::int16_t* left,
                              std::int16_t* right, std::size_t frames, const PcmLayout& layout);

// The conversion for the layout (IsWideLayout): plain loops for 8 to 32-bit integer mono and
// stereo, frame by frame for the rest.
BlockConvert ChooseBlockConvert(const PcmLayout& layout, bool keep, bool channels = true);

}  // namespace sonokas::input
