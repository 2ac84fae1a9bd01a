#include "converter/signal/calibration.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "converter/decoder/cursor.hpp"
#include "converter/decoder/exact_decoder.hpp"
#include "converter/decoder/reader.hpp"
#include "converter/decoder/timing.hpp"
#include "converter/input/readers.hpp"
#include "converter/input/sample.hpp"
#include "converter/settings.hpp"
#include "converter/signal/conditioning.hpp"

namespace sonokas::signal {

namespace {

constexpr int kLeadInBytes = 4;               // regular zero bytes that make a lead-in
constexpr std::int32_t kSquareThreshold = 220;  // the conditioned square wave swings 253 to 255
constexpr double kStandardSlot = 0.0031;
constexpr double kEndGapBytes = 8;            // byte times without a swing end a record's signal
constexpr double kFloorNoise = 6;             // an edge's half-swing: at least this many noise spreads,
constexpr double kFloorBetween = 1.5;         // what lies between the pulses, with room,
constexpr double kFloorShare = 0.12;          // this share of the lead-in's level,
constexpr double kFloorLeast = 2.0;           // and this many 16-bit steps
constexpr double kWiggleShare = 0.02;         // weaker pulses: a swing above this share of the lead-in's level
constexpr double kSameStart = 0.5;            // seconds: channels whose lead-ins begin this close compete
constexpr double kMixPreferred = 0.95;        // a channel must beat the mix by more than this share
constexpr std::int32_t kLowestRate = 4000;
constexpr std::int32_t kHighestRate = 1000000;
constexpr double kLevelReach = 0.3;           // in slots: the farthest the local level looks
constexpr double kRawShare = 0.6;             // read as it is, an edge needs this share of the pulses' swing
constexpr double kFollowWindow = 0.6;          // seconds: the lead-in search's window
constexpr int kFollowSteps = 30;              // windows a lead-in is followed at most (9 s)
constexpr double kEchoRatio = 4;              // a lead-in 12 dB stronger than the one it continues
constexpr double kFullScale = 32768;          // the 16-bit samples' largest swing from the middle
constexpr double kQuietSteps = 12;            // pulses lower than this many 8-bit steps are not read as they are
constexpr double kForeignTail = 0.3;          // a pulse shape with this much beyond its own two lobes

}  // namespace

Calibration recording;

namespace {

bool Stereo(Calibration& c) { return c.sourceCount > 1 || input::channelSamples.channels >= 2; }

// The conditioned samples are to be written anew from the record's start.
void ForgetRun(Calibration& c) {
    c.runHeld = false;
    c.run.reset();
    c.rawUpTo = 0;
    // Measured at the indices before, and shared with the copy the calibration was made from.
    c.tails.reset();
}

const char* ChannelName(Calibration& c, int channel) {
    if (channel == 1) return "left channel";
    if (channel == 2) return "right channel";
    return Stereo(c) || c.stereo ? "mixed channels" : "mono";
}

// The two channels of a stereo recording beside the mix: read again from the file, keeping
// them, when they were not kept at first. False when there are none to be had.
bool EnsureChannels(Calibration& c) {
    if (c.sourceCount == 3) return true;
    if (c.path.empty() || input::channelSamples.channels < 2) return false;
    if (input::channelSamples.mix && input::channelSamples.mix.get() == c.sources[0].samples) {
        // The 16-bit mix read at first stays, whatever reading the file again does.
        c.ownedFine = std::shared_ptr<std::int16_t>(input::channelSamples.mix.release(), input::FreeFine{});
    }
    input::channelSamples.wanted = true;
    input::SampleInfo info;
    input::SampleBuffer mix;
    std::int32_t count = 0;
    const bool read = input::LoadRecording(c.path.c_str(), info, mix, count) == input::LoadOk &&
                      count == c.sources[0].count && input::channelSamples.left;
    input::channelSamples.wanted = false;
    input::channelSamples.mix.reset();
    if (!read) return false;
    c.keptLeft = std::shared_ptr<std::int16_t>(input::channelSamples.left.release(), input::FreeFine{});
    c.keptRight = std::shared_ptr<std::int16_t>(input::channelSamples.right.release(), input::FreeFine{});
    c.sources[1] = Source{c.keptLeft.get(), count};
    c.sources[2] = Source{c.keptRight.get(), count};
    c.sourceCount = 3;
    return true;
}

double Score(const LeadIn& lead) { return lead.edgeCount * lead.amplitude / std::max(lead.noise, 0.25 * kDecoderStep); }

// The lead-in of the channel that shows it first and best (the mix when a channel is hardly
// better); -1 when none shows one.
int ChooseChannel(Calibration& c, std::int32_t from, std::int32_t rate, LeadIn& chosen, std::int32_t complete = -1,
                  std::int32_t* resume = nullptr) {
    LeadIn leads[3];
    int first = -1;
    for (int ch = 0; ch < c.sourceCount; ++ch) {
        leads[ch] = FindLeadIn(c.sources[ch], from, rate, kLeadInBytes, complete);
        if (leads[ch].found && (first < 0 || leads[ch].firstEdge < leads[first].firstEdge)) first = ch;
    }
    if (resume != nullptr) *resume = -1;
    if (first < 0) {
        // Every channel searched alike: they stopped at the same window.
        if (resume != nullptr) *resume = leads[0].resume;
        return -1;
    }
    for (int ch = 0; ch < c.sourceCount; ++ch) {
        if (!leads[ch].found && leads[ch].resume >= 0 && leads[ch].resume <= leads[first].firstEdge + kSameStart * rate) {
            // A channel that has not been searched far enough yet may still compete.
            if (resume != nullptr) *resume = kNeedMore;
            return -1;
        }
    }
    auto weighed = [&](int ch) { return Score(leads[ch]) * (ch == 0 ? 1 / kMixPreferred : 1.0); };
    int best = first;
    for (int ch = 0; ch < c.sourceCount; ++ch) {
        if (leads[ch].found && leads[ch].firstEdge <= leads[first].firstEdge + kSameStart * rate &&
            weighed(ch) > weighed(best)) {
            best = ch;
        }
    }
    chosen = std::move(leads[best]);
    return best;
}

// Print-through (the layer of tape wound on top magnetises this one) and the other track's
// crosstalk leave a weak copy of a record's lead-in that runs on into the record's own, many
// times stronger. Follows the lead-in window by window, as long as its regular pulses go on:
// where they go on many times stronger, that is the record's, and `lead` becomes it. False when
// a stream has not brought the samples to tell yet; `last` (the last edge followed) and `step`
// then say where a later call goes on.
bool OutshineEcho(const Source& source, LeadIn& lead, std::int32_t rate, std::int32_t complete, std::int32_t& last,
                  int& step) {
    // A lead-in above a quarter of full scale is no echo of one 12 dB stronger.
    if (kEchoRatio * lead.amplitude > kFullScale) return true;
    const auto window = static_cast<std::int32_t>(kFollowWindow * rate);
    for (; step < kFollowSteps; ++step) {
        const std::int32_t bound = last + 1 + window + window / 2;  // two windows of the search
        if (bound > source.count) return true;
        if (complete >= 0 && bound > complete) return false;
        LeadIn next = FindLeadIn(source, last + 1, rate, kLeadInBytes, bound, true);
        if (!next.found) return true;  // the lead-in has ended: its sync byte, or its signal
        if (next.amplitude > kEchoRatio * lead.amplitude) {
            lead = std::move(next);
            return true;
        }
        last = next.edges.back();
    }
    return true;
}

// The timing measured on the lead-in: every time stretched by the slot length found, the byte
// pause as found, and the test for a byte's end halfway between a slot and the shortest pause.
decoder::DecoderTiming TimingOf(const LeadIn& lead, std::int32_t rate) {
    const double slot = lead.slot / rate;
    const double pause = lead.lastSlot > 0 ? lead.lastSlot / rate : slot * (0.0073 / kStandardSlot);
    decoder::DecoderTiming timing = decoder::ScaledTiming(slot / kStandardSlot);
    timing.lastSlotLength = static_cast<float>(pause);
    const double byteEnd = (slot + (pause - slot / 2)) / 2;
    timing.pauseAllowance = byteEnd - timing.minimumEnd;
    timing.resyncPause = byteEnd;
    return timing;
}

bool EnsureBuffer(Calibration& c) {
    const std::int32_t count = c.sources[0].count;
    if (c.conditioned && c.conditionedCount == count) return true;
    c.owned = std::shared_ptr<std::int8_t>(input::AllocateZeroedSamples(static_cast<std::uint32_t>(std::max(count, 0))).release(),
                                           input::FreeBlock{});
    c.conditioned = c.owned.get();
    c.conditionedCount = c.conditioned ? count : 0;
    return c.conditioned != nullptr;
}

// The conditioning of a reading.
Shaping ShapingFor(Calibration& c, Reading reading) {
    Shaping shaping = c.shaping;
    if (reading == Reading::sensitive) {
        // Weak pulses (a dropout) judged by the noise, not by the lead-in's level; only the small
        // wiggles a pulse leaves behind it (its tails through the filters) stay below a share of it.
        shaping.floor = std::max({kFloorNoise * c.lead.noise / std::sqrt(static_cast<double>(shaping.smooth)),
                                  kWiggleShare * c.lead.amplitude, kFloorLeast});
    } else if (reading == Reading::matched || reading == Reading::tailless) {
        shaping.matched = c.pulseShape;
        if (reading == Reading::tailless) {
            // Kept for the record's channel: ForgetRun drops it with the record.
            if (!c.tails) c.tails = NewTailsMemo();
            shaping.tails = c.tails;
        }
    } else if (reading == Reading::smooth) {
        // The exact decoder looks for the positive lobe at a slot's start.
        shaping.squared = false;
        shaping.invert = !c.lead.positiveFirst;
    }
    return shaping;
}

// The decoders' 8-bit samples of 16-bit ones, [from, to).
void TopBytes(const std::int16_t* fine, std::int32_t from, std::int32_t to, std::int8_t* out) {
    for (std::int32_t k = from; k < to; ++k) out[k] = static_cast<std::int8_t>(fine[k] >> 8);
}

bool WithoutEcho(Reading reading) { return reading == Reading::withoutEcho || reading == Reading::withoutEchoAsIs; }

// Points the reader at the record of `channel`, read the way `reading` says; conditions it
// first unless the conditioned samples already hold that.
void Read(Calibration& c, int channel, Reading reading, decoder::Reader& r) {
    const std::int32_t count = c.sources[0].count;
    if (reading == Reading::raw && channel == 0) {
        r.track = decoder::SampleTrack{c.mix, count};
        r.threshold = c.rawThreshold;
        return;
    }
    // Conditioned as far as the readings need: past a record's stretch is another record's.
    const std::int32_t end = c.readTo >= 0 ? std::min(count, c.readTo) : count;
    if (!c.held || c.heldChannel != channel || c.heldReading != reading || c.heldTo < end) {
        // A stream's window that grew since this reading was written into it: carried on from
        // where it stood, not written again from the record's start.
        const bool carry = c.runHeld && c.heldChannel == channel && c.heldReading == reading;
        c.runHeld = false;
        const Shaping shaping = ShapingFor(c, reading);
        if (!carry) {
            // What an earlier record or reading left between the record's search start and its
            // conditioning is cleared, so that the record reads alike whatever came before it
            // (on a whole tape, that depends on how the stream was cut). Zero pages stay untouched.
            for (std::int32_t k = std::max(c.from, 0); k < std::min(c.begin, count); ++k) {
                if (c.conditioned[k] != 0) c.conditioned[k] = 0;
            }
        }
        if (reading == Reading::raw) {
            // A channel as it is: the decoders' 8-bit samples of it.
            TopBytes(c.sources[channel].samples, std::max(carry ? c.rawUpTo : c.begin, 0), end, c.conditioned);
            c.rawUpTo = end;
            c.runHeld = c.windowBase >= 0;
        } else if (c.windowBase >= 0 && !WithoutEcho(reading) && !ByShape(shaping) && c.begin >= 0 && c.begin < count) {
            const Source& source = c.sources[channel];
            if (!carry || !c.run) c.run = std::make_shared<SwingRun>(source, c.begin, shaping);
            c.run->Advance(source, c.conditioned, c.run->Settled(count));
            SwingRun rest = *c.run;
            rest.Advance(source, c.conditioned, count);
            rest.Finish(count, c.conditioned);
            c.runHeld = true;
        } else if (WithoutEcho(reading)) {
            // The echo taken away once for the record, then conditioned into a square wave or
            // read as it is (conditioned when there is no memory for that).
            const Source& source = c.sources[channel];
            if (!c.echoFree || c.echoFreeChannel != channel) {
                c.echoFree = std::shared_ptr<std::int16_t>(
                    input::AllocateZeroedFine(static_cast<std::uint32_t>(std::max(count, 0))).release(), input::FreeFine{});
                c.echoFreeChannel = channel;
                if (c.echoFree) RemoveEcho(source, c.begin, c.echo, c.lead.rest, c.echoFree.get());
            }
            const Source without = c.echoFree ? Source{c.echoFree.get(), end} : Source{source.samples, end};
            if (reading == Reading::withoutEchoAsIs && c.echoFree) {
                TopBytes(c.echoFree.get(), std::max(c.begin, 0), end, c.conditioned);
            } else {
                Condition(without, c.begin, ShapingFor(c, Reading::squared), c.conditioned);
            }
        } else {
            Condition({c.sources[channel].samples, end}, c.begin, shaping, c.conditioned);
        }
        if (c.written != nullptr) *c.written = true;
        c.held = true;
        c.heldTo = c.runHeld && reading != Reading::raw ? count : end;
        c.heldChannel = channel;
        c.heldReading = reading;
        if (!c.runHeld) c.run.reset();
    }
    r.track = decoder::SampleTrack{c.conditioned, c.conditionedCount};
    const bool asItIs = reading == Reading::raw || (reading == Reading::withoutEchoAsIs && c.echoFree);
    r.threshold = asItIs ? c.rawThreshold : kSquareThreshold;
}

// Sets everything up for reading the record of `lead` on `channel` as first chosen.
void SetUpRecord(Calibration& c, int channel, LeadIn lead, std::int32_t rate) {
    ForgetRun(c);
    c.channel = channel;
    c.lead = std::move(lead);
    c.echoLooked = false;
    c.echo = Echo{};
    c.echoFree.reset();
    const LeadIn& l = c.lead;
    c.begin = std::max<std::int32_t>(c.from, l.firstEdge - static_cast<std::int32_t>(l.slot / 2));
    c.timing = TimingOf(l, rate);
    c.bytePeriod = 7 * c.timing.slotLength + c.timing.lastSlotLength;
    Shaping& shaping = c.shaping;
    shaping = Shaping{};
    shaping.slot = l.slot;
    shaping.smooth = std::clamp(static_cast<std::int32_t>(std::lround(l.lobeSpacing / 2)), 1,
                                std::max(1, static_cast<std::int32_t>(l.slot / 4)));
    // Pulses lie half a slot apart at the least; the local level looks no further than the
    // quiet between two such pulses (a pulse spans about two lobe spacings), at most 0.3 slot.
    shaping.reach = std::max(1, static_cast<std::int32_t>(std::min(kLevelReach * l.slot, l.slot / 2 - 2 * l.lobeSpacing)));
    shaping.amplitude = l.amplitude;
    shaping.rest = l.rest;
    shaping.hum = l.hum;
    // The noise as the smoothing leaves it.
    const double noise = l.noise / std::sqrt(static_cast<double>(shaping.smooth));
    shaping.floor = std::max({kFloorNoise * noise, kFloorBetween * l.between, kFloorShare * l.amplitude, kFloorLeast});
    shaping.swing = settings.thresholdGiven ? settings.threshold * kDecoderStep : -1;
    // A record is read as it is first, which costs no pass over it (ConditionFirst changes
    // that); the exact decoder of "/exact" reads the smoothed signal.
    c.first = settings.exactValue != kTimingDecoder ? Reading::smooth : Reading::raw;
    // A quiet recording from a 16- or 24-bit card: the decoders' 8-bit samples keep a pulse as a
    // step or two, which no threshold reads; it is read conditioned from the full samples at once.
    if (c.first == Reading::raw && l.amplitude < kQuietSteps * kDecoderStep) c.first = Reading::squared;
    c.rawThreshold = settings.thresholdGiven
                                   ? settings.threshold
                                   : static_cast<std::int32_t>(std::lround(kRawShare * 2 * l.amplitude / kDecoderStep));
    shaping.endGap = static_cast<std::int32_t>(kEndGapBytes * c.bytePeriod * rate);
    shaping.lead = std::max(1, static_cast<std::int32_t>(std::lround(l.lobeSpacing)));
    c.reverse = settings.reverseDirection || !l.positiveFirst;
    c.pulseShape = std::make_shared<const PulseShape>(MeasurePulseShape(c.sources[channel], l, shaping));
}

// The value of E that parts the flank sums of the lead-in's pulses from those of the empty
// middles of its slots, on the smoothed signal the reader reads.
std::int32_t CalibrateExactValue(Calibration& c, const decoder::Reader& smoothed) {
    decoder::Reader r = smoothed;
    r.timing = c.timing;
    std::vector<std::int32_t> present;
    std::vector<std::int32_t> absent;
    const auto lobe = static_cast<std::int32_t>(c.lead.lobeSpacing / 2);
    const auto half = static_cast<std::int32_t>(c.lead.slot / 2);
    auto smaller = [&](std::int32_t position) {
        r.cursor.position = position;
        const std::int32_t peak = decoder::FindPeak(r, 0.0f);
        return std::min(decoder::LeftSlopeSum(r, peak), decoder::RightSlopeSum(r, peak));
    };
    for (std::int32_t edge : c.lead.edges) {
        if (edge - lobe < 0 || edge - lobe + half >= r.track.sampleCount) continue;
        present.push_back(smaller(edge - lobe));
        absent.push_back(smaller(edge - lobe + half));
    }
    if (present.empty()) return 0;
    std::sort(present.begin(), present.end());
    std::sort(absent.begin(), absent.end());
    const std::int32_t strong = present[present.size() / 4];
    const std::int32_t weak = absent[absent.size() * 9 / 10];
    return std::max<std::int32_t>(1, (strong + std::max(weak, 0)) / 2);
}

// The swing an edge of the conditioned signal needs at the lead-in's level.
double ConditionedSwing(Calibration& c) {
    const Shaping& s = c.shaping;
    return s.swing >= 0 ? s.swing : 2 * std::max(s.floor, kLobeShare * s.amplitude);
}

// The recording as it is (the mix), with the settings the command line gave and the standard
// timing: the documented reading.
void ReadAsGiven(Calibration& c, decoder::Reader& r) {
    r.track = decoder::SampleTrack{c.mix, c.sources[0].count};
    decoder::TakeSettings(r);
    r.timing = decoder::DecoderTiming{};
    r.speed = decoder::SpeedFollower{};
}

// The further ways to read the record, tried in this order when the checksum is wrong.
void ListAlternatives(Calibration& c) {
    c.alternatives.clear();
    c.alternativeChannels.clear();
    // An echo misleads every other reading: the record without it comes first.
    if (c.echo.delay > 0 && c.first != Reading::withoutEcho) c.alternatives.push_back(Alternative::echo);
    // The conditioning's floor and timing were measured with the echo between the pulses; a loud
    // record without it reads as it is too, as it would have with no echo.
    if (c.echo.delay > 0 && c.lead.amplitude >= kQuietSteps * kDecoderStep) c.alternatives.push_back(Alternative::echoAsIs);
    // A head that differentiates or rings, or a codec that smears, leaves pulses with lobes of their
    // own beside the two written: swings mislead there, the pulse's match with its shape does not.
    const bool matchable = c.pulseShape && !c.pulseShape->taps.empty() && !settings.thresholdGiven;
    const bool reshaped = matchable && c.pulseShape->tail > kForeignTail;
    if (reshaped && c.first != Reading::matched) c.alternatives.push_back(Alternative::matched);
    if (c.first == Reading::raw || c.first == Reading::matched || c.first == Reading::withoutEcho) {
        c.alternatives.push_back(Alternative::conditioned);
    }
    if (!settings.reverseDirection) c.alternatives.push_back(Alternative::polarity);
    for (int ch = 0; ch < (Stereo(c) ? 3 : 1); ++ch) {
        if (ch == c.channel) continue;
        c.alternatives.push_back(Alternative::channel);
        c.alternativeChannels.push_back(ch);
    }
    if (!settings.thresholdGiven) c.alternatives.push_back(Alternative::sensitive);
    if (matchable && !reshaped && c.first != Reading::matched) c.alternatives.push_back(Alternative::matched);
    if (settings.exactValue == kTimingDecoder) c.alternatives.push_back(Alternative::exact);
    // An echo on the lead-in: where more walls than one send the sound back, the lead-in's regular
    // pulses do not tell their delays apart, the record's own pulses do.
    if (matchable && c.echo.delay > 0) c.alternatives.push_back(Alternative::tailless);
    // Last, the recording as it is with the user's settings: what reads without "/auto" reads with it.
    c.alternatives.push_back(Alternative::documented);
}

}  // namespace

bool ConditionFirst(Calibration& c, decoder::Reader& r) {
    if (c.documented || c.first != Reading::raw) return false;
    c.first = Reading::squared;
    ListAlternatives(c);
    RestoreCalibration(c, r);
    return true;
}

bool EchoFirst(Calibration& c, decoder::Reader& r) {
    if (c.documented || c.echo.delay <= 0 || c.first == Reading::withoutEcho || c.first == Reading::smooth) return false;
    c.first = Reading::withoutEcho;
    ListAlternatives(c);
    RestoreCalibration(c, r);
    return true;
}

bool LookForEcho(Calibration& c, std::int32_t rate) {
    if (c.documented || c.echoLooked || c.sourceCount == 0 || !c.pulseShape || settings.thresholdGiven) return false;
    c.echoLooked = true;
    c.echo = MeasureEcho(c.sources[c.channel], c.lead, *c.pulseShape, c.shaping, rate);
    if (c.echo.delay <= 0) return false;
    ListAlternatives(c);
    return true;
}

bool MatchFirst(Calibration& c, decoder::Reader& r) {
    if (c.documented || c.first == Reading::matched || c.first == Reading::smooth || !c.pulseShape ||
        c.pulseShape->taps.empty() || settings.thresholdGiven) {
        return false;
    }
    c.first = Reading::matched;
    ListAlternatives(c);
    RestoreCalibration(c, r);
    return true;
}

std::string ReadingText(const Calibration& c, int index) {
    if (c.documented) return "the recording as it is, with the settings given";
    if (index < 0 || index >= static_cast<int>(c.alternatives.size())) {
        switch (c.first) {
            case Reading::raw: return "the recording as it is, calibrated";
            case Reading::smooth: return "the smoothed signal, exact decoder";
            case Reading::matched: return "the pulse's own shape";
            case Reading::withoutEcho: return "the signal without its echo";
            default: return "the conditioned signal";
        }
    }
    switch (c.alternatives[static_cast<std::size_t>(index)]) {
        case Alternative::conditioned: return "the conditioned signal";
        case Alternative::polarity: return "the other polarity";
        case Alternative::channel: {
            int nth = 0;
            for (int k = 0; k < index; ++k) nth += c.alternatives[static_cast<std::size_t>(k)] == Alternative::channel;
            return std::string("the ") + ChannelName(const_cast<Calibration&>(c), c.alternativeChannels[static_cast<std::size_t>(nth)]);
        }
        case Alternative::sensitive: return "weaker pulses";
        case Alternative::matched: return "the pulse's own shape";
        case Alternative::exact: return "the exact decoder";
        case Alternative::documented: return "the recording as it is, with the settings given";
        case Alternative::echo: return "the signal without its echo";
        case Alternative::echoAsIs: return "the signal without its echo, as it is";
        case Alternative::tailless: return "the pulse's own shape, its tails taken away";
    }
    return "";
}

double SpeedPercent(const Calibration& c) {
    // A tape that ran slower stretched its slots: its speed is the standard slot over the slot found.
    return c.timing.slotLength > 0 ? 100.0 * static_cast<float>(kStandardSlot) / c.timing.slotLength : 0;
}

const char* ChannelText(const Calibration& c) { return ChannelName(const_cast<Calibration&>(c), c.channel); }

void PrintCalibration(Calibration& c, decoder::Reader& r) {
    if (c.sourceCount == 0) return;
    if (c.documented) {
        decoder::Say(r, "Auto: no lead-in of regular pulses, the recording as it is\n");
        return;
    }
    const double swing = c.first == Reading::raw ? c.rawThreshold : ConditionedSwing(c) / kDecoderStep;
    const double speed = SpeedPercent(c);
    decoder::Say(r, "Auto: %s edges, threshold %ld, speed %.1f %%, %s\n", c.reverse ? "rising" : "falling",
                std::lround(swing), speed, ChannelName(c, c.channel));
}


namespace {

// The mix, its 16-bit samples (made from it when none are given) and, when both are given, the
// two channels, each `count` long.
void SetSources(Calibration& c, const std::int8_t* mix, const std::int16_t* fine, const std::int16_t* left,
                const std::int16_t* right, std::int32_t count) {
    c.mix = mix;
    c.ownedFine.reset();
    c.echoFree.reset();  // made from the sources before
    if (fine == nullptr && count > 0 && mix != nullptr) {
        c.ownedFine = std::shared_ptr<std::int16_t>(input::AllocateZeroedFine(static_cast<std::uint32_t>(count)).release(),
                                                    input::FreeFine{});
        if (c.ownedFine) {
            for (std::int32_t k = 0; k < count; ++k) c.ownedFine.get()[k] = static_cast<std::int16_t>(mix[k] * 256);
        }
        fine = c.ownedFine.get();
        if (fine == nullptr) count = 0;  // short of memory: nothing to calibrate on
    }
    c.sources[0] = Source{fine, count};
    c.sourceCount = 1;
    if (left != nullptr && right != nullptr) {
        c.sources[1] = Source{left, count};
        c.sources[2] = Source{right, count};
        c.sourceCount = 3;
    }
}

}  // namespace

void UseRecording(Calibration& c, const std::int8_t* mix, std::int32_t count, const std::int16_t* fine,
                  const std::int16_t* left, const std::int16_t* right, const char* path) {
    ResetCalibration(c);
    c.path = path != nullptr ? path : "";
    SetSources(c, mix, fine, left, right, count);
}

void ResetCalibration(Calibration& c) { c = Calibration{}; }

void Rebase(Calibration& c, std::int32_t shift, const std::int8_t* mix, const std::int16_t* fine,
            const std::int16_t* left, const std::int16_t* right, std::int32_t count, std::int8_t* conditioned) {
    ForgetRun(c);
    c.windowBase = -1;
    SetSources(c, mix, fine, c.sourceCount == 3 ? left : nullptr, c.sourceCount == 3 ? right : nullptr, count);
    c.owned.reset();
    c.conditioned = conditioned;
    c.conditionedCount = count;
    c.written = nullptr;
    c.held = false;
    c.from -= shift;
    c.begin -= shift;
    c.lead.firstEdge -= shift;
    for (std::int32_t& edge : c.lead.edges) edge -= shift;
}

void KeptChannels(Calibration& c, const std::int16_t*& fine, const std::int16_t*& left, const std::int16_t*& right) {
    fine = c.sourceCount > 0 ? c.sources[0].samples : nullptr;
    left = c.sourceCount == 3 ? c.sources[1].samples : nullptr;
    right = c.sourceCount == 3 ? c.sources[2].samples : nullptr;
}

void UseWindow(Calibration& c, const std::int8_t* mix, const std::int16_t* fine, const std::int16_t* left,
               const std::int16_t* right, std::int32_t count, std::int8_t* conditioned, bool* written,
               std::int64_t base) {
    if (base != c.windowBase || count < c.sources[0].count) ForgetRun(c);
    c.windowBase = base;
    SetSources(c, mix, fine, left, right, count);
    c.owned.reset();
    c.conditioned = conditioned;
    c.conditionedCount = conditioned != nullptr ? count : 0;
    c.written = written;
    c.held = false;
}

std::int32_t CalibrateNextRecord(Calibration& c, std::int32_t from, decoder::Reader& r) {
    std::int32_t resume = -1;
    return CalibrateNextRecord(c, from, from, -1, resume, r);
}

std::int32_t CalibrateNextRecord(Calibration& c, std::int32_t from, std::int32_t searchFrom, std::int32_t complete,
                                 std::int32_t& resume, decoder::Reader& r, LeadFollow* follow) {
    c.documented = false;
    resume = -1;
    const std::int32_t rate = r.cursor.sampleRate;
    // Below the lowest rate a pulse's lobes cannot be told apart; the highest is far beyond
    // any sound card, and bounds the work of every window.
    if (c.sourceCount == 0 || rate < kLowestRate || rate > kHighestRate || from < 0 || !EnsureBuffer(c)) {
        return -1;
    }
    LeadIn lead;
    int channel = -1;
    std::int32_t last = 0;
    int step = 0;
    if (follow != nullptr && follow->channel >= 0 && follow->channel < c.sourceCount && follow->from == from &&
        follow->searchFrom == searchFrom) {
        // The lead-in found before, followed on from where the samples ended.
        channel = follow->channel;
        lead = std::move(follow->lead);
        last = follow->last;
        step = follow->step;
    } else {
        channel = ChooseChannel(c, searchFrom, rate, lead, complete, &resume);
        if (channel < 0 && resume != -1) return -1;
        if (channel < 0 && c.sourceCount == 1 && EnsureChannels(c)) {
            // Nothing on the mix (channels in opposite phase cancel there): each channel on its own.
            channel = ChooseChannel(c, searchFrom, rate, lead);
        }
        if (channel < 0) return -1;
        last = lead.edges.back();
    }
    if (follow != nullptr) follow->channel = -1;
    if (!OutshineEcho(c.sources[channel], lead, rate, complete, last, step)) {
        resume = kNeedMore;  // the lead-in goes on beyond the samples there are
        if (follow != nullptr) *follow = LeadFollow{channel, from, searchFrom, std::move(lead), last, step};
        return -1;
    }
    c.from = from;
    SetUpRecord(c, channel, std::move(lead), rate);
    c.held = false;
    RestoreCalibration(c, r);
    ListAlternatives(c);
    return c.begin;
}

void UseDocumentedSettings(Calibration& c, decoder::Reader& r) {
    c.documented = true;
    c.alternatives.clear();
    ReadAsGiven(c, r);
}

int AlternativeCount(Calibration& c) { return static_cast<int>(c.alternatives.size()); }

void ApplyAlternative(Calibration& c, int index, decoder::Reader& r) {
    if (index < 0 || index >= AlternativeCount(c)) return;
    RestoreCalibration(c, r);
    switch (c.alternatives[static_cast<std::size_t>(index)]) {
        case Alternative::conditioned:
            Read(c, c.channel, Reading::squared, r);
            decoder::Say(r, "Auto: trying the conditioned signal, threshold %ld\n", std::lround(ConditionedSwing(c) / kDecoderStep));
            break;
        case Alternative::polarity:
            Read(c, c.channel, Reading::squared, r);
            r.reverseDirection = !c.reverse;
            decoder::Say(r, "Auto: trying %s edges\n", r.reverseDirection ? "rising" : "falling");
            break;
        case Alternative::channel: {
            int nth = 0;
            for (int k = 0; k < index; ++k) nth += c.alternatives[static_cast<std::size_t>(k)] == Alternative::channel;
            const int wanted = c.alternativeChannels[static_cast<std::size_t>(nth)];
            // A channel that cannot be read again leaves the mix, conditioned.
            const int channel = wanted == 0 || EnsureChannels(c) ? wanted : 0;
            Read(c, channel, Reading::squared, r);
            decoder::Say(r, "Auto: trying the %s\n", ChannelName(c, channel));
            break;
        }
        case Alternative::sensitive:
            Read(c, c.channel, Reading::sensitive, r);
            decoder::Say(r, "Auto: trying weaker pulses, threshold %ld\n",
                         std::lround(2 * ShapingFor(c, Reading::sensitive).floor / kDecoderStep));
            break;
        case Alternative::matched:
            Read(c, c.channel, Reading::matched, r);
            r.reverseDirection = false;  // every found pulse is written falling at its peak
            decoder::Say(r, "Auto: trying the pulse's own shape\n");
            break;
        case Alternative::tailless:
            Read(c, c.channel, Reading::tailless, r);
            r.reverseDirection = false;
            decoder::Say(r, "Auto: trying the pulse's own shape, its tails taken away\n");
            break;
        case Alternative::exact:
            Read(c, c.channel, Reading::smooth, r);
            r.exactValue = CalibrateExactValue(c, r);
            decoder::Say(r, "Auto: trying the exact decoder with value %d\n", r.exactValue);
            break;
        case Alternative::documented:
            ReadAsGiven(c, r);
            decoder::Say(r, "Auto: trying the recording as it is, with the settings given\n");
            break;
        case Alternative::echo:
            Read(c, c.channel, Reading::withoutEcho, r);
            decoder::Say(r, "Auto: trying the signal without its echo, %.1f ms later at %.0f dB\n",
                         1000.0 * c.echo.delay / r.cursor.sampleRate, 20 * std::log10(c.echo.gain));
            break;
        case Alternative::echoAsIs:
            Read(c, c.channel, Reading::withoutEchoAsIs, r);
            decoder::Say(r, "Auto: trying the signal without its echo as it is, threshold %ld\n", static_cast<long>(r.threshold));
            break;
    }
}

void RestoreCalibration(Calibration& c, decoder::Reader& r) {
    if (c.sourceCount == 0 || !c.conditioned || c.documented) return;
    Read(c, c.channel, c.first, r);
    r.reverseDirection = c.first != Reading::matched && c.reverse;  // found pulses are written falling
    r.exactValue = settings.exactValue;
    r.interactive = settings.interactive;
    r.timing = c.timing;
    r.speed = decoder::SpeedFollower{true, c.timing, c.bytePeriod, 1.0};
}

}  // namespace sonokas::signal
