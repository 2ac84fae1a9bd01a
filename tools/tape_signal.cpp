#include "tools/tape_signal.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>

#include "gtp/gtp.hpp"
#include "gtp/stdio_file.hpp"

namespace tapegen {

std::vector<std::uint8_t> RecordBytes(const TapeRecord& record) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(std::max(record.leadIn, 0)), 0);
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
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
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

std::vector<Pulse> LayOutPulses(const std::vector<std::vector<std::uint8_t>>& records, const SignalOptions& options) {
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
                    pulses.push_back({t + kHalfSlot, 1.0});
                }
                t += bit == 7 ? kLastSlot : kSlot;
            }
        }
        pulses.push_back({t, 1.0});
        t += kSlot;
    }
    return pulses;
}

double SlotTime(const SignalOptions& options, std::size_t byteIndex, int bit) {
    return options.leadingSilence + static_cast<double>(byteIndex) * kByteLength + bit * kSlot;
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
                if (Pulse* pulse = FindPulse(pulses, SlotTime(options, i, bit) + kHalfSlot)) {
                    pulse->height = height;
                }
            }
        }
    }
}

double SignalLength(const std::vector<Pulse>& pulses, const SignalOptions& options) {
    const double last = pulses.empty() ? options.leadingSilence : pulses.back().time + options.pulseWidth;
    return last + options.trailingSilence;
}

namespace {

// The pulse shape over its width: up to +1, hold, down to -1, hold, back to 0.
double PulseShape(double phase) {
    constexpr double kSegment = 1.0 / 6.0;
    if (phase < 0 || phase >= 5 * kSegment) return 0;
    if (phase < kSegment) return phase / kSegment;
    if (phase < 2 * kSegment) return 1;
    if (phase < 3 * kSegment) return 1 - 2 * (phase - 2 * kSegment) / kSegment;
    if (phase < 4 * kSegment) return -1;
    return -1 + (phase - 4 * kSegment) / kSegment;
}

}  // namespace

std::vector<float> RenderPulses(const std::vector<Pulse>& pulses, int sampleRate, const SignalOptions& options) {
    const double nominal = SignalLength(pulses, options);
    // Drift stretches time gradually: the local speed goes from 1 to 1 + drift.
    auto realTime = [&](double t) { return t + options.drift * t * t / (2 * nominal); };
    const double total = realTime(nominal);
    const auto count = static_cast<std::size_t>(std::max(0.0, total * sampleRate));
    std::vector<float> signal(count, 0.0f);
    const double sign = options.inverted ? -1.0 : 1.0;
    const double width = options.pulseWidth * (1 + std::max(0.0, options.drift));
    for (const Pulse& pulse : pulses) {
        const double begin = realTime(pulse.time);
        const auto first = static_cast<std::size_t>(std::max(0.0, std::ceil(begin * sampleRate)));
        const auto last = std::min(count, static_cast<std::size_t>((begin + width) * sampleRate) + 1);
        const double localWidth = realTime(pulse.time + options.pulseWidth) - begin;
        for (std::size_t n = first; n < last; ++n) {
            const double phase = (static_cast<double>(n) / sampleRate - begin) / localWidth;
            signal[n] += static_cast<float>(sign * options.amplitude * pulse.height * PulseShape(phase));
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
        value = std::clamp(value, -1.0f, 1.0f);
    }
    return signal;
}

std::vector<float> RenderRecord(const TapeRecord& record, int sampleRate, const SignalOptions& options) {
    return RenderPulses(LayOutPulses({RecordBytes(record)}, options), sampleRate, options);
}

}  // namespace tapegen
