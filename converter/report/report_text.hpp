// Text helpers shared by the two kinds of report.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

namespace sonokas::report {

template <typename... Args>
std::string Format(const char* format, Args... args) {
    const int size = std::snprintf(nullptr, 0, format, args...);
    std::string text(static_cast<std::size_t>(std::max(size, 0)), '\0');
    std::snprintf(text.data(), text.size() + 1, format, args...);
    return text;
}

// Length of the well-formed UTF-8 sequence at `at` (no overlong forms, surrogates or code points
// past U+10FFFF), 0 where the bytes there are not one.
std::size_t Utf8Length(std::string_view text, std::size_t at);

// Seconds as "m:ss" or "h:mm:ss", with `decimals` places of the second.
std::string TimeText(double seconds, int decimals);

}  // namespace sonokas::report
