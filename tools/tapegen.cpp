// tapegen: writes the Galaksija tape signal of a record, or of a GTP file, as a sound file.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tools/audio_writer.hpp"
#include "tools/csw_writer.hpp"
#include "tools/voc_writer.hpp"
#include "tools/tape_signal.hpp"

namespace {

const char kUsage[] =
    "Usage: tapegen [options] OUTPUT.WAV|.VOC|.CSW\n"
    "\n"
    "Writes the tape signal of one record (or of every standard block of a GTP file)\n"
    "as a sound file that a Galaksija, or the converter, can read back. The output\n"
    "file's extension picks the format: .wav (default), .voc or .csw.\n"
    "\n"
    "Record:\n"
    "  --gtp FILE         play the standard blocks of a GTP file (one record each)\n"
    "  --start ADDR       start address (default 0x2c36)\n"
    "  --bytes HEX        data bytes as hex digits, for example 0102ff\n"
    "  --data FILE        data bytes from a file\n"
    "  --random N         N random data bytes (see --seed)\n"
    "  --lead N           zero bytes of lead-in (default 100)\n"
    "  --sync BYTE        sync byte (default 0xa5)\n"
    "  --bad-checksum     spoil the checksum byte\n"
    "Sound:\n"
    "  --rate HZ          sample rate (default 44100)\n"
    "  --bits 8|16        sample width (default 16)\n"
    "  --channels 1|2     mono or stereo (default 1)\n"
    "  --amplitude F      peak level, 0 to 1 (default 1)\n"
    "  --invert           inverted polarity\n"
    "  --noise F          added noise, 0 to 1 of full scale (default 0)\n"
    "  --drift F          speed change over the recording, e.g. 0.03 ends 3% slower\n"
    "  --silence S        seconds of silence before the signal (default 0.1)\n"
    "  --seed N           seed of the noise and of --random (default 1)\n"
    "Creative Voice (.voc):\n"
    "  --voc-block 1|9    sound block type (default 1): 1 holds 8-bit mono at the rate\n"
    "                     1000000/(256-n) nearest to --rate; 9 any --bits and --channels\n"
    "  --voc-split BYTES  data bytes per sound block; the rest follows in type 2 blocks\n"
    "  --voc-silence      a silence block before the sound\n"
    "  --voc-text         a text block after the header\n"
    "  --voc-repeat N     N nested repeat loops (1 to 32) play the leading silence\n"
    "Compressed Square Wave (.csw), high wherever the signal is above 0:\n"
    "  --csw-version V    1.0 or 1.1 (default 1.1)\n"
    "  --csw-start-high   set the start-high flag (a 1.1 file then starts high)\n";

// The output format, by the file's extension (upper or lower case).
enum class OutputKind { wav, voc, csw };

OutputKind KindOf(const std::string& path) {
    const auto dot = path.rfind('.');
    std::string extension = dot == std::string::npos ? "" : path.substr(dot + 1);
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (extension == "voc") return OutputKind::voc;
    if (extension == "csw") return OutputKind::csw;
    return OutputKind::wav;
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "tapegen: %s\n", message.c_str());
    return 2;
}

bool ParseHex(const std::string& text, std::vector<std::uint8_t>& bytes) {
    if (text.size() % 2 != 0) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); i += 2) {
        char* end = nullptr;
        const std::string pair = text.substr(i, 2);
        const long value = std::strtol(pair.c_str(), &end, 16);
        if (*end != '\0') {
            return false;
        }
        bytes.push_back(static_cast<std::uint8_t>(value));
    }
    return true;
}

bool ReadAll(const std::string& path, std::vector<std::uint8_t>& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    std::uint8_t chunk[4096];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    std::fclose(file);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    tapegen::TapeRecord record;
    tapegen::SignalOptions options;
    tapegen::PcmFormat format;
    std::string gtpPath;
    std::string output;
    long randomCount = 0;
    tapegen::VocLayout vocLayout;
    tapegen::CswLayout cswLayout;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        auto number = [&](double& out) {
            const char* text = value();
            if (text == nullptr) return false;
            char* end = nullptr;
            out = std::strtod(text, &end);
            return *end == '\0';
        };
        double n = 0;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--gtp") {
            const char* text = value();
            if (text == nullptr) return Fail("--gtp needs a file");
            gtpPath = text;
        } else if (arg == "--start") {
            const char* text = value();
            if (text == nullptr) return Fail("--start needs an address");
            record.start = static_cast<std::uint16_t>(std::strtoul(text, nullptr, 0));
        } else if (arg == "--bytes") {
            const char* text = value();
            if (text == nullptr || !ParseHex(text, record.data)) return Fail("--bytes needs hex digits in pairs");
        } else if (arg == "--data") {
            const char* text = value();
            if (text == nullptr || !ReadAll(text, record.data)) return Fail("cannot read the --data file");
        } else if (arg == "--random") {
            if (!number(n) || n < 0 || n > 65535) return Fail("--random needs a count from 0 to 65535");
            randomCount = static_cast<long>(n);
        } else if (arg == "--lead") {
            if (!number(n) || n < 0 || n > 100000) return Fail("--lead needs a count");
            record.leadIn = static_cast<int>(n);
        } else if (arg == "--sync") {
            const char* text = value();
            if (text == nullptr) return Fail("--sync needs a byte");
            record.sync = static_cast<std::uint8_t>(std::strtoul(text, nullptr, 0));
        } else if (arg == "--bad-checksum") {
            record.checksumError = 1;
        } else if (arg == "--rate") {
            if (!number(n) || n < 1000 || n > 1000000) return Fail("--rate needs 1000 to 1000000 Hz");
            format.sampleRate = static_cast<int>(n);
        } else if (arg == "--bits") {
            if (!number(n) || (n != 8 && n != 16)) return Fail("--bits takes 8 or 16");
            format.bits = static_cast<int>(n);
        } else if (arg == "--channels") {
            if (!number(n) || (n != 1 && n != 2)) return Fail("--channels takes 1 or 2");
            format.channels = static_cast<int>(n);
        } else if (arg == "--amplitude") {
            if (!number(n) || n < 0 || n > 1) return Fail("--amplitude takes 0 to 1");
            options.amplitude = n;
        } else if (arg == "--invert") {
            options.inverted = true;
        } else if (arg == "--noise") {
            if (!number(n) || n < 0 || n > 1) return Fail("--noise takes 0 to 1");
            options.noise = n;
        } else if (arg == "--drift") {
            if (!number(n) || n <= -0.5 || n >= 0.5) return Fail("--drift takes -0.5 to 0.5");
            options.drift = n;
        } else if (arg == "--silence") {
            if (!number(n) || n < 0 || n > 3600) return Fail("--silence takes 0 to 3600 seconds");
            options.leadingSilence = n;
        } else if (arg == "--seed") {
            if (!number(n) || n < 0) return Fail("--seed needs a number");
            options.seed = static_cast<std::uint32_t>(n);
        } else if (arg == "--voc-block") {
            if (!number(n) || (n != 1 && n != 9)) return Fail("--voc-block takes 1 or 9");
            vocLayout.soundBlock = static_cast<int>(n);
        } else if (arg == "--voc-split") {
            if (!number(n) || n < 1 || n > 0xFFFF00) return Fail("--voc-split takes 1 to 16776960 bytes");
            vocLayout.blockBytes = static_cast<std::uint32_t>(n);
        } else if (arg == "--voc-silence") {
            vocLayout.silenceBlock = true;
        } else if (arg == "--voc-text") {
            vocLayout.textBlock = true;
        } else if (arg == "--voc-repeat") {
            if (!number(n) || n < 1 || n > 32) return Fail("--voc-repeat takes 1 to 32 loops");
            vocLayout.repeatDepth = static_cast<int>(n);
        } else if (arg == "--csw-version") {
            const char* text = value();
            const std::string version = text == nullptr ? "" : text;
            if (version != "1.0" && version != "1.1") return Fail("--csw-version takes 1.0 or 1.1");
            cswLayout.minorVersion = version == "1.0" ? 0 : 1;
        } else if (arg == "--csw-start-high") {
            cswLayout.startHigh = true;
        } else if (!arg.empty() && arg[0] == '-') {
            return Fail("unknown option " + arg + " (see --help)");
        } else if (output.empty()) {
            output = arg;
        } else {
            return Fail("only one output file");
        }
    }
    if (output.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (randomCount > 0) {
        std::mt19937 random(options.seed);
        for (long i = 0; i < randomCount; ++i) {
            record.data.push_back(static_cast<std::uint8_t>(random()));
        }
    }
    std::vector<std::vector<std::uint8_t>> records;
    if (!gtpPath.empty()) {
        std::vector<std::vector<std::uint8_t>> payloads;
        if (!tapegen::ReadGtpPayloads(gtpPath, payloads)) return Fail("cannot read " + gtpPath);
        for (auto& payload : payloads) {
            std::vector<std::uint8_t> bytes(static_cast<std::size_t>(record.leadIn), 0);
            bytes.insert(bytes.end(), payload.begin(), payload.end());
            records.push_back(std::move(bytes));
        }
        if (records.empty()) return Fail(gtpPath + " holds no standard block");
    } else {
        if (record.data.size() > 65535) return Fail("a record holds at most 65535 data bytes");
        records.push_back(tapegen::RecordBytes(record));
    }
    const auto pulses = tapegen::LayOutPulses(records, options);
    const auto signal = tapegen::RenderPulses(pulses, format.sampleRate, options);
    std::string error;
    switch (KindOf(output)) {
        case OutputKind::voc:
            if (!tapegen::WriteVoc(output, signal, format, vocLayout, error)) return Fail(error);
            break;
        case OutputKind::csw:
            if (!tapegen::WriteCsw(output, signal, format.sampleRate, cswLayout, error)) return Fail(error);
            break;
        case OutputKind::wav:
            if (!tapegen::WriteWav(output, signal, format)) return Fail("cannot write " + output);
            break;
    }
    return 0;
}
