#include "converter/signal/conditioning.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>

namespace sonokas::signal {

namespace {

constexpr double kStandardSlot = 0.0031;  // seconds: a bit slot at the standard speed
constexpr double kSearchWindow = 0.6;     // seconds of signal judged at once in a search
constexpr double kSearchSmoothing = 0.0001;
constexpr double kSignalOverNoise = 5;    // pulses stand this far above the spread between them
constexpr double kSlowest = 1.25;         // the slot lengths a lead-in may have, as a share
constexpr double kFastest = 0.8;          // of the standard one
constexpr double kSlotSpread = 0.15;      // a slot interval lies this close to the median one
constexpr double kPauseShortest = 1.8;    // the byte pause interval, in slots
constexpr double kPauseLongest = 3.2;
constexpr double kRestBand = 0.15;        // the centre line's band, as a share of the lobe height
constexpr double kQuiet = 0.45;           // in standard slots: a pulse's lobes lie closer

int At(const Source& source, std::int64_t index) {
    return index >= 0 && index < source.count ? source.samples[index] : 0;
}

// The signal less its centre line, lightly smoothed. The centre line is the mean of the mean
// over two slots (weights falling off to both sides) of the signal clipped to a band around its
// resting level: DC, hum and the droop of AC coupling are taken away, while the pulses, which
// reach far beyond the band, move the line very little even where they start or stop (a
// lead-in, a dropout). Running sums, one sample at a time.
struct BandFilter {
    const Source* source = nullptr;
    int restLow = -128;           // the band the centre line sees
    int restHigh = 127;
    std::int64_t halfSmooth = 0;
    std::int64_t half = 0;        // each of the two means runs over 2 * half + 1 samples
    std::int64_t sumSmooth = 0;
    std::int64_t sumInner = 0;    // the inner sum for index `nextInner`
    std::int64_t sumOuter = 0;    // the sum of the inner sums around `next`
    std::vector<std::int64_t> inner;  // a ring of inner sums
    std::size_t mask = 0;
    std::int64_t next = 0;        // the index the next value belongs to
    std::int64_t nextInner = 0;

    int Rest(std::int64_t index) const { return std::clamp(At(*source, index), restLow, restHigh); }

    void AdvanceInner() {
        sumInner += Rest(nextInner + half + 1) - Rest(nextInner - half);
        ++nextInner;
    }

    // `rest` and `band`: the resting level and the half-width of the band around it (none
    // when `band` is not above 0).
    void Start(const Source& s, std::int64_t from, std::int32_t smooth, double slot, double rest = 0,
               double band = 0) {
        source = &s;
        if (band > 0) {
            restLow = static_cast<int>(std::floor(rest - band));
            restHigh = static_cast<int>(std::ceil(rest + band));
        }
        halfSmooth = std::max(0, smooth / 2);
        half = std::max<std::int64_t>(1, static_cast<std::int64_t>(slot));
        const std::int64_t width = 2 * half + 1;
        inner.assign(std::bit_ceil(static_cast<std::uint64_t>(width + 1)), 0);
        mask = inner.size() - 1;
        sumSmooth = sumInner = sumOuter = 0;
        for (std::int64_t k = from - halfSmooth; k <= from + halfSmooth; ++k) sumSmooth += At(s, k);
        nextInner = from - half;
        for (std::int64_t k = nextInner - half; k <= nextInner + half; ++k) sumInner += Rest(k);
        for (std::int64_t k = 0; k < width; ++k) {
            inner[static_cast<std::size_t>(nextInner) & mask] = sumInner;
            sumOuter += sumInner;
            AdvanceInner();
        }
        next = from;
    }

    float Next() {
        const double width = static_cast<double>(2 * half + 1);
        const float value = static_cast<float>(static_cast<double>(sumSmooth) / static_cast<double>(2 * halfSmooth + 1) -
                                               static_cast<double>(sumOuter) / (width * width));
        sumSmooth += At(*source, next + halfSmooth + 1) - At(*source, next - halfSmooth);
        inner[static_cast<std::size_t>(nextInner) & mask] = sumInner;
        sumOuter += sumInner - inner[static_cast<std::size_t>(next - half) & mask];
        AdvanceInner();
        ++next;
        return value;
    }
};

// A share of the magnitudes, from a histogram in steps of a quarter sample unit.
struct Magnitudes {
    static constexpr int kBins = 1024;
    std::array<std::uint32_t, kBins> counts{};
    std::uint32_t total = 0;

    void Add(float value) {
        const int bin = std::min(kBins - 1, static_cast<int>(std::fabs(value) * 4.0f));
        ++counts[static_cast<std::size_t>(bin)];
        ++total;
    }
    double Share(double share) const {
        const auto wanted = static_cast<std::uint32_t>(share * total);
        std::uint32_t seen = 0;
        for (int bin = 0; bin < kBins; ++bin) {
            seen += counts[static_cast<std::size_t>(bin)];
            if (seen > wanted) return (bin + 0.5) / 4.0;
        }
        return kBins / 4.0;
    }
};

// The largest value pushed since a given index: a ring of candidates, values falling.
struct SlidingMax {
    std::vector<std::int64_t> indices;
    std::vector<float> values;
    std::size_t mask;
    std::size_t head = 0;
    std::size_t tail = 0;

    explicit SlidingMax(std::size_t ringSize) : indices(ringSize), values(ringSize), mask(ringSize - 1) {}

    void Push(std::int64_t index, float value) {
        while (tail != head && values[(tail - 1) & mask] <= value) --tail;
        indices[tail & mask] = index;
        values[tail & mask] = value;
        ++tail;
    }
    // The largest value at or after `from` (0 when none is positive).
    double Largest(std::int64_t from) {
        while (tail - head > 1 && indices[head & mask] < from) ++head;
        return tail != head ? std::max(0.0f, values[head & mask]) : 0.0;
    }
};

struct Toggle {
    std::int32_t index;
    bool rising;
};

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

double Mean(const std::vector<double>& values) {
    double sum = 0;
    for (double v : values) sum += v;
    return values.empty() ? 0 : sum / static_cast<double>(values.size());
}

// The regular run of zero bytes among the edges: eight pulses a slot apart, then the pause.
// Fills `lead` when one of at least `minimumBytes` bytes is there.
void MeasureRun(const std::vector<std::int32_t>& edges, double standardSlot, int minimumBytes, LeadIn& lead) {
    std::vector<double> near;
    for (std::size_t j = 1; j < edges.size(); ++j) {
        const double d = edges[j] - edges[j - 1];
        if (d >= kFastest * 0.95 * standardSlot && d <= kSlowest * 1.05 * standardSlot) near.push_back(d);
    }
    if (near.size() < 8) return;
    const double slot = Median(near);
    enum Kind { slotGap, pauseGap, other };
    auto kind = [&](double d) {
        if (std::fabs(d - slot) <= kSlotSpread * slot) return slotGap;
        if (d >= kPauseShortest * slot && d <= kPauseLongest * slot) return pauseGap;
        return other;
    };
    std::size_t runStart = 0;
    int slotsSincePause = 0;
    int bytes = 0;
    bool pauseSeen = false;
    std::vector<double> slots;
    std::vector<double> pauses;
    auto restart = [&](std::size_t at) {
        runStart = at;
        slotsSincePause = 0;
        bytes = 0;
        pauseSeen = false;
        slots.clear();
        pauses.clear();
    };
    auto finish = [&](std::size_t last) {
        if (bytes < minimumBytes) return false;
        lead.found = true;
        lead.firstEdge = edges[runStart];
        lead.edgeCount = static_cast<std::int32_t>(last - runStart + 1);
        lead.slot = Mean(slots);
        lead.lastSlot = Mean(pauses);
        lead.edges.assign(edges.begin() + static_cast<std::ptrdiff_t>(runStart),
                          edges.begin() + static_cast<std::ptrdiff_t>(last + 1));
        return true;
    };
    for (std::size_t j = 1; j < edges.size(); ++j) {
        const double d = edges[j] - edges[j - 1];
        switch (kind(d)) {
            case slotGap:
                if (++slotsSincePause > 7) {
                    if (finish(j - 1)) return;
                    restart(j - 1);
                    slotsSincePause = 1;
                }
                slots.push_back(d);
                break;
            case pauseGap:
                if (slotsSincePause == 7 || (!pauseSeen && slotsSincePause < 7)) {
                    if (slotsSincePause == 7) ++bytes;
                    pauseSeen = true;
                    slotsSincePause = 0;
                    pauses.push_back(d);
                } else {
                    if (finish(j - 1)) return;
                    restart(j);
                    pauseSeen = true;
                }
                break;
            case other:
                if (finish(j - 1)) return;
                restart(j);
                break;
        }
    }
    finish(edges.size() - 1);
}

}  // namespace

LeadIn FindLeadIn(const Source& source, std::int32_t from, std::int32_t rate, int minimumBytes) {
    LeadIn lead;
    if (rate <= 0 || source.samples == nullptr || from < 0) return lead;
    const double standardSlot = kStandardSlot * rate;
    const auto window = std::max<std::int64_t>(static_cast<std::int64_t>(kSearchWindow * rate), 64);
    const auto smooth = std::max<std::int32_t>(1, static_cast<std::int32_t>(std::lround(kSearchSmoothing * rate)));
    const double quiet = kQuiet * standardSlot;
    std::vector<float> values;
    std::vector<Toggle> toggles;
    std::vector<std::int32_t> edges;
    std::vector<double> lobes;
    for (std::int64_t start = from; start < source.count; start += window / 2) {
        const std::int64_t end = std::min<std::int64_t>(source.count, start + window);
        BandFilter filter;
        filter.Start(source, start, smooth, standardSlot);
        values.resize(static_cast<std::size_t>(end - start));
        Magnitudes magnitudes;
        for (float& v : values) {
            v = filter.Next();
            magnitudes.Add(v);
        }
        // The spread of the noise from the quietest fifth of the samples: a normal spread puts a
        // fifth of them within 0.253 of it, and the pulses and their tails stay out of that fifth.
        const double noise = magnitudes.Share(0.2) / 0.253;
        const double amplitude = magnitudes.Share(0.99);
        if (amplitude < std::max(1.5, kSignalOverNoise * noise)) continue;
        // Each lobe of a pulse turns a comparator with hysteresis at half the level.
        const double half = amplitude * 0.5;
        toggles.clear();
        bool high = values[0] > 0;
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (!high && values[i] > half) {
                high = true;
                toggles.push_back({static_cast<std::int32_t>(start + static_cast<std::int64_t>(i)), true});
            } else if (high && values[i] < -half) {
                high = false;
                toggles.push_back({static_cast<std::int32_t>(start + static_cast<std::int64_t>(i)), false});
            }
        }
        // Which lobe comes first: the direction of the first swing after a quiet stretch.
        int risingFirst = 0;
        int fallingFirst = 0;
        for (std::size_t j = 1; j < toggles.size(); ++j) {
            if (toggles[j].index - toggles[j - 1].index > quiet) (toggles[j].rising ? risingFirst : fallingFirst)++;
        }
        const bool positiveFirst = risingFirst >= fallingFirst;
        // The decoders' edge of a pulse: the swing from its first lobe into its second.
        edges.clear();
        lobes.clear();
        for (std::size_t j = 1; j < toggles.size(); ++j) {
            const bool between = toggles[j].rising != positiveFirst && toggles[j - 1].rising == positiveFirst;
            const double spacing = toggles[j].index - toggles[j - 1].index;
            if (between && spacing < quiet) {
                edges.push_back(toggles[j].index);
                lobes.push_back(spacing);
            }
        }
        MeasureRun(edges, standardSlot, minimumBytes, lead);
        if (lead.found) {
            // The resting level: most samples of a lead-in lie between its pulses.
            std::array<std::uint32_t, 256> levels{};
            for (std::int64_t k = start; k < end; ++k) ++levels[static_cast<std::uint8_t>(source.samples[k] + 128)];
            std::uint32_t seen = 0;
            int middle = 0;
            while (middle < 255 && (seen += levels[static_cast<std::size_t>(middle)]) <= (end - start) / 2) ++middle;
            lead.rest = middle - 128;
            lead.positiveFirst = positiveFirst;
            lead.amplitude = amplitude;
            lead.noise = noise;
            lead.lobeSpacing = Median(lobes);
            return lead;
        }
        if (end == source.count) break;
    }
    return lead;
}

std::int32_t Condition(const Source& source, std::int32_t begin, const Shaping& shaping, std::int8_t* out) {
    const std::int64_t count = source.count;
    if (begin < 0 || begin >= count) return std::max<std::int32_t>(begin, 0);
    const float sign = shaping.invert ? -1.0f : 1.0f;
    // The local level of each lobe direction is the largest swing that way within `reach` on
    // either side: less than the quiet between two pulses, so that a weak pulse or lobe (where
    // a dropout begins or ends) is judged by its own level alone.
    const auto reach = std::max<std::int64_t>(1, shaping.reach);
    const double gain = shaping.amplitude > 0 ? 100.0 / shaping.amplitude : 1.0;
    BandFilter filter;
    filter.Start(source, begin, shaping.smooth, shaping.slot, shaping.rest, kRestBand * shaping.amplitude);
    const auto ringSize = static_cast<std::size_t>(std::bit_ceil(static_cast<std::uint64_t>(2 * reach + 2)));
    std::vector<float> ahead(ringSize);  // the values from i - reach to i + reach
    const std::size_t mask = ringSize - 1;
    SlidingMax up(ringSize);
    SlidingMax down(ringSize);
    std::int64_t produced = begin;  // values computed for indices below this
    bool high = false;
    std::int64_t lastSwing = begin;
    std::int64_t i = begin;
    for (; i < count; ++i) {
        for (; produced < std::min(count, i + reach + 1); ++produced) {
            const float v = sign * filter.Next();
            ahead[static_cast<std::size_t>(produced) & mask] = v;
            up.Push(produced, v);
            down.Push(produced, -v);
        }
        const float v = ahead[static_cast<std::size_t>(i) & mask];
        auto edge = [&](SlidingMax& level) {
            return shaping.swing >= 0 ? shaping.swing / 2 : std::max(shaping.floor, kLobeShare * level.Largest(i - reach));
        };
        if (!high && v > edge(up)) {
            high = true;
            lastSwing = i;
        } else if (high && v < -edge(down)) {
            high = false;
            lastSwing = i;
        }
        if (i - lastSwing > shaping.endGap) break;
        if (shaping.squared) {
            out[i] = high ? 127 : -128;
        } else {
            out[i] = static_cast<std::int8_t>(std::clamp(std::lround(v * gain), -128L, 127L));
        }
    }
    // A level line after the signal, so that nothing left there from before reads as a swing.
    const std::int64_t end = i;
    const std::int8_t level = shaping.squared ? (high ? 127 : -128) : 0;
    for (std::int64_t k = end; k < std::min(count, end + shaping.endGap); ++k) out[k] = level;
    return static_cast<std::int32_t>(end);
}

}  // namespace sonokas::signal
