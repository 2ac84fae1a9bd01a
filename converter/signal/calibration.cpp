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
constexpr double kFloorLeast = 1.0;           // and this many sample units
constexpr double kSameStart = 0.5;            // seconds: channels whose lead-ins begin this close compete
constexpr double kMixPreferred = 0.95;        // a channel must beat the mix by more than this share
constexpr std::int32_t kLowestRate = 4000;
constexpr std::int32_t kHighestRate = 1000000;
constexpr double kLevelReach = 0.3;           // in slots: the farthest the local level looks
constexpr double kRawShare = 0.6;             // read as it is, an edge needs this share of the pulses' swing

// How a record is read: the recording as it is, with the calibrated settings; or conditioned,
// into a square wave (or one for weak pulses), or smoothed for the exact decoder.
enum class Reading { raw, squared, sensitive, smooth };

enum class Alternative { conditioned, polarity, channel, sensitive, exact, documented };

struct Calibration {
    Source sources[3];  // the mix, then the left and right channel of a stereo recording
    int sourceCount = 0;
    std::string path;   // the recording, read again for its channels when they are wanted
    input::ZeroedSamples owned;        // the conditioned samples, unless the caller lends a buffer
    std::int8_t* conditioned = nullptr;
    std::int32_t conditionedCount = 0;
    // The record being read.
    std::int32_t from = 0;
    std::int32_t begin = 0;
    int channel = 0;
    LeadIn lead;
    Shaping shaping;
    bool reverse = false;
    decoder::DecoderTiming timing;
    double bytePeriod = 0;  // seconds
    Reading first = Reading::squared;  // the first choice
    std::int32_t rawThreshold = 0;     // the edge scanner's threshold for the recording as it is
    std::vector<Alternative> alternatives;
    std::vector<int> alternativeChannels;
    // What the conditioned samples hold for this record, so that nothing is conditioned twice.
    bool held = false;
    int heldChannel = 0;
    Reading heldReading = Reading::squared;
    bool documented = false;     // no lead-in was found: the recording is read as without /auto
    void (*onCondition)() = nullptr;  // told whenever samples are conditioned into a lent buffer
};

Calibration calibration;

bool Stereo() { return calibration.sourceCount > 1 || input::channelSamples.channels >= 2; }

const char* ChannelName(int channel) {
    if (channel == 1) return "left channel";
    if (channel == 2) return "right channel";
    return Stereo() ? "mixed channels" : "mono";
}

// The two channels of a stereo recording beside the mix: read again from the file, keeping
// them, when they were not kept at first. False when there are none to be had.
bool EnsureChannels() {
    if (calibration.sourceCount == 3) return true;
    if (calibration.path.empty() || input::channelSamples.channels < 2) return false;
    input::channelSamples.wanted = true;
    input::SampleInfo info;
    input::SampleBuffer mix;
    std::int32_t count = 0;
    const bool read = input::LoadRecording(calibration.path.c_str(), info, mix, count) == input::LoadOk &&
                      count == calibration.sources[0].count && input::channelSamples.left;
    input::channelSamples.wanted = false;
    if (!read) return false;
    calibration.sources[1] = Source{input::channelSamples.left.get(), count};
    calibration.sources[2] = Source{input::channelSamples.right.get(), count};
    calibration.sourceCount = 3;
    return true;
}

double Score(const LeadIn& lead) { return lead.edgeCount * lead.amplitude / std::max(lead.noise, 0.25); }

// The lead-in of the channel that shows it first and best (the mix when a channel is hardly
// better); -1 when none shows one.
int ChooseChannel(std::int32_t from, std::int32_t rate, LeadIn& chosen, std::int32_t complete = -1,
                  std::int32_t* resume = nullptr) {
    LeadIn leads[3];
    int first = -1;
    for (int c = 0; c < calibration.sourceCount; ++c) {
        leads[c] = FindLeadIn(calibration.sources[c], from, rate, kLeadInBytes, complete);
        if (leads[c].found && (first < 0 || leads[c].firstEdge < leads[first].firstEdge)) first = c;
    }
    if (resume != nullptr) *resume = -1;
    if (first < 0) {
        // Every channel searched alike: they stopped at the same window.
        if (resume != nullptr) *resume = leads[0].resume;
        return -1;
    }
    for (int c = 0; c < calibration.sourceCount; ++c) {
        if (!leads[c].found && leads[c].resume >= 0 && leads[c].resume <= leads[first].firstEdge + kSameStart * rate) {
            // A channel that has not been searched far enough yet may still compete.
            if (resume != nullptr) *resume = kNeedMore;
            return -1;
        }
    }
    auto weighed = [&](int c) { return Score(leads[c]) * (c == 0 ? 1 / kMixPreferred : 1.0); };
    int best = first;
    for (int c = 0; c < calibration.sourceCount; ++c) {
        if (leads[c].found && leads[c].firstEdge <= leads[first].firstEdge + kSameStart * rate &&
            weighed(c) > weighed(best)) {
            best = c;
        }
    }
    chosen = std::move(leads[best]);
    return best;
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

bool EnsureBuffer() {
    const std::int32_t count = calibration.sources[0].count;
    if (calibration.conditioned && calibration.conditionedCount == count) return true;
    calibration.owned = input::AllocateZeroedSamples(static_cast<std::uint32_t>(std::max(count, 0)));
    calibration.conditioned = calibration.owned.get();
    calibration.conditionedCount = calibration.conditioned ? count : 0;
    return calibration.conditioned != nullptr;
}

// The conditioning of a reading.
Shaping ShapingFor(Reading reading) {
    Shaping shaping = calibration.shaping;
    if (reading == Reading::sensitive) {
        // Weak pulses (a dropout) judged by the noise alone, not by the lead-in's level.
        shaping.floor = std::max(kFloorNoise * calibration.lead.noise / std::sqrt(static_cast<double>(shaping.smooth)),
                                 kFloorLeast);
    } else if (reading == Reading::smooth) {
        // The exact decoder looks for the positive lobe at a slot's start.
        shaping.squared = false;
        shaping.invert = !calibration.lead.positiveFirst;
    }
    return shaping;
}

// Points the reader at the record of `channel`, read the way `reading` says; conditions it
// first unless the conditioned samples already hold that.
void Read(int channel, Reading reading, decoder::Reader& r) {
    const std::int32_t count = calibration.sources[0].count;
    if (reading == Reading::raw) {
        r.track = decoder::SampleTrack{calibration.sources[channel].samples, count};
        r.threshold = calibration.rawThreshold;
        return;
    }
    if (!calibration.held || calibration.heldChannel != channel || calibration.heldReading != reading) {
        Condition(calibration.sources[channel], calibration.begin, ShapingFor(reading), calibration.conditioned);
        if (calibration.onCondition != nullptr) calibration.onCondition();
        calibration.held = true;
        calibration.heldChannel = channel;
        calibration.heldReading = reading;
    }
    r.track = decoder::SampleTrack{calibration.conditioned, calibration.conditionedCount};
    r.threshold = kSquareThreshold;
}

// Sets everything up for reading the record of `lead` on `channel` as first chosen.
void SetUpRecord(int channel, LeadIn lead, std::int32_t rate) {
    calibration.channel = channel;
    calibration.lead = std::move(lead);
    const LeadIn& l = calibration.lead;
    calibration.begin = std::max<std::int32_t>(calibration.from, l.firstEdge - static_cast<std::int32_t>(l.slot / 2));
    calibration.timing = TimingOf(l, rate);
    calibration.bytePeriod = 7 * calibration.timing.slotLength + calibration.timing.lastSlotLength;
    Shaping& shaping = calibration.shaping;
    shaping = Shaping{};
    shaping.slot = l.slot;
    shaping.smooth = std::clamp(static_cast<std::int32_t>(std::lround(l.lobeSpacing / 2)), 1,
                                std::max(1, static_cast<std::int32_t>(l.slot / 4)));
    // Pulses lie half a slot apart at the least; the local level looks no further than the
    // quiet between two such pulses (a pulse spans about two lobe spacings), at most 0.3 slot.
    shaping.reach = std::max(1, static_cast<std::int32_t>(std::min(kLevelReach * l.slot, l.slot / 2 - 2 * l.lobeSpacing)));
    shaping.amplitude = l.amplitude;
    shaping.rest = l.rest;
    // The noise as the smoothing leaves it.
    const double noise = l.noise / std::sqrt(static_cast<double>(shaping.smooth));
    shaping.floor = std::max({kFloorNoise * noise, kFloorBetween * l.between, kFloorShare * l.amplitude, kFloorLeast});
    shaping.swing = settings.thresholdGiven ? settings.threshold : -1;
    // A record is read as it is first, which costs no pass over it (ConditionFirst changes
    // that); the exact decoder of "/exact" reads the smoothed signal.
    calibration.first = settings.exactValue != kTimingDecoder ? Reading::smooth : Reading::raw;
    calibration.rawThreshold = settings.thresholdGiven
                                   ? settings.threshold
                                   : static_cast<std::int32_t>(std::lround(kRawShare * 2 * l.amplitude));
    shaping.endGap = static_cast<std::int32_t>(kEndGapBytes * calibration.bytePeriod * rate);
    calibration.reverse = settings.reverseDirection || !l.positiveFirst;
}

// The value of E that parts the flank sums of the lead-in's pulses from those of the empty
// middles of its slots, on the smoothed signal the reader reads.
std::int32_t CalibrateExactValue(const decoder::Reader& smoothed) {
    decoder::Reader r = smoothed;
    r.timing = calibration.timing;
    std::vector<std::int32_t> present;
    std::vector<std::int32_t> absent;
    const auto lobe = static_cast<std::int32_t>(calibration.lead.lobeSpacing / 2);
    const auto half = static_cast<std::int32_t>(calibration.lead.slot / 2);
    auto smaller = [&](std::int32_t position) {
        r.cursor.position = position;
        const std::int32_t peak = decoder::FindPeak(r, 0.0f);
        return std::min(decoder::LeftSlopeSum(r, peak), decoder::RightSlopeSum(r, peak));
    };
    for (std::int32_t edge : calibration.lead.edges) {
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
double ConditionedSwing() {
    const Shaping& s = calibration.shaping;
    return s.swing >= 0 ? s.swing : 2 * std::max(s.floor, kLobeShare * s.amplitude);
}

// The recording as it is (the mix), with the settings the command line gave and the standard
// timing: the documented reading.
void ReadAsGiven(decoder::Reader& r) {
    r.track = decoder::SampleTrack{calibration.sources[0].samples, calibration.sources[0].count};
    decoder::TakeSettings(r);
    r.timing = decoder::DecoderTiming{};
    r.speed = decoder::SpeedFollower{};
}

// The further ways to read the record, tried in this order when the checksum is wrong.
void ListAlternatives() {
    calibration.alternatives.clear();
    calibration.alternativeChannels.clear();
    if (calibration.first == Reading::raw) calibration.alternatives.push_back(Alternative::conditioned);
    if (!settings.reverseDirection) calibration.alternatives.push_back(Alternative::polarity);
    for (int c = 0; c < (Stereo() ? 3 : 1); ++c) {
        if (c == calibration.channel) continue;
        calibration.alternatives.push_back(Alternative::channel);
        calibration.alternativeChannels.push_back(c);
    }
    if (!settings.thresholdGiven) calibration.alternatives.push_back(Alternative::sensitive);
    if (settings.exactValue == kTimingDecoder) calibration.alternatives.push_back(Alternative::exact);
    // Last, the recording as it is with the user's settings: what reads without "/auto" reads with it.
    calibration.alternatives.push_back(Alternative::documented);
}

}  // namespace

bool ConditionFirst(decoder::Reader& r) {
    if (calibration.documented || calibration.first != Reading::raw) return false;
    calibration.first = Reading::squared;
    ListAlternatives();
    RestoreCalibration(r);
    return true;
}

void PrintCalibration(decoder::Reader& r) {
    if (calibration.sourceCount == 0) return;
    if (calibration.documented) {
        decoder::Say(r, "Auto: no lead-in of regular pulses, the recording as it is\n");
        return;
    }
    const double swing = calibration.first == Reading::raw ? calibration.rawThreshold : ConditionedSwing();
    const double speed = 100.0 * calibration.timing.slotLength / static_cast<float>(kStandardSlot);
    decoder::Say(r, "Auto: %s edges, threshold %ld, speed %.1f %%, %s\n", calibration.reverse ? "rising" : "falling",
                std::lround(swing), speed, ChannelName(calibration.channel));
}


void UseRecording(const std::int8_t* mix, std::int32_t count, const std::int8_t* left, const std::int8_t* right,
                  const char* path) {
    ResetCalibration();
    calibration.path = path != nullptr ? path : "";
    calibration.sources[0] = Source{mix, count};
    calibration.sourceCount = 1;
    if (left != nullptr && right != nullptr) {
        calibration.sources[1] = Source{left, count};
        calibration.sources[2] = Source{right, count};
        calibration.sourceCount = 3;
    }
}

void ResetCalibration() { calibration = Calibration{}; }

void KeptChannels(const std::int8_t*& left, const std::int8_t*& right) {
    left = calibration.sourceCount == 3 ? calibration.sources[1].samples : nullptr;
    right = calibration.sourceCount == 3 ? calibration.sources[2].samples : nullptr;
}

void UseWindow(const std::int8_t* mix, const std::int8_t* left, const std::int8_t* right, std::int32_t count,
               std::int8_t* conditioned, void (*onCondition)()) {
    calibration.sources[0] = Source{mix, count};
    calibration.sourceCount = 1;
    if (left != nullptr && right != nullptr) {
        calibration.sources[1] = Source{left, count};
        calibration.sources[2] = Source{right, count};
        calibration.sourceCount = 3;
    }
    calibration.owned.reset();
    calibration.conditioned = conditioned;
    calibration.conditionedCount = conditioned != nullptr ? count : 0;
    calibration.onCondition = onCondition;
    calibration.held = false;
}

std::int32_t CalibrateNextRecord(std::int32_t from, decoder::Reader& r) {
    std::int32_t resume = -1;
    return CalibrateNextRecord(from, from, -1, resume, r);
}

std::int32_t CalibrateNextRecord(std::int32_t from, std::int32_t searchFrom, std::int32_t complete,
                                 std::int32_t& resume, decoder::Reader& r) {
    calibration.documented = false;
    resume = -1;
    const std::int32_t rate = r.cursor.sampleRate;
    // Below the lowest rate a pulse's lobes cannot be told apart; the highest is far beyond
    // any sound card, and bounds the work of every window.
    if (calibration.sourceCount == 0 || rate < kLowestRate || rate > kHighestRate || from < 0 || !EnsureBuffer()) {
        return -1;
    }
    LeadIn lead;
    int channel = ChooseChannel(searchFrom, rate, lead, complete, &resume);
    if (channel < 0 && resume != -1) return -1;
    if (channel < 0 && calibration.sourceCount == 1 && EnsureChannels()) {
        // Nothing on the mix (channels in opposite phase cancel there): each channel on its own.
        channel = ChooseChannel(searchFrom, rate, lead);
    }
    if (channel < 0) return -1;
    calibration.from = from;
    SetUpRecord(channel, std::move(lead), rate);
    calibration.held = false;
    RestoreCalibration(r);
    ListAlternatives();
    return calibration.begin;
}

void UseDocumentedSettings(decoder::Reader& r) {
    calibration.documented = true;
    calibration.alternatives.clear();
    ReadAsGiven(r);
}

int AlternativeCount() { return static_cast<int>(calibration.alternatives.size()); }

void ApplyAlternative(int index, decoder::Reader& r) {
    if (index < 0 || index >= AlternativeCount()) return;
    RestoreCalibration(r);
    switch (calibration.alternatives[static_cast<std::size_t>(index)]) {
        case Alternative::conditioned:
            Read(calibration.channel, Reading::squared, r);
            decoder::Say(r, "Auto: trying the conditioned signal, threshold %ld\n", std::lround(ConditionedSwing()));
            break;
        case Alternative::polarity:
            Read(calibration.channel, Reading::squared, r);
            r.reverseDirection = !calibration.reverse;
            decoder::Say(r, "Auto: trying %s edges\n", r.reverseDirection ? "rising" : "falling");
            break;
        case Alternative::channel: {
            int nth = 0;
            for (int k = 0; k < index; ++k) nth += calibration.alternatives[static_cast<std::size_t>(k)] == Alternative::channel;
            const int wanted = calibration.alternativeChannels[static_cast<std::size_t>(nth)];
            // A channel that cannot be read again leaves the mix, conditioned.
            const int channel = wanted == 0 || EnsureChannels() ? wanted : 0;
            Read(channel, Reading::squared, r);
            decoder::Say(r, "Auto: trying the %s\n", ChannelName(channel));
            break;
        }
        case Alternative::sensitive:
            Read(calibration.channel, Reading::sensitive, r);
            decoder::Say(r, "Auto: trying weaker pulses, threshold %ld\n", std::lround(2 * ShapingFor(Reading::sensitive).floor));
            break;
        case Alternative::exact:
            Read(calibration.channel, Reading::smooth, r);
            r.exactValue = CalibrateExactValue(r);
            decoder::Say(r, "Auto: trying the exact decoder with value %d\n", r.exactValue);
            break;
        case Alternative::documented:
            ReadAsGiven(r);
            decoder::Say(r, "Auto: trying the recording as it is, with the settings given\n");
            break;
    }
}

void RestoreCalibration(decoder::Reader& r) {
    if (calibration.sourceCount == 0 || !calibration.conditioned || calibration.documented) return;
    Read(calibration.channel, calibration.first, r);
    r.reverseDirection = calibration.reverse;
    r.exactValue = settings.exactValue;
    r.interactive = settings.interactive;
    r.timing = calibration.timing;
    r.speed = decoder::SpeedFollower{true, calibration.timing, calibration.bytePeriod, 1.0};
}

}  // namespace sonokas::signal
