// The interactive view's drawing, for AskBit and for tests that look at the off-screen image.
#pragma once

#include <cstdint>
#include <string>

namespace sonokas::decoder {

inline constexpr int kViewWidth = 1000;
inline constexpr int kViewHeight = 600;
inline constexpr int kZeroRow = 300;  // a sample v is drawn at row kZeroRow - v

// Sets up the library without a window or keyboard and creates the off-screen image and the
// colours, so that pictures can be drawn and inspected. Gives false when that fails.
bool OpenOffscreenView();

// Frees the off-screen image and shuts the library down; the view is closed again.
void ResetErrorView();

// Draws the byte window start..end, highlights the samples strictly between low and high,
// circles the sample at marker, and shows the picture.
void DrawWaveform(std::int32_t start, std::int32_t end, std::int32_t low, std::int32_t high, std::int32_t marker);

// Copies the off-screen image to the window; does nothing while there is no window.
void PresentView();

// The caption line of a doubtful bit.
std::string FormatCaption(int tentativeBit, std::int32_t peak, std::int32_t leftSum, std::int32_t rightSum);

// The whole picture of a doubtful bit, caption included, shown but not yet answered.
void DrawQuestion(std::int32_t windowStart, std::int32_t windowEnd, std::int32_t slotStart, std::int32_t nextPeak,
                  std::int32_t peak, int tentativeBit, std::int32_t leftSum, std::int32_t rightSum);

// The bit that a key code from the library's key read stands for: '1' gives 1, any other key 0.
int BitForKey(int keyCode);

struct Rgb {
    int red = 0;
    int green = 0;
    int blue = 0;
    bool operator==(const Rgb&) const = default;
};

inline constexpr Rgb kBackgroundRgb{255, 255, 255};
inline constexpr Rgb kTraceRgb{20, 160, 160};
inline constexpr Rgb kMarkerRgb{255, 50, 50};
inline constexpr Rgb kHighlightRgb{0, 0, 0};
inline constexpr Rgb kCaptionRgb{0, 0, 160};

// A pixel of the off-screen image; black outside it or while the view is closed.
Rgb ViewPixel(int x, int y);

}  // namespace sonokas::decoder
