// The tape report on made-up facts: JSON against its schema, escaping of tape and command-line
// text, the page as a browser shows it, and its size for a long tape; and "/report" on whole
// tapes of our own: what the summary says, where a gap spoilt a byte, how fast the tape ran.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <valijson/adapters/nlohmann_json_adapter.hpp>
#include <valijson/schema.hpp>
#include <valijson/schema_parser.hpp>
#include <valijson/validator.hpp>

#include "converter/report/tape_report.hpp"
#include "tests/support/run_program.hpp"
#include "tools/audio_writer.hpp"
#include "tools/tape_signal.hpp"

namespace {

namespace fs = std::filesystem;
using namespace sonokas::report;
using nlohmann::json;
using testsupport::TempDir;

constexpr double kSlot = 0.0031;
constexpr float kNan = std::numeric_limits<float>::quiet_NaN(), kInf = std::numeric_limits<float>::infinity();

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
    return count;
}

// 3000 samples of slots with a pulse at each start and one more mid-slot for a 1; the slot
// around `at` is not known.
Excerpt MakeExcerpt(double at, int byte, const std::string& message) {
    Excerpt e{.startTime = at - 0.0325, .rate = 44100, .problemTime = at, .byte = byte, .message = message};
    e.samples.resize(3000);
    for (int slot = 0; slot * kSlot < 3000.0 / e.rate; ++slot) {
        const int bit = (0xB5 >> (slot % 8)) & 1;
        e.slotTimes.push_back(e.startTime + slot * kSlot);
        e.bits.push_back(at >= e.slotTimes.back() && at < e.slotTimes.back() + kSlot ? -1 : bit);
        for (const double offset : bit ? std::vector{0.0, kSlot / 2} : std::vector{0.0}) {
            const auto first = static_cast<int>(std::lround((slot * kSlot + offset) * e.rate));
            for (int k = 0; k < 12 && first + k < 3000; ++k) {
                e.samples[first + k] = static_cast<std::int8_t>(std::lround(100 * std::sin(3.14159 * k / 6)));
            }
        }
    }
    return e;
}

RecordFacts MakeRecord(int number, double start, const std::string& verdict, int excerpts) {
    RecordFacts r{.number = number, .start = start, .end = start + 40, .startAddress = 0x2c3a,
                  .endAddress = 0x2c3a + 300, .length = 300, .verdict = verdict, .speed = 98.5, .levelDb = -12.5,
                  .snrDb = 31.0, .channel = "mono"};
    r.attempts = {{"as it is", verdict}};
    if (verdict != "good") {
        r.attempts.push_back({"conditioned", verdict});
        r.problems = {{40, start + 2.5, "checksum wrong"}, {41, start + 2.53, "doubtful bit"}};
    }
    for (int i = 0; i < excerpts; ++i) r.excerpts.push_back(MakeExcerpt(start + 2.5 + 5 * i, 40 + i, "doubtful bit"));
    return r;
}

// A damaged side: a header, a good record, one with a wrong checksum, one cut short with no
// measurements, and a copy of the second.
TapeFacts DamagedTape() {
    TapeFacts t{.path = "side-a.wav", .type = "WAV", .rate = 44100, .channels = 1, .duration = 300,
                .settings = {"/auto", "/multi", "/report", "side-a.html"}};
    t.records = {MakeRecord(1, 5, "good", 0), MakeRecord(2, 50, "good", 0), MakeRecord(3, 100, "checksum wrong", 2),
                 MakeRecord(4, 160, "ended early", 1), MakeRecord(5, 230, "good", 0)};
    t.records[0].header = true;
    t.records[0].name = "HELLO";
    t.records[3].speed = t.records[3].levelDb = t.records[3].snrDb = std::nullopt;
    t.records[4].copyOf = 2;
    t.summary = {5, 3, 2, 1};
    for (int i = 0; i < 300; ++i) {
        const bool inRecord = std::any_of(t.records.begin(), t.records.end(),
                                          [&](const RecordFacts& r) { return i >= r.start && i < r.end; });
        t.levelDb.push_back(inRecord ? static_cast<float>(-10 - (i % 7)) : -58.0f);
    }
    return t;
}

// 90 minutes, 30 records, every third bad with three excerpts.
TapeFacts LongTape() {
    TapeFacts t{.path = "long.flac", .type = "FLAC (libsndfile)", .rate = 44100, .channels = 2, .duration = 5400};
    for (int n = 1; n <= 30; ++n) {
        t.records.push_back(MakeRecord(n, (n - 1) * 180.0 + 10, n % 3 ? "good" : "checksum wrong", n % 3 ? 0 : 3));
    }
    t.summary = {30, 20, 10, 0};
    for (int i = 0; i < 5400; ++i) t.levelDb.push_back(static_cast<float>(-12 - 30 * ((i % 180) < 10)));
    return t;
}

// The schema's complaints about a report, empty when it is valid.
std::string SchemaErrors(const json& report) {
    const json schemaDocument = json::parse(ReadText(SOURCE_DIR "/docs/tape-report.schema.json"));
    valijson::Schema schema;
    valijson::SchemaParser parser;
    valijson::adapters::NlohmannJsonAdapter schemaAdapter(schemaDocument);
    parser.populateSchema(schemaAdapter, schema);
    valijson::Validator validator;
    valijson::ValidationResults results;
    valijson::adapters::NlohmannJsonAdapter reportAdapter(report);
    std::string errors;
    if (!validator.validate(schema, reportAdapter, &results)) {
        valijson::ValidationResults::Error error;
        while (results.popError(error)) {
            for (const std::string& part : error.context) errors += part;
            errors += ": " + error.description + "\n";
        }
    }
    return errors;
}

TEST(ReportTest, JsonFollowsTheSchemaWithTheFactsAsGiven) {
    const json report = json::parse(JsonText(DamagedTape()));
    EXPECT_EQ(SchemaErrors(report), "");
    EXPECT_EQ(SchemaErrors(json::parse(JsonText(LongTape()))), "");
    EXPECT_EQ(SchemaErrors(json::parse(JsonText(TapeFacts{}))), "");
    json unnamed = report;
    unnamed["records"][0].erase("name");
    EXPECT_NE(SchemaErrors(unnamed), "");  // the schema does hold the report to its names
    const struct { const char* pointer; json value; } cases[] = {
        {"/recording/path", "side-a.wav"},                 {"/recording/rate", 44100},
        {"/recording/duration", 300},                      {"/settings/2", "/report"},
        {"/records/0/kind", "header"},                     {"/records/0/name", "HELLO"},
        {"/records/1/kind", "data"},                       {"/records/1/name", nullptr},
        {"/records/1/start_address", 0x2c3a},              {"/records/1/end_address", 0x2d66},
        {"/records/1/length", 300},                        {"/records/1/speed", 98.5},
        {"/records/1/level_db", -12.5},                    {"/records/1/snr_db", 31.0},
        {"/records/1/channel", "mono"},                    {"/records/1/copy_of", nullptr},
        {"/records/2/start", 100},                         {"/records/2/end", 140},
        {"/records/2/verdict", "checksum wrong"},          {"/records/2/problems/1/byte", 41},
        {"/records/2/problems/0/time", 102.5},             {"/records/2/attempts/1/what", "conditioned"},
        {"/records/3/verdict", "ended early"},             {"/records/3/speed", nullptr},
        {"/records/3/level_db", nullptr},                  {"/records/3/snr_db", nullptr},
        {"/records/4/copy_of", 2},                         {"/summary/records", 5},
        {"/summary/bad", 2},                               {"/summary/copies", 1},
        {"/summary/interrupted", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(report.at(json::json_pointer(c.pointer)), c.value) << c.pointer;
    }
}

TEST(ReportTest, TapeAndCommandLineTextIsEscapedInBothKinds) {
    TapeFacts tape = DamagedTape();
    tape.records[0].name = "<script>X&amp;\x07\xff\\";
    tape.path = "side <b>&\x01.wav";
    tape.interrupted = true;

    const std::string text = JsonText(tape);
    EXPECT_TRUE(std::all_of(text.begin(), text.end(), [](unsigned char c) { return c < 0x80; }));
    EXPECT_NE(text.find(R"("<script>X&amp;\u0007\u00ff\\")"), std::string::npos);
    const json report = json::parse(text);  // throws on anything but valid UTF-8
    EXPECT_EQ(report["records"][0]["name"], "<script>X&amp;\u0007\u00ff\\");
    EXPECT_EQ(report["recording"]["path"], "side <b>&\u0001.wav");
    EXPECT_EQ(report["summary"]["interrupted"], true);
    EXPECT_EQ(SchemaErrors(report), "");

    std::string html = HtmlText(tape);
    EXPECT_NE(html.find("&lt;script&gt;X&amp;amp;\\x07\\xff\\\\"), std::string::npos);
    EXPECT_NE(html.find("side &lt;b&gt;&amp;\\x01.wav"), std::string::npos);
    std::transform(html.begin(), html.end(), html.begin(), [](unsigned char c) { return std::tolower(c); });
    EXPECT_EQ(html.find("<script"), std::string::npos);
    EXPECT_EQ(html.find("<b>&"), std::string::npos);
}

TEST(ReportTest, WriteReportChoosesTheKindByExtension) {
    const TempDir dir;
    const struct { std::string name; bool written; std::string begins; } cases[] = {
        {"side.json", true, "{"},          {"SIDE.HTML", true, "<!DOCTYPE html>"}, {"side.Json", true, "{"},
        {"side.txt", false, ""},           {"side", false, ""},                    {"no-dir/side.json", false, ""},
    };
    for (const auto& c : cases) {
        const std::string path = dir.File(c.name);
        EXPECT_EQ(WriteReport(DamagedTape(), path), c.written) << c.name;
        EXPECT_EQ(ReadText(path).substr(0, c.begins.size()), c.begins) << c.name;
        EXPECT_EQ(fs::exists(path), c.written) << c.name;
    }
}

TEST(ReportTest, OddFactsStillGiveAWholeReport) {
    const struct { const char* what; void (*change)(TapeFacts&); } cases[] = {
        {"no records, no level", [](TapeFacts& t) { t = TapeFacts{}; }},
        {"no duration", [](TapeFacts& t) { t.duration = 0; }},
        {"measurements not numbers", [](TapeFacts& t) { t.records[1].speed = t.records[1].snrDb = kNan; }},
        {"levels not numbers", [](TapeFacts& t) { t.levelDb = {kNan, -kInf, kInf, 5}; t.levelStep = kNan; }},
        {"excerpt without samples", [](TapeFacts& t) { t.records[2].excerpts[0] = Excerpt{}; }},
        {"slots and bits disagree", [](TapeFacts& t) { t.records[2].excerpts[0].bits.resize(3); }},
        {"spot outside its excerpt", [](TapeFacts& t) { t.records[3].excerpts[0].problemTime = 1e9; }},
        {"record ends before it starts", [](TapeFacts& t) { t.records[1].end = 0; }},
    };
    for (const auto& c : cases) {
        TapeFacts tape = DamagedTape();
        c.change(tape);
        EXPECT_EQ(SchemaErrors(json::parse(JsonText(tape))), "") << c.what;
        const std::string html = HtmlText(tape);
        EXPECT_EQ(html.substr(html.size() - 8), "</html>\n") << c.what;
        EXPECT_EQ(html.find("nan"), std::string::npos) << c.what;
    }
}

TEST(ReportTest, PageShowsEveryRecordAndExcerptInABrowser) {
    const TempDir dir;
    const std::string page = dir.File("side-a.html"), shot = dir.File("side-a.png");
    ASSERT_TRUE(WriteReport(DamagedTape(), page));
    const std::string html = ReadText(page);
    EXPECT_EQ(Count(html, "<tr class=\"record"), 5u);
    EXPECT_EQ(Count(html, "<svg class=\"excerpt\""), 3u);
    for (const char* fetched : {"src=", "url(", "://", "@import"}) EXPECT_EQ(html.find(fetched), std::string::npos);

    const auto run = testsupport::RunProgram(
        "sh", {"-c", "exec timeout 60 chromium \"$@\" 2>/dev/null", "sh", "--headless", "--no-sandbox",
               "--disable-gpu", "--user-data-dir=" + dir.File("profile"), "--screenshot=" + shot,
               "--window-size=1280,2000", "file://" + page});
    ASSERT_EQ(run.exitStatus, 0) << "chromium did not run";
    ASSERT_TRUE(fs::exists(shot));
    // Not blank: many colours, and far from one flat tone.
    const auto look = testsupport::RunProgram("identify", {"-format", "%k %[fx:standard_deviation]", shot});
    int colours = 0;
    double deviation = 0;
    ASSERT_EQ(std::sscanf(look.output.c_str(), "%d %lf", &colours, &deviation), 2) << look.output;
    EXPECT_GT(colours, 100);
    EXPECT_GT(deviation, 0.05);
    fs::create_directories(ARTIFACT_DIR);
    fs::copy_file(shot, ARTIFACT_DIR "/tape_report.png", fs::copy_options::overwrite_existing);
}

TEST(ReportTest, NinetyMinuteTapeStaysLight) {
    const std::string html = HtmlText(LongTape());
    std::cout << "90-minute report: HTML " << html.size() << " bytes, JSON " << JsonText(LongTape()).size()
              << " bytes\n";
    EXPECT_LT(html.size(), 2'000'000u);
    EXPECT_EQ(Count(html, "<svg class=\"excerpt\""), 30u);
}

// A tape of our own: a record whose data byte 40 a short gap spoils, then a named program whose
// name is markup and a control byte; `timeScale` 1.08 plays it 8 % slow.
struct GapTape {
    std::string wav;
    double gapAt = 0;
};

GapTape WriteGapTape(const TempDir& dir, double timeScale, double levelDb = 0) {
    std::vector<std::vector<std::uint8_t>> tapes;
    auto add = [&](const std::vector<std::uint8_t>& payload) {
        tapes.push_back(std::vector<std::uint8_t>(100, 0));
        tapes.back().insert(tapes.back().end(), payload.begin(), payload.end());
    };
    tapegen::TapeRecord record;
    record.start = 0x3000;
    for (int i = 0; i < 120; ++i) record.data.push_back(static_cast<std::uint8_t>(i * 37 + 11));
    add(tapegen::RecordPayload(record));
    tapegen::TapeRecord program;
    program.start = 0x2C36;
    program.data = std::vector<std::uint8_t>(20, 0x41);
    for (const auto& payload : tapegen::NamedProgramPayloads("<script>X&amp;\x07", 10, program)) add(payload);
    tapegen::SignalOptions options;
    options.timeScale = timeScale;
    options.levelDb = levelDb;
    GapTape tape;
    // The gap lies within data byte 40: the record's byte 45 as stored (sync, four address bytes).
    tape.gapAt = tapegen::SlotTime(options, 100 + 45, 3);
    options.dropouts.push_back({tape.gapAt, 0.004, -40});
    tape.wav = dir.File("gap.wav");
    EXPECT_TRUE(tapegen::WriteWav(tape.wav, tapegen::RenderPulses(tapegen::LayOutPulses(tapes, options), 44100, options), {}));
    return tape;
}

// The verdict words of the summary's lines, in order.
std::vector<std::string> SummaryVerdicts(const std::string& printed) {
    std::vector<std::string> verdicts;
    const auto at = printed.find("\nTape summary\n");
    std::istringstream lines(printed.substr(at == std::string::npos ? printed.size() : at));
    for (std::string line; std::getline(lines, line);) {
        for (const char* word : {"checksum wrong", "ended early", "wrong sync", "good"}) {
            if (line.size() > 20 && std::isdigit(static_cast<unsigned char>(line[2])) && line.find(word) != std::string::npos) {
                verdicts.push_back(word);
                break;
            }
        }
    }
    return verdicts;
}

TEST(ReportTest, WholeTapeRunReportsWhatItFound) {
    const TempDir dir;
    const GapTape tape = WriteGapTape(dir, 1.0);
    const auto run = testsupport::RunProgram(SONOKAS_BINARY, {"/multi", "/report", dir.File("side.json"), tape.wav,
                                                              dir.File("side.gtp")});
    const json report = json::parse(ReadText(dir.File("side.json")));
    EXPECT_EQ(SchemaErrors(report), "");
    std::vector<std::string> verdicts;
    for (const json& record : report["records"]) verdicts.push_back(record["verdict"]);
    EXPECT_EQ(verdicts, SummaryVerdicts(run.output)) << run.output;
    ASSERT_EQ(verdicts.size(), 3u);
    // The gap: a problem on the byte it spoilt, at that byte's start.
    const json& problems = report["records"][0]["problems"];
    ASSERT_FALSE(problems.empty()) << run.output;
    EXPECT_EQ(problems[0]["byte"], 45);
    const double byteLength = 7 * kSlot + 0.0073;
    EXPECT_NEAR(problems[0]["time"].get<double>(), tape.gapAt - 3 * kSlot, 0.1 * byteLength);
    // The header's name as the tape holds it, markup and control byte kept apart from the page.
    EXPECT_EQ(report["records"][1]["name"], "<script>X&amp;\x07");
    ASSERT_EQ(testsupport::RunProgram(SONOKAS_BINARY, {"/multi", "/report", dir.File("side.html"), tape.wav,
                                                       dir.File("side.gtp")})
                  .exitStatus,
              1);
    const std::string html = ReadText(dir.File("side.html"));
    EXPECT_EQ(html.find("<script"), std::string::npos);
    EXPECT_EQ(Count(html, "<tr class=\"record"), 3u);
    // Without /multi: the one record the run reads, with the same problem.
    testsupport::RunProgram(SONOKAS_BINARY, {"/report", dir.File("one.json"), tape.wav, dir.File("one.gtp")});
    const json one = json::parse(ReadText(dir.File("one.json")));
    EXPECT_EQ(SchemaErrors(one), "");
    ASSERT_EQ(one["records"].size(), 1u);
    EXPECT_EQ(one["records"][0]["problems"][0]["byte"], 45);
}

// Speed and level as the tape ran and was recorded: 8 % slow, the pulses 20 dB under full scale.
TEST(ReportTest, SpeedAndLevelAreHowTheTapeRanAndWasRecorded) {
    const TempDir dir;
    const GapTape tape = WriteGapTape(dir, 1.08, -20);
    testsupport::RunProgram(SONOKAS_BINARY, {"/auto", "/multi", "/report", dir.File("slow.json"), tape.wav,
                                             dir.File("slow.gtp")});
    const json report = json::parse(ReadText(dir.File("slow.json")));
    ASSERT_FALSE(report["records"].empty());
    for (const json& record : report["records"]) {
        EXPECT_NEAR(record["speed"].get<double>(), 100 / 1.08, 1.0);
        EXPECT_NEAR(record["level_db"].get<double>(), -20, 0.5);
    }
}

}  // namespace
