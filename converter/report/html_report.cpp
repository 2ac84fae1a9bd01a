// The HTML report: one page with inline CSS and SVG that any browser shows offline.
#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "converter/report/report_text.hpp"
#include "converter/report/tape_report.hpp"

namespace sonokas::report {

namespace {

constexpr int kWidth = 1200;  // of every picture, in its own units; the page scales it
constexpr double kFloorDb = -60;

void AppendEscaped(std::string& html, char c) {
    switch (c) {
        case '<': html += "&lt;"; break;
        case '>': html += "&gt;"; break;
        case '&': html += "&amp;"; break;
        case '"': html += "&quot;"; break;
        case '\'': html += "&#39;"; break;
        default: html += c;
    }
}

std::string ByteEscape(unsigned char c) { return Format("\\x%02x", c); }

// Bytes from the tape: printable ASCII shown, every other byte as \xNN (and a backslash
// doubled, so that an escape is never ambiguous).
std::string TapeHtml(std::string_view bytes) {
    std::string html;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\') {
            html += "\\\\";
        } else if (byte >= 0x20 && byte < 0x7F) {
            AppendEscaped(html, c);
        } else {
            html += ByteEscape(byte);
        }
    }
    return html;
}

// Text of the program or the command line: UTF-8 shown, control bytes and bytes that are not
// valid UTF-8 as \xNN.
std::string Html(std::string_view text) {
    std::string html;
    for (std::size_t at = 0; at < text.size();) {
        const auto byte = static_cast<unsigned char>(text[at]);
        const std::size_t length = Utf8Length(text, at);
        if (length > 1) {
            html.append(text, at, length);
            at += length;
        } else {
            if (length == 1 && byte >= 0x20 && byte != 0x7F) {
                AppendEscaped(html, text[at]);
            } else {
                html += ByteEscape(byte);
            }
            ++at;
        }
    }
    return html;
}

bool Good(const RecordFacts& record) { return record.verdict == "good"; }

const char* VerdictColour(const std::string& verdict) {
    if (verdict == "good") return "#2a9d3f";
    if (verdict == "checksum wrong") return "#d62828";
    if (verdict == "checksum not known") return "#e0a000";
    if (verdict == "ended early") return "#f07800";
    if (verdict == "wrong sync") return "#9d0208";
    return "#777777";
}

std::string Pill(const std::string& verdict) {
    return Format("<span class=\"pill\" style=\"background:%s\">%s</span>", VerdictColour(verdict),
                  Html(verdict).c_str());
}

// A coordinate, whole units: the pictures stay small.
std::string N(double value) { return std::to_string(std::lround(std::isfinite(value) ? value : 0)); }

std::string Optional(const std::optional<double>& value, const char* format) {
    return value && std::isfinite(*value) ? Format(format, *value) : std::string("&ndash;");
}

std::string Address(int address) { return Format("$%04X", static_cast<unsigned>(address) & 0xFFFFu); }

std::string RecordName(const RecordFacts& record) {
    if (!record.header) return "data";
    return record.name ? "header <span class=\"tape\">&ldquo;" + TapeHtml(*record.name) + "&rdquo;</span>" : "header";
}

// A tick step from the list that gives at most `most` ticks over `span`.
double TickStep(double span, const std::vector<double>& steps, int most) {
    for (const double step : steps) {
        if (span / step <= most) return step;
    }
    return steps.back() * std::ceil(span / (steps.back() * most));
}

// The length of the tape the timeline spans.
double TapeSpan(const TapeFacts& facts) {
    double span = std::isfinite(facts.duration) ? facts.duration : 0;
    if (span <= 0) {
        span = static_cast<double>(facts.levelDb.size()) * facts.levelStep;
        for (const RecordFacts& record : facts.records) span = std::max(span, record.end);
    }
    return std::isfinite(span) && span > 0 ? span : 1;
}

// The recording's level along the tape, each record's stretch over it and a bar per record
// below, coloured by its verdict, with its number.
std::string Timeline(const TapeFacts& facts) {
    constexpr int left = 48, right = 12, top = 10, plotHeight = 100, stripTop = 140, stripHeight = 18;
    constexpr int labelRows = 3, rowHeight = 14;
    constexpr int plotWidth = kWidth - left - right;
    constexpr int bottom = top + plotHeight;
    constexpr int height = stripTop + stripHeight + labelRows * rowHeight + 8;
    const double span = TapeSpan(facts);
    const auto x = [&](double t) {
        const double share = t / span;  // false below for NaN too
        return left + (share > 0 ? std::min(share, 1.0) : 0.0) * plotWidth;
    };
    const auto y = [&](double db) {
        const double level = std::isnan(db) ? kFloorDb : std::clamp(db, kFloorDb, 0.0);
        return top + level / kFloorDb * plotHeight;
    };

    std::string svg = Format("<svg class=\"timeline\" viewBox=\"0 0 %d %d\" role=\"img\">\n", kWidth, height);
    svg += Format("<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"#f7f7f7\" stroke=\"#999\"/>\n", left, top,
                  plotWidth, plotHeight);
    for (const RecordFacts& record : facts.records) {
        const double from = x(record.start), to = std::max(x(record.end), from + 1);
        svg += "<rect x=\"" + N(from) + "\" y=\"" + N(top) + "\" width=\"" + N(to - from) + "\" height=\"" +
               N(plotHeight) + "\" fill=\"" + VerdictColour(record.verdict) + "\" fill-opacity=\"0.15\"/>\n";
    }
    for (double db = 0; db >= kFloorDb; db -= 20) {
        svg += Format("<line x1=\"%d\" x2=\"%d\" y1=\"%s\" y2=\"%s\" stroke=\"#ccc\"/>", left, left + plotWidth,
                      N(y(db)).c_str(), N(y(db)).c_str());
        svg += Format("<text x=\"%d\" y=\"%s\" font-size=\"11\" text-anchor=\"end\">%s</text>\n", left - 4,
                      N(y(db) + 4).c_str(), db == 0 ? "0 dB" : Format("%.0f", db).c_str());
    }

    // The level: the highest value within each unit of width, as one filled outline.
    std::vector<float> columns(plotWidth, -std::numeric_limits<float>::infinity());
    std::vector<bool> filled(plotWidth, false);
    for (std::size_t i = 0; i < facts.levelDb.size(); ++i) {
        const double t = (static_cast<double>(i) + 0.5) * facts.levelStep;
        const auto column = std::clamp(static_cast<int>(x(t)) - left, 0, plotWidth - 1);
        const float value = std::isnan(facts.levelDb[i]) ? -std::numeric_limits<float>::infinity() : facts.levelDb[i];
        columns[column] = std::max(columns[column], value);
        filled[column] = true;
    }
    std::string points;
    int first = -1, last = -1;
    for (int column = 0; column < plotWidth; ++column) {
        if (!filled[column]) continue;
        if (first < 0) first = column;
        last = column;
        points += N(left + column) + "," + N(y(columns[column])) + " ";
    }
    if (first >= 0) {
        svg += "<polygon points=\"" + N(left + first) + "," + N(bottom) + " " + points + N(left + last) + "," +
               N(bottom) + "\" fill=\"#9ecae1\" stroke=\"#3182bd\" stroke-width=\"1\"/>\n";
    }

    const double step = TickStep(span, {1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600}, 12);
    for (double t = 0; t <= span + 1e-9; t += step) {
        svg += "<line x1=\"" + N(x(t)) + "\" x2=\"" + N(x(t)) + "\" y1=\"" + N(bottom) + "\" y2=\"" + N(bottom + 5) +
               "\" stroke=\"#666\"/><text x=\"" + N(x(t)) + "\" y=\"" + N(bottom + 18) +
               "\" font-size=\"11\" text-anchor=\"middle\">" + TimeText(t, 0) + "</text>\n";
    }

    // Bars, and each number in the first of the rows below where it does not overlap another.
    std::vector<double> rowEnd(labelRows, -1e9);
    for (const RecordFacts& record : facts.records) {
        const double from = x(record.start), to = std::max(x(record.end), from + 2);
        svg += Format("<a href=\"#row-%d\"><rect x=\"%s\" y=\"%d\" width=\"%s\" height=\"%d\" fill=\"%s\"><title>",
                      record.number, N(from).c_str(), stripTop, N(to - from).c_str(), stripHeight,
                      VerdictColour(record.verdict));
        svg += Format("Record %d, %s to %s: ", record.number, TimeText(record.start, 1).c_str(),
                      TimeText(record.end, 1).c_str()) +
               Html(record.verdict) + "</title></rect></a>\n";
        const std::string label = std::to_string(record.number);
        const double middle = (from + to) / 2, half = 3.5 * static_cast<double>(label.size()) + 2;
        for (int row = 0; row < labelRows; ++row) {
            if (middle - half <= rowEnd[row]) continue;
            rowEnd[row] = middle + half;
            svg += "<text x=\"" + N(middle) + "\" y=\"" + N(stripTop + stripHeight + (row + 1) * rowHeight - 2) +
                   "\" font-size=\"12\" text-anchor=\"middle\" fill=\"" + VerdictColour(record.verdict) +
                   "\" font-weight=\"bold\">" + label + "</text>\n";
            break;
        }
    }
    return svg + "</svg>\n";
}

// The signal around one problem: the samples as a trace, the slot boundaries with the bit
// decided in each slot above it, and the doubtful spot as a red band with its message.
std::string ExcerptPicture(const Excerpt& excerpt) {
    constexpr int left = 10, right = 10, labelY = 16, bitsY = 42, traceTop = 52, traceHeight = 140;
    constexpr int plotWidth = kWidth - left - right;
    constexpr int traceBottom = traceTop + traceHeight, middle = traceTop + traceHeight / 2;
    constexpr int height = traceBottom + 30;
    const std::size_t count = excerpt.samples.size();
    const double rate = excerpt.rate > 0 ? excerpt.rate : 44100;
    double span = static_cast<double>(count) / rate;
    if (!(span > 0)) span = 0.01;
    const auto x = [&](double t) { return left + (t - excerpt.startTime) / span * plotWidth; };
    const auto inside = [&](double t) { return t >= excerpt.startTime && t <= excerpt.startTime + span; };

    std::string svg = Format("<svg class=\"excerpt\" viewBox=\"0 0 %d %d\" role=\"img\">\n", kWidth, height);
    svg += Format("<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"#fbfbfb\" stroke=\"#bbb\"/>", left,
                  traceTop, plotWidth, traceHeight);
    svg += Format("<line x1=\"%d\" x2=\"%d\" y1=\"%d\" y2=\"%d\" stroke=\"#ddd\"/>\n", left, left + plotWidth, middle,
                  middle);

    // The doubtful spot: the slot that holds it, or a few milliseconds around it.
    const std::vector<double>& slots = excerpt.slotTimes;
    double mean = 0.0031;
    if (slots.size() >= 2) mean = (slots.back() - slots.front()) / static_cast<double>(slots.size() - 1);
    double bandFrom = excerpt.problemTime - 0.0015, bandTo = excerpt.problemTime + 0.0015;
    for (std::size_t i = 0; i < slots.size(); ++i) {
        const double next = i + 1 < slots.size() ? slots[i + 1] : slots[i] + mean;
        if (slots[i] <= excerpt.problemTime && excerpt.problemTime < next) bandFrom = slots[i], bandTo = next;
    }
    const double from = std::clamp(x(bandFrom), double{left}, double{left + plotWidth});
    const double to = std::clamp(x(bandTo), from + 6, double{left + plotWidth});
    const double spot = std::clamp(x(excerpt.problemTime), double{left}, double{left + plotWidth});
    svg += "<rect x=\"" + N(from) + "\" y=\"" + N(labelY + 6) + "\" width=\"" + N(to - from) + "\" height=\"" +
           N(traceBottom - labelY - 6) + "\" fill=\"#e63946\" fill-opacity=\"0.22\"/>";
    svg += "<line x1=\"" + N(spot) + "\" x2=\"" + N(spot) + "\" y1=\"" + N(bitsY + 4) + "\" y2=\"" + N(traceBottom) +
           "\" stroke=\"#d62828\" stroke-width=\"2\"/>\n";
    const bool leftOfSpot = spot > kWidth * 0.6;
    svg += "<text x=\"" + N(leftOfSpot ? spot - 6 : spot + 6) + "\" y=\"" + N(labelY) +
           "\" font-size=\"14\" font-weight=\"bold\" fill=\"#c00000\" text-anchor=\"" + (leftOfSpot ? "end" : "start") +
           "\">" + Format("Byte %d: ", excerpt.byte) + Html(excerpt.message) + "</text>\n";

    // Slot boundaries, and each slot's bit where the slot is wide enough to write it.
    for (std::size_t i = 0; i < slots.size(); ++i) {
        if (!inside(slots[i])) continue;
        svg += "<line x1=\"" + N(x(slots[i])) + "\" x2=\"" + N(x(slots[i])) + "\" y1=\"" + N(bitsY - 14) +
               "\" y2=\"" + N(traceBottom) + "\" stroke=\"#8a8a8a\" stroke-dasharray=\"3 3\"/>";
        const double next = i + 1 < slots.size() ? slots[i + 1] : slots[i] + mean;
        const double width = x(next) - x(slots[i]);
        if (i >= excerpt.bits.size() || width < 7) continue;
        const int bit = excerpt.bits[i];
        const double size = std::min(16.0, width * 0.8);
        const char* colour = bit == 1 ? "#111" : bit == 0 ? "#555" : "#c00000";
        svg += "<text x=\"" + N((x(slots[i]) + std::min(x(next), double{left + plotWidth})) / 2) + "\" y=\"" +
               N(bitsY) + "\" font-size=\"" + N(size) + "\" text-anchor=\"middle\" font-weight=\"bold\" fill=\"" +
               colour + "\">" + (bit == 1 ? "1" : bit == 0 ? "0" : "?") + "</text>";
    }
    svg += "\n";

    // The trace: every sample, or the lowest and highest of each unit of width when there
    // are more than two samples to a unit.
    const auto y = [&](int sample) { return middle - sample * (traceHeight / 2 - 2) / 128.0; };
    std::string points;
    const auto point = [&](double px, int sample) { points += N(px) + "," + N(y(sample)) + " "; };
    if (count > 2 * static_cast<std::size_t>(plotWidth)) {
        for (int column = 0; column < plotWidth; ++column) {
            const std::size_t begin = count * column / plotWidth, end = count * (column + 1) / plotWidth;
            if (begin >= end) continue;
            const auto [low, high] = std::minmax_element(excerpt.samples.begin() + static_cast<std::ptrdiff_t>(begin),
                                                         excerpt.samples.begin() + static_cast<std::ptrdiff_t>(end));
            const bool lowFirst = low < high;
            point(left + column, lowFirst ? *low : *high);
            point(left + column, lowFirst ? *high : *low);
        }
    } else {
        for (std::size_t i = 0; i < count; ++i) {
            point(left + static_cast<double>(i) * plotWidth / static_cast<double>(count), excerpt.samples[i]);
        }
    }
    if (!points.empty()) {
        svg += "<polyline points=\"" + points + "\" fill=\"none\" stroke=\"#1f4e99\" stroke-width=\"1.5\"/>\n";
    }

    // Milliseconds from the doubtful spot, or from the excerpt's start when the spot lies outside.
    const double zero = inside(excerpt.problemTime) ? excerpt.problemTime : excerpt.startTime;
    const double step = TickStep(span * 1000, {1, 2, 5, 10, 20, 50, 100, 200, 500, 1000}, 12) / 1000;
    const double first = std::ceil((excerpt.startTime - zero) / step);
    for (int k = 0; k <= 40 && std::isfinite(first) && (first + k) * step <= excerpt.startTime + span - zero; ++k) {
        const double offset = (first + k) * step, t = zero + offset;
        svg += "<line x1=\"" + N(x(t)) + "\" x2=\"" + N(x(t)) + "\" y1=\"" + N(traceBottom) + "\" y2=\"" +
               N(traceBottom + 5) + "\" stroke=\"#666\"/><text x=\"" + N(x(t)) + "\" y=\"" + N(traceBottom + 19) +
               "\" font-size=\"11\" text-anchor=\"middle\">" +
               (first + k == 0 ? std::string("0") : Format("%+.0f ms", offset * 1000)) + "</text>";
    }
    return svg + "\n</svg>\n";
}

std::string FactsTable(const TapeFacts& facts) {
    std::string settings;
    for (const std::string& setting : facts.settings) {
        if (!settings.empty()) settings += ' ';
        settings += Html(setting);
    }
    std::string html = "<table class=\"facts\">\n";
    html += "<tr><th>Recording</th><td class=\"path\">" + Html(facts.path) + "</td></tr>\n";
    html += "<tr><th>Type</th><td>" + Html(facts.type) + "</td></tr>\n";
    html += Format("<tr><th>Sound</th><td>%d Hz, %d channel%s, %s</td></tr>\n", facts.rate, facts.channels,
                   facts.channels == 1 ? "" : "s", TimeText(facts.duration, 1).c_str());
    html += "<tr><th>Settings</th><td><code>" + (settings.empty() ? std::string("(none)") : settings) +
            "</code></td></tr>\n";
    const Summary& s = facts.summary;
    html += Format("<tr><th>Records</th><td><b>%d</b>: %d good, <span class=\"%s\">%d bad</span>, %d cop%s</td></tr>\n",
                   s.records, s.good, s.bad > 0 ? "badcount" : "", s.bad, s.copies, s.copies == 1 ? "y" : "ies");
    return html + "</table>\n";
}

std::string RecordsTable(const TapeFacts& facts) {
    std::string html =
        "<table class=\"records\">\n<thead><tr><th>#</th><th>Time</th><th>Kind / name</th><th>Start</th>"
        "<th>End+1</th><th>Length</th><th>Verdict</th><th>Speed</th><th>Level</th><th>SNR</th><th>Channel</th>"
        "<th>Attempts</th></tr></thead>\n<tbody>\n";
    for (const RecordFacts& r : facts.records) {
        const bool good = Good(r);
        html += Format("<tr class=\"record%s\" id=\"row-%d\">", good ? "" : " bad", r.number);
        html += good ? Format("<td class=\"n\">%d</td>", r.number)
                     : Format("<td class=\"n\"><a href=\"#rec-%d\">%d</a></td>", r.number, r.number);
        html += "<td class=\"t\">" + TimeText(r.start, 1) + "&ndash;" + TimeText(r.end, 1) + "</td>";
        html += "<td>" + RecordName(r) + "</td>";
        html += "<td>" + Address(r.startAddress) + "</td><td>" + Address(r.endAddress) + "</td>";
        html += Format("<td class=\"n\">%d</td>", r.length);
        html += "<td>" + Pill(r.verdict) + (r.copyOf ? Format("<br>copy of %d", *r.copyOf) : std::string()) + "</td>";
        html += "<td class=\"n\">" + Optional(r.speed, "%.1f&nbsp;%%") + "</td>";
        html += "<td class=\"n\">" + Optional(r.levelDb, "%.1f&nbsp;dBFS") + "</td>";
        html += "<td class=\"n\">" + Optional(r.snrDb, "%.1f&nbsp;dB") + "</td>";
        html += "<td>" + Html(r.channel) + "</td><td class=\"attempts\">";
        for (std::size_t i = 0; i < r.attempts.size(); ++i) {
            if (i > 0) html += "<br>";
            html += Html(r.attempts[i].what) + " &rarr; " + Html(r.attempts[i].gave);
        }
        html += "</td></tr>\n";
    }
    return html + "</tbody>\n</table>\n";
}

std::string BadRecord(const RecordFacts& r) {
    std::string html = Format("<section class=\"bad-record\" id=\"rec-%d\">\n<h3>", r.number);
    html += Pill(r.verdict) + Format(" Record %d at %s, ", r.number, TimeText(r.start, 1).c_str()) + RecordName(r) +
            "</h3>\n";
    if (!r.problems.empty()) {
        html += "<ul class=\"problems\">\n";
        for (const Problem& p : r.problems) {
            html += Format("<li>Byte %d at %s: ", p.byte, TimeText(p.time, 3).c_str()) + Html(p.message) + "</li>\n";
        }
        html += "</ul>\n";
    }
    for (std::size_t i = 0; i < r.excerpts.size(); ++i) {
        const Excerpt& e = r.excerpts[i];
        const double span = e.rate > 0 ? static_cast<double>(e.samples.size()) / e.rate : 0;
        html += "<figure>\n" + ExcerptPicture(e);
        html += Format("<figcaption>Record %d, excerpt %zu of %zu: %s to %s; byte %d at %s: ", r.number, i + 1,
                       r.excerpts.size(), TimeText(e.startTime, 3).c_str(), TimeText(e.startTime + span, 3).c_str(),
                       e.byte, TimeText(e.problemTime, 3).c_str()) +
                Html(e.message) + "</figcaption>\n</figure>\n";
    }
    if (r.excerpts.empty()) html += "<p>No excerpt of the signal was kept.</p>\n";
    return html + "</section>\n";
}

constexpr const char* kStyle = R"(
body{font-family:"DejaVu Sans",Arial,sans-serif;margin:16px 20px;color:#222;background:#fff}
h1{font-size:22px;margin:0 0 8px}
h2{font-size:18px;margin:22px 0 8px;border-bottom:1px solid #ccc}
h3{font-size:15px;margin:18px 0 6px}
table{border-collapse:collapse;font-size:13px}
th,td{border:1px solid #ddd;padding:3px 6px;text-align:left;vertical-align:top}
th{background:#f0f0f0}
table.records{width:100%}
td.n{text-align:right;white-space:nowrap}
td.t{white-space:nowrap}
td.attempts{font-size:12px}
tr.bad td{background:#fdeceb}
.pill{display:inline-block;padding:1px 8px;border-radius:9px;color:#fff;font-weight:bold;white-space:nowrap}
.badcount{color:#c00000;font-weight:bold}
.banner{background:#fff3cd;border:1px solid #d9a400;padding:6px 10px;margin:8px 0;font-weight:bold}
.tape{font-family:"DejaVu Sans Mono",monospace}
.legend span{margin-right:14px;font-size:13px}
svg{width:100%;height:auto;display:block}
svg text{font-family:"DejaVu Sans",Arial,sans-serif}
figure{margin:6px 0 16px}
figcaption{font-size:13px;color:#444}
ul.problems{font-size:13px;margin:4px 0}
)";

}  // namespace

std::string HtmlText(const TapeFacts& facts) {
    std::string html = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>Tape report: " +
                       Html(facts.path) + "</title>\n<style>\n" + kStyle + "</style>\n</head>\n<body>\n";
    html += "<h1>Tape report</h1>\n";
    if (facts.interrupted) html += "<p class=\"banner\">The run was stopped: these are the records read so far.</p>\n";
    html += FactsTable(facts);
    html += "<h2>Timeline</h2>\n" + Timeline(facts);
    html += "<p class=\"legend\">";
    for (const char* verdict : {"good", "checksum wrong", "checksum not known", "ended early", "wrong sync"}) {
        html += Format("<span><b style=\"color:%s\">&#9632;</b> %s</span>", VerdictColour(verdict), verdict);
    }
    html += "<span><b style=\"color:#3182bd\">&#9632;</b> peak level (dBFS)</span></p>\n";
    html += "<h2>Records</h2>\n" + RecordsTable(facts);
    const bool anyBad = std::any_of(facts.records.begin(), facts.records.end(), [](const auto& r) { return !Good(r); });
    if (anyBad) html += "<h2>Bad records</h2>\n";
    for (const RecordFacts& record : facts.records) {
        if (!Good(record)) html += BadRecord(record);
    }
    return html + "</body>\n</html>\n";
}

}  // namespace sonokas::report
