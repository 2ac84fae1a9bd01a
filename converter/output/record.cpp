#include "converter/output/record.hpp"

#include <cstdio>

#include "converter/decoder/cursor.hpp"
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

AttemptOutcome DecodeRecord() {
    using decoder::cursor;
    using decoder::ReadTapeByte;
    report = RecordReport{};
    if (settings.exactValue == kTimingDecoder) {
        decoder::NextEdge();
    } else {
        decoder::FrameExactStart();
    }
    cursor.lastBoundary = cursor.position;
    std::printf("\nStarting conversion\n\n");

    int leadIn = 0;
    std::uint8_t byte = 0;
    do {
        if (decoder::AtEnd()) {
            break;
        }
        byte = ReadTapeByte();
        ++leadIn;
    } while (byte == 0);
    if (leadIn == 0) {
        std::printf("No lead found !\n");
        return AttemptOutcome::noLead;
    }
    report.leadIn = leadIn;
    report.sync = byte;
    if (leadIn < kFullLeadIn) {
        std::printf("Short lead-in found (%i bytes)\n", leadIn);
    }
    std::uint8_t sum = byte;
    const bool gtpMode = !settings.binaryOutput;
    if (gtpMode) {
        for (std::size_t i = 0; i < gtp::kBlockHeaderSize; ++i) {
            image.Append(0);
        }
        image.Append(byte);
    }
    if (byte != gtp::kSyncByte) {
        std::printf("Got wrong SYNC Byte : $%02x !\n", byte);
    }
    auto readAddress = [&]() {
        const std::uint8_t low = ReadTapeByte();
        const std::uint8_t high = ReadTapeByte();
        sum = static_cast<std::uint8_t>(sum + low + high);
        if (gtpMode) {
            image.Append(low);
            image.Append(high);
        }
        return high * 256 + low;
    };
    const int start = readAddress();
    std::printf("Starting Address: $%04x\n", start);
    const int end = readAddress();
    std::printf("Ending Address+1: $%04x\n", end);
    std::printf("Length of Data  : %i bytes\n", end - start);
    report.start = start;
    report.end = end;

    AttemptOutcome outcome = AttemptOutcome::bad;
    int remaining = end - start + 2;
    int read = 0;
    bool early = false;
    while (remaining > 0) {
        if (decoder::AtEnd()) {
            early = true;
            break;
        }
        const std::uint8_t b = ReadTapeByte();
        image.Append(b);
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
        std::printf("Premature END OF FILE ! Read %i bytes only!\n", read);
    } else if (sum == gtp::kChecksumGood) {
        std::printf("Succesfully read all bytes! \n");
        outcome = AttemptOutcome::good;
    } else {
        std::printf("Read correct number of bytes but Checksum is wrong ($%02x)!\n", sum);
    }
    return outcome;
}

}  // namespace sonokas::output
