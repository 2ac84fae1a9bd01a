// SONOKAS with "/exact" and "/fail" on generated recordings.
#include <gtest/gtest.h>

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/run_program.hpp"
#include "tools/audio_writer.hpp"
#include "tools/tape_signal.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr int kRate = 44100;

tapegen::TapeRecord TestRecord() {
    tapegen::TapeRecord record;
    record.leadIn = 40;
    record.start = 0x3000;
    for (int i = 0; i < 64; ++i) record.data.push_back(static_cast<std::uint8_t>(i * 37 + 11));
    return record;
}

// The tape bytes after the lead-in: what a good attempt stores as the standard block's payload.
Bytes Payload(const tapegen::TapeRecord& record) {
    const Bytes all = tapegen::RecordBytes(record);
    return Bytes(all.begin() + record.leadIn, all.end());
}

Bytes GtpOf(const tapegen::TapeRecord& record) {
    const Bytes payload = Payload(record);
    const auto length = static_cast<std::uint32_t>(payload.size());
    Bytes file{0x00, static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8),
               static_cast<std::uint8_t>(length >> 16), static_cast<std::uint8_t>(length >> 24)};
    file.insert(file.end(), payload.begin(), payload.end());
    return file;
}

std::size_t OneBits(const Bytes& bytes) {
    std::size_t count = 0;
    for (auto b : bytes) count += static_cast<std::size_t>(std::popcount(b));
    return count;
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
    return count;
}

// The verdict line of each attempt, in order.
std::vector<std::string> Verdicts(const std::string& output) {
    std::vector<std::string> verdicts;
    std::size_t from = 0;
    while (from < output.size()) {
        const auto end = output.find('\n', from);
        const std::string line = output.substr(from, end == std::string::npos ? std::string::npos : end - from);
        if (line.rfind("Succesfully", 0) == 0 || line.rfind("Read correct", 0) == 0 || line.rfind("Premature", 0) == 0 ||
            line.rfind("No lead", 0) == 0) {
            verdicts.push_back(line);
        }
        if (end == std::string::npos) break;
        from = end + 1;
    }
    return verdicts;
}

const std::string kGood = "Succesfully read all bytes! ";

bool IsChecksumWrong(const std::string& verdict) { return verdict.rfind("Read correct number of bytes but Checksum", 0) == 0; }

class ExactEndToEnd : public ::testing::Test {
protected:
    std::string Wav(const std::string& name, const std::vector<float>& signal) {
        const std::string path = dir_.File(name);
        EXPECT_TRUE(tapegen::WriteWav(path, signal, tapegen::PcmFormat{}));
        return path;
    }

    testsupport::ProgramResult Run(std::vector<std::string> arguments, const std::string& input) {
        arguments.push_back(input);
        arguments.push_back(dir_.File("out.gtp"));
        return testsupport::RunProgram(SONOKAS_BINARY, arguments);
    }

    Bytes Written() const { return testsupport::ReadFileBytes(dir_.File("out.gtp")); }

    testsupport::TempDir dir_;
};

struct RangeCase {
    const char* name;
    double amplitude;
    std::vector<int> goodQuiet;     // decode byte-exact without a message
    std::vector<int> goodDoubtful;  // decode byte-exact, every 1 bit reported as doubtful
    std::vector<int> notGood;
};

TEST_F(ExactEndToEnd, ExactValuesThatFitTheAmplitudeDecodeTheRecord) {
    // The flank sums of a pulse: its height on the rising side and twice that on the falling
    // side, so the smaller one is 127 at full scale and 32 at -12 dB. A 0 bit's sums are 0.
    const RangeCase cases[] = {
        {"full scale", 1.0, {0, 1, 20, 64, 102}, {103, 110, 126}, {127, 128, 200}},
        {"-12 dB", 0.25, {0, 8, 20, 26}, {27, 30, 31}, {32, 40}},
    };
    const tapegen::TapeRecord record = TestRecord();
    const std::size_t oneBits = OneBits(Payload(record));
    for (const auto& c : cases) {
        tapegen::SignalOptions options;
        options.amplitude = c.amplitude;
        const std::string input = Wav("range.wav", tapegen::RenderRecord(record, kRate, options));
        for (int e : c.goodQuiet) {
            const auto result = Run({"/exact", std::to_string(e)}, input);
            EXPECT_EQ(result.exitStatus, 1);
            EXPECT_EQ(Verdicts(result.output), std::vector<std::string>{kGood}) << c.name << " E " << e;
            EXPECT_EQ(Count(result.output, "Problem in : "), 0u) << c.name << " E " << e;
            EXPECT_EQ(Written(), GtpOf(record)) << c.name << " E " << e;
        }
        for (int e : c.goodDoubtful) {
            const auto result = Run({"/exact", std::to_string(e)}, input);
            EXPECT_EQ(Verdicts(result.output), std::vector<std::string>{kGood}) << c.name << " E " << e;
            EXPECT_EQ(Count(result.output, "Problem in : "), oneBits) << c.name << " E " << e;
            EXPECT_EQ(Written(), GtpOf(record)) << c.name << " E " << e;
        }
        for (int e : c.notGood) {
            const auto result = Run({"/exact", std::to_string(e)}, input);
            const auto verdicts = Verdicts(result.output);
            ASSERT_EQ(verdicts.size(), 1u) << c.name << " E " << e;
            EXPECT_NE(verdicts[0], kGood) << c.name << " E " << e;
        }
    }
}

TEST_F(ExactEndToEnd, OneWeakPulseIsDoubtfulOnBothSidesOfTheBand) {
    // The first 1 bit of data byte 5 gets a pulse of 0.3 of full scale: flank sums 38 and 76.
    const tapegen::TapeRecord record = TestRecord();
    const Bytes bytes = tapegen::RecordBytes(record);
    const std::size_t index = static_cast<std::size_t>(record.leadIn) + 5 + 5;
    const int bit = std::countr_zero(bytes[index]);
    tapegen::SignalOptions options;
    auto pulses = tapegen::LayOutPulses({bytes}, options);
    tapegen::FindPulse(pulses, tapegen::SlotTime(options, index, bit) + tapegen::kHalfSlot)->height = 0.3;
    const std::string input = Wav("weak.wav", tapegen::RenderPulses(pulses, kRate, options));

    struct Case {
        int e;
        bool good;
    };
    for (const Case c : {Case{35, true}, Case{40, false}}) {
        const auto result = Run({"/exact", std::to_string(c.e)}, input);
        ASSERT_EQ(Count(result.output, "Problem in : "), 1u) << "E " << c.e << "\n" << result.output;
        const double at = std::atof(result.output.c_str() + result.output.find("Problem in : ") + 13);
        // The message gives the slot start: the peak of the slot's first pulse, just after it begins.
        EXPECT_NEAR(at, tapegen::SlotTime(options, index, bit), 0.0002) << "E " << c.e;
        const auto verdicts = Verdicts(result.output);
        ASSERT_EQ(verdicts.size(), 1u);
        EXPECT_EQ(verdicts[0] == kGood, c.good) << "E " << c.e << ": " << verdicts[0];
    }
    // Well below the band the bit is read as 1 without a word.
    const auto quiet = Run({"/exact", "20"}, input);
    EXPECT_EQ(Count(quiet.output, "Problem in : "), 0u);
    EXPECT_EQ(Verdicts(quiet.output), std::vector<std::string>{kGood});
}

// A worn tape: the middle pulses of the 1 bits of ten data bytes lost a fifth of their height
// (a fall of 203, below the default threshold of 220, so the timing decoder misses them), and
// a faint crackle sits in a 0 bit's slot (flank sums of 1, above the exact value 0 only).
std::vector<float> WornTape(const tapegen::TapeRecord& record) {
    const Bytes bytes = tapegen::RecordBytes(record);
    tapegen::SignalOptions options;
    auto pulses = tapegen::LayOutPulses({bytes}, options);
    const std::size_t firstData = static_cast<std::size_t>(record.leadIn) + 5;
    tapegen::SetMiddlePulseHeight(pulses, bytes, options, firstData + 10, 10, 0.8);
    const std::size_t crackled = firstData + 20;
    const int zeroBit = std::countr_one(bytes[crackled]);
    tapegen::InsertPulse(pulses, {tapegen::SlotTime(options, crackled, zeroBit) + tapegen::kHalfSlot, 0.012});
    return tapegen::RenderPulses(pulses, kRate, options);
}

TEST_F(ExactEndToEnd, FailRaisesTheExactValueUntilTheChecksumIsGood) {
    const tapegen::TapeRecord record = TestRecord();
    const std::string input = Wav("worn.wav", WornTape(record));

    // Attempt 1 times edges, attempt 2 reads the crackle as a 1 with E = 0, attempt 3 (E = 1) is good.
    const auto result = Run({"/fail", "4"}, input);
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(Count(result.output, "\nStarting conversion\n\n"), 3u) << result.output;
    const auto verdicts = Verdicts(result.output);
    ASSERT_EQ(verdicts.size(), 3u) << result.output;
    EXPECT_TRUE(IsChecksumWrong(verdicts[0])) << verdicts[0];
    EXPECT_TRUE(IsChecksumWrong(verdicts[1])) << verdicts[1];
    EXPECT_NE(verdicts[0], verdicts[1]);
    EXPECT_EQ(verdicts[2], kGood);
    EXPECT_EQ(Written(), GtpOf(record));

    // Each attempt on its own: the timing decoder, then the exact decoder with 0 and 1.
    EXPECT_EQ(Verdicts(Run({}, input).output), std::vector<std::string>{verdicts[0]});
    EXPECT_EQ(Verdicts(Run({"/exact", "0"}, input).output), std::vector<std::string>{verdicts[1]});
    EXPECT_EQ(Verdicts(Run({"/exact", "1"}, input).output), std::vector<std::string>{kGood});

    // With one exact attempt only, the file left is that attempt's.
    const auto shorter = Run({"/fail", "2"}, input);
    EXPECT_EQ(Verdicts(shorter.output).size(), 2u);
    EXPECT_NE(Written(), GtpOf(record));
}

TEST_F(ExactEndToEnd, FramingCopesWithSilenceDriftAndNoise) {
    const tapegen::TapeRecord record = TestRecord();
    tapegen::SignalOptions options;
    options.leadingSilence = 1234.0 / kRate;
    options.drift = 0.03;
    options.noise = 0.02;
    const std::string input = Wav("drift.wav", tapegen::RenderRecord(record, kRate, options));
    const auto result = Run({"/exact", "20"}, input);
    EXPECT_EQ(Verdicts(result.output), std::vector<std::string>{kGood}) << result.output;
    EXPECT_EQ(result.output.find("Short lead-in"), std::string::npos);
    EXPECT_EQ(Written(), GtpOf(record));
}

std::string EarlyEnd(int leadIn, int dataRead) {
    const std::string shortLead = leadIn < 30 ? "Short lead-in found (" + std::to_string(leadIn) + " bytes)\n" : "";
    return "\nStarting conversion\n\n" + shortLead +
           "Got wrong SYNC Byte : $00 !\nStarting Address: $0000\nEnding Address+1: $0000\n"
           "Length of Data  : 0 bytes\nPremature END OF FILE ! Read " +
           std::to_string(dataRead) + " bytes only!\n";
}

const std::string kHeader = "\nVOC/CSW/WAV to GTP (Galaksija Tape) Converter - 0.06\n";

std::string WavInfo(const char* duration, int rate = kRate) {
    return "\nType: Wave Audio File (WAV)\nDuration: " + std::string(duration) + "\nRate: " + std::to_string(rate) +
           " Hz\n";
}

TEST_F(ExactEndToEnd, SilenceIsReadToItsEndInEveryAttempt) {
    // 2 s of silence: the slots step through it 1137 samples a byte, 78 bytes in all.
    const std::string input = Wav("silence.wav", std::vector<float>(2 * kRate, 0.0f));
    const auto result = Run({"/exact", "0", "/fail", "3"}, input);
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.output, kHeader + WavInfo("00 hrs 00 mins 02.00 secs") + EarlyEnd(78, 0) + EarlyEnd(78, 0) +
                                 EarlyEnd(78, 0));
}

TEST_F(ExactEndToEnd, EmptyAndTinyRecordingsEndAtOnce) {
    // No reader takes a text file: the recording is empty, and no lead ends the run.
    const std::string text = dir_.File("notes.txt");
    testsupport::WriteFileBytes(text, {'h', 'e', 'l', 'l', 'o'});
    const auto empty = Run({"/exact", "0", "/fail", "5"}, text);
    EXPECT_EQ(empty.output, kHeader + "\nStarting conversion\n\nNo lead found !\n");
    EXPECT_TRUE(Written().empty());

    // One sample: a single zero byte, then the end.
    const std::string one = Wav("one.wav", {0.5f});
    const auto tiny = Run({"/exact", "0"}, one);
    EXPECT_EQ(tiny.output, kHeader + WavInfo("00 hrs 00 mins 00.00 secs") + EarlyEnd(1, 0));
}

TEST_F(ExactEndToEnd, RecordingsCutShortKeepWhatWasRead) {
    tapegen::TapeRecord record = TestRecord();
    record.data.resize(16);
    tapegen::SignalOptions options;
    const std::vector<float> whole = tapegen::RenderRecord(record, kRate, options);
    const std::size_t firstData = static_cast<std::size_t>(record.leadIn) + 5;

    // Inside the ninth data byte: eight whole bytes and the cut one are read.
    std::vector<float> cut(whole.begin(), whole.begin() + static_cast<long>(tapegen::SlotTime(options, firstData + 8, 4) * kRate));
    const auto data = Run({"/exact", "0", "/fail", "2"}, Wav("cut-data.wav", cut));
    EXPECT_EQ(Count(data.output, "Premature END OF FILE ! Read 9 bytes only!\n"), 2u) << data.output;
    EXPECT_EQ(data.output.find("Checksum"), std::string::npos);
    EXPECT_NE(data.output.find("Starting Address: $3000\nEnding Address+1: $3010\nLength of Data  : 16 bytes\n"),
              std::string::npos);
    const Bytes written = Written();
    ASSERT_EQ(written.size(), 5u + 5u + 9u);
    const Bytes payload = Payload(record);
    EXPECT_EQ(Bytes(written.begin() + 5, written.begin() + 18), Bytes(payload.begin(), payload.begin() + 13));

    // 1 ms before the 21st lead-in byte: 20 zero bytes, then nothing.
    cut.assign(whole.begin(), whole.begin() + static_cast<long>((tapegen::SlotTime(options, 20, 0) - 0.001) * kRate));
    const auto lead = Run({"/exact", "0"}, Wav("cut-lead.wav", cut));
    EXPECT_NE(lead.output.find(EarlyEnd(20, 0)), std::string::npos) << lead.output;
}

}  // namespace
