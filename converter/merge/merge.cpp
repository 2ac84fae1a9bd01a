#include "converter/merge/merge.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "converter/decoder/reader.hpp"
#include "converter/output/record.hpp"
#include "gtp/gtp.hpp"

namespace sonokas::merge {

namespace {

constexpr std::size_t kAddressBytes = 5;      // sync, start and end + 1
constexpr std::size_t kDataKey = 4;           // start and end + 1
constexpr std::size_t kHeaderNameAt = 8;      // after sync, 0xFF, start, end + 1 and line
constexpr std::uint8_t kHeaderMark = 0xFF;    // after a header's sync byte, and after its name

bool Doubtful(float confidence) { return !(confidence >= decoder::kDoubtful); }

}  // namespace

std::vector<std::uint8_t> RecordKey(std::span<const std::uint8_t> payload) {
    if (payload.size() < kAddressBytes) return {};
    // A program header as the tape judges one, its sync byte left out (that may be misread):
    // 0xFF after the sync byte and before the checksum byte, no longer than a header may be.
    const std::size_t size = payload.size();
    if (size >= kHeaderNameAt + 2 && size <= static_cast<std::size_t>(gtp::kProgramHeaderMaxLength) &&
        payload[1] == kHeaderMark && payload[size - 2] == kHeaderMark) {
        return {payload.begin() + 1, payload.end() - 1};
    }
    return {payload.begin() + 1, payload.begin() + kAddressBytes};
}

bool IsHeaderKey(std::span<const std::uint8_t> key) { return key.size() > kDataKey; }

std::size_t RecordLength(std::span<const std::uint8_t> key) {
    if (IsHeaderKey(key)) return key.size() + 2;  // sync byte before, checksum byte after
    if (key.size() < kDataKey) return 0;
    const int start = key[0] + 256 * key[1];
    const int end = key[2] + 256 * key[3];
    return end >= start ? kAddressBytes + static_cast<std::size_t>(end - start) + 2 : 0;
}

bool Holds(std::span<const std::uint8_t> payload) {
    const std::vector<std::uint8_t> key = RecordKey(payload);
    const std::size_t length = RecordLength(key);
    if (length == 0 || payload.size() != length || payload[0] != gtp::kSyncByte) return false;
    // A header's last byte brings the sum of all its bytes to 0xFF; a data record's trailing
    // byte is no part of its sum.
    const std::size_t summed = IsHeaderKey(key) ? length : length - 1;
    return gtp::ChecksumSum(payload.first(summed)) == gtp::kChecksumGood;
}

namespace {

// A reading's bytes in their places in a record of `length` bytes: -1 where it has none.
struct Placed {
    std::vector<int> bytes;
    std::vector<float> confidence;
};

// The time a byte takes in the reading: the middle of the times between its bytes' starts.
double BytePeriod(std::span<const std::int64_t> starts) {
    std::vector<std::int64_t> gaps;
    for (std::size_t k = 1; k < starts.size(); ++k) {
        if (starts[k] > starts[k - 1]) gaps.push_back(starts[k] - starts[k - 1]);
    }
    if (gaps.empty()) return 0;
    auto middle = gaps.begin() + static_cast<std::ptrdiff_t>(gaps.size() / 2);
    std::nth_element(gaps.begin(), middle, gaps.end());
    return static_cast<double>(*middle);
}

Placed Place(const Bytes& reading, std::size_t length) {
    Placed placed{std::vector<int>(length, -1), std::vector<float>(length, 0.0f)};
    const std::size_t count = reading.payload.size();
    const bool timed = reading.starts.size() == count;
    const double period = timed ? BytePeriod(reading.starts) : 0;
    std::size_t at = 0;
    for (std::size_t k = 0; k < count && at < length; ++k) {
        if (k > 0) {
            // A byte the decoder skipped over (a re-synchronisation) leaves its place empty.
            double steps = 1;
            if (period > 0) steps = std::round(static_cast<double>(reading.starts[k] - reading.starts[k - 1]) / period);
            at += static_cast<std::size_t>(std::clamp(steps, 1.0, static_cast<double>(length)));
            if (at >= length) break;
        }
        placed.bytes[at] = reading.payload[k];
        placed.confidence[at] = k < reading.confidence.size() ? reading.confidence[k] : 0.0f;
    }
    return placed;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> MergeReadings(std::span<const Bytes> readings, bool oneSignal) {
    if (readings.size() < 2) return std::nullopt;
    const std::size_t length = RecordLength(RecordKey(readings[0].payload));
    if (length == 0 || length > output::kImageSize) return std::nullopt;
    std::vector<Placed> placed;
    for (const Bytes& reading : readings) placed.push_back(Place(reading, length));
    std::vector<std::uint8_t> merged(length);
    for (std::size_t i = 0; i < length; ++i) {
        std::size_t count = 0;
        std::array<std::size_t, 256> votes{};
        const Placed* clearest = nullptr;  // the reading most sure of its byte
        for (const Placed& reading : placed) {
            if (reading.bytes[i] < 0) continue;
            ++count;
            ++votes[static_cast<std::size_t>(reading.bytes[i])];
            if (clearest == nullptr || reading.confidence[i] > clearest->confidence[i]) clearest = &reading;
        }
        if (count == 0) return std::nullopt;
        const auto most = std::max_element(votes.begin(), votes.end());
        const auto byte = static_cast<std::uint8_t>(most - votes.begin());
        if (*most == count || (count >= 3 && 2 * *most > count)) {
            merged[i] = byte;  // all agree, or most of three or more
            continue;
        }
        // The clearest byte, when every reading that differs from it was doubtful there (of one
        // signal, readings that differ have erred, whatever they were sure of).
        const int taken = clearest->bytes[i];
        for (const Placed& reading : placed) {
            if (oneSignal) break;
            if (reading.bytes[i] < 0 || reading.bytes[i] == taken) continue;
            if (!Doubtful(reading.confidence[i]) || !(reading.confidence[i] < clearest->confidence[i])) {
                            return std::nullopt;
            }
        }
        merged[i] = static_cast<std::uint8_t>(taken);
    }
    if (!Holds(merged)) return std::nullopt;
    return merged;
}

bool Restorable(const Bytes& bad, std::span<const std::uint8_t> good) {
    const Placed placed = Place(bad, good.size());
    for (std::size_t i = 0; i < good.size(); ++i) {
        if (placed.bytes[i] >= 0 && placed.bytes[i] != good[i] && !Doubtful(placed.confidence[i])) return false;
    }
    return true;
}

}  // namespace sonokas::merge
