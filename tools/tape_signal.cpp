#include "tools/tape_signal.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <numeric>
#include <random>

#include "gtp/gtp.hpp"
#include "gtp/stdio_file.hpp"

namespace tapegen {

std::vector<std::uint8_t> RecordBytes(const TapeRecord& record) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(std::max(record.leadIn, 0)), 0);
    const std::vector<std::uint8_t> payload = RecordPayload(record);
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
}

std::vector<std::uint8_t> RecordPayload(const TapeRecord& record) {
    std::vector<std::uint8_t> payload;
    const auto end = static_cast<std::uint16_t>(record.start + record.data.size());
    payload.push_back(record.sync);
    payload.push_back(static_cast<std::uint8_t>(record.start & 0xFF));
    payload.push_back(static_cast<std::uint8_t>(record.start >> 8));
    payload.push_back(static_cast<std::uint8_t>(end & 0xFF));
    payload.push_back(static_cast<std::uint8_t>(end >> 8));
    payload.insert(payload.end(), record.data.begin(), record.data.end());
    payload.push_back(static_cast<std::uint8_t>(gtp::ChecksumByteFor(payload) + record.checksumError));
    payload.push_back(record.trailing);
    return payload;
}

std::vector<std::uint8_t> ProgramHeaderPayload(const std::string& name, std::uint16_t start, std::uint16_t end,
                                               std::uint16_t line) {
    std::vector<std::uint8_t> payload{gtp::kSyncByte, 0xFF};
    for (std::uint16_t word : {start, end, line}) {
        payload.push_back(static_cast<std::uint8_t>(word & 0xFF));
        payload.push_back(static_cast<std::uint8_t>(word >> 8));
    }
    payload.insert(payload.end(), name.begin(), name.end());
    payload.push_back(0xFF);
    payload.push_back(gtp::ChecksumByteFor(payload));
    return payload;
}

std::vector<std::vector<std::uint8_t>> NamedProgramPayloads(const std::string& name, std::uint16_t line,
                                                            const TapeRecord& program) {
    const auto end = static_cast<std::uint16_t>(program.start + program.data.size());
    return {ProgramHeaderPayload(name, program.start, end, line), RecordPayload(program)};
}

std::vector<std::uint8_t> GtpStandardBlocks(const std::vector<std::vector<std::uint8_t>>& payloads) {
    std::vector<std::uint8_t> file;
    for (const auto& payload : payloads) {
        std::uint8_t header[gtp::kBlockHeaderSize];
        gtp::EncodeBlockHeader(gtp::standard, static_cast<std::uint32_t>(payload.size()), header);
        file.insert(file.end(), header, header + gtp::kBlockHeaderSize);
        file.insert(file.end(), payload.begin(), payload.end());
    }
    return file;
}

bool ReadGtpPayloads(const std::string& path, std::vector<std::vector<std::uint8_t>>& payloads) {
    payloads.clear();
    gtp::File file = gtp::OpenFile(path.c_str(), "rb");
    if (!file) {
        return false;
    }
    std::uint8_t raw[gtp::kBlockHeaderSize];
    gtp::BlockHeader header;
    while (gtp::DecodeBlockHeader({raw, std::fread(raw, 1, sizeof raw, file.get())}, header)) {
        std::vector<std::uint8_t> payload;
        // Read in pieces, so a length the file cannot fill allocates only what is there.
        std::uint8_t chunk[4096];
        std::uint64_t left = header.length;
        while (left > 0) {
            const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, sizeof chunk));
            const std::size_t got = std::fread(chunk, 1, want, file.get());
            payload.insert(payload.end(), chunk, chunk + got);
            left -= got;
            if (got < want) {
                break;
            }
        }
        if (header.type == gtp::standard) {
            payloads.push_back(std::move(payload));
        }
        if (left > 0) {
            break;
        }
    }
    return true;
}

SignalOptions ForeignEncoderOptions() {
    SignalOptions options;
    options.slot = 0.0034;
    options.middle = 0.0017;
    options.lastSlot = 0.0085;
    options.amplitude = 0.7;
    options.shape = PulseShape::flat;
    options.lobe = 0.00068;
    options.ramp = 0.00005;
    options.negativeFirst = true;
    return options;
}

std::vector<Pulse> LayOutPulses(const std::vector<std::vector<std::uint8_t>>& records, const SignalOptions& options) {
    const double slot = options.slot * options.timeScale;
    const double middle = options.middle * options.timeScale;
    const double lastSlot = options.lastSlot * options.timeScale;
    std::vector<Pulse> pulses;
    double t = options.leadingSilence;
    for (std::size_t r = 0; r < records.size(); ++r) {
        if (r > 0) {
            t += options.gap;
        }
        for (std::uint8_t byte : records[r]) {
            for (int bit = 0; bit < 8; ++bit) {
                pulses.push_back({t, 1.0});
                if ((byte >> bit) & 1) {
                    pulses.push_back({t + middle, 1.0});
                }
                t += bit == 7 ? lastSlot : slot;
            }
        }
        pulses.push_back({t, 1.0});
        t += slot;
    }
    return pulses;
}

double SlotTime(const SignalOptions& options, std::size_t byteIndex, int bit) {
    const double byteLength = (7 * options.slot + options.lastSlot) * options.timeScale;
    return options.leadingSilence + static_cast<double>(byteIndex) * byteLength + bit * options.slot * options.timeScale;
}

Pulse* FindPulse(std::vector<Pulse>& pulses, double time) {
    constexpr double kTolerance = 1e-6;
    auto it = std::lower_bound(pulses.begin(), pulses.end(), time - kTolerance,
                               [](const Pulse& pulse, double t) { return pulse.time < t; });
    return it != pulses.end() && it->time <= time + kTolerance ? &*it : nullptr;
}

void InsertPulse(std::vector<Pulse>& pulses, const Pulse& pulse) {
    auto it = std::upper_bound(pulses.begin(), pulses.end(), pulse.time,
                               [](double t, const Pulse& other) { return t < other.time; });
    pulses.insert(it, pulse);
}

void SetMiddlePulseHeight(std::vector<Pulse>& pulses, const std::vector<std::uint8_t>& bytes,
                          const SignalOptions& options, std::size_t first, std::size_t count, double height) {
    for (std::size_t i = first; i < bytes.size() && i < first + count; ++i) {
        for (int bit = 0; bit < 8; ++bit) {
            if ((bytes[i] >> bit) & 1) {
                if (Pulse* pulse = FindPulse(pulses, SlotTime(options, i, bit) + options.middle * options.timeScale)) {
                    pulse->height = height;
                }
            }
        }
    }
}

double PulseDuration(const SignalOptions& options) {
    const double width = options.shape == PulseShape::flat ? 2 * options.lobe + 4 * options.ramp : options.pulseWidth;
    return width * options.timeScale;
}

double SignalLength(const std::vector<Pulse>& pulses, const SignalOptions& options) {
    const double last = pulses.empty() ? options.leadingSilence : pulses.back().time + PulseDuration(options);
    return last + options.trailingSilence;
}

namespace {

constexpr double kPi = 3.14159265358979323846;

// Our pulse shape over its width: up to +1, hold, down to -1, hold, back to 0.
double OurShape(double phase) {
    constexpr double kSegment = 1.0 / 6.0;
    if (phase < 0 || phase >= 5 * kSegment) return 0;
    if (phase < kSegment) return phase / kSegment;
    if (phase < 2 * kSegment) return 1;
    if (phase < 3 * kSegment) return 1 - 2 * (phase - 2 * kSegment) / kSegment;
    if (phase < 4 * kSegment) return -1;
    return -1 + (phase - 4 * kSegment) / kSegment;
}

// The flat shape at `phase` of its whole length: ramp, lobe at +1, double ramp, lobe at -1, ramp.
double FlatShape(double phase, const SignalOptions& options) {
    const double whole = 2 * options.lobe + 4 * options.ramp;
    const double ramp = options.ramp / whole;
    const double lobe = options.lobe / whole;
    if (phase < 0 || phase >= 1) return 0;
    if (phase < ramp) return phase / ramp;
    if (phase < ramp + lobe) return 1;
    if (phase < 3 * ramp + lobe) return 1 - (phase - ramp - lobe) / ramp;
    if (phase < 3 * ramp + 2 * lobe) return -1;
    return -1 + (phase - 3 * ramp - 2 * lobe) / ramp;
}

double Shape(double phase, const SignalOptions& options) {
    return options.shape == PulseShape::flat ? FlatShape(phase, options) : OurShape(phase);
}

double FromDb(double db) { return std::pow(10.0, db / 20.0); }

// Gaussian values of unit RMS from a seeded generator (Box-Muller on the generator's raw output,
// so that the values do not depend on the library's distributions).
class Gaussian {
public:
    explicit Gaussian(std::uint32_t seed) : random_(seed) {}
    double operator()() {
        const double u = (static_cast<double>(random_()) + 0.5) / 4294967296.0;
        const double v = (static_cast<double>(random_()) + 0.5) / 4294967296.0;
        return std::sqrt(-2 * std::log(u)) * std::cos(2 * kPi * v);
    }

private:
    std::mt19937 random_;
};

struct Stretch {
    std::size_t begin;
    std::size_t end;
};

// First-order high-pass: the droop of a coupling capacitor.
void HighPass(std::vector<float>& signal, double cutoff, int sampleRate) {
    const double rc = 1 / (2 * kPi * cutoff);
    const double a = rc / (rc + 1.0 / sampleRate);
    double previousIn = 0;
    double out = 0;
    for (float& value : signal) {
        out = a * (out + value - previousIn);
        previousIn = value;
        value = static_cast<float>(out);
    }
}

// Two-pole low-pass (a biquad from the bilinear transform), Butterworth unless a Q is given.
void LowPass(std::vector<float>& signal, double cutoff, int sampleRate, double twoQ = std::sqrt(2.0)) {
    if (cutoff >= 0.49 * sampleRate) return;
    const double w = 2 * kPi * cutoff / sampleRate;
    const double alpha = std::sin(w) / twoQ;
    const double a0 = 1 + alpha;
    const double b0 = (1 - std::cos(w)) / 2 / a0;
    const double b1 = 2 * b0;
    const double a1 = -2 * std::cos(w) / a0;
    const double a2 = (1 - alpha) / a0;
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    for (float& value : signal) {
        const double y = b0 * value + b1 * x1 + b0 * x2 - a1 * y1 - a2 * y2;
        x2 = x1, x1 = value, y2 = y1, y1 = y;
        value = static_cast<float>(y);
    }
}

double Peak(const std::vector<float>& signal) {
    double peak = 0;
    for (float value : signal) peak = std::max(peak, double(std::abs(value)));
    return peak;
}

// RMS of the signal over the records.
double RecordsRms(const std::vector<float>& signal, const std::vector<Stretch>& records) {
    double power = 0;
    std::size_t samples = 0;
    for (const Stretch& record : records) {
        for (std::size_t n = record.begin; n < record.end; ++n) power += double(signal[n]) * signal[n];
        samples += record.end - record.begin;
    }
    return samples > 0 ? std::sqrt(power / static_cast<double>(samples)) : 0;
}

// A recorder's automatic level control: an envelope that follows a rise within the attack time
// and falls over the release time; the gain holds the envelope at the target, up to the most
// gain. After silence the first pulses come out loud until it catches up, and it pumps with
// the pauses between bytes.
void LevelControl(std::vector<float>& signal, const SignalOptions& options, int sampleRate) {
    const double attack = 1 - std::exp(-1 / (options.alcAttack * sampleRate));
    const double release = std::exp(-1 / (options.alcRelease * sampleRate));
    const double most = FromDb(options.alcMaxGainDb);
    double envelope = 0;
    for (float& value : signal) {
        const double size = std::abs(value);
        envelope = size > envelope ? envelope + (size - envelope) * attack : envelope * release;
        value = static_cast<float>(value * std::min(most, options.alcTarget / std::max(envelope, 1e-9)));
    }
}

// Layers of a wound tape magnetise their neighbours while it is stored: each place carries a
// weak copy of what lies one turn of the reel later (a pre-echo) and, weaker, one turn earlier.
void PrintThrough(std::vector<float>& signal, const SignalOptions& options, int sampleRate) {
    const std::vector<float> tape = signal;
    const double early = FromDb(*options.printThroughDb), late = FromDb(*options.printThroughDb - 6);
    const auto turn = static_cast<std::size_t>(options.printThroughDelay * sampleRate);
    for (std::size_t n = 0; n < signal.size(); ++n) {
        double value = tape[n];
        if (n + turn < tape.size()) value += early * tape[n + turn];
        if (n >= turn) value += late * tape[n - turn];
        signal[n] = static_cast<float>(value);
    }
}

// The head also reads the neighbouring track (the other side of a cassette, recorded the
// other way): the rest of the recording backwards, started a third of the way in.
void Crosstalk(std::vector<float>& signal, double db) {
    const std::vector<float> tape = signal;
    const double gain = FromDb(db);
    const std::size_t count = tape.size();
    for (std::size_t n = 0; n < count; ++n) {
        signal[n] = static_cast<float>(tape[n] + gain * tape[(2 * count - 1 - n - count / 3) % count]);
    }
}

// The deck played through its speaker into a microphone: the room adds its reflection, later and
// duller (the walls take the treble).
void RoomEcho(std::vector<float>& signal, const SignalOptions& options, int sampleRate) {
    const std::vector<float> played = signal;
    const double a = std::exp(-2 * std::numbers::pi * options.roomEchoHz / sampleRate);
    auto reflect = [&](double db, double seconds) {
        const double gain = FromDb(db);
        const auto delay = static_cast<std::size_t>(seconds * sampleRate);
        double wall = 0;
        for (std::size_t n = 0; n < signal.size(); ++n) {
            wall = (1 - a) * (n >= delay ? played[n - delay] : 0.0f) + a * wall;
            signal[n] += static_cast<float>(gain * wall);
        }
    };
    if (options.roomEchoDb) reflect(*options.roomEchoDb, options.roomEchoDelay);
    if (options.wallEchoDb) reflect(*options.wallEchoDb, options.wallEchoDelay);
}

// A room's reverberation: four recirculating delays of a few tens of milliseconds, each reflection
// duller than the last, and two all-passes that make their echoes dense.
void RoomReverb(std::vector<float>& signal, const SignalOptions& options, int sampleRate) {
    const std::vector<float> played = signal;
    std::vector<double> wet(signal.size(), 0.0);
    const double a = std::exp(-2 * std::numbers::pi * options.roomEchoHz / sampleRate);
    for (const double seconds : {0.0297, 0.0371, 0.0411, 0.0437}) {
        std::vector<double> ring(std::max<std::size_t>(1, static_cast<std::size_t>(seconds * sampleRate)), 0.0);
        const double feedback = std::pow(10.0, -3 * seconds / std::max(options.reverbTime, 0.01));
        double wall = 0;
        for (std::size_t n = 0, at = 0; n < signal.size(); ++n, at = (at + 1) % ring.size()) {
            const double out = ring[at];
            wall = (1 - a) * out + a * wall;
            ring[at] = played[n] + feedback * wall;
            wet[n] += out / 4;
        }
    }
    for (const double seconds : {0.005, 0.0017}) {
        std::vector<double> ring(std::max<std::size_t>(1, static_cast<std::size_t>(seconds * sampleRate)), 0.0);
        for (std::size_t n = 0, at = 0; n < signal.size(); ++n, at = (at + 1) % ring.size()) {
            const double out = ring[at] - 0.7 * wet[n];
            ring[at] = wet[n] + 0.7 * out;
            wet[n] = out;
        }
    }
    const double gain = FromDb(*options.reverbDb);
    for (std::size_t n = 0; n < signal.size(); ++n) signal[n] = static_cast<float>(played[n] + gain * wet[n]);
}

// The transfer's gain set so that the signal's peak is `peak` again after a filter.
void KeepPeak(std::vector<float>& signal, double peak) {
    const double now = Peak(signal);
    if (now > 0) {
        for (float& value : signal) value = static_cast<float>(value * peak / now);
    }
}

// The playback head's response.
void HeadResponse(std::vector<float>& signal, const SignalOptions& options, int sampleRate) {
    if (options.head == Head::differentiating) {
        float previous = 0;
        for (float& value : signal) {
            const float flux = value;
            value -= previous;
            previous = flux;
        }
        LowPass(signal, options.headHz, sampleRate);
    } else if (options.head == Head::integrating) {
        const double keep = std::exp(-2 * kPi * options.headHz / sampleRate);
        double out = 0;
        for (float& value : signal) value = static_cast<float>(out = keep * out + (1 - keep) * value);
    } else {
        LowPass(signal, options.headHz, sampleRate, 2 * options.headQ);
    }
}

// A head turned against the track, read through a playback amplifier that shifts phase: the
// pulse's frequencies come out with different delays. Each first-order all-pass section keeps
// every frequency's size and turns its phase by up to 180 degrees.
void AllPass(std::vector<float>& signal, int sections, double cutoff, int sampleRate) {
    const double t = std::tan(kPi * cutoff / sampleRate);
    const double a = (t - 1) / (t + 1);
    for (int section = 0; section < sections; ++section) {
        double previousIn = 0, previousOut = 0;
        for (float& value : signal) {
            const double out = a * value + previousIn - a * previousOut;
            previousIn = value, previousOut = out;
            value = static_cast<float>(out);
        }
    }
}

// Tape hiss: Gaussian noise through a pink (3 dB per octave) filter, scaled to `rms`.
void PinkHiss(std::vector<float>& signal, double rms, std::uint32_t seed) {
    Gaussian gaussian(seed);
    std::vector<double> pink(signal.size());
    double b0 = 0, b1 = 0, b2 = 0, power = 0;
    for (double& value : pink) {
        const double white = gaussian();
        b0 = 0.99765 * b0 + white * 0.0990460;
        b1 = 0.96300 * b1 + white * 0.2965164;
        b2 = 0.57000 * b2 + white * 1.0526913;
        value = b0 + b1 + b2 + white * 0.1848;
        power += value * value;
    }
    const double scale = pink.empty() ? 0 : rms / std::sqrt(power / static_cast<double>(pink.size()));
    for (std::size_t n = 0; n < signal.size(); ++n) signal[n] = static_cast<float>(signal[n] + scale * pink[n]);
}

// Crackle of a dirty plug or a static discharge: at random times a spike of random size and
// sign that dies within a few samples, far narrower than a pulse.
void Crackle(std::vector<float>& signal, const SignalOptions& options, int sampleRate) {
    std::mt19937 random(options.seed + 104);
    auto uniform = [&] { return (static_cast<double>(random()) + 0.5) / 4294967296.0; };
    const double decay = std::exp(-1 / (0.00005 * sampleRate));
    for (double t = -std::log(uniform()) / options.crackleRate;; t += -std::log(uniform()) / options.crackleRate) {
        const auto at = static_cast<std::size_t>(t * sampleRate);
        if (at >= signal.size()) break;
        double height = options.crackleLevel * (0.2 + 0.8 * uniform()) * (uniform() < 0.5 ? -1 : 1);
        for (std::size_t n = at; n < signal.size() && std::abs(height) > 1e-4; ++n, height *= decay) {
            signal[n] = static_cast<float>(signal[n] + height);
        }
    }
}

}  // namespace

std::vector<float> RenderPulses(const std::vector<Pulse>& pulses, int sampleRate, const SignalOptions& options) {
    const double nominal = SignalLength(pulses, options);
    // Drift stretches time gradually: the local speed goes from 1 to 1 + drift. Wow makes the
    // local time scale 1 + wowDepth * sin(2 pi wowRate t); its integral is added.
    const double wowOmega = 2 * kPi * options.wowRate;
    auto realTime = [&](double t) {
        const double drifted = t + options.drift * t * t / (2 * nominal);
        return options.wowDepth == 0 ? drifted : drifted + options.wowDepth * (1 - std::cos(wowOmega * t)) / wowOmega;
    };
    const double total = realTime(nominal);
    const auto count = static_cast<std::size_t>(std::max(0.0, total * sampleRate));
    std::vector<float> signal(count, 0.0f);
    const double sign = (options.inverted ? -1.0 : 1.0) * (options.negativeFirst ? -1.0 : 1.0);
    const double level = options.levelDb == 0 ? options.amplitude : options.amplitude * FromDb(options.levelDb);
    const double duration = PulseDuration(options);
    const double width = duration * (1 + std::max(0.0, options.drift) + std::abs(options.wowDepth));
    auto addPulse = [&](double begin, double localWidth, double height) {
        const auto first = static_cast<std::size_t>(std::max(0.0, std::ceil(begin * sampleRate)));
        const auto last = std::min(count, static_cast<std::size_t>((begin + width) * sampleRate) + 1);
        for (std::size_t n = first; n < last; ++n) {
            const double phase = (static_cast<double>(n) / sampleRate - begin) / localWidth;
            signal[n] += static_cast<float>(sign * height * Shape(phase, options));
        }
    };
    for (const Pulse& pulse : pulses) {
        const double begin = realTime(pulse.time);
        addPulse(begin, realTime(pulse.time + duration) - begin, level * pulse.height);
    }
    for (const Dropout& dropout : options.dropouts) {
        const double gain = FromDb(dropout.attenuationDb);
        const auto first = static_cast<std::size_t>(std::clamp(dropout.time * sampleRate, 0.0, double(count)));
        const auto last = static_cast<std::size_t>(
            std::clamp((dropout.time + dropout.duration) * sampleRate, 0.0, double(count)));
        for (std::size_t n = first; n < last; ++n) signal[n] = static_cast<float>(signal[n] * gain);
    }
    if (options.contactDepth > 0) {
        // The tape lifting off the head and back: the level sinks by contactDepth and comes back.
        for (std::size_t n = 0; n < count; ++n) {
            const double swing = 0.5 * (1 - std::cos(2 * kPi * options.contactRate * static_cast<double>(n) / sampleRate));
            signal[n] = static_cast<float>(signal[n] * (1 - options.contactDepth * swing));
        }
    }

    // The records: runs of pulses no further apart than two last slots.
    std::vector<Stretch> records;
    const double apart = 2 * options.lastSlot * options.timeScale;
    auto toSample = [&](double t) { return std::min(count, static_cast<std::size_t>(std::max(0.0, t * sampleRate))); };
    for (std::size_t i = 0; i < pulses.size(); ++i) {
        const std::size_t begin = toSample(realTime(pulses[i].time));
        while (i + 1 < pulses.size() && pulses[i + 1].time - pulses[i].time <= apart) ++i;
        records.push_back({begin, toSample(realTime(pulses[i].time + duration))});
    }

    if (options.gapFill != GapFill::silence) {
        const double gapLevel = FromDb(options.gapLevelDb);
        Gaussian gaussian(options.seed + 101);
        std::mt19937 jitter(options.seed + 102);
        std::size_t from = 0;
        for (std::size_t r = 0; r <= records.size(); ++r) {
            const std::size_t to = r < records.size() ? records[r].begin : count;
            if (options.gapFill == GapFill::clicks) {
                // A lone pulse every quarter second or so, none within 0.1 s of a record.
                const double end = static_cast<double>(to) / sampleRate - 0.1;
                for (double t = static_cast<double>(from) / sampleRate + 0.1; t < end;
                     t += 0.2 + 0.1 * static_cast<double>(jitter()) / 4294967296.0) {
                    addPulse(t, duration, gapLevel);
                }
            } else {
                for (std::size_t n = from; n < to; ++n) {
                    signal[n] += static_cast<float>(
                        options.gapFill == GapFill::noise
                            ? gapLevel * gaussian()
                            : gapLevel * std::sin(2 * kPi * options.humFrequency * static_cast<double>(n) / sampleRate));
                }
            }
            if (r < records.size()) from = std::max(from, records[r].end);
        }
    }
    if (options.alcRelease > 0) LevelControl(signal, options, sampleRate);
    if (options.saturationDrive > 0) {
        // Tape driven past its linear range: the flux levels off towards saturation.
        const double full = std::tanh(options.saturationDrive);
        for (float& value : signal) value = static_cast<float>(std::tanh(options.saturationDrive * value) / full);
    }
    if (options.printThroughDb) PrintThrough(signal, options, sampleRate);
    if (options.crosstalkDb) Crosstalk(signal, *options.crosstalkDb);
    if (options.head != Head::flat || options.allPassSections > 0) {
        const double peak = Peak(signal);
        if (options.head != Head::flat) HeadResponse(signal, options, sampleRate);
        if (options.allPassSections > 0) AllPass(signal, options.allPassSections, options.allPassHz, sampleRate);
        KeepPeak(signal, peak);
    }
    if (options.roomEchoDb || options.wallEchoDb || options.reverbDb) {
        const double peak = Peak(signal);
        if (options.roomEchoDb || options.wallEchoDb) RoomEcho(signal, options, sampleRate);
        if (options.reverbDb) RoomReverb(signal, options, sampleRate);
        KeepPeak(signal, peak);
    }
    if (options.highPassHz > 0) HighPass(signal, options.highPassHz, sampleRate);
    if (options.lowPassHz > 0) LowPass(signal, options.lowPassHz, sampleRate);
    if (options.snrDb) {
        const double noiseRms = RecordsRms(signal, records) / FromDb(*options.snrDb);
        Gaussian gaussian(options.seed + 103);
        for (float& value : signal) value = static_cast<float>(value + noiseRms * gaussian());
    }
    if (options.hissSnrDb) PinkHiss(signal, RecordsRms(signal, records) / FromDb(*options.hissSnrDb), options.seed + 105);
    if (options.humDb) {
        const double peak = FromDb(*options.humDb);
        for (std::size_t n = 0; n < count; ++n) {
            const double phase = 2 * kPi * options.humFrequency * static_cast<double>(n) / sampleRate;
            double hum = std::sin(phase);
            // sin((k + 1) x) = 2 cos(x) sin(k x) - sin((k - 1) x), from the fundamental up.
            const double twice = options.humHarmonics.empty() ? 0 : 2 * std::cos(phase);
            double below = 0, at = hum;
            for (const double harmonic : options.humHarmonics) {
                const double next = twice * at - below;
                below = at, at = next;
                hum += harmonic * at;
            }
            signal[n] = static_cast<float>(signal[n] + peak * hum);
        }
    }
    if (options.crackleRate > 0) Crackle(signal, options, sampleRate);
    if (options.clipPositive < 1 || options.clipNegative > -1) {
        for (float& value : signal) {
            value = std::clamp(value, static_cast<float>(options.clipNegative), static_cast<float>(options.clipPositive));
        }
    }
    if (options.noise > 0) {
        std::mt19937 random(options.seed);
        std::uniform_real_distribution<float> spread(static_cast<float>(-options.noise),
                                                     static_cast<float>(options.noise));
        for (float& value : signal) {
            value += spread(random);
        }
    }
    for (float& value : signal) {
        value = std::clamp(static_cast<float>(value + options.dcOffset), -1.0f, 1.0f);
    }
    if (options.cutAt > 0) {
        signal.resize(std::min(count, static_cast<std::size_t>(options.cutAt * sampleRate)));
    }
    return signal;
}

std::vector<float> Resample(const std::vector<float>& signal, int fromRate, int toRate) {
    // Output sample m lies at input position m * down / up: `up` phases, each with its kernel.
    const int common = std::gcd(fromRate, toRate);
    const std::int64_t up = toRate / common, down = fromRate / common;
    const double cutoff = 0.45 * std::min(fromRate, toRate) / fromRate;  // cycles per input sample
    const double half = 16 / (2 * cutoff);                               // the kernel's half width
    const auto reach = static_cast<std::int64_t>(half) + 1;
    std::vector<std::vector<double>> kernels(static_cast<std::size_t>(up));
    for (std::int64_t phase = 0; phase < up; ++phase) {
        for (std::int64_t j = -reach; j <= reach; ++j) {
            const double d = static_cast<double>(phase) / static_cast<double>(up) - static_cast<double>(j);
            const double x = 2 * cutoff * d, u = d / half;
            const double sinc = x == 0 ? 1 : std::sin(kPi * x) / (kPi * x);
            kernels[static_cast<std::size_t>(phase)].push_back(
                std::abs(u) > 1 ? 0 : 2 * cutoff * sinc * (0.42 + 0.5 * std::cos(kPi * u) + 0.08 * std::cos(2 * kPi * u)));
        }
    }
    const auto size = static_cast<std::int64_t>(signal.size());
    std::vector<float> out(static_cast<std::size_t>(size * up / down));
    for (std::int64_t m = 0; m < static_cast<std::int64_t>(out.size()); ++m) {
        const std::int64_t base = m * down / up;
        const std::vector<double>& kernel = kernels[static_cast<std::size_t>(m * down % up)];
        double sum = 0;
        for (std::int64_t j = std::max(-reach, -base); j <= reach && base + j < size; ++j) {
            sum += signal[static_cast<std::size_t>(base + j)] * kernel[static_cast<std::size_t>(j + reach)];
        }
        out[static_cast<std::size_t>(m)] = static_cast<float>(sum);
    }
    return out;
}

std::vector<float> RenderRecord(const TapeRecord& record, int sampleRate, const SignalOptions& options) {
    return RenderPulses(LayOutPulses({RecordBytes(record)}, options), sampleRate, options);
}

}  // namespace tapegen
