#include "tools/ladder.hpp"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <set>

namespace tapegen {

std::vector<LadderRecord> LadderRecords() {
    TapeRecord pair;
    pair.start = 0x3000;
    pair.data = {0x3A, 0xC5};

    // Memory from 0x2C36: the first line's address, the text end, then the lines, each a line
    // number (low byte first), its text and a carriage return.
    TapeRecord basic;
    basic.start = 0x2C36;
    const char* lines[] = {"PRINT \"DAMAGE LADDER\"", "FOR I=1 TO 10", "PRINT I, I*I", "NEXT I", "GOTO 10"};
    std::vector<std::uint8_t> text;
    for (int i = 0; i < 5; ++i) {
        const int number = 10 * (i + 1);
        text.push_back(static_cast<std::uint8_t>(number));
        text.push_back(0);
        for (const char* c = lines[i]; *c != '\0'; ++c) text.push_back(static_cast<std::uint8_t>(*c));
        text.push_back(0x0D);
    }
    const unsigned first = 0x2C3A, end = first + static_cast<unsigned>(text.size());
    basic.data = {static_cast<std::uint8_t>(first & 0xFF), static_cast<std::uint8_t>(first >> 8),
                  static_cast<std::uint8_t>(end & 0xFF), static_cast<std::uint8_t>(end >> 8)};
    basic.data.insert(basic.data.end(), text.begin(), text.end());

    TapeRecord random;
    random.start = 0x4000;
    std::mt19937 generator(14);
    for (int i = 0; i < 4096; ++i) random.data.push_back(static_cast<std::uint8_t>(generator()));

    return {{"2 bytes", pair}, {"BASIC program", basic}, {"4 KiB random", random}};
}

std::vector<Rung> LadderRungs() {
    using Damage = std::function<void(RungSetup&, const TapeRecord&)>;
    auto signal = [](std::function<void(SignalOptions&)> set) -> Damage {
        return [set](RungSetup& setup, const TapeRecord&) { set(setup.signal); };
    };
    auto speed = [&](double percent) { return signal([=](SignalOptions& o) { o.timeScale = 1 - percent / 100; }); };
    auto level = [&](double db) { return signal([=](SignalOptions& o) { o.levelDb = db; }); };
    auto snr = [&](double db) { return signal([=](SignalOptions& o) { o.snrDb = db; }); };
    auto highPass = [&](double hz) { return signal([=](SignalOptions& o) { o.highPassHz = hz; }); };
    auto lowPass = [&](double hz) { return signal([=](SignalOptions& o) { o.lowPassHz = hz; }); };
    auto wow = [&](double percent) { return signal([=](SignalOptions& o) { o.wowDepth = percent / 100; }); };
    auto silent = [](int channel) -> Damage {
        return [channel](RungSetup& setup, const TapeRecord&) { setup.format.channels = 2, setup.format.silentChannel = channel; };
    };
    auto copy = [](std::string kind, double level) -> Damage {
        return [=](RungSetup& setup, const TapeRecord&) { setup.copy = kind, setup.copyLevel = level; };
    };
    auto head = [&](Head kind, double hz, double q) {
        return signal([=](SignalOptions& o) { o.head = kind, o.headHz = hz, o.headQ = q; });
    };
    auto azimuth = [&](int sections, double hz) {
        return signal([=](SignalOptions& o) { o.allPassSections = sections, o.allPassHz = hz; });
    };
    auto flutter = [&](double percent, double hz) {
        return signal([=](SignalOptions& o) { o.wowDepth = percent / 100, o.wowRate = hz; });
    };
    auto hiss = [&](double db) { return signal([=](SignalOptions& o) { o.hissSnrDb = db; }); };
    // The pulses' peak at `db` of full scale, whichever signal's level they start from.
    auto quiet = [](int bits, double db) -> Damage {
        return [=](RungSetup& setup, const TapeRecord&) {
            setup.signal.levelDb = db - 20 * std::log10(setup.signal.amplitude);
            setup.format.bits = bits, setup.format.floating = bits == 32;
        };
    };
    auto rate = [](int fileRate, int recordedRate) -> Damage {
        return [=](RungSetup& setup, const TapeRecord&) {
            setup.format.sampleRate = fileRate, setup.recordedRate = recordedRate;
        };
    };
    const std::vector<std::pair<std::string, Damage>> damages = {
        {"undamaged", [](RungSetup&, const TapeRecord&) {}},
        {"speed -12 %", speed(-12)}, {"speed -8 %", speed(-8)}, {"speed -5 %", speed(-5)}, {"speed -4 %", speed(-4)},
        {"speed +4 %", speed(4)}, {"speed +5 %", speed(5)}, {"speed +8 %", speed(8)}, {"speed +12 %", speed(12)},
        {"level -6 dB", level(-6)}, {"level -12 dB", level(-12)}, {"level -20 dB", level(-20)},
        {"level -30 dB", level(-30)},
        {"noise 30 dB SNR", snr(30)}, {"noise 20 dB SNR", snr(20)}, {"noise 14 dB SNR", snr(14)},
        {"noise 10 dB SNR", snr(10)},
        {"high-pass 50 Hz", highPass(50)}, {"high-pass 200 Hz", highPass(200)}, {"high-pass 500 Hz", highPass(500)},
        {"low-pass 6000 Hz", lowPass(6000)}, {"low-pass 3500 Hz", lowPass(3500)},
        {"wow 0.5 % at 1.5 Hz", wow(0.5)}, {"wow 1 % at 1.5 Hz", wow(1)}, {"wow 2 % at 1.5 Hz", wow(2)},
        {"DC offset 20 %", signal([](SignalOptions& o) { o.dcOffset = 0.2; })},
        {"inverted polarity", signal([](SignalOptions& o) { o.inverted = !o.inverted; })},
        {"hum 50 Hz at -20 dB", signal([](SignalOptions& o) { o.humDb = -20; })},
        {"8-bit 22050 Hz", [](RungSetup& setup, const TapeRecord&) { setup.format.bits = 8, setup.format.sampleRate = 22050; }},
        {"stereo, left silent", silent(0)}, {"stereo, right silent", silent(1)},
        // In the middle of the data bytes, from the third slot of a byte on.
        {"dropout 4 ms at -20 dB",
         [](RungSetup& setup, const TapeRecord& record) {
             const std::size_t byte = static_cast<std::size_t>(record.leadIn) + 5 + record.data.size() / 2;
             setup.signal.dropouts = {{SlotTime(setup.signal, byte, 2), 0.004, -20}};
         }},
        {"mix: speed +6 %, -12 dB, 20 dB SNR, high-pass 200 Hz, DC 10 %",
         signal([](SignalOptions& o) {
             o.timeScale = 0.94, o.levelDb = -12, o.snrDb = 20, o.highPassHz = 200, o.dcOffset = 0.1;
         })},

        // Lossy copies: the codec keeps what the ear hears and blurs the pulses' edges; at low
        // rates it cuts the top of the band and smears pre-echo around each edge.
        {"MP3 128 kbit/s", copy("mp3", 128)}, {"MP3 64 kbit/s", copy("mp3", 64)}, {"MP3 32 kbit/s", copy("mp3", 32)},
        {"Ogg Vorbis q4", copy("ogg", 0.4)}, {"Ogg Vorbis q0", copy("ogg", 0)},
        // The playback head (see Head): played without the equalisation the recording needed,
        // through the gap's loss, or ringing with the cable.
        {"differentiating head, gap loss at 8000 Hz", head(Head::differentiating, 8000, 0)},
        {"integrating head above 300 Hz", head(Head::integrating, 300, 0)},
        {"resonant head at 4000 Hz, Q 4", head(Head::resonant, 4000, 4)},
        {"resonant head at 2000 Hz, Q 3", head(Head::resonant, 2000, 3)},
        {"azimuth: 2 all-pass sections at 1500 Hz", azimuth(2, 1500)},
        {"azimuth: 4 all-pass sections at 3000 Hz", azimuth(4, 3000)},
        // Quiet recordings, set well clear of clipping: the pulses use few of the card's steps.
        {"24-bit, peak -40 dBFS", quiet(24, -40)}, {"24-bit, peak -50 dBFS", quiet(24, -50)},
        {"16-bit, peak -40 dBFS", quiet(16, -40)}, {"32-bit float, peak -60 dBFS", quiet(32, -60)},
        // The transport: a capstan's or pinch roller's fast wobble, and a motor that slows as its
        // batteries fade.
        {"flutter 0.3 % at 8 Hz", flutter(0.3, 8)}, {"flutter 1 % at 12 Hz", flutter(1, 12)},
        {"drift to 4 % slow", signal([](SignalOptions& o) { o.drift = 0.04; })},
        // A cassette stored for decades: one turn of the reel near its hub is 1.5 s of tape at
        // 4.76 cm/s; the ghost of a lead-in sounds before the lead-in itself.
        {"print-through 1.5 s, -30 dB", signal([](SignalOptions& o) {
             o.printThroughDb = -30, o.printThroughDelay = 1.5, o.leadingSilence = 2;
         })},
        {"crosstalk of the other track at -20 dB", signal([](SignalOptions& o) { o.crosstalkDb = -20; })},
        // Played through the deck's speaker into a microphone: the room's reflection comes later,
        // duller and weaker; it lays weaker pulses between the lead-in's own.
        {"room echo 25 ms at -6 dB", signal([](SignalOptions& o) { o.roomEchoDb = -6, o.roomEchoDelay = 0.025; })},
        {"room echo 40 ms at -10 dB", signal([](SignalOptions& o) { o.roomEchoDb = -10, o.roomEchoDelay = 0.040; })},
        // A hall's hard wall: the reflection keeps its treble, a copy of the sound.
        {"room echo 40 ms at -6 dB off a hard wall",
         signal([](SignalOptions& o) { o.roomEchoDb = -6, o.roomEchoDelay = 0.040, o.roomEchoHz = 20000; })},
        // The same room's reverberation: a dense tail of reflections, dying away in half a second.
        {"room reverberation 0.5 s at -6 dB", signal([](SignalOptions& o) { o.reverbDb = -6, o.reverbTime = 0.5; })},
        {"pink hiss 20 dB SNR", hiss(20)}, {"pink hiss 12 dB SNR", hiss(12)},
        {"crackle 3 clicks a second", signal([](SignalOptions& o) { o.crackleRate = 3, o.crackleLevel = 0.6; })},
        {"tape saturation, drive 3", signal([](SignalOptions& o) { o.saturationDrive = 3; })},
        // An overdriven card whose input stage has less headroom on one side.
        {"clipping at +0.4 and -0.9", signal([](SignalOptions& o) { o.clipPositive = 0.4, o.clipNegative = -0.9; })},
        // The recorder's level control raises the source's noise in the pauses and lets the
        // first pulses after them through too loud.
        {"level control, release 0.1 s, noise -50 dB between records", signal([](SignalOptions& o) {
             o.alcRelease = 0.1, o.gapFill = GapFill::noise, o.gapLevelDb = -50;
         })},
        {"48000 Hz", rate(48000, 0)}, {"11025 Hz", rate(11025, 0)},
        {"recorded at 48000 Hz, converted to 44100 Hz", rate(44100, 48000)},
        {"recorded at 11025 Hz, converted to 44100 Hz", rate(44100, 11025)},
        // A ground loop: the mains' 50 Hz with the rectifiers' and transformers' harmonics.
        {"buzz: hum 50 Hz at -20 dB with harmonics to 450 Hz", signal([](SignalOptions& o) {
             o.humDb = -20, o.humHarmonics = {0.5, 0.6, 0.3, 0.4, 0.15, 0.25, 0.1, 0.15};
         })},
        // The same loop under a quiet recording: the hum keeps its level, 6 dB under the pulses.
        {"quiet, with a ground loop's hum: -20 dB, hum 50 Hz at -26 dBFS",
         signal([](SignalOptions& o) { o.levelDb = -20, o.humDb = -26; })},
        // And a quieter tape turned up further: the loop's hum now over twice the pulses' level.
        {"quiet, with a ground loop's hum: -20 dB, hum 50 Hz at -12 dBFS",
         signal([](SignalOptions& o) { o.levelDb = -20, o.humDb = -12; })},
        // Coating lost over a longer stretch, and coating shedding all along the tape.
        {"dropout 60 ms at -12 dB",
         [](RungSetup& setup, const TapeRecord& record) {
             const std::size_t byte = static_cast<std::size_t>(record.leadIn) + 5 + record.data.size() / 2;
             setup.signal.dropouts = {{SlotTime(setup.signal, byte, 2), 0.06, -12}};
         }},
        {"shedding: 15 ms at -16 dB every 0.4 s or so",
         [](RungSetup& setup, const TapeRecord&) {
             std::mt19937 jitter(15);
             for (double t = 0.2; t < 600; t += 0.3 + 0.2 * static_cast<double>(jitter()) / 4294967296.0) {
                 setup.signal.dropouts.push_back({t, 0.015, -16});
             }
         }},
        // A crinkled or stretched tape, or a worn pressure pad: the tape lifts off the head and
        // back, and the level sinks to a fifth and comes back five times a second.
        {"head contact: the level sinks by 80 % five times a second",
         signal([](SignalOptions& o) { o.contactDepth = 0.8, o.contactRate = 5; })},
        {"mix: differentiating head, flutter 0.3 % at 8 Hz, pink hiss 20 dB, MP3 128 kbit/s",
         [](RungSetup& setup, const TapeRecord&) {
             SignalOptions& o = setup.signal;
             o.head = Head::differentiating, o.headHz = 8000, o.wowDepth = 0.003, o.wowRate = 8, o.hissSnrDb = 20;
             setup.copy = "mp3", setup.copyLevel = 128;
         }},
    };
    // Our signal takes the speeds (4, 8, 12 %); the independent encoder, already 10 %
    // slower than ours, takes a deck's error of 5 % on top.
    const std::set<std::string> oursOnly = {"speed -12 %", "speed -8 %", "speed -4 %", "speed +4 %", "speed +8 %",
                                            "speed +12 %"};
    const std::set<std::string> foreignOnly = {"speed -5 %", "speed +5 %"};
    std::vector<Rung> rungs;
    for (bool foreign : {false, true}) {
        for (const auto& [name, damage] : damages) {
            if ((foreign ? oursOnly : foreignOnly).count(name) == 0) {
                rungs.push_back({(foreign ? "foreign: " : "ours: ") + name, foreign, damage});
            }
        }
    }
    return rungs;
}

RungSetup SetUpRung(const Rung& rung, const TapeRecord& record) {
    RungSetup setup;
    if (rung.foreign) setup.signal = ForeignEncoderOptions();
    rung.damage(setup, record);
    return setup;
}

std::string WriteRungFile(const Rung& rung, const std::vector<TapeRecord>& records, const std::string& stem) {
    const RungSetup setup = SetUpRung(rung, records.front());
    std::vector<std::vector<std::uint8_t>> bytes;
    for (const TapeRecord& record : records) bytes.push_back(RecordBytes(record));
    const int rate = setup.recordedRate > 0 ? setup.recordedRate : setup.format.sampleRate;
    std::vector<float> signal = RenderPulses(LayOutPulses(bytes, setup.signal), rate, setup.signal);
    if (rate != setup.format.sampleRate) signal = Resample(signal, rate, setup.format.sampleRate);
    const std::string path = stem + "." + (setup.copy.empty() ? "wav" : setup.copy);
    const bool written = setup.copy.empty() ? WriteWav(path, signal, setup.format)
                                            : WriteSndfile(path, signal, setup.format, setup.copy, setup.copyLevel);
    return written ? path : "";
}

std::vector<std::string> CutRungFile(const Rung& rung, const std::vector<TapeRecord>& records, const std::string& file,
                                     const std::string& stem) {
    const RungSetup setup = SetUpRung(rung, records.front());
    std::vector<std::vector<std::uint8_t>> bytes;
    for (const TapeRecord& record : records) bytes.push_back(RecordBytes(record));
    const std::vector<Pulse> pulses = LayOutPulses(bytes, setup.signal);
    // The gaps between records are the longest pauses between pulses, by far.
    std::vector<std::pair<double, double>> pauses;  // length, middle
    for (std::size_t k = 1; k < pulses.size(); ++k) {
        pauses.emplace_back(pulses[k].time - pulses[k - 1].time, (pulses[k].time + pulses[k - 1].time) / 2);
    }
    if (records.empty() || pauses.size() + 1 < records.size()) return {};
    std::partial_sort(pauses.begin(), pauses.begin() + static_cast<std::ptrdiff_t>(records.size() - 1), pauses.end(),
                      [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<double> cuts;
    for (std::size_t k = 0; k + 1 < records.size(); ++k) cuts.push_back(pauses[k].second);
    std::sort(cuts.begin(), cuts.end());

    SF_INFO info{};
    const std::unique_ptr<SNDFILE, int (*)(SNDFILE*)> in(sf_open(file.c_str(), SFM_READ, &info), sf_close);
    if (!in || info.channels < 1) return {};
    std::vector<float> frames(static_cast<std::size_t>(std::max<sf_count_t>(info.frames, 0)) *
                              static_cast<std::size_t>(info.channels));
    const sf_count_t got = sf_readf_float(in.get(), frames.data(), info.frames);
    const auto channels = static_cast<std::size_t>(info.channels);
    std::vector<std::string> paths;
    std::size_t from = 0;
    for (std::size_t k = 0; k < records.size(); ++k) {
        const auto to = k + 1 < records.size()
                            ? std::min(static_cast<std::size_t>(std::lround(cuts[k] * info.samplerate)), static_cast<std::size_t>(got))
                            : static_cast<std::size_t>(got);
        SF_INFO outInfo{};
        outInfo.samplerate = info.samplerate;
        outInfo.channels = info.channels;
        outInfo.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
        const std::string path = stem + std::to_string(k) + ".wav";
        const std::unique_ptr<SNDFILE, int (*)(SNDFILE*)> out(sf_open(path.c_str(), SFM_WRITE, &outInfo), sf_close);
        const auto count = static_cast<sf_count_t>(std::max(to, from) - from);
        if (!out || sf_writef_float(out.get(), frames.data() + from * channels, count) != count) return {};
        paths.push_back(path);
        from = std::max(to, from);
    }
    return paths;
}

std::vector<std::uint8_t> ExpectedGtp(const TapeRecord& record) { return GtpStandardBlocks({RecordPayload(record)}); }

}  // namespace tapegen
