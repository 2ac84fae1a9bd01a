// Signal analysis and conditioning for "/auto": finding a lead-in whatever its level,
// polarity and speed, measuring it, and turning a record's samples into the clean signal that
// the decoders expect.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace sonokas::signal {

// An edge's half-swing, as a share of the local level of the pulses.
inline constexpr double kLobeShare = 0.3;

// One channel of the recording (or the mix of both) at its own resolution, as 16-bit samples:
// every level below is in their units.
struct Source {
    const std::int16_t* samples = nullptr;
    std::int32_t count = 0;
};

// 16-bit steps in one step of the decoders' 8-bit samples.
inline constexpr double kDecoderStep = 256;

// What a lead-in showed: the decoders' edge of each pulse (the swing between its two lobes),
// its timing, and the signal's level.
struct LeadIn {
    bool found = false;
    std::int32_t firstEdge = 0;   // the edge of the lead-in's first regular pulse
    std::int32_t edgeCount = 0;   // regular pulses measured
    bool positiveFirst = true;    // the positive lobe of a pulse comes first
    double slot = 0;              // samples from one bit's pulse to the next
    double lastSlot = 0;          // samples from the eighth bit's pulse to the next byte's first
    double lobeSpacing = 0;       // samples between the two lobes of a pulse
    double amplitude = 0;         // the pulses' lobe height, in sample units
    double noise = 0;             // spread of the noise on the samples, in sample units
    double rest = 0;              // the signal's resting level (its DC)
    double between = 0;           // what the signal halfway between pulses reaches (most of the time)
    std::vector<std::int32_t> edges;  // the measured pulses' edges, in order
    std::int32_t resume = -1;     // not found before `complete`: where the search goes on
    bool hum = false;             // found under a slow wave louder than the pulses, once taken away
};

// Looks for the first lead-in at or after `from`: a run of at least `minimumBytes` zero bytes,
// i.e. groups of eight pulses one slot apart, each followed by the byte pause, at a slot
// length within 0.8 to 1.5 times the standard one at `rate`.
// With `complete` at 0 or above, the samples from there on may still change (a stream): only
// windows that end before it are judged, and `resume` says where the search goes on.
// With `levelOnly`, only the lead-in's timing, edges and level are measured (not its noise,
// resting level or what lies between its pulses).
LeadIn FindLeadIn(const Source& source, std::int32_t from, std::int32_t rate, int minimumBytes,
                  std::int32_t complete = -1, bool levelOnly = false);

// The pulse as the recording chain left it (the head's response, the codec's blur), measured on
// a lead-in, where every slot's content is known: the mean of the centred signal around the
// pulses' edges, and how well the signal matches that shape at pulses and where none is.
struct PulseShape {
    std::vector<float> taps;  // the mean pulse at unit energy; the middle tap is at the edge
    double pulse = 0;         // the match at the lead-in's pulses (their lower quartile)
    double quiet = 0;         // the match halfway between them (the upper tenth of its size)
    double tail = 0;          // the largest lobe beyond the pulse's first two, as a share of theirs
};

// Measures the shape on the lead-in's pulses of `source`, with the centre line of `shaping`.
// No taps when the lead-in is too short to tell.
PulseShape MeasurePulseShape(const Source& source, const LeadIn& lead, const struct Shaping& shaping);

// A delayed, weaker copy of the whole signal: a microphone before the deck's speaker in a room,
// a second path to the head.
struct Echo {
    std::int32_t delay = 0;  // samples after the signal; none when 0
    double gain = 0;         // the copy's level, as a share of the signal's
};

// The tails measured for a record's reading on its pulses' shape (made by NewTailsMemo).
struct TailsMemo;
std::shared_ptr<TailsMemo> NewTailsMemo();

// How a record is conditioned.
struct Shaping {
    double slot = 0;          // samples: one bit slot
    std::int32_t smooth = 1;  // samples: width of the smoothing
    std::int32_t reach = 1;   // samples: how far on either side the local level of the pulses is taken
    double amplitude = 0;     // lobe height measured on the lead-in
    double rest = 0;          // resting level measured on the lead-in
    double floor = 0;         // the smallest half-swing that still counts as a pulse lobe
    double swing = -1;        // a fixed swing for an edge (from "/thr"); below 0: follows the level
    bool squared = true;      // a full-scale square wave (timing decoder) or the smoothed signal
    bool invert = false;      // turns the signal over, so that the positive lobe comes first
    std::int32_t endGap = 0;  // samples without an edge that end the record's signal
    bool hum = false;         // a slow wave louder than the pulses: the centre line follows it closely
    // Pulses found by their match with this shape instead of by their swings; each becomes
    // one clean pulse whose falling swing lies where the match peaks.
    std::shared_ptr<const PulseShape> matched;
    std::int32_t lead = 1;    // matched: samples from a written pulse's rise to its fall
    // matched: each pulse's tails (a room's echoes, a head's ringing) measured over the pulses of a
    // first reading and taken away for the next; what was measured is kept here for the readings
    // of the same record after it
    std::shared_ptr<TailsMemo> tails;
};

// True when `shaping` finds pulses by their match with a measured shape, not by their swings.
inline bool ByShape(const Shaping& shaping) { return shaping.matched && !shaping.matched->taps.empty(); }

// Conditions the samples from `first` on into `out` (same indices), up to where the record's
// signal ends (an `endGap` without a swing) or the recording ends; beyond that up to the next
// `endGap`, `out` holds a level line. Gives the index after the last conditioned sample.
std::int32_t Condition(const Source& source, std::int32_t first, const Shaping& shaping, std::int8_t* out);

// Condition() for pulses found by their swings (no `matched` shape), in steps: Advance writes
// the indices from where the run stands up to `upTo`, and a copy taken below Settled(count) goes
// on later, on the same samples with more after them, as if it had never stopped. So a recording
// that grows at its end is conditioned about once: Condition() is Advance to the end, then Finish.
class SwingRun {
public:
    SwingRun(const Source& source, std::int32_t first, const Shaping& shaping);
    SwingRun(const SwingRun& other);
    SwingRun& operator=(const SwingRun& other);
    ~SwingRun();
    void Advance(const Source& source, std::int8_t* out, std::int64_t upTo);
    // The level line after the signal; gives the index after the last conditioned sample.
    std::int32_t Finish(std::int64_t count, std::int8_t* out) const;
    // Below this index nothing changes when samples come after the `count` there are.
    std::int64_t Settled(std::int64_t count) const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The echo of `lead`'s signal, from the match with `shape` where the lead-in has no pulse of its
// own: each pulse's copy lies the same time after it. None when the lead-in shows none.
Echo MeasureEcho(const Source& source, const LeadIn& lead, const PulseShape& shape, const Shaping& shaping,
                 std::int32_t rate);

// The samples of `source` from `first` on with `echo` taken away, into `out` (same indices): each
// less the echo's share of the echo-free sample `delay` before it, around the resting level `rest`.
void RemoveEcho(const Source& source, std::int32_t first, const Echo& echo, double rest, std::int16_t* out);

}  // namespace sonokas::signal
