#include "tools/ladder.hpp"

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

bool WriteRungWav(const Rung& rung, const TapeRecord& record, const std::string& path) {
    const RungSetup setup = SetUpRung(rung, record);
    return WriteWav(path, RenderRecord(record, setup.format.sampleRate, setup.signal), setup.format);
}

std::vector<std::uint8_t> ExpectedGtp(const TapeRecord& record) { return GtpStandardBlocks({RecordPayload(record)}); }

}  // namespace tapegen
