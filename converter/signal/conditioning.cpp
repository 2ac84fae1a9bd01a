#include "converter/signal/conditioning.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <deque>
#include <limits>

namespace sonokas::signal {

namespace {

constexpr double kStandardSlot = 0.0031;  // seconds: a bit slot at the standard speed
constexpr double kSearchWindow = 0.6;     // seconds of signal judged at once in a search
constexpr double kSearchSmoothing = 0.0001;
constexpr double kSignalOverNoise = 5;    // pulses stand this far above the spread between them
constexpr double kLeastLevel = 6;         // and above this level (16-bit steps), whatever the noise
constexpr double kSlowest = 1.5;          // the slot lengths a lead-in may have, as a share of
constexpr double kFastest = 0.8;          // the standard one: an encoder whose slot is 10 % long,
                                          // played by a deck whose belt slips, is a third slower
constexpr double kSlotSpread = 0.15;      // a slot interval lies this close to the median one
constexpr double kPauseShortest = 1.8;    // the byte pause interval, in slots
constexpr double kPauseLongest = 3.2;
constexpr std::int64_t kLongestHalf = 1 << 14;  // samples: a bound on every window, whatever the rate
constexpr double kRestBand = 0.15;        // the centre line's band, as a share of the lobe height
constexpr double kQuiet = 0.45;           // in standard slots: a pulse's lobes lie closer
constexpr double kShapeReach = 0.25;      // in slots: the pulse shape's reach to either side of its edge
constexpr double kMatchQuiet = 1.5;       // and beyond this many times the lead-in's no-pulse match
constexpr double kMatchLeast = 0.25;      // and beyond this share of the lead-in's pulses' match
constexpr double kMatchReach = 0.42;      // in slots: how far a match looks for the pulses' level
constexpr double kNeighbourNear = 0.35;   // in slots: where a pulse's neighbours may lie
constexpr double kNeighbourFar = 0.65;
constexpr double kNeighbourShare = 0.8;   // a pulse between two has this share of the weaker at least
constexpr double kTailSlots = 30;         // in slots: how long after a pulse its tails are measured (a room's
                                          // echoes, a second wall's, a head's ringing)
constexpr double kTailLeast = 0.15;       // of a pulse's own match: a tail that stands out (an echo's)
constexpr double kTailStrong = 0.6;       // of the pulses' median match: weaker ones may be echoes
constexpr double kTailLocal = 2;          // in slots: the pulses around a match, for what is left of tails
constexpr double kTailShare = 0.5;        // of the strongest of them: a pulse reaches this, once they are gone
constexpr double kTailMeasured = 40000;   // in slots: the record's stretch the tails are measured over (a 4 KiB record whole)
constexpr int kTailRounds = 5;            // readings whose pulses the tails are measured over, at most
constexpr double kTailRidge = 0.05;       // of the pulses' weight: keeps lags the pulses cannot tell apart small
constexpr double kComparatorShares[] = {0.5, 0.7, 0.85};  // of a search window's level: a lobe's swing
constexpr double kSlowWaveShare = 0.2;    // of a search window's level: a slow wave left that strong is taken away
constexpr double kHumSpan = 0.5;          // of the centre line's width, under hum: a pulse is shorter
constexpr double kLocalReach = 2;         // in standard slots: the pulses around a lobe, for its level
constexpr double kEchoShortest = 0.5;     // in slots: a copy closer than this is the pulse's own shape
constexpr double kEchoLongest = 0.06;     // seconds: the longest echo looked for (a room of 10 m)
constexpr std::size_t kEchoPulses = 24;   // pulses an echo is judged on, at the least
constexpr double kEchoLeast = 0.15;       // an echo of a smaller share is left (print-through, crosstalk)
constexpr double kEchoMost = 0.9;         // a copy nearly as strong as the signal is no echo of it
constexpr double kEchoRefine = 0.5;       // lobe spacings either way the echo's delay is looked for exactly
constexpr std::int64_t kEchoOwnSpread = 3;  // samples: how far the lead-in's own pulse distances spread
constexpr int kEchoRounds = 3;            // times the echo's level is found again without it
constexpr double kEchoAlike = 0.75;       // a byte time off, the echo shows this share of itself at least

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
    int restLow = -32768;         // the band the centre line sees
    int restHigh = 32767;
    std::int64_t halfSmooth = 0;
    std::int64_t half = 0;        // each of the two means runs over 2 * half + 1 samples
    std::int64_t sumSmooth = 0;
    std::int64_t sumInner = 0;    // the inner sum for index `nextInner`
    std::int64_t sumOuter = 0;    // the sum of the inner sums around `next`
    std::vector<std::int64_t> inner;  // a ring of inner sums
    std::size_t mask = 0;
    std::int64_t next = 0;        // the index the next value belongs to
    std::int64_t nextInner = 0;
    std::int64_t smoothWeight = 1;  // the value is sumSmooth * smoothWeight - sumOuter * outerWeight,
    std::int64_t outerWeight = 1;   // which is `scale` times the signal less its centre line
    float scale = 1;

    int Rest(std::int64_t index) const { return std::clamp(At(*source, index), restLow, restHigh); }

    // Mains hum through a ground loop can be louder than the pulses: it passes any band, and
    // the centre line, a weighted mean, misses its curvature (up to a third of it at 50 Hz).
    // With `twice`, the same centre line is taken once more from what is left, so that a slow
    // wave leaves only a little of its fourth-order part.
    bool twice = false;
    std::vector<float> once;      // ring: the values once, from `next` on ahead
    std::vector<double> means;    // ring: their mean over 2 * half + 1 around each index
    std::vector<float> fresh;     // the values once of a block, as they come
    std::size_t ringMask = 0;
    double sumOnce = 0;           // the mean's running sum of the values once
    double sumMeans = 0;          // the running sum of those means

    // How far beyond an index the values read the samples.
    std::int64_t Ahead() const { return (twice ? 4 : 2) * half + halfSmooth + 2; }

    // `rest` and `band`: the resting level and the half-width of the band around it (none
    // when `band` is not above 0).
    void Start(const Source& s, std::int64_t from, std::int32_t smooth, double slot, double rest = 0,
               double band = 0, bool again = false) {
        twice = false;
        StartOnce(s, again ? from - 2 * std::clamp<std::int64_t>(static_cast<std::int64_t>(slot), 1, kLongestHalf) : from,
                  smooth, slot, rest, band);
        if (!again) return;
        // The values once from 2 * half before `from` to 2 * half after it, and the means of
        // those that have all their samples.
        const std::int64_t h = half;
        ringMask = std::bit_ceil(static_cast<std::uint64_t>(4 * h + 4)) - 1;
        once.assign(ringMask + 1, 0.0f);
        means.assign(ringMask + 1, 0.0);
        std::vector<float> first(static_cast<std::size_t>(4 * h));
        FillOnce(first.data(), 4 * h);
        for (std::int64_t k = 0; k < 4 * h; ++k) once[static_cast<std::size_t>(from - 2 * h + k) & ringMask] = first[static_cast<std::size_t>(k)];
        auto at = [&](std::int64_t index) { return static_cast<double>(once[static_cast<std::size_t>(index) & ringMask]); };
        sumMeans = 0;
        for (std::int64_t j = from - h; j < from + h; ++j) {
            double sum = 0;
            for (std::int64_t k = j - h; k <= j + h; ++k) sum += at(k);
            means[static_cast<std::size_t>(j) & ringMask] = sum;
            sumMeans += sum;
        }
        sumOnce = 0;
        for (std::int64_t k = from; k < from + 2 * h; ++k) sumOnce += at(k);
        next = from;
        twice = true;
    }

    // The values of the next `n` indices. Away from the recording's ends no index is tested.
    void Fill(float* values, std::int64_t n) {
        if (!twice) {
            FillOnce(values, n);
            return;
        }
        const std::int64_t h = half;
        const auto width = static_cast<double>(2 * h + 1);
        const double share = 1 / (width * width);
        fresh.resize(static_cast<std::size_t>(std::max<std::int64_t>(n, 0)));
        const std::int64_t at = next;  // FillOnce moves `next` on: it runs 2 * half ahead
        next = at + 2 * h;
        FillOnce(fresh.data(), n);
        for (std::int64_t k = 0; k < n; ++k) {
            const std::int64_t i = at + k;
            const float ahead = fresh[static_cast<std::size_t>(k)];
            once[static_cast<std::size_t>(i + 2 * h) & ringMask] = ahead;
            sumOnce += ahead;
            means[static_cast<std::size_t>(i + h) & ringMask] = sumOnce;
            sumMeans += sumOnce;
            sumOnce -= once[static_cast<std::size_t>(i) & ringMask];
            values[k] = static_cast<float>(once[static_cast<std::size_t>(i) & ringMask] - sumMeans * share);
            sumMeans -= means[static_cast<std::size_t>(i - h) & ringMask];
        }
        next = at + n;
    }

private:
    void StartOnce(const Source& s, std::int64_t from, std::int32_t smooth, double slot, double rest, double band) {
        source = &s;
        if (band > 0) {
            restLow = std::clamp(static_cast<int>(std::floor(rest - band)), -32768, 32767);
            restHigh = std::clamp(static_cast<int>(std::ceil(rest + band)), restLow, 32767);
        }
        half = std::clamp<std::int64_t>(static_cast<std::int64_t>(slot), 1, kLongestHalf);
        halfSmooth = std::clamp<std::int64_t>(smooth / 2, 0, half);
        const std::int64_t width = 2 * half + 1;
        smoothWeight = width * width;
        outerWeight = 2 * halfSmooth + 1;
        scale = static_cast<float>(smoothWeight * outerWeight);
        inner.assign(std::bit_ceil(static_cast<std::uint64_t>(width + 1)), 0);
        mask = inner.size() - 1;
        sumSmooth = sumInner = sumOuter = 0;
        for (std::int64_t k = from - halfSmooth; k <= from + halfSmooth; ++k) sumSmooth += At(s, k);
        nextInner = from - half;
        for (std::int64_t k = nextInner - half; k <= nextInner + half; ++k) sumInner += Rest(k);
        for (std::int64_t k = 0; k < width; ++k) {
            inner[static_cast<std::size_t>(nextInner) & mask] = sumInner;
            sumOuter += sumInner;
            sumInner += Rest(nextInner + half + 1) - Rest(nextInner - half);
            ++nextInner;
        }
        next = from;
    }

    void FillOnce(float* values, std::int64_t n) {
        std::int64_t k = 0;
        while (k < n) {
            const bool inside = next - halfSmooth >= 0 && next + 2 * half + 2 < source->count;
            const std::int64_t stop = inside ? std::min(n, k + (source->count - (next + 2 * half + 2))) : k + 1;
            if (inside) {
                Run<false>(values + k, stop - k);
            } else {
                Run<true>(values + k, 1);
            }
            k = stop;
        }
    }

    template <bool kChecked>
    void Run(float* values, std::int64_t n) {
        const std::int16_t* s = source->samples;
        auto at = [&](std::int64_t index) { return kChecked ? At(*source, index) : int{s[index]}; };
        auto rest = [&](std::int64_t index) { return std::clamp(at(index), restLow, restHigh); };
        for (std::int64_t k = 0; k < n; ++k) {
            values[k] = static_cast<float>(sumSmooth * smoothWeight - sumOuter * outerWeight);
            sumSmooth += at(next + halfSmooth + 1) - at(next - halfSmooth);
            inner[static_cast<std::size_t>(nextInner) & mask] = sumInner;
            sumOuter += sumInner - inner[static_cast<std::size_t>(next - half) & mask];
            sumInner += rest(nextInner + half + 1) - rest(nextInner - half);
            ++nextInner;
            ++next;
        }
    }
};

// The filter as `shaping` conditions: the centre line kept to a band around the resting level,
// or, under a hum louder than the pulses, following it without a band, taken twice.
void StartFor(BandFilter& filter, const Source& source, std::int64_t from, const Shaping& shaping) {
    if (shaping.hum) {
        filter.Start(source, from, shaping.smooth, kHumSpan * shaping.slot, shaping.rest, 0, true);
    } else {
        filter.Start(source, from, shaping.smooth, shaping.slot, shaping.rest, kRestBand * shaping.amplitude);
    }
}

// A share of the magnitudes, from a histogram whose bins widen with the magnitude: sixteen to an
// octave (the float's exponent and its top four mantissa bits) from 2^-15 to 2^17 sample steps,
// fine for the quietest recordings and cheap for every sample.
struct Magnitudes {
    static constexpr int kShift = 19;
    static constexpr std::uint32_t kLowest = (127u - 15u) << 4;  // 2^-15: below counts as silence
    static constexpr int kBins = 32 << 4;
    std::array<std::uint32_t, kBins> counts{};
    std::uint32_t total = 0;

    void Add(float value) {
        const std::uint32_t bin = std::bit_cast<std::uint32_t>(std::fabs(value)) >> kShift;
        ++counts[bin < kLowest ? 0 : std::min<std::uint32_t>(bin - kLowest, kBins - 1)];
        ++total;
    }
    double Share(double share) const {
        const auto wanted = static_cast<std::uint32_t>(share * total);
        std::uint32_t seen = 0;
        for (int bin = 0; bin < kBins; ++bin) {
            seen += counts[static_cast<std::size_t>(bin)];
            // The bin's lower edge: silence gives 0.
            if (seen > wanted) return bin == 0 ? 0.0f : std::bit_cast<float>((bin + kLowest) << kShift);
        }
        return 0;
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

// The median of whole sample values (0 for none).
double MiddleOf(std::vector<std::int32_t>& values) {
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

// The bursts of the signal beyond `half` either way, lobes closer than a third of `quiet`
// joined: each at its centre (weighted by the size of its samples), with its span in `spans`.
// Gives whether most bursts begin with a positive lobe.
bool Bursts(const std::vector<float>& values, std::int64_t start, double half, double quiet,
            std::vector<std::int32_t>& centres, std::vector<double>& spans) {
    centres.clear();
    spans.clear();
    const double join = quiet / 3;
    const double low = half / 2;
    int positive = 0;
    int negative = 0;
    std::size_t i = 0;
    while (i < values.size()) {
        if (std::fabs(values[i]) <= half) {
            ++i;
            continue;
        }
        (values[i] > 0 ? positive : negative)++;
        const std::size_t first = i;
        std::size_t last = i;
        double weight = 0;
        double moment = 0;
        for (; i < values.size() && static_cast<double>(i - last) <= join; ++i) {
            const double size = std::fabs(values[i]);
            if (size > half) last = i;
            if (size > low) {
                weight += size;
                moment += size * static_cast<double>(i);
            }
        }
        centres.push_back(static_cast<std::int32_t>(start + std::llround(moment / weight)));
        spans.push_back(static_cast<double>(last - first));
    }
    return positive >= negative;
}

// A slow wave (mains hum, whose level does not follow the recording's) fills the quietest
// fifth of a window where it is strong beside quiet pulses; the noise it leaves between samples
// is what the pulses must stand above then: the median step of the samples, 0.954 of the noise.
bool UnderSlowWave(const Source& source, std::int64_t start, std::int64_t end, double amplitude) {
    if (amplitude < kLeastLevel) return false;
    Magnitudes steps;
    for (std::int64_t k = std::max<std::int64_t>(start, 1); k < end; ++k) {
        steps.Add(static_cast<float>(At(source, k) - At(source, k - 1)));
    }
    return amplitude >= kSignalOverNoise * steps.Share(0.5) / 0.954;
}

// Whether the pulses' level swings within a search window: some stretch of two slots holds
// pulses (its loudest value above `floor`) that reach less than half the window's `amplitude`.
bool LevelSwings(const std::vector<float>& values, double slot, double amplitude, double floor) {
    const auto block = std::max<std::size_t>(static_cast<std::size_t>(2 * slot), 1);
    for (std::size_t b = 0; b + block <= values.size(); b += block) {
        float loudest = 0;
        for (std::size_t k = b; k < b + block; ++k) loudest = std::max(loudest, std::fabs(values[k]));
        if (loudest > floor && loudest < 0.5 * amplitude) return true;
    }
    return false;
}

// The mean over 2 * h + 1 of `from` around each index, taken twice (fewer at the ends): the
// centre line again, of a window's values.
void TwiceMean(const std::vector<float>& from, std::int64_t h, std::vector<double>& sums, std::vector<double>& to) {
    const auto n = static_cast<std::int64_t>(from.size());
    to.assign(from.begin(), from.end());
    for (int pass = 0; pass < 2; ++pass) {
        sums.assign(from.size() + 1, 0.0);
        for (std::size_t k = 0; k < from.size(); ++k) sums[k + 1] = sums[k] + to[k];
        for (std::int64_t k = 0; k < n; ++k) {
            const std::int64_t low = std::max<std::int64_t>(0, k - h);
            const std::int64_t high = std::min(n, k + h + 1);
            to[static_cast<std::size_t>(k)] = (sums[static_cast<std::size_t>(high)] - sums[static_cast<std::size_t>(low)]) /
                                              static_cast<double>(high - low);
        }
    }
}

// Whether a slow wave is left in a search window's `values`: their centre line (over the
// search's two slots, taken twice) reaches a fifth of the window's `amplitude` somewhere, while
// the pulses' lobes cancel in it. Then `calm` gets the values less a shorter centre line.
// `sums` and `line` are room for the work, kept from window to window.
bool SlowWaveLeft(const std::vector<float>& values, double slot, double amplitude, std::vector<float>& calm,
                  std::vector<double>& sums, std::vector<double>& line) {
    TwiceMean(values, std::clamp<std::int64_t>(static_cast<std::int64_t>(slot), 1, kLongestHalf), sums, line);
    double largest = 0;
    for (const double m : line) largest = std::max(largest, std::fabs(m));
    if (values.empty() || largest < kSlowWaveShare * amplitude) return false;
    TwiceMean(values, std::clamp<std::int64_t>(static_cast<std::int64_t>(kHumSpan * slot), 1, kLongestHalf), sums, line);
    calm.resize(values.size());
    for (std::size_t k = 0; k < values.size(); ++k) calm[k] = static_cast<float>(values[k] - line[k]);
    return true;
}

// The loudest magnitude within `reach` samples of each value (a sliding maximum).
std::vector<float> LocalLevel(const std::vector<float>& values, std::int64_t reach) {
    const auto n = static_cast<std::int64_t>(values.size());
    std::vector<float> local(values.size());
    std::deque<std::int64_t> order;  // indices of falling magnitudes
    std::int64_t added = 0;
    for (std::int64_t i = 0; i < n; ++i) {
        for (; added < n && added <= i + reach; ++added) {
            const float m = std::fabs(values[static_cast<std::size_t>(added)]);
            while (!order.empty() && std::fabs(values[static_cast<std::size_t>(order.back())]) <= m) order.pop_back();
            order.push_back(added);
        }
        while (order.front() < i - reach) order.pop_front();
        local[static_cast<std::size_t>(i)] = std::fabs(values[static_cast<std::size_t>(order.front())]);
    }
    return local;
}

}  // namespace

LeadIn FindLeadIn(const Source& source, std::int32_t from, std::int32_t rate, int minimumBytes, std::int32_t complete,
                  bool levelOnly) {
    LeadIn lead;
    if (rate <= 0 || source.samples == nullptr || from < 0) return lead;
    const double standardSlot = kStandardSlot * rate;
    const auto window = std::max<std::int64_t>(static_cast<std::int64_t>(kSearchWindow * rate), 64);
    const auto smooth = std::max<std::int32_t>(1, static_cast<std::int32_t>(std::lround(kSearchSmoothing * rate)));
    const double quiet = kQuiet * standardSlot;
    std::vector<float> values;
    std::vector<float> calm;
    std::vector<double> slowSums;
    std::vector<double> slowLine;
    std::vector<Toggle> toggles;
    std::vector<std::int32_t> edges;
    std::vector<double> lobes;
    BandFilter filter;
    bool started = false;
    std::int64_t filled = 0;  // the filter's values are there up to this index
    for (std::int64_t start = from; start < source.count; start += window / 2) {
        if (complete >= 0 && start + window > complete) {
            // The samples beyond `complete` are not there yet: the search goes on from here.
            lead.resume = static_cast<std::int32_t>(start);
            return lead;
        }
        const std::int64_t end = std::min<std::int64_t>(source.count, start + window);
        // The windows overlap by half: one filter runs on through them, and the values the last
        // window shares with this one are kept (a value depends on its samples alone).
        if (!started) {
            filter.Start(source, start, smooth, standardSlot);
            filled = start;
            started = true;
        }
        const std::int64_t kept = std::max<std::int64_t>(filled - start, 0);
        if (kept > 0) std::copy(values.end() - kept, values.end(), values.begin());
        values.resize(static_cast<std::size_t>(end - start));
        filter.Fill(values.data() + kept, end - filled);
        for (auto v = values.begin() + kept; v != values.end(); ++v) *v /= filter.scale;
        filled = end;
        Magnitudes magnitudes;
        for (const float v : values) magnitudes.Add(v);
        // The spread of the noise from the quietest fifth of the samples: a normal spread puts a
        // fifth of them within 0.253 of it, and the pulses and their tails stay out of that fifth.
        // Figures for the window, to tell whether it holds pulses at all.
        const double noise = magnitudes.Share(0.2) / 0.253;
        const double amplitude = magnitudes.Share(0.99);
        if (amplitude < std::max(kLeastLevel, kSignalOverNoise * noise) && !UnderSlowWave(source, start, end, amplitude)) {
            continue;
        }
        // Each lobe of a pulse turns a comparator with hysteresis at half the level. A weaker
        // delayed copy of the signal (a microphone before the deck's speaker in a room, a second
        // path to the head) puts pulses of up to half the level between the lead-in's own: where
        // half the level finds no lead-in, only what passes 0.7 of it is judged again, and then
        // 0.85 (a microphone beside a hard wall: the reflection nearly as strong as the sound).
        bool positiveFirst = true;
        auto judge = [&](auto halfAt) {
            toggles.clear();
            bool high = values[0] > 0;
            for (std::size_t i = 0; i < values.size(); ++i) {
                const float half = halfAt(i);
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
            positiveFirst = risingFirst >= fallingFirst;
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
        };
        auto judgeLevels = [&](double level) {
            for (const double share : kComparatorShares) {
                const auto half = static_cast<float>(level * share);
                judge([half](std::size_t) { return half; });
                if (!lead.found) {
                    // A head that integrates or turns the phase, or a card that clips one side, leaves a
                    // pulse without two clear lobes of opposite sign; it stays a short burst, and the
                    // lead-in's bursts keep the slot rhythm.
                    positiveFirst = Bursts(values, start, half, quiet, edges, lobes);
                    MeasureRun(edges, standardSlot, minimumBytes, lead);
                }
                if (lead.found) break;
            }
        };
        if (SlowWaveLeft(values, standardSlot, amplitude, calm, slowSums, slowLine)) {
            // Mains hum louder than the pulses (a ground loop, a quiet tape turned up): the centre
            // line misses its curvature, which lifts some lobes past the comparator and hides
            // others, and may turn a lead-in's polarity. The window is judged with the centre line
            // taken twice; a lead-in found so is conditioned the same way.
            std::swap(values, calm);
            Magnitudes calmed;
            for (const float v : values) calmed.Add(v);
            judgeLevels(calmed.Share(0.99));
            lead.hum = lead.found;
            if (!lead.found) std::swap(values, calm);
        }
        if (!lead.found) judgeLevels(amplitude);
        if (!lead.found && LevelSwings(values, standardSlot, amplitude, std::max(kLeastLevel, kSignalOverNoise * noise))) {
            // A tape that lifts off the head now and then (crinkled or stretched, a worn pressure
            // pad) or a level control that pumps: the pulses' level swings within the window, and
            // those under half its loudest are lost to one comparator level. Each lobe is judged
            // against the pulses around it instead, and never below the noise.
            const std::vector<float> local = LocalLevel(values, static_cast<std::int64_t>(kLocalReach * standardSlot));
            const auto least = static_cast<float>(0.5 * kSignalOverNoise * noise);
            judge([&](std::size_t i) { return std::max(0.5f * local[i], least); });
        }
        if (lead.found) {
            // Level, noise and resting level from the lead-in alone, not from what lies before it.
            const std::int64_t first = lead.edges.front();
            const std::int64_t last = lead.edges.back();
            // The noise from the steps between samples: the pulses and their slow tails make
            // few large steps, noise makes them everywhere (a normal spread gives a median step
            // of 0.954 times itself).
            lead.positiveFirst = positiveFirst;
            std::vector<std::int32_t> levels;
            std::vector<std::int32_t> steps;
            for (std::int64_t k = first; k <= last && !levelOnly; ++k) {
                levels.push_back(source.samples[k]);
                steps.push_back(std::abs(At(source, k) - At(source, k - 1)));
            }
            // Most samples of a lead-in lie between its pulses, at the resting level.
            lead.rest = MiddleOf(levels);
            lead.noise = MiddleOf(steps) / 0.954;
            // What remains between the pulses once the centre line is off: hum, tails, droop.
            std::vector<double> between;
            for (std::size_t j = 1; j < lead.edges.size() && !levelOnly; ++j) {
                const std::int64_t middle = (std::int64_t{lead.edges[j - 1]} + lead.edges[j]) / 2;
                between.push_back(std::fabs(values[static_cast<std::size_t>(middle - start)]));
            }
            std::sort(between.begin(), between.end());
            lead.between = between.empty() ? 0 : between[between.size() * 9 / 10];
            lead.lobeSpacing = Median(lobes);
            // The level: the typical height of a pulse, the largest swing within two lobe
            // spacings of its edge.
            std::vector<double> heights;
            const auto around = static_cast<std::int64_t>(2 * lead.lobeSpacing) + 1;
            for (std::int32_t edge : lead.edges) {
                float height = 0;
                for (std::int64_t k = std::max(start, edge - around); k <= std::min(end - 1, edge + around); ++k) {
                    height = std::max(height, std::fabs(values[static_cast<std::size_t>(k - start)]));
                }
                heights.push_back(height);
            }
            lead.amplitude = Median(std::move(heights));
            return lead;
        }
        if (end == source.count) break;
    }
    return lead;
}

namespace {

std::int64_t ShapeHalf(double slot) {
    return std::clamp<std::int64_t>(std::lround(kShapeReach * slot), 2, kLongestHalf / 4);
}

double Quantile(std::vector<double> values, double share) {
    if (values.empty()) return 0;
    const auto at = values.begin() + static_cast<std::ptrdiff_t>(share * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), at, values.end());
    return *at;
}

// A tape's level changes slowly: a pulse is about as strong as the pulses half a slot before and
// after it, where there are any. A lossy codec's echo between two pulses is weaker than both.
bool Outshone(const std::vector<float>& y, std::int64_t m, std::int64_t near, std::int64_t far, float least, float value) {
    float before = 0;
    float after = 0;
    for (std::int64_t k = near; k <= far; ++k) {
        before = std::max(before, y[static_cast<std::size_t>(m - k)]);
        after = std::max(after, y[static_cast<std::size_t>(m + k)]);
    }
    return before > least && after > least && value < kNeighbourShare * std::min(before, after);
}

}  // namespace

// What each pulse leaves in the match after it, beyond its own peak: stretches of lags with the
// tail there for a pulse of the mean match.
struct Tails {
    struct Stretch {
        std::int64_t from = 0;
        std::vector<float> values;
    };
    std::vector<Stretch> stretches;
    std::int64_t reach = 0;  // lags up to this one hold tails
    double mean = 0;         // the pulses' mean match
};

namespace {

// The pulses ConditionMatched found: where, and their match.
struct Found {
    std::vector<std::int64_t> at;
    std::vector<float> match;
};

// Condition() for pulses found by their match with the measured shape: the centred signal is
// correlated with the shape, and each peak of the match above the floor that no other match
// within the reach outdoes becomes one clean pulse: high from `lead` samples before the peak,
// falling to low at it.
// With `tails`, each pulse found takes its tails away from the match after it (what the pulses
// before left is gone by the time a pulse is judged), and a pulse must reach a share of the
// strongest found just before it. `found` gets the pulses; the reading stops at `until`.
std::int32_t ConditionMatched(const Source& source, std::int32_t first, const Shaping& shaping, std::int8_t* out,
                              const Tails* tails = nullptr, Found* found = nullptr,
                              std::int64_t until = std::numeric_limits<std::int64_t>::max()) {
    const PulseShape& shape = *shaping.matched;
    const std::int64_t count = source.count;
    const auto taps = static_cast<std::int64_t>(shape.taps.size());
    const std::int64_t w = taps / 2;
    // The level of the pulses around a match is looked for up to just before where the next pulse
    // may lie, on either side: a lossy codec spreads weaker copies of a pulse before and after
    // it (pre-echo, ringing), and the pulse itself judges them. The match of a neighbour pulse
    // has faded there.
    const std::int64_t reach = std::clamp<std::int64_t>(std::lround(kMatchReach * shaping.slot), 1, kLongestHalf);
    // Where the pulses next to a pulse lie, half a slot away on either side.
    const std::int64_t near = std::clamp<std::int64_t>(std::lround(kNeighbourNear * shaping.slot), 1, kLongestHalf);
    const std::int64_t far = std::clamp<std::int64_t>(std::lround(kNeighbourFar * shaping.slot), reach, kLongestHalf);
    const std::int64_t margin = w + far;
    const std::int64_t begin = std::max<std::int64_t>(0, first - static_cast<std::int64_t>(shaping.slot));
    BandFilter filter;
    StartFor(filter, source, begin - margin, shaping);
    const float unit = 1.0f / filter.scale;
    const auto least = static_cast<float>(std::max(kMatchQuiet * shape.quiet, kMatchLeast * shape.pulse));
    constexpr std::int64_t kBlock = 1 << 16;
    std::vector<float> v(static_cast<std::size_t>(kBlock + 2 * margin));
    std::vector<float> y(static_cast<std::size_t>(kBlock + 2 * far));
    filter.Fill(v.data(), 2 * margin);
    const std::int8_t low = -127;
    const auto rise = std::max<std::int64_t>(1, shaping.lead);
    std::int64_t lastPulse = begin;
    std::int64_t i = begin;
    bool ended = false;
    auto emit = [&](std::int64_t at) {
        for (std::int64_t k = std::max<std::int64_t>(first, at - rise); k < at; ++k) out[k] = k == at - rise ? 127 : 126;
        if (at >= first) out[at] = -128;
        lastPulse = at;
    };
    // The pulses found so far, for their tails: where, and their match as a share of the mean.
    std::vector<std::int64_t> fedAt;
    std::vector<float> fedSize;
    // Takes the tails of a pulse at `at` of `size` away from y, which holds the indices from `y0` to `y1`.
    auto takeTails = [&](std::int64_t at, float size, std::int64_t y0, std::int64_t y1) {
        for (const Tails::Stretch& stretch : tails->stretches) {
            const auto length = static_cast<std::int64_t>(stretch.values.size());
            const std::int64_t from = std::max(y0, at + stretch.from);
            const std::int64_t to = std::min(y1, at + stretch.from + length);
            for (std::int64_t k = from; k < to; ++k) {
                y[static_cast<std::size_t>(k - y0)] -= size * stretch.values[static_cast<std::size_t>(k - at - stretch.from)];
            }
        }
    };
    for (std::int64_t blockStart = begin; blockStart < count && !ended; blockStart += kBlock) {
        const std::int64_t n = std::min(kBlock, count - blockStart);
        // v[j] is index blockStart - margin + j; y[m] is index blockStart - far + m.
        filter.Fill(v.data() + 2 * margin, n);
        for (std::int64_t m = 0; m < n + 2 * far; ++m) {
            const float* p = v.data() + m;
            float sum = 0;
            for (std::int64_t k = 0; k < taps; ++k) sum += shape.taps[static_cast<std::size_t>(k)] * p[k];
            y[static_cast<std::size_t>(m)] = sum * unit;
        }
        const std::int64_t y0 = blockStart - far;
        const std::int64_t y1 = blockStart + n + far;
        if (tails != nullptr) {
            // The tails of the pulses before this block that reach into it.
            for (auto k = std::lower_bound(fedAt.begin(), fedAt.end(), y0 - tails->reach); k != fedAt.end(); ++k) {
                takeTails(*k, fedSize[static_cast<std::size_t>(k - fedAt.begin())], y0, y1);
            }
        }
        for (std::int64_t m = far; m < far + n && !ended; ++m, ++i) {
            const float value = y[static_cast<std::size_t>(m)];
            if (i >= first) out[i] = low;  // an emitted pulse writes its samples back over these
            // A pulse where the match peaks above the floor and above every other match within
            // the reach: the pulse judges its own echoes, and no other pulse lies that close.
            if (value > least && value >= y[static_cast<std::size_t>(m - 1)] && value > y[static_cast<std::size_t>(m + 1)]) {
                bool peak = true;
                for (std::int64_t k = m - reach; k <= m + reach && peak; ++k) {
                    const float other = y[static_cast<std::size_t>(k)];
                    peak = other < value || (other == value && k >= m);
                }
                if (peak && tails != nullptr) {
                    // What is left of the tails is weaker than the pulses before it by far.
                    const auto span = static_cast<std::int64_t>(kTailLocal * shaping.slot);
                    float local = 0;
                    for (auto k = std::lower_bound(fedAt.begin(), fedAt.end(), i - span); k != fedAt.end(); ++k) {
                        local = std::max(local, fedSize[static_cast<std::size_t>(k - fedAt.begin())]);
                    }
                    peak = value >= kTailShare * local * tails->mean;
                }
                if (peak && !Outshone(y, m, near, far, least, value)) {
                    emit(i);
                    if (found != nullptr) {
                        found->at.push_back(i);
                        found->match.push_back(value);
                    }
                    if (tails != nullptr && tails->mean > 0) {
                        const auto size = static_cast<float>(value / tails->mean);
                        takeTails(i, size, y0, y1);
                        fedAt.push_back(i);
                        fedSize.push_back(size);
                    }
                }
            }
            if (i - lastPulse > shaping.endGap || i >= until) ended = true;
        }
        std::copy(v.begin() + n, v.begin() + n + 2 * margin, v.begin());
    }
    const std::int64_t end = i;
    for (std::int64_t k = std::max<std::int64_t>(end, first); k < std::min(count, end + shaping.endGap); ++k) out[k] = low;
    return static_cast<std::int32_t>(end);
}

// Solves t x = b for the symmetric Toeplitz matrix whose first column is `t` (positive definite),
// by Levinson's recursion. False when the matrix is not.
bool SolveToeplitz(const std::vector<double>& t, const std::vector<double>& b, std::vector<double>& x) {
    const std::size_t n = b.size();
    x.assign(n, 0.0);
    if (n == 0 || t.size() < n || !(t[0] > 0)) return false;
    std::vector<double> y(n, 0.0);
    std::vector<double> z(n, 0.0);
    std::vector<double> v(n, 0.0);
    const double t0 = t[0];
    auto r = [&](std::size_t k) { return t[k] / t0; };  // r(1) is t[1] / t[0]
    x[0] = b[0] / t0;
    if (n == 1) return true;
    y[0] = -r(1);
    double alpha = -r(1);
    double beta = 1;
    for (std::size_t k = 1; k < n; ++k) {
        beta *= 1 - alpha * alpha;
        if (!(beta > 0)) return false;
        double sum = 0;
        for (std::size_t j = 0; j < k; ++j) sum += r(j + 1) * x[k - 1 - j];
        const double mu = (b[k] / t0 - sum) / beta;
        for (std::size_t j = 0; j < k; ++j) v[j] = x[j] + mu * y[k - 1 - j];
        for (std::size_t j = 0; j < k; ++j) x[j] = v[j];
        x[k] = mu;
        if (k + 1 < n) {
            double s2 = 0;
            for (std::size_t j = 0; j < k; ++j) s2 += r(j + 1) * y[k - 1 - j];
            alpha = (-r(k + 1) - s2) / beta;
            for (std::size_t j = 0; j < k; ++j) z[j] = y[j] + alpha * y[k - 1 - j];
            for (std::size_t j = 0; j < k; ++j) y[j] = z[j];
            y[k] = alpha;
        }
    }
    return true;
}

// What each pulse leaves in the match after it, beyond its own peak: a room's echoes (one wall's
// or several), a head's ringing, what a linear chain adds later. Measured over the pulses a
// first reading found, whose data spread them at every distance (the lead-in's regular pulses
// hide a copy among their own), by least squares: the match is the sum of one response per
// pulse, scaled by the pulse's size. Their own peak and what lies before it are part of the
// model, not of the tails. None when there are too few pulses to tell.
Tails MeasureTails(const Source& source, const Shaping& shaping, const Found& all) {
    Tails tails;
    // A copy of a pulse (an echo) that passed for one is weaker than the pulses: it is part of
    // their tails, and so is left out of the pulses they are measured over.
    Found found;
    if (!all.match.empty()) {
        std::vector<float> sorted = all.match;
        std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2), sorted.end());
        const float strong = static_cast<float>(kTailStrong) * sorted[sorted.size() / 2];
        for (std::size_t k = 0; k < all.at.size(); ++k) {
            if (all.match[k] < strong) continue;
            found.at.push_back(all.at[k]);
            found.match.push_back(all.match[k]);
        }
    }
    const PulseShape& shape = *shaping.matched;
    const auto w = static_cast<std::int64_t>(shape.taps.size() / 2);
    const std::int64_t back = 2 * w;
    // The pulse's own match reaches twice its shape's half either way.
    const std::int64_t from = std::max<std::int64_t>(back + 1, std::lround(kMatchReach * shaping.slot));
    const std::int64_t longest = std::clamp<std::int64_t>(std::lround(kTailSlots * shaping.slot), from + 1, kLongestHalf);
    const std::size_t pulses = found.at.size();
    if (pulses < 4 * kEchoPulses || longest <= from) return tails;
    double mean = 0;
    for (const float m : found.match) mean += m;
    mean /= static_cast<double>(pulses);
    if (!(mean > 0)) return tails;
    std::vector<float> size(pulses);
    for (std::size_t k = 0; k < pulses; ++k) size[k] = static_cast<float>(found.match[k] / mean);
    // Lags -back .. longest; the pulses' weight at each distance, and the match after them.
    const auto lags = static_cast<std::size_t>(back + longest + 1);
    std::vector<double> weight(lags, 0.0);
    for (std::size_t j = 0; j < pulses; ++j) {
        for (std::size_t k = j; k < pulses && found.at[k] - found.at[j] < static_cast<std::int64_t>(lags); ++k) {
            weight[static_cast<std::size_t>(found.at[k] - found.at[j])] += static_cast<double>(size[j]) * size[k];
        }
    }
    std::vector<double> after(lags, 0.0);
    // The match itself, a block at a time, each block with the samples its pulses' lags reach.
    constexpr std::int64_t kBlock = 1 << 16;
    const auto taps = static_cast<std::int64_t>(shape.taps.size());
    std::vector<float> v;
    std::vector<float> y;
    for (std::size_t k = 0; k < pulses;) {
        const std::int64_t start = found.at[k] - back;
        const std::int64_t n = kBlock + back + longest + 1;
        BandFilter filter;
        StartFor(filter, source, start - w, shaping);
        v.resize(static_cast<std::size_t>(n + taps));
        filter.Fill(v.data(), n + taps);
        // A tap at a time over the block, which the compiler can do many samples at once.
        y.assign(static_cast<std::size_t>(n), 0.0f);
        for (std::int64_t t = 0; t < taps; ++t) {
            const float tap = shape.taps[static_cast<std::size_t>(t)] / filter.scale;
            const float* samples = v.data() + t;
            for (std::int64_t m = 0; m < n; ++m) y[static_cast<std::size_t>(m)] += tap * samples[m];
        }
        // Summed in doubles: the least squares magnify small errors.
        for (; k < pulses && found.at[k] - back - start < kBlock; ++k) {
            const float* at = y.data() + (found.at[k] - back - start);
            const double scale = size[k];
            for (std::size_t d = 0; d < lags; ++d) after[d] += scale * at[d];
        }
    }
    weight[0] *= 1 + kTailRidge;
    std::vector<double> response;
    if (!SolveToeplitz(weight, after, response)) return tails;
    // The pulses sit on a grid of half slots, and most of them (a byte's first at every bit) at
    // every slot: where they always are, the least squares cannot tell a pulse's own size from a
    // tail its neighbours left there, and over a regular lead-in such small shares add up. Only
    // tails that stand out are taken: a copy of the pulse (an echo), with the lags around it
    // where its match lies.
    double own = 0;
    for (std::int64_t d = -w; d <= w; ++d) own = std::max(own, response[static_cast<std::size_t>(d + back)]);
    if (!(own > 0)) return tails;
    std::vector<bool> keep(static_cast<std::size_t>(longest + 1), false);
    for (std::int64_t d = from; d <= longest; ++d) {
        if (std::fabs(response[static_cast<std::size_t>(d + back)]) < kTailLeast * own) continue;
        for (std::int64_t k = std::max(from, d - w); k <= std::min(longest, d + w); ++k) keep[static_cast<std::size_t>(k)] = true;
    }
    for (std::int64_t d = from; d <= longest; ++d) {
        if (!keep[static_cast<std::size_t>(d)]) continue;
        if (d == from || !keep[static_cast<std::size_t>(d - 1)]) tails.stretches.push_back({d, {}});
        tails.stretches.back().values.push_back(static_cast<float>(response[static_cast<std::size_t>(d + back)]));
        tails.reach = d + 1;
    }
    if (tails.stretches.empty()) return tails;
    tails.mean = mean;
    return tails;
}

}  // namespace

struct TailsMemo {
    std::int32_t first = -1;    // the record's first sample
    std::int64_t until = 0;     // the tails were measured up to this sample
    Tails tails;
};

std::shared_ptr<TailsMemo> NewTailsMemo() { return std::make_shared<TailsMemo>(); }

PulseShape MeasurePulseShape(const Source& source, const LeadIn& lead, const Shaping& shaping) {
    PulseShape shape;
    if (lead.edges.size() < 16 || shaping.slot <= 0 || source.samples == nullptr) return shape;
    const std::int64_t half = ShapeHalf(shaping.slot);
    const std::int64_t from = std::max<std::int64_t>(0, lead.edges.front() - 2 * half);
    const std::int64_t to = std::min<std::int64_t>(source.count, std::int64_t{lead.edges.back()} + 2 * half + 1);
    BandFilter filter;
    StartFor(filter, source, from, shaping);
    std::vector<float> v(static_cast<std::size_t>(to - from));
    filter.Fill(v.data(), to - from);
    for (float& value : v) value /= filter.scale;
    auto at = [&](std::int64_t index) { return index >= from && index < to ? v[static_cast<std::size_t>(index - from)] : 0.0f; };
    std::vector<double> mean(static_cast<std::size_t>(2 * half + 1), 0.0);
    for (std::int32_t edge : lead.edges) {
        for (std::int64_t k = -half; k <= half; ++k) mean[static_cast<std::size_t>(k + half)] += at(edge + k);
    }
    double energy = 0;
    for (double m : mean) energy += m * m;
    if (energy <= 0) return shape;
    const double norm = 1 / std::sqrt(energy);
    // The pulse's own two lobes lie within one and a half lobe spacings of its edge; beyond, what the
    // head or the codec added (a third lobe, ringing, a smear).
    const double own = std::max(2.0, 1.5 * lead.lobeSpacing);
    double outside = 0;
    for (std::int64_t k = -half; k <= half; ++k) {
        const double tap = mean[static_cast<std::size_t>(k + half)] * norm;
        shape.taps.push_back(static_cast<float>(tap));
        if (std::fabs(static_cast<double>(k)) > own) outside += tap * tap;
    }
    shape.tail = std::sqrt(outside);
    auto match = [&](std::int64_t index) {
        double sum = 0;
        for (std::int64_t k = -half; k <= half; ++k) sum += shape.taps[static_cast<std::size_t>(k + half)] * at(index + k);
        return sum;
    };
    std::vector<double> pulses;
    std::vector<double> quiet;
    for (std::size_t j = 0; j < lead.edges.size(); ++j) {
        double peak = 0;
        for (std::int64_t k = -2; k <= 2; ++k) peak = std::max(peak, match(lead.edges[j] + k));
        pulses.push_back(peak);
        if (j > 0) quiet.push_back(std::fabs(match((std::int64_t{lead.edges[j - 1]} + lead.edges[j]) / 2)));
    }
    shape.pulse = Quantile(pulses, 0.25);
    shape.quiet = Quantile(quiet, 0.9);
    if (shape.pulse <= 0) shape.taps.clear();
    return shape;
}

// Condition()'s work on swings, one index after another: it may stop at any index and go on
// later on the same samples with more after them (an index's output depends on the samples up to
// a little beyond it alone), so that a growing recording is conditioned about once.
struct SwingRun::State {
    Shaping shaping;
    std::int64_t first = 0;
    std::int64_t reach = 1;
    BandFilter filter;
    float sign = 1, gain = 1, share = 0, floor = 0, fixed = 0;
    bool fixedSwing = false;
    std::vector<float> values;  // values[j] belongs to index i - reach + j
    bool high = false;
    float edge = -1;            // the edge level of the lobe under way; below 0 while none is
    std::int64_t lastSwing = 0;
    std::int64_t i = 0;         // the next index through the comparator
    bool ended = false;

    static constexpr std::int64_t kBlock = 1 << 16;

    // The local level of each lobe direction: the largest swing that way within `reach` on
    // either side. Four running maxima side by side, so that the search is not one long chain.
    float LocalEdge(std::size_t at, float direction) const {
        const float* p = values.data() + at - static_cast<std::size_t>(reach);
        const auto n = static_cast<std::size_t>(2 * reach + 1);
        float largest[4] = {0, 0, 0, 0};
        std::size_t k = 0;
        for (; k + 4 <= n; k += 4) {
            for (std::size_t lane = 0; lane < 4; ++lane) largest[lane] = std::max(largest[lane], direction * p[k + lane]);
        }
        for (; k < n; ++k) largest[0] = std::max(largest[0], direction * p[k]);
        const float all = std::max(std::max(largest[0], largest[1]), std::max(largest[2], largest[3]));
        return std::max(floor, share * all);
    }

    // `n` indices through the comparator; `kSquared` picks what is written.
    template <bool kSquared>
    void Compare(std::int64_t n, std::int8_t* out) {
        for (auto j = static_cast<std::size_t>(reach); j < static_cast<std::size_t>(reach + n); ++j, ++i) {
            const float v = values[j];
            const float toward = high ? -v : v;  // the signal toward the next swing
            if (toward <= floor) {
                edge = -1;
            } else {
                if (edge < 0) edge = fixedSwing ? fixed : LocalEdge(j, high ? -1.0f : 1.0f);
                if (toward > edge) {
                    high = !high;
                    lastSwing = i;
                    edge = -1;
                }
            }
            if (i - lastSwing > shaping.endGap) {
                ended = true;
                return;
            }
            if (i < first) {
                continue;
            }
            if constexpr (kSquared) {
                // Full scale at a swing, a step less after it: the step back ends the swing
                // there for both edge directions (a rising swing runs on over flat samples).
                out[i] = high ? (i == lastSwing ? 127 : 126) : (i == lastSwing ? -128 : -127);
            } else {
                out[i] = static_cast<std::int8_t>(std::clamp(std::lround(v * gain), -128L, 127L));
            }
        }
    }
};

SwingRun::SwingRun(const Source& source, std::int32_t first, const Shaping& shaping) : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.shaping = shaping;
    s.first = std::max(first, 0);
    // The comparator settles on a slot before the first sample written, so that it stands as
    // the signal does there and does not swing at the start.
    const std::int64_t begin = std::max<std::int64_t>(0, s.first - static_cast<std::int64_t>(shaping.slot));
    s.sign = shaping.invert ? -1.0f : 1.0f;
    // The local level of each lobe direction is the largest swing that way within `reach` on
    // either side: less than the quiet between two pulses, so that a weak pulse or lobe (where
    // a dropout begins or ends) is judged by its own level alone.
    s.reach = std::clamp<std::int64_t>(shaping.reach, 1, kLongestHalf);
    StartFor(s.filter, source, begin - s.reach, shaping);
    // The filter's values are `filter.scale` times the signal: so are the levels compared here.
    s.gain = (shaping.amplitude > 0 ? static_cast<float>(100.0 / shaping.amplitude) : 1.0f) / s.filter.scale;
    s.share = static_cast<float>(kLobeShare);
    s.floor = static_cast<float>(shaping.floor) * s.filter.scale;
    s.fixed = static_cast<float>(shaping.swing / 2) * s.filter.scale;
    s.fixedSwing = shaping.swing >= 0;
    // A lobe's local level is looked up once, when the signal first passes the floor toward it.
    s.values.assign(static_cast<std::size_t>(State::kBlock + 2 * s.reach), 0.0f);
    s.filter.Fill(s.values.data(), 2 * s.reach);  // the values before the first index
    s.lastSwing = s.i = begin;
}

SwingRun::SwingRun(const SwingRun& other) : state_(std::make_unique<State>(*other.state_)) {}

SwingRun& SwingRun::operator=(const SwingRun& other) {
    state_ = std::make_unique<State>(*other.state_);
    return *this;
}

SwingRun::~SwingRun() = default;

std::int64_t SwingRun::Settled(std::int64_t count) const {
    const State& s = *state_;
    // An index's value reads the samples up to two half-widths of the centre line and the
    // smoothing beyond it; the comparator looks `reach` further.
    return count - s.reach - s.filter.Ahead() - 2;
}

void SwingRun::Advance(const Source& source, std::int8_t* out, std::int64_t upTo) {
    State& s = *state_;
    s.filter.source = &source;
    upTo = std::min<std::int64_t>(upTo, source.count);
    while (s.i < upTo && !s.ended) {
        const std::int64_t n = std::min(State::kBlock, upTo - s.i);
        const std::size_t from = static_cast<std::size_t>(2 * s.reach);
        s.filter.Fill(s.values.data() + from, n);
        if (s.sign < 0) {
            for (std::size_t j = from; j < from + static_cast<std::size_t>(n); ++j) s.values[j] = -s.values[j];
        }
        if (s.shaping.squared) {
            s.Compare<true>(n, out);
        } else {
            s.Compare<false>(n, out);
        }
        // Carry the last 2 * reach values over.
        std::copy(s.values.begin() + n, s.values.begin() + n + 2 * s.reach, s.values.begin());
    }
}

std::int32_t SwingRun::Finish(std::int64_t count, std::int8_t* out) const {
    const State& s = *state_;
    // A level line after the signal, so that nothing left there from before reads as a swing.
    const std::int64_t end = s.i;
    const std::int8_t level = s.shaping.squared ? (s.high ? 126 : -127) : 0;
    for (std::int64_t k = end; k < std::min(count, end + s.shaping.endGap); ++k) out[k] = level;
    return static_cast<std::int32_t>(end);
}

std::int32_t Condition(const Source& source, std::int32_t first, const Shaping& shaping, std::int8_t* out) {
    if (ByShape(shaping) && shaping.tails) {
        TailsMemo& memo = *shaping.tails;
        // The tails are measured over the record's first stretch: a reading of it finds the
        // pulses, the tails are measured over them, and the next reading, taking them away,
        // finds the pulses better, until it finds the same. Then the record is read so.
        const std::int64_t until = std::min<std::int64_t>(source.count, first + std::llround(kTailMeasured * shaping.slot));
        if (memo.first != first || memo.until < until) {
            memo = TailsMemo{};
            Found found;
            ConditionMatched(source, first, shaping, out, nullptr, &found, until);
            Tails tails = MeasureTails(source, shaping, found);
            for (int round = 1; round < kTailRounds && !tails.stretches.empty(); ++round) {
                Found again;
                ConditionMatched(source, first, shaping, out, &tails, &again, until);
                bool same = again.at.size() == found.at.size();
                for (std::size_t k = 0; same && k < found.at.size(); ++k) same = std::llabs(again.at[k] - found.at[k]) <= 1;
                if (same) break;
                Tails next = MeasureTails(source, shaping, again);
                if (next.stretches.empty()) break;
                found = std::move(again);
                tails = std::move(next);
            }
            memo.first = first;
            memo.until = until;
            memo.tails = std::move(tails);
        }
        // No tail stands out: the pulses as the shape finds them.
        return ConditionMatched(source, first, shaping, out, memo.tails.stretches.empty() ? nullptr : &memo.tails);
    }
    if (ByShape(shaping)) return ConditionMatched(source, first, shaping, out);
    if (first < 0 || first >= source.count) return std::max<std::int32_t>(first, 0);
    SwingRun run(source, first, shaping);
    run.Advance(source, out, source.count);
    return run.Finish(source.count, out);
}

namespace {

// The signal of `source` centred, less the lead-in's own pulses (their mean at each of `edges`),
// matched with `shape` at every index from `edges` front to back, into `match` (from the front
// on): what is left is an echo, the noise and how the pulses differ. Gives the mean pulse's
// match with the shape.
double ResidualMatch(const Source& source, const std::vector<std::int32_t>& edges, const PulseShape& shape,
                     const Shaping& shaping, std::vector<float>& match) {
    const auto w = static_cast<std::int64_t>(shape.taps.size() / 2);
    const std::int64_t first = edges.front();
    const std::int64_t from = first - 2 * w;
    const std::int64_t span = std::int64_t{edges.back()} - first + 1;
    BandFilter filter;
    StartFor(filter, source, from, shaping);
    std::vector<float> rest(static_cast<std::size_t>(span + 4 * w));
    filter.Fill(rest.data(), static_cast<std::int64_t>(rest.size()));
    for (float& value : rest) value /= filter.scale;
    std::vector<double> mean(static_cast<std::size_t>(2 * w + 1), 0.0);
    for (const std::int32_t edge : edges) {
        for (std::int64_t k = -w; k <= w; ++k) mean[static_cast<std::size_t>(k + w)] += rest[static_cast<std::size_t>(edge - from + k)];
    }
    double pulse = 0;
    for (std::int64_t k = -w; k <= w; ++k) {
        mean[static_cast<std::size_t>(k + w)] /= static_cast<double>(edges.size());
        pulse += shape.taps[static_cast<std::size_t>(k + w)] * mean[static_cast<std::size_t>(k + w)];
    }
    for (const std::int32_t edge : edges) {
        for (std::int64_t k = -w; k <= w; ++k) {
            rest[static_cast<std::size_t>(edge - from + k)] -= static_cast<float>(mean[static_cast<std::size_t>(k + w)]);
        }
    }
    match.assign(static_cast<std::size_t>(span), 0.0f);
    for (std::int64_t i = 0; i < span; ++i) {
        float sum = 0;
        const float* at = rest.data() + (first - from) + i - w;
        for (std::int64_t k = 0; k <= 2 * w; ++k) sum += shape.taps[static_cast<std::size_t>(k)] * at[k];
        match[static_cast<std::size_t>(i)] = sum;
    }
    return pulse;
}

// The mean of `match` (which begins at the first of `edges`) `delay` after each of the first
// `pulses` of `edges`; 0 with fewer than `least` of them before its end.
double MatchAfter(const std::vector<float>& match, const std::vector<std::int32_t>& edges, std::int64_t delay,
                  std::size_t pulses = SIZE_MAX, std::size_t least = kEchoPulses) {
    double sum = 0;
    std::size_t count = 0;
    for (std::size_t k = 0; k < std::min(pulses, edges.size()); ++k) {
        const std::int64_t at = edges[k] - edges.front() + delay;
        if (at >= static_cast<std::int64_t>(match.size())) break;
        sum += match[static_cast<std::size_t>(at)];
        ++count;
    }
    return count >= std::max<std::size_t>(least, 1) ? sum / static_cast<double>(count) : 0.0;
}

}  // namespace

Echo MeasureEcho(const Source& source, const LeadIn& lead, const PulseShape& shape, const Shaping& shaping,
                 std::int32_t rate) {
    Echo echo;
    if (shape.taps.empty() || lead.edges.size() < kEchoPulses || shaping.slot <= 0 || rate <= 0 || source.samples == nullptr) {
        return echo;
    }
    const auto w = static_cast<std::int64_t>(shape.taps.size() / 2);
    const std::int64_t shortest = std::max<std::int64_t>(1, std::lround(kEchoShortest * shaping.slot));
    const std::int64_t longest = std::min<std::int64_t>(std::lround(kEchoLongest * rate), kLongestHalf);
    if (longest <= shortest || lead.edges.back() - lead.edges.front() <= longest) return echo;
    // The lead-in and a stretch before it, on their own.
    const std::int64_t low = std::max<std::int64_t>(0, lead.edges.front() - longest - 4 * w);
    const std::int64_t high = std::min<std::int64_t>(source.count, std::int64_t{lead.edges.back()} + 4 * w + 1);
    const Source own{source.samples + low, static_cast<std::int32_t>(high - low)};
    std::vector<std::int32_t> edges;
    for (const std::int32_t edge : lead.edges) edges.push_back(static_cast<std::int32_t>(edge - low));
    std::vector<float> match;
    double pulse = ResidualMatch(own, edges, shape, shaping, match);
    if (pulse <= 0) return echo;
    // The pulses repeat, so the echo shows as well a slot or a byte time earlier or later, but
    // there from fewer pulses (not from a byte's first or last): its own delay shows most.
    std::int64_t best = 0;
    double strongest = 0;
    for (std::int64_t delay = shortest; delay <= longest; ++delay) {
        const double mean = MatchAfter(match, edges, delay);
        if (best == 0 || mean > strongest) {
            strongest = mean;
            best = delay;
        }
    }
    if (strongest < kEchoLeast * pulse || strongest > kEchoMost * pulse) return echo;
    // A byte time earlier or later it shows from all but a byte's pulses, nearly as strongly:
    // of those, its own delay is the shortest at which the lead-in's first byte already has its
    // copies (nothing came before the lead-in to echo there).
    const double byte = std::max(1.0, 7 * lead.slot + (lead.lastSlot > 0 ? lead.lastSlot : kPauseShortest * lead.slot));
    std::int64_t chosen = -1;
    for (std::int64_t n = -static_cast<std::int64_t>(static_cast<double>(best) / byte); chosen < 0 && n * byte <= static_cast<double>(longest); ++n) {
        // The candidate n byte times off the strongest, where its own copies peak nearby.
        std::int64_t delay = best + std::lround(static_cast<double>(n) * byte);
        if (delay < shortest || delay > longest) continue;
        for (std::int64_t near = std::max(shortest, delay - 2); near <= std::min(longest, delay + 2); ++near) {
            if (MatchAfter(match, edges, near) > MatchAfter(match, edges, delay)) delay = near;
        }
        const double mean = MatchAfter(match, edges, delay);
        if (mean >= kEchoAlike * strongest && MatchAfter(match, edges, delay, 8, 1) >= mean / 2) chosen = delay;
    }
    if (chosen >= 0) best = chosen;
    // A wide pulse's match peaks broadly, up to half a lobe spacing off; its edges are steep, and
    // each edge's copy lies exactly the delay later: the delay is set where the steps of the signal
    // repeat most.
    double repeat = 0;
    const std::int64_t found = best;
    const std::int64_t off = std::clamp<std::int64_t>(std::lround(kEchoRefine * lead.lobeSpacing), 1, kLongestHalf);
    // The lead-in's own pulses repeat too, at the distances between them: those lags are no echo's,
    // unless the match found the echo there.
    auto ownLag = [&](std::int64_t delay) {
        for (std::size_t a = 0; a < edges.size(); ++a) {
            for (std::size_t b = a + 1; b < edges.size(); ++b) {
                const std::int64_t apart = edges[b] - edges[a];
                if (apart > delay + kEchoOwnSpread) break;
                if (std::llabs(apart - delay) <= kEchoOwnSpread) return true;
            }
        }
        return false;
    };
    const bool foundOwn = ownLag(found);
    bool first = true;
    for (std::int64_t delay = std::max(shortest, found - off); delay <= std::min(longest, found + off); ++delay) {
        if (!foundOwn && ownLag(delay)) continue;
        double sum = 0;
        for (std::int64_t k = delay + 1; k < own.count; ++k) {
            sum += static_cast<double>(own.samples[k] - own.samples[k - 1]) * (own.samples[k - delay] - own.samples[k - delay - 1]);
        }
        if (first || sum > repeat) {
            repeat = sum;
            best = delay;
            first = false;
        }
    }
    strongest = MatchAfter(match, edges, best);
    echo.delay = static_cast<std::int32_t>(best);
    echo.gain = strongest / pulse;
    // Where the echo meets other pulses of the lead-in, the mean pulse took part of it in: the
    // level is found again on the signal without the echo found so far, until little is left.
    std::vector<std::int16_t> without(static_cast<std::size_t>(own.count));
    for (int round = 0; round < kEchoRounds; ++round) {
        RemoveEcho(own, 0, echo, lead.rest, without.data());
        pulse = ResidualMatch(Source{without.data(), own.count}, edges, shape, shaping, match);
        if (pulse <= 0) break;
        echo.gain += MatchAfter(match, edges, best) / pulse;
    }
    if (echo.gain < kEchoLeast || echo.gain > kEchoMost) return Echo{};
    return echo;
}

void RemoveEcho(const Source& source, std::int32_t first, const Echo& echo, double rest, std::int16_t* out) {
    const std::int64_t delay = echo.delay;
    if (delay <= 0 || first < 0) return;
    const auto gain = static_cast<float>(echo.gain);
    const auto level = static_cast<float>(rest);
    for (std::int64_t i = first; i < source.count; ++i) {
        // Before `first`, the recording as it is stands for the echo-free signal.
        const std::int64_t back = i - delay;
        const float earlier = back >= first ? out[back] : back >= 0 ? source.samples[back] : level;
        const float value = source.samples[i] - gain * (earlier - level);
        out[i] = static_cast<std::int16_t>(std::clamp(std::lround(value), -32768L, 32767L));
    }
}

}  // namespace sonokas::signal
