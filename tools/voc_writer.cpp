#include "tools/voc_writer.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tapegen {

namespace {

void PutLe(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

void BlockHeader(std::vector<std::uint8_t>& out, std::uint8_t type, std::uint32_t length) {
    out.push_back(type);
    PutLe(out, length, 3);
}

struct SoundWriter {
    const PcmFormat& format;
    const VocLayout& layout;
    const std::vector<std::uint8_t>& pcm;
    std::vector<std::uint8_t>& out;
    bool formatGiven = false;  // a type 1 or type 9 block has set rate and format

    // PCM bytes [from, to) as one sound block: the first one with its format, later ones as continuations.
    void Block(std::size_t from, std::size_t to) {
        const auto size = static_cast<std::uint32_t>(to - from);
        if (formatGiven) {
            BlockHeader(out, 2, size);
        } else if (layout.soundBlock == 1) {
            BlockHeader(out, 1, size + 2);
            out.push_back(VocTimeConstant(format.sampleRate));
            out.push_back(0);  // pack 0: plain 8-bit PCM
        } else {
            BlockHeader(out, 9, size + 12);
            PutLe(out, static_cast<std::uint32_t>(format.sampleRate), 4);
            out.push_back(static_cast<std::uint8_t>(format.bits));
            out.push_back(static_cast<std::uint8_t>(format.channels));
            PutLe(out, format.bits == 8 ? 0x0000 : 0x0004, 2);  // codec: unsigned 8-bit or signed 16-bit PCM
            PutLe(out, 0, 4);
        }
        formatGiven = true;
        out.insert(out.end(), pcm.begin() + static_cast<std::ptrdiff_t>(from), pcm.begin() + static_cast<std::ptrdiff_t>(to));
    }

    // Bytes [from, to) in blocks of at most layout.blockBytes.
    void Blocks(std::size_t from, std::size_t to, std::size_t blockBytes) {
        while (from < to) {
            const std::size_t end = std::min(to, from + blockBytes);
            Block(from, end);
            from = end;
        }
    }
};

}  // namespace

std::uint8_t VocTimeConstant(int sampleRate) {
    const long divisor = std::lround(1000000.0 / std::max(sampleRate, 1));
    return static_cast<std::uint8_t>(256 - std::clamp(divisor, 1L, 256L));
}

bool EncodeVoc(const std::vector<float>& signal, const PcmFormat& format, const VocLayout& layout,
               std::vector<std::uint8_t>& bytes, std::string& error) {
    if (layout.soundBlock != 1 && layout.soundBlock != 9) {
        error = "VOC sound blocks are of type 1 or 9";
        return false;
    }
    if (layout.soundBlock == 1 && (format.bits != 8 || format.channels != 1)) {
        error = "VOC type 1 blocks hold 8-bit mono sound (use --bits 8 --channels 1, or type 9)";
        return false;
    }
    if (layout.repeatDepth < 0 || layout.repeatDepth > 32) {
        error = "VOC repeat loops nest 0 to 32 deep";
        return false;
    }
    const std::size_t frameBytes = static_cast<std::size_t>(format.bits / 8 * format.channels);
    const std::size_t blockBytes = std::min<std::size_t>(layout.blockBytes, 0xFFFF00) / frameBytes * frameBytes;
    if (blockBytes == 0) {
        error = "a VOC sound block must hold at least one frame";
        return false;
    }
    const std::vector<std::uint8_t> pcm = EncodePcm(signal, format);

    const char signature[] = "Creative Voice File\x1A";
    bytes.assign(signature, signature + 20);
    PutLe(bytes, 26, 2);
    const std::uint32_t version = layout.soundBlock == 9 ? 0x0114 : 0x010A;
    PutLe(bytes, version, 2);
    PutLe(bytes, (0x1233 - version) & 0xFFFF, 2);

    if (layout.textBlock) {
        const char text[] = "tapegen";
        BlockHeader(bytes, 5, sizeof text);
        bytes.insert(bytes.end(), text, text + sizeof text);
    }
    if (layout.silenceBlock) {
        BlockHeader(bytes, 3, 3);
        PutLe(bytes, static_cast<std::uint32_t>(std::clamp(format.sampleRate / 10, 1, 65536) - 1), 2);
        bytes.push_back(VocTimeConstant(format.sampleRate));
    }

    SoundWriter writer{format, layout, pcm, bytes};
    std::size_t played = 0;
    if (layout.repeatDepth > 0) {
        // The leading frames that equal the first one are played by nested loops around
        // one short block: the outer loop three times, every inner one twice.
        std::size_t same = 0;
        while (same * frameBytes < pcm.size() &&
               std::memcmp(pcm.data() + same * frameBytes, pcm.data(), frameBytes) == 0) {
            ++same;
        }
        const std::size_t passes = 3 * (std::size_t{1} << (layout.repeatDepth - 1));
        const std::size_t chunk = std::min(same / passes, blockBytes / frameBytes);
        if (chunk == 0) {
            error = "the leading silence is too short, or not silent, for " + std::to_string(layout.repeatDepth) + " repeat loops";
            return false;
        }
        for (int level = 0; level < layout.repeatDepth; ++level) {
            BlockHeader(bytes, 6, 2);
            PutLe(bytes, level == 0 ? 3 : 2, 2);
        }
        writer.Block(0, chunk * frameBytes);
        for (int level = 0; level < layout.repeatDepth; ++level) {
            BlockHeader(bytes, 7, 0);
        }
        played = chunk * passes * frameBytes;
    }
    writer.Blocks(played, pcm.size(), blockBytes);
    bytes.push_back(0);  // terminator
    return true;
}

bool WriteVoc(const std::string& path, const std::vector<float>& signal, const PcmFormat& format,
              const VocLayout& layout, std::string& error) {
    std::vector<std::uint8_t> bytes;
    if (!EncodeVoc(signal, format, layout, bytes, error)) {
        return false;
    }
    if (!WriteFile(path, bytes)) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

}  // namespace tapegen
