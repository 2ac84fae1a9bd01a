#include "converter/output/record.hpp"

#include <algorithm>
#include <cstdio>
#include <string>

#include "converter/decoder/cursor.hpp"
#include "converter/decoder/reader.hpp"
#include "converter/decoder/edge_scanner.hpp"
#include "converter/decoder/exact_decoder.hpp"
#include "converter/decoder/timing_decoder.hpp"
#include "converter/output/tape_image.hpp"
#include "converter/settings.hpp"
#include "gtp/gtp.hpp"
#include "gtp/stdio_file.hpp"

namespace sonokas::output {

TapeImageBuffer image;
RecordReport report;

namespace {

constexpr int kFullLeadIn = 30;

void WriteBytes(std::FILE* file, const std::uint8_t* bytes, std::size_t count) {
    if (file != nullptr && count > 0) {
        std::fwrite(bytes, 1, count, file);
    }
}

}  // namespace

void WriteNameBlock(std::FILE* file) {
    if (settings.nameText.empty()) {
        return;
    }
    const auto text = settings.nameText.view();
    std::uint8_t header[gtp::kBlockHeaderSize];
    gtp::EncodeBlockHeader(gtp::name, static_cast<std::uint32_t>(text.size() + 1), header);
    WriteBytes(file, header, sizeof header);
    const std::uint8_t zero = 0;
    WriteBytes(file, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    WriteBytes(file, &zero, 1);
}

void WriteStandardBlock(std::FILE* file, std::span<const std::uint8_t> payload) {
    std::uint8_t header[gtp::kBlockHeaderSize];
    gtp::EncodeBlockHeader(gtp::standard, static_cast<std::uint32_t>(payload.size()), header);
    WriteBytes(file, header, sizeof header);
    WriteBytes(file, payload.data(), payload.size());
}

void WriteImage(std::FILE* file, std::span<const std::uint8_t> image) {
    if (settings.binaryOutput) {
        // The checksum and trailing bytes are dropped; fewer than 2 bytes read leave nothing.
        WriteBytes(file, image.data(), image.size() >= 2 ? image.size() - 2 : 0);
        return;
    }
    WriteNameBlock(file);
    const std::size_t header = std::min(image.size(), gtp::kBlockHeaderSize);
    WriteStandardBlock(file, image.subspan(header));
}

void WriteImage(std::FILE* file) {
    if (settings.binaryOutput) {
        // The checksum and trailing bytes are dropped; fewer than 2 bytes read leave nothing.
        image.byteCount = image.byteCount >= 2 ? image.byteCount - 2 : 0;
        WriteBytes(file, image.data.data(), static_cast<std::size_t>(image.byteCount));
        return;
    }
    WriteNameBlock(file);
    WriteStandardBlock(file, RecordPayload());
}

void ResetImage() { image = TapeImageBuffer{}; }

std::span<const std::uint8_t> RecordPayload() {
    const auto headerSize = static_cast<std::int32_t>(gtp::kBlockHeaderSize);
    if (image.byteCount <= headerSize) {
        return {};
    }
    return {image.data.data() + headerSize, static_cast<std::size_t>(image.byteCount - headerSize)};
}

AttemptOutcome ConvertRecord() {
    // A file that cannot be created is not reported: the attempt decodes all the same.
    gtp::File file = gtp::OpenFile(settings.outputPath.c_str(), "wb");
    const AttemptOutcome outcome = DecodeRecord();
    if (outcome != AttemptOutcome::noLead) {
        WriteImage(file.get());
    }
    return outcome;
}

namespace {

// Appends to a reading's image as the image buffer does: never past its size.
void Append(RecordReading& reading, decoder::Reader& r, std::uint8_t byte) {
    if (reading.image.size() < kImageSize) {
        reading.image.push_back(byte);
        ++r.imageBytes;
    }
}

// Keeps how clearly the byte just read was decided.
void Weigh(RecordReading& reading, const decoder::Reader& r) {
    if (reading.confidence.size() < kImageSize) {
        reading.confidence.push_back(r.confidence);
        reading.byteStarts.push_back(r.byteStart);
    }
}

}  // namespace

AttemptOutcome DecodeRecord() {
    decoder::TakeSettings(decoder::reader);
    decoder::reader.imageBytes = image.byteCount;
    const RecordReading reading = DecodeRecord(decoder::reader, !settings.binaryOutput);
    for (std::uint8_t byte : reading.image) image.Append(byte);
    report = reading.report;
    return reading.outcome;
}

RecordReading DecodeRecord(decoder::Reader& r, bool gtpMode) {
    using decoder::ReadTapeByte;
    using decoder::Say;
    RecordReading reading;
    RecordReport& report = reading.report;
    if (r.exactValue == kTimingDecoder) {
        decoder::NextEdge(r);
    } else {
        decoder::FrameExactStart(r);
    }
    r.cursor.lastBoundary = r.cursor.position;
    Say(r, "\nStarting conversion\n\n");

    int leadIn = 0;
    std::uint8_t byte = 0;
    do {
        if (r.AtEnd()) {
            break;
        }
        byte = ReadTapeByte(r);
        ++leadIn;
    } while (byte == 0);
    if (leadIn == 0) {
        Say(r, "No lead found !\n");
        reading.outcome = AttemptOutcome::noLead;
        return reading;
    }
    report.leadIn = leadIn;
    report.sync = byte;
    if (leadIn < kFullLeadIn) {
        Say(r, "Short lead-in found (%i bytes)\n", leadIn);
    }
    std::uint8_t sum = byte;
    Weigh(reading, r);
    if (gtpMode) {
        for (std::size_t i = 0; i < gtp::kBlockHeaderSize; ++i) {
            Append(reading, r, 0);
        }
        Append(reading, r, byte);
    }
    if (byte != gtp::kSyncByte) {
        Say(r, "Got wrong SYNC Byte : $%02x !\n", byte);
    }
    auto readAddress = [&]() {
        const std::uint8_t low = ReadTapeByte(r);
        Weigh(reading, r);
        const std::uint8_t high = ReadTapeByte(r);
        Weigh(reading, r);
        sum = static_cast<std::uint8_t>(sum + low + high);
        if (gtpMode) {
            Append(reading, r, low);
            Append(reading, r, high);
        }
        return high * 256 + low;
    };
    const int start = readAddress();
    Say(r, "Starting Address: $%04x\n", start);
    const int end = readAddress();
    Say(r, "Ending Address+1: $%04x\n", end);
    Say(r, "Length of Data  : %i bytes\n", end - start);
    report.start = start;
    report.end = end;

    AttemptOutcome outcome = AttemptOutcome::bad;
    int remaining = end - start + 2;
    int read = 0;
    bool early = false;
    while (remaining > 0) {
        if (r.AtEnd()) {
            early = true;
            break;
        }
        const std::uint8_t b = ReadTapeByte(r);
        Append(reading, r, b);
        Weigh(reading, r);
        ++read;
        if (remaining >= 2) {
            sum = static_cast<std::uint8_t>(sum + b);
        }
        --remaining;
    }
    report.dataRead = read;
    report.early = early;
    report.sum = sum;
    if (early) {
        Say(r, "Premature END OF FILE ! Read %i bytes only!\n", read);
        decoder::NoteEnd(r, "Premature END OF FILE ! Read " + std::to_string(read) + " bytes only!");
    } else if (sum == gtp::kChecksumGood) {
        Say(r, "Succesfully read all bytes! \n");
        outcome = AttemptOutcome::good;
    } else {
        Say(r, "Read correct number of bytes but Checksum is wrong ($%02x)!\n", sum);
    }
    reading.outcome = outcome;
    return reading;
}

}  // namespace sonokas::output
