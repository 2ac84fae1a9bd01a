#include "converter/tape/whole_record.hpp"

#include <algorithm>
#include <cstdio>

#include "converter/decoder/cursor.hpp"
#include "converter/decoder/reader.hpp"
#include "converter/decoder/timing_decoder.hpp"
#include "converter/settings.hpp"
#include "converter/tape/finder.hpp"
#include "gtp/gtp.hpp"

namespace sonokas::tape {

namespace {

constexpr std::size_t kNameOffset = 8;

}  // namespace

std::vector<std::uint8_t> ImagePayload(std::span<const std::uint8_t> image, const output::RecordReport& report) {
    if (!settings.binaryOutput) {
        return image.size() > gtp::kBlockHeaderSize
                   ? std::vector<std::uint8_t>(image.begin() + gtp::kBlockHeaderSize, image.end())
                   : std::vector<std::uint8_t>{};
    }
    if (report.leadIn == 0) {
        return {};
    }
    // The raw image holds the data stage only; the sync and address bytes are in the report.
    std::vector<std::uint8_t> payload{report.sync, static_cast<std::uint8_t>(report.start & 0xFF),
                                      static_cast<std::uint8_t>(report.start >> 8),
                                      static_cast<std::uint8_t>(report.end & 0xFF),
                                      static_cast<std::uint8_t>(report.end >> 8)};
    payload.insert(payload.end(), image.begin(), image.end());
    return payload;
}

std::string HeaderName(std::span<const std::uint8_t> payload) {
    std::string name;
    for (std::size_t i = kNameOffset; i < payload.size() && payload[i] != 0xFF; ++i) {
        name += payload[i] >= 0x20 && payload[i] < 0x7F ? static_cast<char>(payload[i]) : '?';
    }
    return name;
}

output::AttemptOutcome FinishWholeRecord(decoder::Reader& r, output::RecordReading& reading, std::int32_t signalEnd,
                                         std::int32_t& readOn, bool& header) {
    readOn = 0;
    header = false;
    // Another byte lies ahead while the signal goes on for more than half a byte period: past
    // a record's last byte the decoders stand on, or just before, its closing edge.
    const std::int64_t half = BytePeriodSamples(r) / 2;
    std::vector<std::uint8_t>& image = reading.image;
    while (!r.AtEnd() && signalEnd - static_cast<std::int64_t>(r.cursor.position) > half &&
           image.size() < output::kImageSize) {
        image.push_back(decoder::ReadTapeByte(r));
        reading.confidence.push_back(r.confidence);
        reading.byteStarts.push_back(r.byteStart);
        ++r.imageBytes;
        ++readOn;
    }
    if (readOn > 0) {
        decoder::Say(r, "Record goes on: %i more bytes read\n", readOn);
    }
    std::vector<std::uint8_t> payload = ImagePayload(image, reading.report);
    auto isHeader = [](const std::vector<std::uint8_t>& p, std::size_t size) {
        return gtp::IsProgramHeader(p, static_cast<std::int32_t>(size));
    };
    if (reading.report.early && !payload.empty() && !isHeader(payload, payload.size()) &&
        isHeader(payload, payload.size() - 1)) {
        // A header whose address bytes ran the decoder past its signal: the byte read from the
        // silence after it is none of its own.
        image.pop_back();
        if (!reading.confidence.empty()) reading.confidence.pop_back();
        if (!reading.byteStarts.empty()) reading.byteStarts.pop_back();
        --r.imageBytes;
        payload.pop_back();
    }
    if (!isHeader(payload, payload.size())) {
        return reading.outcome;
    }
    header = true;
    // A program header's last byte brings the sum of all its bytes to 0xFF.
    const bool right = gtp::ChecksumSum(payload) == gtp::kChecksumGood;
    // The sum rule is our generator's: a header read clearly that breaks it may be right.
    const bool clear = decoder::DoubtfulBytes(reading.confidence) == 0;
    decoder::Say(r, "Program header: %s, checksum %s\n", HeaderName(payload).c_str(),
                 right ? "right" : clear ? "not known" : "wrong");
    return right ? output::AttemptOutcome::good : output::AttemptOutcome::bad;
}

}  // namespace sonokas::tape
