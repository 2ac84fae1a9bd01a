#include "converter/report/tape_report.hpp"

#include <algorithm>
#include <cctype>
#include <fstream>

#include <nlohmann/json.hpp>

#include "converter/report/report_text.hpp"

namespace sonokas::report {

namespace {

// Keys in the documented order, for people reading the file.
using Json = nlohmann::ordered_json;

void AppendUtf8(std::string& text, unsigned code) {
    if (code < 0x80) {
        text += static_cast<char>(code);
    } else {
        text += static_cast<char>(0xC0 | code >> 6);
        text += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// Bytes from the tape: each one stands for itself, read as U+0000..U+00FF, so any byte
// gives valid UTF-8 and the ASCII output writes it as \u00XX.
Json TapeText(const std::string& bytes) {
    std::string text;
    for (const char c : bytes) AppendUtf8(text, static_cast<unsigned char>(c));
    return text;
}

// Text of the program or the command line: UTF-8 kept, a byte that is not part of valid
// UTF-8 (a file name in another encoding) kept as U+00XX instead of failing the report.
Json Text(const std::string& bytes) {
    std::string text;
    for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t length = Utf8Length(bytes, at);
        if (length > 0) {
            text.append(bytes, at, length);
            at += length;
        } else {
            AppendUtf8(text, static_cast<unsigned char>(bytes[at++]));
        }
    }
    return text;
}

template <typename T>
Json OrNull(const std::optional<T>& value) {
    return value ? Json(*value) : Json(nullptr);
}

Json RecordJson(const RecordFacts& record) {
    Json attempts = Json::array();
    for (const Attempt& attempt : record.attempts) {
        attempts.push_back({{"what", Text(attempt.what)}, {"gave", Text(attempt.gave)}});
    }
    Json problems = Json::array();
    for (const Problem& problem : record.problems) {
        problems.push_back({{"byte", problem.byte}, {"time", problem.time}, {"message", Text(problem.message)}});
    }
    return {
        {"number", record.number},
        {"start", record.start},
        {"end", record.end},
        {"kind", record.header ? "header" : "data"},
        {"name", record.header && record.name ? TapeText(*record.name) : Json(nullptr)},
        {"start_address", record.startAddress},
        {"end_address", record.endAddress},
        {"length", record.length},
        {"verdict", Text(record.verdict)},
        {"copy_of", OrNull(record.copyOf)},
        {"speed", OrNull(record.speed)},
        {"level_db", OrNull(record.levelDb)},
        {"snr_db", OrNull(record.snrDb)},
        {"channel", Text(record.channel)},
        {"attempts", attempts},
        {"problems", problems},
    };
}

std::string LowerExtension(const std::string& path) {
    const auto slash = path.find_last_of('/');
    const auto dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    std::string extension = path.substr(dot);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension;
}

}  // namespace

std::string JsonText(const TapeFacts& facts) {
    Json settings = Json::array();
    for (const std::string& setting : facts.settings) settings.push_back(Text(setting));
    Json records = Json::array();
    for (const RecordFacts& record : facts.records) records.push_back(RecordJson(record));
    const Json report = {
        {"recording",
         {{"path", Text(facts.path)},
          {"type", Text(facts.type)},
          {"rate", facts.rate},
          {"channels", facts.channels},
          {"duration", facts.duration}}},
        {"settings", settings},
        {"records", records},
        {"summary",
         {{"records", facts.summary.records},
          {"good", facts.summary.good},
          {"bad", facts.summary.bad},
          {"copies", facts.summary.copies},
          {"interrupted", facts.interrupted}}},
    };
    return report.dump(2, ' ', true) + "\n";
}

bool IsReportPath(const std::string& path) {
    const std::string extension = LowerExtension(path);
    return extension == ".json" || extension == ".html";
}

bool WriteReport(const TapeFacts& facts, const std::string& path) {
    const std::string extension = LowerExtension(path);
    if (!IsReportPath(path)) return false;
    const std::string text = extension == ".json" ? JsonText(facts) : HtmlText(facts);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    return !out.fail();
}

}  // namespace sonokas::report
