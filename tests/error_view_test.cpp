// The interactive view's pictures, checked pixel by pixel on the off-screen image.
#include <gtest/gtest.h>

#include "converter/fatal.hpp"

#include <cstdint>
#include <string>
#include <vector>

#include "converter/decoder/cursor.hpp"
#include "converter/decoder/error_view.hpp"
#include "converter/decoder/error_view_internal.hpp"

namespace sonokas::decoder {
namespace {

constexpr std::int32_t kRate = 44100;
constexpr std::int32_t kByteWindow = 1278;  // 0.029 s at 44100 Hz
constexpr Rgb kBlack = kHighlightRgb;

class ErrorViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetDecoder();
        cursor.sampleRate = kRate;
        ASSERT_TRUE(OpenOffscreenView());
    }
    void TearDown() override {
        ResetErrorView();
        ResetDecoder();
    }

    // Silence of `count` samples with the given samples set.
    void Load(std::int32_t count, const std::vector<std::pair<std::int32_t, std::int8_t>>& set = {}) {
        samples_.assign(static_cast<std::size_t>(count), 0);
        for (const auto& [index, value] : set) samples_[static_cast<std::size_t>(index)] = value;
        Track();
    }
    void Track() { track = SampleTrack{samples_.data(), static_cast<std::int32_t>(samples_.size())}; }

    // Rows of column x that differ from the background.
    static std::vector<int> InkedRows(int x) {
        std::vector<int> rows;
        for (int y = 0; y < kViewHeight; ++y) {
            if (ViewPixel(x, y) != kBackgroundRgb) rows.push_back(y);
        }
        return rows;
    }

    static int CountPixels(const Rgb& colour) {
        int count = 0;
        for (int y = 0; y < kViewHeight; ++y) {
            for (int x = 0; x < kViewWidth; ++x) count += ViewPixel(x, y) == colour ? 1 : 0;
        }
        return count;
    }

    std::vector<std::int8_t> samples_;
};

TEST_F(ErrorViewTest, ALevelIsDrawnAtThreeHundredLessItsValue) {
    struct Case {
        std::int8_t level;
        int row;
    };
    for (const Case c : {Case{0, 300}, Case{127, 173}, Case{-128, 428}, Case{1, 299}, Case{-1, 301}}) {
        samples_.assign(2000, c.level);
        Track();
        DrawWaveform(0, kByteWindow, 0, 0, 1500);  // marker past the window: circle off the image
        for (int x : {1, 2, 500, 998, 999}) {
            EXPECT_EQ(InkedRows(x), std::vector<int>{c.row}) << "level " << int{c.level} << " column " << x;
            EXPECT_EQ(ViewPixel(x, c.row), kTraceRgb) << "level " << int{c.level};
        }
        // The segment from column 0 to column 1 is not drawn.
        EXPECT_TRUE(InkedRows(0).empty()) << "level " << int{c.level};
    }
}

TEST_F(ErrorViewTest, ColumnsAdvanceByTheWindowOverAThousand) {
    // 1.278 samples per column: column 500 shows sample 639, its neighbours 637 and 640.
    Load(2000, {{639, 100}});
    DrawWaveform(0, kByteWindow, 0, 0, 1500);
    auto tipColumns = [] {
        std::vector<int> columns;
        for (int x = 0; x < kViewWidth; ++x) {
            if (ViewPixel(x, 200) != kBackgroundRgb) columns.push_back(x);
        }
        return columns;
    };
    EXPECT_EQ(tipColumns(), std::vector<int>{500});
    EXPECT_EQ(ViewPixel(500, 200), kTraceRgb);

    // A window further on: columns count from its start.
    Load(3000, {{1000 + 639, 100}});
    DrawWaveform(1000, 1000 + kByteWindow, 0, 0, 2900);
    EXPECT_EQ(tipColumns(), std::vector<int>{500});

    // Positions are summed column by column: from 44100 the sum falls just short of 44739 at
    // column 500, which so shows sample 44738.
    Load(46000, {{44738, 100}});
    DrawWaveform(44100, 44100 + kByteWindow, 0, 0, 45900);
    EXPECT_EQ(tipColumns(), std::vector<int>{500});
}

TEST_F(ErrorViewTest, SamplesStrictlyBetweenLowAndHighAreDrawnBlack) {
    // On a flat line each pixel ends with the colour of the segment drawn after it, so the black
    // stretch of row 300 ends one column before the last highlighted column.
    struct Case {
        std::int32_t low;
        std::int32_t high;
        int firstBlack;  // -1: none
        int lastBlack;
    };
    const Case cases[] = {
        {100, 200, 79, 155},  // columns 80 (sample 102) to 156 (sample 199)
        {102, 199, 80, 154},  // the samples at low and high themselves are not highlighted
        {101, 200, 79, 155},
        {151, 153, 118, 118},  // column 119 (sample 152) alone
        {150, 151, -1, -1},    // high = low + 1: nothing
        {200, 100, -1, -1},    // high below low: nothing
    };
    Load(2000);
    for (const auto& c : cases) {
        DrawWaveform(0, kByteWindow, c.low, c.high, 1500);
        for (int x = 1; x < kViewWidth; ++x) {
            const bool black = x >= c.firstBlack && x <= c.lastBlack;
            ASSERT_EQ(ViewPixel(x, 300), black ? kBlack : kTraceRgb) << c.low << ".." << c.high << " column " << x;
        }
    }
}

TEST_F(ErrorViewTest, AHighlightedStretchIsTwoPixelsWide) {
    // A spike at sample 150 is shown by column 118 alone (117 shows 149, 119 shows 152); drawn a
    // second time one pixel to the right, its tip covers columns 118 and 119.
    Load(2000, {{150, 100}});
    DrawWaveform(0, kByteWindow, 100, 200, 1500);
    EXPECT_EQ(ViewPixel(118, 200), kBlack);
    EXPECT_EQ(ViewPixel(119, 200), kBlack);
    DrawWaveform(0, kByteWindow, 0, 0, 1500);
    EXPECT_EQ(ViewPixel(118, 200), kTraceRgb);
    EXPECT_EQ(ViewPixel(119, 200), kBackgroundRgb);
}

TEST_F(ErrorViewTest, TheMarkerCircleStandsAtTheMarkerSample) {
    struct Case {
        std::int32_t start;
        std::int32_t marker;
        std::int8_t value;
        int x;  // expected centre column
    };
    // 68 samples into the window: column 53, though no column shows sample 68 itself.
    const Case cases[] = {
        {0, 68, 50, 53}, {0, 0, -20, 0}, {5000, 5000 + 639, 127, 500}, {5000, 5000 + 1277, -128, 999}};
    for (const auto& c : cases) {
        Load(8000, {{c.marker, c.value}});
        DrawWaveform(c.start, c.start + kByteWindow, 0, 0, c.marker);
        const int y = 300 - c.value;
        EXPECT_EQ(ViewPixel(c.x, y - 4), kMarkerRgb) << "marker " << c.marker;
        EXPECT_EQ(ViewPixel(c.x, y + 4), kMarkerRgb) << "marker " << c.marker;
        if (c.x + 4 < kViewWidth) {
            EXPECT_EQ(ViewPixel(c.x + 4, y), kMarkerRgb) << "marker " << c.marker;
        }
        if (c.x >= 4) {
            EXPECT_EQ(ViewPixel(c.x - 4, y), kMarkerRgb) << "marker " << c.marker;
        }
        // An outline: the inside keeps what lies beneath.
        EXPECT_NE(ViewPixel(c.x, y - 2), kMarkerRgb) << "marker " << c.marker;
    }
}

TEST_F(ErrorViewTest, TheRecordingsEndLeavesTheLaterColumnsEmpty) {
    // 500 samples, and a window of 1278 from sample 0: columns from 392 on (sample 500 and
    // beyond) show nothing, and nothing is read past the buffer.
    samples_.assign(500, 40);
    Track();
    DrawWaveform(0, kByteWindow, 0, 0, 100);
    EXPECT_EQ(InkedRows(390), std::vector<int>{260});
    EXPECT_EQ(InkedRows(391), std::vector<int>{260});
    for (int x : {392, 393, 600, 999}) EXPECT_TRUE(InkedRows(x).empty()) << "column " << x;

    // Markers outside the buffer or far outside the window draw nothing and do not fail.
    for (std::int32_t marker : {500, 100000, -5, INT32_MAX}) {
        DrawWaveform(0, kByteWindow, 0, 0, marker);
        EXPECT_EQ(CountPixels(kMarkerRgb), 0) << marker;
    }
    DrawWaveform(0, kByteWindow, 0, 0, 499);
    EXPECT_GT(CountPixels(kMarkerRgb), 0);
    DrawWaveform(400, 400, 0, 0, 450);  // an empty window: every column shows its first sample
    EXPECT_EQ(InkedRows(500), std::vector<int>{260});
    DrawWaveform(INT32_MAX - 10, INT32_MAX, 0, 0, 0);  // wholly past the end
    EXPECT_TRUE(InkedRows(500).empty());
}

TEST_F(ErrorViewTest, TheCaptionGivesThePeaksTimeAndTheSums) {
    struct Case {
        int bit;
        std::int32_t peak;
        std::int32_t left;
        std::int32_t right;
        const char* text;
    };
    const Case cases[] = {
        {1, 68, 38, 76, "Got: 1  At: 0.001542 (68)   left: 38  right: 76"},
        {0, 44100, -3, 0, "Got: 0  At: 1.000000 (44100)   left: -3  right: 0"},
        {0, 0, 0, 0, "Got: 0  At: 0.000000 (0)   left: 0  right: 0"},
    };
    for (const auto& c : cases) EXPECT_EQ(FormatCaption(c.bit, c.peak, c.left, c.right), c.text);
    cursor.sampleRate = 0;  // no rate: no division, the time reads 0
    EXPECT_EQ(FormatCaption(1, 68, 1, 2), "Got: 1  At: 0.000000 (68)   left: 1  right: 2");
}

TEST_F(ErrorViewTest, AQuestionIsACompleteNewPictureWithTheCaptionAtThirtyThirty) {
    Load(4000, {{700, 90}});
    DrawQuestion(0, kByteWindow, 0, 0, 639, 1, 38, 76);
    EXPECT_EQ(ViewPixel(548, 210), kTraceRgb);  // the spike at sample 700
    int captionPixels = 0;
    for (int y = 0; y < 60; ++y) {
        for (int x = 0; x < kViewWidth; ++x) {
            if (ViewPixel(x, y) == kCaptionRgb) {
                ++captionPixels;
                EXPECT_GE(x, 30);
                EXPECT_GE(y, 30);
                EXPECT_LT(y, 38);  // the default font is 8 pixels high
            }
        }
    }
    EXPECT_GT(captionPixels, 100);
    // The next question clears the former picture.
    Load(4000);
    DrawQuestion(0, kByteWindow, 0, 0, 639, 0, 1, 1);
    EXPECT_EQ(InkedRows(548), std::vector<int>{300});
}

TEST_F(ErrorViewTest, OnlyTheKeyOneAnswersOne) {
    struct Case {
        int keyCode;  // scan code in the high byte, character in the low byte
        int bit;
    };
    const Case cases[] = {
        {0x0231, 1},  // '1' on the main row
        {0x4f31, 1},  // '1' on the keypad
        {0x31, 1},    {0x1b30, 0}, {0x3920, 0}, {0x3b1b, 0}, {0x0c6c, 0}, {0x0221, 0}, {0x5400, 0}, {0, 0},
    };
    for (const Case c : cases) EXPECT_EQ(BitForKey(c.keyCode), c.bit) << std::hex << c.keyCode;
}

TEST_F(ErrorViewTest, ABitCannotBeAskedWithoutAWindow) {
    // Off-screen only: no key can be read, so the run ends instead of deciding the bit itself.
    Load(2000);
    try {
        AskBit(0, kByteWindow, 0, 136, 68, 1, 38, 76);
        ADD_FAILURE() << "the bit was decided without a window";
    } catch (const RunEnded& end) {
        EXPECT_EQ(end.status, 0);
    }
}

TEST_F(ErrorViewTest, ResetClosesTheViewAndItOpensAgain) {
    Load(100, {{10, 5}});
    DrawWaveform(0, 100, 0, 0, 10);
    ResetErrorView();
    EXPECT_EQ(ViewPixel(0, 0), Rgb{});  // no image
    DrawWaveform(0, 100, 0, 0, 10);     // closed: nothing happens
    PresentView();
    ASSERT_TRUE(OpenOffscreenView());
    DrawWaveform(0, 100, 0, 0, 10);
    EXPECT_EQ(ViewPixel(0, 0), kBackgroundRgb);
}

}  // namespace
}  // namespace sonokas::decoder
