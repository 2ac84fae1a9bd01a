#include <gtest/gtest.h>

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

}  // namespace
