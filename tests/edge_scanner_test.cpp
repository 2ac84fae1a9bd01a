#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "converter/decoder/cursor.hpp"
#include "converter/decoder/edge_scanner.hpp"
#include "converter/settings.hpp"

using namespace sonokas;

namespace {

std::vector<std::int8_t> Repeat(std::vector<std::int8_t> pattern, int times) {
    std::vector<std::int8_t> samples;
    for (int i = 0; i < times; ++i) {
        for (std::int8_t v : pattern) samples.push_back(v);
    }
    return samples;
}

struct ScanCase {
    const char* name;
    std::vector<std::int8_t> samples;
    bool up;
    int threshold;
    int result;
    std::int32_t position;
};

class EdgeScanner : public ::testing::Test {
protected:
    void SetUp() override {
        ResetSettings();
        decoder::ResetDecoder();
    }
    void TearDown() override {
        ResetSettings();
        decoder::ResetDecoder();
    }
    void Use(const std::vector<std::int8_t>& samples) {
        decoder::track = {samples.data(), static_cast<std::int32_t>(samples.size())};
    }
};

TEST_F(EdgeScanner, FindsStrongSwingsOnly) {
    const ScanCase cases[] = {
        {"single fall ended by a flat step", {100, 100, -128, -128}, false, 220, 1, 4},
        {"a drop of exactly the threshold is no edge", {100, 100, -120, -120}, false, 220, 0, 4},
        {"a flat step splits a fall", {100, 0, 0, -128, 5}, false, 220, 0, 5},
        {"a flat step stays inside a rise", {-128, 0, 0, 100, 5}, true, 220, 1, 5},
        {"the rising shape is no falling edge", {-128, 0, 0, 100, 5}, false, 220, 0, 5},
        {"a fall that runs to the end still counts", {100, 0, -128}, false, 220, 1, 3},
        {"a fall from the last sample is not seen", {127, -128}, false, 220, 0, 2},
        {"a lower threshold finds a weak fall", {60, -60, -60}, false, 100, 1, 3},
        {"a negative threshold makes any fall an edge", {0, -1, -1}, false, -5, 1, 3},
        {"a fall over several steps adds up", {127, 60, 0, -60, -128, -128}, false, 220, 1, 6},
        {"empty buffer", {}, false, 220, 0, 0},
    };
    for (const auto& c : cases) {
        decoder::ResetDecoder();
        settings.threshold = c.threshold;
        settings.reverseDirection = c.up;
        Use(c.samples);
        EXPECT_EQ(decoder::NextEdge(), c.result) << c.name;
        EXPECT_EQ(decoder::cursor.position, c.position) << c.name;
    }
}

TEST_F(EdgeScanner, RemembersTheLastSampleBetweenCalls) {
    const std::vector<std::int8_t> samples{100, 100, -128, -128};
    Use(samples);
    ASSERT_EQ(decoder::NextEdge(), 1);
    EXPECT_EQ(decoder::cursor.previousSample, -128);
    EXPECT_EQ(decoder::NextEdge(), 0);
    EXPECT_EQ(decoder::cursor.position, 4);
}

TEST_F(EdgeScanner, AtTheEndNothingChanges) {
    const std::vector<std::int8_t> samples{100, 0, -128};
    Use(samples);
    ASSERT_EQ(decoder::NextEdge(), 1);
    decoder::cursor.previousSample = 42;
    EXPECT_EQ(decoder::NextEdge(), 0);
    EXPECT_EQ(decoder::cursor.position, 3);
    EXPECT_EQ(decoder::cursor.previousSample, 42);
}

TEST_F(EdgeScanner, SquareWaveGivesOneEdgePerFall) {
    const std::vector<std::int8_t> samples = Repeat({127, 127, 127, -128, -128, -128}, 5);
    Use(samples);
    std::vector<std::int32_t> edges;
    while (decoder::NextEdge() == 1) {
        edges.push_back(decoder::cursor.position);
    }
    EXPECT_EQ(edges, (std::vector<std::int32_t>{5, 11, 17, 23, 29}));
}

TEST_F(EdgeScanner, RisingFormFindsTheInvertedSquareWave) {
    const std::vector<std::int8_t> samples = Repeat({-128, -128, 127, 127}, 3);
    settings.reverseDirection = true;
    Use(samples);
    int edges = 0;
    while (decoder::NextEdge() == 1) {
        ++edges;
    }
    // The first rise, from the starting 0 to -128 and up, is a fall first: three rises.
    EXPECT_EQ(edges, 3);
}

// The edges as the swings define them, one sample at a time: the scan, whatever way it takes
// through the samples, finds exactly these, for any start, direction, threshold and length.
std::vector<std::int32_t> SwingEdges(const std::vector<std::int8_t>& s, std::int32_t from, int previous, bool up,
                                     int threshold) {
    std::vector<std::int32_t> edges;
    const auto count = static_cast<std::int32_t>(s.size());
    int step = 0;
    for (std::int32_t k = from; k < count;) {
        const int value = s[static_cast<std::size_t>(k++)];
        const int d = value - previous;
        const bool begins = up ? d > 0 : d < 0;
        previous = value;
        if (!begins || k >= count) continue;
        int swing = up ? d : -d;
        for (step = 0; k < count;) {
            const int next = s[static_cast<std::size_t>(k++)];
            step = next - previous;
            previous = next;
            if (up ? step < 0 : step >= 0) break;
            swing += up ? step : -step;
        }
        if (swing > threshold) edges.push_back(k);
    }
    return edges;
}

TEST_F(EdgeScanner, FindsTheEdgesTheSwingsDefineOnAnySignal) {
    std::mt19937 random(7);
    auto signal = [&](int kind, std::size_t length) {
        std::vector<std::int8_t> s(length);
        std::normal_distribution<double> noise(0, kind == 0 ? 60 : 4);
        for (std::size_t i = 0; i < length; ++i) {
            const double pulse = kind == 2 ? 0 : 120 * std::sin(static_cast<double>(i) * 0.3) * (i % 70 < 12);
            const double flat = kind == 2 ? (i / 5 % 2 ? 100 : -100) : 0;
            s[i] = static_cast<std::int8_t>(std::clamp(std::lround(pulse + flat + noise(random)), -128L, 127L));
        }
        return s;
    };
    for (int kind = 0; kind < 3; ++kind) {
        for (std::size_t length : {1u, 2u, 15u, 16u, 17u, 33u, 1000u}) {
            const std::vector<std::int8_t> s = signal(kind, length);
            for (const bool up : {false, true}) {
                for (const int threshold : {-5, 0, 40, 150, 220}) {
                    const auto from = static_cast<std::int32_t>(random() % length);
                    const int previous = static_cast<int>(random() % 256) - 128;
                    settings.reverseDirection = up;
                    settings.threshold = threshold;
                    Use(s);
                    decoder::cursor.position = from;
                    decoder::cursor.previousSample = static_cast<std::int8_t>(previous);
                    std::vector<std::int32_t> edges;
                    while (decoder::NextEdge() == 1) edges.push_back(decoder::cursor.position);
                    EXPECT_EQ(edges, SwingEdges(s, from, previous, up, threshold))
                        << "kind " << kind << ", length " << length << ", up " << up << ", threshold " << threshold;
                    EXPECT_EQ(decoder::cursor.position, static_cast<std::int32_t>(length));
                }
            }
        }
    }
}

}  // namespace
