#include "converter/decoder/error_view.hpp"

#include <allegro.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "converter/decoder/cursor.hpp"
#include "converter/decoder/error_view_internal.hpp"
#include "converter/fatal.hpp"

namespace sonokas::decoder {

namespace {

constexpr int kMarkerRadius = 4;
constexpr int kCaptionX = 30;
constexpr int kCaptionY = 30;
constexpr int kHighlight = 0;  // black at 24 bits per pixel
constexpr int kCaptionSize = 256;

// The view's module state: set by OpenErrorView (or OpenOffscreenView), put back by ResetErrorView.
struct ViewState {
    bool libraryUp = false;
    BITMAP* image = nullptr;
    int background = 0;
    int trace = 0;
    int marker = 0;
    int caption = 0;
};

ViewState view;

// Set from the library's window thread when the user closes the window.
volatile std::sig_atomic_t closeRequested = 0;

void OnCloseButton() { closeRequested = 1; }

int MakeColour(const Rgb& rgb) { return makecol(rgb.red, rgb.green, rgb.blue); }

bool StartLibrary(int system) {
    if (install_allegro(system, &errno, std::atexit) != 0) {
        return false;
    }
    view.libraryUp = true;
    set_color_depth(24);
    return true;
}

bool CreateImage() {
    view.image = create_bitmap(kViewWidth, kViewHeight);
    if (view.image == nullptr) {
        return false;
    }
    view.background = MakeColour(kBackgroundRgb);
    view.trace = MakeColour(kTraceRgb);
    view.marker = MakeColour(kMarkerRgb);
    view.caption = MakeColour(kCaptionRgb);
    return true;
}

// The sample at `index`, or false when the index lies outside the buffer.
bool SampleAt(std::int64_t index, int& value) {
    if (index < 0 || index >= track.sampleCount || track.samples == nullptr) {
        return false;
    }
    value = track.samples[index];
    return true;
}

// Waits for a key in the window; a closed window ends the run, since the bit cannot be decided.
int WaitForKey() {
    while (!keypressed()) {
        if (closeRequested) {
            ErrorExit("The interactive window was closed before the bit was decided!");
        }
        rest(10);
    }
    return readkey();
}

}  // namespace

void OpenErrorView() {
    // Without the window the bits the user asked to decide would be decided silently: stop instead.
    if (!StartLibrary(SYSTEM_AUTODETECT) || set_gfx_mode(GFX_AUTODETECT_WINDOWED, kViewWidth, kViewHeight, 0, 0) != 0) {
        ErrorExit("Cannot open the interactive window!");
    }
    set_window_title("SONOKAS");
    closeRequested = 0;
    set_close_button_callback(OnCloseButton);
    if (install_keyboard() != 0) {
        ErrorExit("Cannot read the keyboard for the interactive window!");
    }
    if (!CreateImage()) {
        ErrorExit("Not enough memory for the interactive window!");
    }
}

bool OpenOffscreenView() {
    if (!view.libraryUp && !StartLibrary(SYSTEM_NONE)) {
        return false;
    }
    return view.image != nullptr || CreateImage();
}

void ResetErrorView() {
    if (view.image != nullptr) {
        destroy_bitmap(view.image);
    }
    if (view.libraryUp) {
        allegro_exit();
    }
    view = ViewState{};
    closeRequested = 0;
}

void PresentView() {
    if (view.image == nullptr || screen == nullptr) {
        return;
    }
    blit(view.image, screen, 0, 0, 0, 0, kViewWidth, kViewHeight);
}

void DrawWaveform(std::int32_t start, std::int32_t end, std::int32_t low, std::int32_t high, std::int32_t marker) {
    if (view.image == nullptr) {
        return;
    }
    BITMAP* image = view.image;
    clear_to_color(image, view.background);
    const std::int64_t span = static_cast<std::int64_t>(end) - start;
    const double step = static_cast<double>(span) * 0.001;
    double x = start;
    // Columns whose sample lies outside the buffer stay empty: the trace ends with the recording.
    bool previousShown = false;
    int u = 0;
    for (int i = 0; i < kViewWidth; ++i) {
        const auto k = static_cast<std::int64_t>(x);
        int v = 0;
        const bool shown = SampleAt(k, v);
        const bool highlighted = low < k && k < high;
        const int colour = highlighted ? kHighlight : view.trace;
        if (shown && previousShown) {
            if (highlighted) {
                line(image, i, kZeroRow - u, i + 1, kZeroRow - v, kHighlight);
            }
            if (i >= 2) {
                line(image, i - 1, kZeroRow - u, i, kZeroRow - v, colour);
            }
        }
        u = v;
        previousShown = shown;
        x += step;
    }
    int markerSample = 0;
    if (SampleAt(marker, markerSample)) {
        double mx = 0.0;
        if (span != 0) {
            mx = (static_cast<double>(static_cast<std::int64_t>(marker) - start) / static_cast<double>(span)) * 1000.0;
        }
        // Far outside the image the circle is clipped anyway; the bound keeps the conversion defined.
        mx = std::clamp(mx, -4.0 * kViewWidth, 4.0 * kViewWidth);
        circle(image, static_cast<int>(mx), kZeroRow - markerSample, kMarkerRadius, view.marker);
    }
    PresentView();
}

std::string FormatCaption(int tentativeBit, std::int32_t peak, std::int32_t leftSum, std::int32_t rightSum) {
    const double seconds = cursor.sampleRate > 0 ? static_cast<double>(peak) / cursor.sampleRate : 0.0;
    char caption[kCaptionSize];
    std::snprintf(caption, sizeof caption, "Got: %i  At: %f (%i)   left: %i  right: %i", tentativeBit, seconds, peak,
                  leftSum, rightSum);
    return caption;
}

void DrawQuestion(std::int32_t windowStart, std::int32_t windowEnd, std::int32_t slotStart, std::int32_t nextPeak,
                  std::int32_t peak, int tentativeBit, std::int32_t leftSum, std::int32_t rightSum) {
    DrawWaveform(windowStart, windowEnd, slotStart, nextPeak, peak);
    if (view.image == nullptr) {
        return;
    }
    const std::string caption = FormatCaption(tentativeBit, peak, leftSum, rightSum);
    textout_ex(view.image, font, caption.c_str(), kCaptionX, kCaptionY, view.caption, -1);
    PresentView();
}

int BitForKey(int keyCode) { return (keyCode & 0xff) == '1' ? 1 : 0; }

int AskBit(std::int32_t windowStart, std::int32_t windowEnd, std::int32_t slotStart, std::int32_t nextPeak,
           std::int32_t peak, int tentativeBit, std::int32_t leftSum, std::int32_t rightSum) {
    if (view.image == nullptr || screen == nullptr) {
        ErrorExit("The interactive window is not open!");
    }
    DrawQuestion(windowStart, windowEnd, slotStart, nextPeak, peak, tentativeBit, leftSum, rightSum);
    // The console's "Problem in" line should be readable while the window waits.
    std::fflush(stdout);
    return BitForKey(WaitForKey());
}

Rgb ViewPixel(int x, int y) {
    if (view.image == nullptr || x < 0 || y < 0 || x >= kViewWidth || y >= kViewHeight) {
        return Rgb{};
    }
    const int pixel = getpixel(view.image, x, y);
    return Rgb{getr24(pixel), getg24(pixel), getb24(pixel)};
}

}  // namespace sonokas::decoder
