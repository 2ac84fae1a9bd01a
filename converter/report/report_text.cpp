#include "converter/report/report_text.hpp"

#include <cmath>
#include <cstdint>

namespace sonokas::report {

std::size_t Utf8Length(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned lead = byte(at);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    std::uint32_t code = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, code = lead & 0x07;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
        code = code << 6 | (byte(at + i) & 0x3F);
    }
    const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return overlong || surrogate || code > 0x10FFFF ? 0 : length;
}

std::string TimeText(double seconds, int decimals) {
    const double scale = std::pow(10.0, decimals);
    const double units = std::isfinite(seconds) ? std::round(std::max(seconds, 0.0) * scale) : 0;
    const auto whole = static_cast<long long>(units / scale);
    const auto fraction = static_cast<long long>(units - static_cast<double>(whole) * scale);
    std::string text = whole >= 3600 ? Format("%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60)
                                     : Format("%lld:%02lld", whole / 60, whole % 60);
    if (decimals > 0) text += Format(".%0*lld", decimals, fraction);
    return text;
}

}  // namespace sonokas::report
