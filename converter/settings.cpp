#include "converter/settings.hpp"

#include <cstring>

namespace sonokas {

ConverterSettings settings;

bool SettingText::Assign(std::string_view text) {
    if (text.size() >= chars.size()) {
        return false;
    }
    std::memcpy(chars.data(), text.data(), text.size());
    chars[text.size()] = '\0';
    return true;
}

void ResetSettings() { settings = ConverterSettings{}; }

}  // namespace sonokas
