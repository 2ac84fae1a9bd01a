#include "tools/csw_writer.hpp"

#include <zlib.h>

#include "tools/audio_writer.hpp"

namespace tapegen {

namespace {

void PutLe(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

void PutRun(std::vector<std::uint8_t>& out, std::uint32_t length) {
    if (length >= 1 && length <= 255) {
        out.push_back(static_cast<std::uint8_t>(length));
    } else {
        out.push_back(0);
        PutLe(out, length, 4);
    }
}

}  // namespace

bool EncodeCsw(const std::vector<float>& signal, int sampleRate, const CswLayout& layout,
               std::vector<std::uint8_t>& bytes, std::string& error) {
    const bool second = layout.majorVersion == 2;
    if (second ? layout.minorVersion != 0 : layout.majorVersion != 1 || (layout.minorVersion != 0 && layout.minorVersion != 1)) {
        error = "CSW versions are 1.0, 1.1 and 2.0";
        return false;
    }
    if (sampleRate < 1 || (!second && sampleRate > 65535)) {
        error = "a CSW sample rate is 1 to 65535 Hz";
        return false;
    }
    const char signature[] = "Compressed Square Wave\x1A";
    bytes.assign(signature, signature + 23);
    bytes.push_back(static_cast<std::uint8_t>(layout.majorVersion));
    bytes.push_back(static_cast<std::uint8_t>(layout.minorVersion));
    if (second) {
        PutLe(bytes, static_cast<std::uint32_t>(sampleRate), 4);
        PutLe(bytes, 0, 4);  // pulse count, filled in below
        bytes.push_back(layout.packed ? 2 : 1);
        bytes.push_back(layout.startHigh ? 1 : 0);
        bytes.push_back(0);  // no header extension
        const char application[16] = "tapegen";
        bytes.insert(bytes.end(), application, application + 16);
    } else {
        PutLe(bytes, static_cast<std::uint32_t>(sampleRate), 2);
        bytes.push_back(1);  // run-length coding
        bytes.push_back(layout.startHigh ? 1 : 0);
        PutLe(bytes, 0, 3);
    }
    const std::size_t headerSize = bytes.size();

    // Version 1.0 always starts low, whatever the flag says.
    bool level = layout.startHigh && (second || layout.minorVersion == 1);
    std::uint32_t pulses = 0;
    std::uint32_t run = 0;
    for (const float value : signal) {
        const bool high = value > 0.0f;
        if (high != level) {
            PutRun(bytes, run);  // a first run of 0 just switches the level
            ++pulses;
            level = high;
            run = 0;
        }
        ++run;
    }
    if (run > 0) {
        PutRun(bytes, run);
        ++pulses;
    }
    if (!second) {
        return true;
    }
    for (int i = 0; i < 4; ++i) bytes[29 + i] = static_cast<std::uint8_t>(pulses >> (8 * i));
    if (layout.packed) {
        const std::vector<std::uint8_t> runs(bytes.begin() + static_cast<long>(headerSize), bytes.end());
        uLongf size = compressBound(static_cast<uLong>(runs.size()));
        std::vector<std::uint8_t> packed(size);
        if (compress2(packed.data(), &size, runs.data(), static_cast<uLong>(runs.size()), 9) != Z_OK) {
            error = "cannot pack the runs";
            return false;
        }
        bytes.resize(headerSize);
        bytes.insert(bytes.end(), packed.begin(), packed.begin() + static_cast<long>(size));
    }
    return true;
}

bool WriteCsw(const std::string& path, const std::vector<float>& signal, int sampleRate, const CswLayout& layout,
              std::string& error) {
    std::vector<std::uint8_t> bytes;
    if (!EncodeCsw(signal, sampleRate, layout, bytes, error)) {
        return false;
    }
    if (!WriteFile(path, bytes)) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

}  // namespace tapegen
