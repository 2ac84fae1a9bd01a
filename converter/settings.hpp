// The converter's process-wide settings, filled by the argument scan.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace sonokas {

// A text field of at most 255 characters, always 0-terminated.
struct SettingText {
    std::array<char, 256> chars{};

    const char* c_str() const { return chars.data(); }
    bool empty() const { return chars[0] == '\0'; }
    std::string_view view() const { return std::string_view(chars.data()); }
    // Copies `text`; false (and nothing changed) when it is longer than 255 characters.
    bool Assign(std::string_view text);
};

struct ConverterSettings {
    std::int32_t failCount = 1;
    std::int32_t exactValue = -1;
    std::int32_t threshold = 220;
    bool binaryOutput = false;
    bool reverseDirection = false;
    bool interactive = false;
    bool autoCalibrate = false;   // "/auto": every record calibrated from its lead-in
    bool multiRecord = false;     // "/multi": every record of the recording, in tape order
    bool thresholdGiven = false;  // "/thr" stood on the command line: calibration keeps it
    SettingText nameText;
    SettingText inputPath;
    SettingText outputPath;
    SettingText reportPath;       // "/report": the report's file, .json or .html
    std::array<SettingText, 8> withPaths;  // "/with": other recordings of the same tape side
    std::int32_t withCount = 0;
    std::int32_t fileNameCount = 0;
};

inline constexpr std::int32_t kTimingDecoder = -1;

extern ConverterSettings settings;

// Puts the settings back to their start values.
void ResetSettings();

}  // namespace sonokas
