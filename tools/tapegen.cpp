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
    "  --help, -h         print this help and exit; --version prints the version\n"
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
    "  --name-program N   a program header record named N before the record\n"
    "  --line N           line number in the program header (default 0)\n"
    "  --repeat N         play the record(s) N times (default 1)\n"
    "  --gap S            seconds between records (default 1)\n"
    "  --gtp-out FILE     also write the records played as a GTP file\n"
    "Timing and pulse shape:\n"
    "  --style ours|foreign  our signal, or the independent encoder's (slot 0.0034,\n"
    "                     middle 0.0017, last slot 0.0085, amplitude 0.7, flat lobes\n"
    "                     of 0.00068, negative first); put it before other options\n"
    "  --slot S           bit slot (default 0.0031)\n"
    "  --middle S         from a slot's pulse to a 1 bit's middle pulse (default 0.00155)\n"
    "  --last-slot S      eighth slot plus the pause between bytes (default 0.0073)\n"
    "  --speed F          time scale: 1.08 makes every time 8% longer (tape 8% slow)\n"
    "  --wow D            speed wobble of +-D (0.02 is 2%), sinusoidal\n"
    "  --wow-rate HZ      wobble rate (default 1.5)\n"
    "  --shape ours|flat  pulse shape (default ours)\n"
    "  --lobe S           flat shape: each lobe's flat top (default 0.00068)\n"
    "  --ramp S           flat shape: ramp between 0 and a lobe (default 0.00005)\n"
    "  --negative-first   flat shape: the negative lobe first\n"
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
    "  --silent-channel left|right  with --channels 2, one channel holds silence\n"
    "Damage, in this order:\n"
    "  --level DB         gain in dB on top of --amplitude\n"
    "  --dropout T:D:DB   D seconds from second T at DB (e.g. 1.5:0.004:-20); repeatable\n"
    "  --gap-fill KIND    between records: silence (default), noise, clicks or hum\n"
    "  --gap-level DB     noise RMS, click height or hum peak there (default -20)\n"
    "  --high-pass HZ     first-order high-pass (droop)\n"
    "  --low-pass HZ      two-pole Butterworth low-pass\n"
    "  --snr DB           Gaussian noise, DB below the RMS of the records' signal\n"
    "  --hum DB           50 Hz hum, peak in dB of full scale\n"
    "  --hum-freq HZ      hum frequency (default 50)\n"
    "  --dc F             DC offset, fraction of full scale\n"
    "  --cut-at S         the recording ends at second S\n"
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
    std::string programName;
    bool named = false;
    std::uint16_t programLine = 0;
    int repeat = 1;
    std::string gtpOut;
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
        } else if (arg == "--version") {
            std::printf("tapegen %s\n", TAPE_TOOLS_VERSION);
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
        } else if (arg == "--name-program") {
            const char* text = value();
            if (text == nullptr || std::strlen(text) > 20) return Fail("--name-program needs a name of up to 20 characters");
            programName = text;
            named = true;
        } else if (arg == "--line") {
            if (!number(n) || n < 0 || n > 65535) return Fail("--line takes 0 to 65535");
            programLine = static_cast<std::uint16_t>(n);
        } else if (arg == "--repeat") {
            if (!number(n) || n < 1 || n > 1000) return Fail("--repeat takes 1 to 1000");
            repeat = static_cast<int>(n);
        } else if (arg == "--gap") {
            if (!number(n) || n < 0 || n > 3600) return Fail("--gap takes 0 to 3600 seconds");
            options.gap = n;
        } else if (arg == "--gtp-out") {
            const char* text = value();
            if (text == nullptr) return Fail("--gtp-out needs a file");
            gtpOut = text;
        } else if (arg == "--style") {
            const char* text = value();
            const std::string style = text == nullptr ? "" : text;
            if (style != "ours" && style != "foreign") return Fail("--style takes ours or foreign");
            const tapegen::SignalOptions preset = style == "ours" ? tapegen::SignalOptions{} : tapegen::ForeignEncoderOptions();
            options.slot = preset.slot, options.middle = preset.middle, options.lastSlot = preset.lastSlot;
            options.amplitude = preset.amplitude, options.shape = preset.shape, options.lobe = preset.lobe;
            options.ramp = preset.ramp, options.negativeFirst = preset.negativeFirst;
        } else if (arg == "--slot" || arg == "--middle" || arg == "--last-slot" || arg == "--lobe" || arg == "--ramp") {
            if (!number(n) || n < 0 || n > 1) return Fail(arg + " takes 0 to 1 second");
            (arg == "--slot" ? options.slot : arg == "--middle" ? options.middle : arg == "--last-slot" ? options.lastSlot
             : arg == "--lobe" ? options.lobe : options.ramp) = n;
        } else if (arg == "--speed") {
            if (!number(n) || n < 0.25 || n > 4) return Fail("--speed takes 0.25 to 4");
            options.timeScale = n;
        } else if (arg == "--wow") {
            if (!number(n) || n < 0 || n > 0.5) return Fail("--wow takes 0 to 0.5");
            options.wowDepth = n;
        } else if (arg == "--wow-rate" || arg == "--hum-freq") {
            if (!number(n) || n <= 0 || n > 20000) return Fail(arg + " takes a frequency above 0 Hz");
            (arg == "--wow-rate" ? options.wowRate : options.humFrequency) = n;
        } else if (arg == "--shape") {
            const char* text = value();
            const std::string shape = text == nullptr ? "" : text;
            if (shape != "ours" && shape != "flat") return Fail("--shape takes ours or flat");
            options.shape = shape == "flat" ? tapegen::PulseShape::flat : tapegen::PulseShape::ours;
        } else if (arg == "--negative-first") {
            options.negativeFirst = true;
        } else if (arg == "--silent-channel") {
            const char* text = value();
            const std::string channel = text == nullptr ? "" : text;
            if (channel != "left" && channel != "right") return Fail("--silent-channel takes left or right");
            format.silentChannel = channel == "left" ? 0 : 1;
        } else if (arg == "--level" || arg == "--gap-level" || arg == "--snr" || arg == "--hum") {
            if (!number(n) || n < -200 || n > 200) return Fail(arg + " takes dB from -200 to 200");
            if (arg == "--level") options.levelDb = n;
            if (arg == "--gap-level") options.gapLevelDb = n;
            if (arg == "--snr") options.snrDb = n;
            if (arg == "--hum") options.humDb = n;
        } else if (arg == "--dropout") {
            const char* text = value();
            tapegen::Dropout dropout;
            if (text == nullptr || std::sscanf(text, "%lf:%lf:%lf", &dropout.time, &dropout.duration,
                                               &dropout.attenuationDb) != 3) {
                return Fail("--dropout takes TIME:DURATION:DB");
            }
            options.dropouts.push_back(dropout);
        } else if (arg == "--gap-fill") {
            const char* text = value();
            const std::string fill = text == nullptr ? "" : text;
            if (fill == "silence") options.gapFill = tapegen::GapFill::silence;
            else if (fill == "noise") options.gapFill = tapegen::GapFill::noise;
            else if (fill == "clicks") options.gapFill = tapegen::GapFill::clicks;
            else if (fill == "hum") options.gapFill = tapegen::GapFill::hum;
            else return Fail("--gap-fill takes silence, noise, clicks or hum");
        } else if (arg == "--high-pass" || arg == "--low-pass") {
            if (!number(n) || n <= 0 || n > 100000) return Fail(arg + " takes a cutoff above 0 Hz");
            (arg == "--high-pass" ? options.highPassHz : options.lowPassHz) = n;
        } else if (arg == "--dc") {
            if (!number(n) || n < -1 || n > 1) return Fail("--dc takes -1 to 1");
            options.dcOffset = n;
        } else if (arg == "--cut-at") {
            if (!number(n) || n <= 0) return Fail("--cut-at takes seconds above 0");
            options.cutAt = n;
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
    // Payloads from the sync byte on; each record is its lead-in and a payload.
    std::vector<std::vector<std::uint8_t>> payloads;
    if (!gtpPath.empty()) {
        if (!tapegen::ReadGtpPayloads(gtpPath, payloads)) return Fail("cannot read " + gtpPath);
        if (payloads.empty()) return Fail(gtpPath + " holds no standard block");
    } else {
        if (record.data.size() > 65535) return Fail("a record holds at most 65535 data bytes");
        if (named) {
            payloads = tapegen::NamedProgramPayloads(programName, programLine, record);
        } else {
            payloads.push_back(tapegen::RecordPayload(record));
        }
    }
    const auto once = payloads;
    for (int copy = 1; copy < repeat; ++copy) payloads.insert(payloads.end(), once.begin(), once.end());
    std::vector<std::vector<std::uint8_t>> records;
    for (const auto& payload : payloads) {
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(record.leadIn), 0);
        bytes.insert(bytes.end(), payload.begin(), payload.end());
        records.push_back(std::move(bytes));
    }
    if (!gtpOut.empty() && !tapegen::WriteFile(gtpOut, tapegen::GtpStandardBlocks(payloads))) {
        return Fail("cannot write " + gtpOut);
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
