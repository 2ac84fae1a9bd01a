#include "converter/tape/tape.hpp"

#include <algorithm>
#include <cstdio>

#include "converter/decoder/cursor.hpp"
#include "converter/output/record.hpp"
#include "converter/output/tape_image.hpp"
#include "converter/settings.hpp"
#include "converter/signal/calibration.hpp"
#include "converter/tape/attempts.hpp"
#include "converter/tape/finder.hpp"
#include "converter/tape/whole_record.hpp"
#include "gtp/gtp.hpp"
#include "gtp/stdio_file.hpp"

namespace sonokas::tape {

TapeLog tapeLog;

namespace {

template <typename... Args>
std::string Format(const char* format, Args... args) {
    const int size = std::snprintf(nullptr, 0, format, args...);
    std::string text(static_cast<std::size_t>(std::max(size, 0)), '\0');
    std::snprintf(text.data(), text.size() + 1, format, args...);
    return text;
}

unsigned Word(const std::vector<std::uint8_t>& payload, std::size_t offset) {
    return static_cast<unsigned>(gtp::ReadLittleEndian(payload, offset, 2));
}

Verdict Judge(const RecordAttempt& best) {
    if (best.header) {
        return best.outcome == output::AttemptOutcome::good ? Verdict::good : Verdict::checksumWrong;
    }
    if (best.report.sync != gtp::kSyncByte) return Verdict::wrongSync;
    if (best.report.early || best.outcome == output::AttemptOutcome::noLead) return Verdict::endedEarly;
    return best.outcome == output::AttemptOutcome::good ? Verdict::good : Verdict::checksumWrong;
}

const char* VerdictText(Verdict verdict) {
    switch (verdict) {
        case Verdict::good: return "good";
        case Verdict::checksumWrong: return "checksum wrong";
        case Verdict::endedEarly: return "ended early";
        case Verdict::wrongSync: return "wrong sync";
    }
    return "";
}

// Writes the record the attempts left in the image: one standard block in the tape's file,
// or a numbered raw file of its own.
void WriteRecord(std::FILE* tapeFile, int number) {
    if (settings.binaryOutput) {
        gtp::File file = gtp::OpenFile(NumberedPath(settings.outputPath.view(), number).c_str(), "wb");
        output::WriteImage(file.get());
        return;
    }
    if (number == 1) {
        output::WriteNameBlock(tapeFile);
    }
    output::WriteStandardBlock(tapeFile, output::RecordPayload());
}

// How good a verdict is: a right checksum, then a complete record, then one cut short.
int Rank(Verdict verdict) {
    switch (verdict) {
        case Verdict::good: return 3;
        case Verdict::checksumWrong: return 2;
        default: return 1;
    }
}

void Record(const RecordBounds& bounds) {
    TapeEntry entry;
    entry.number = static_cast<int>(tapeLog.entries.size()) + 1;
    entry.leadStart = bounds.leadStart;
    std::printf("\nRecord %i at %s\n", entry.number, TimeText(bounds.leadStart).c_str());
    if (settings.autoCalibrate) {
        signal::PrintCalibration();
    }

    // The decoders see the record's stretch as the whole recording.
    const std::int32_t count = decoder::track.sampleCount;
    decoder::track.sampleCount = bounds.extentEnd;
    int attempts = 0;
    const RecordAttempt best = AttemptRecord(bounds.begin, attempts, bounds.signalEnd);
    decoder::track.sampleCount = count;

    entry.payload = ImagePayload(best.image, best.report);
    entry.header = best.header;
    entry.verdict = Judge(best);
    for (const TapeEntry& earlier : tapeLog.entries) {
        if (earlier.payload == entry.payload) {
            entry.copyOf = earlier.number;
            break;
        }
    }
    tapeLog.entries.push_back(std::move(entry));
}

}  // namespace

void ResetTape() { tapeLog = TapeLog{}; }

std::string NumberedPath(std::string_view path, int number) {
    const auto nameStart = path.find_last_of("/\\");
    const auto dot = path.rfind('.');
    const bool extension = dot != std::string_view::npos && (nameStart == std::string_view::npos || dot > nameStart);
    const std::size_t stem = extension ? dot : path.size();
    std::string numbered(path.substr(0, stem));
    numbered.append(Format("-%i", number));
    numbered.append(path.substr(stem));
    return numbered;
}

std::string TimeText(std::int32_t sample) {
    const std::int64_t rate = decoder::cursor.sampleRate;
    const std::int64_t hundredths = rate > 0 ? std::max<std::int64_t>(sample, 0) * 100 / rate : 0;
    return Format("%lld:%02lld:%02lld.%02lld", static_cast<long long>(hundredths / 360000),
                  static_cast<long long>(hundredths / 6000 % 60), static_cast<long long>(hundredths / 100 % 60),
                  static_cast<long long>(hundredths % 100));
}

void RunTape() {
    ResetTape();
    if (settings.failCount <= 0) {
        return;
    }
    gtp::File tapeFile;
    if (!settings.binaryOutput) {
        tapeFile = gtp::OpenFile(settings.outputPath.c_str(), "wb");
    }
    std::int32_t from = 0;
    while (from < decoder::track.sampleCount) {
        RecordBounds bounds;
        // Each record calibrated on its own; the search then runs with the calibrated settings.
        const std::int32_t lead = settings.autoCalibrate ? signal::CalibrateNextRecord(from) : -1;
        const auto before = static_cast<std::int32_t>(std::max<std::int64_t>(from, std::int64_t{lead} - BytePeriodSamples()));
        if (lead >= 0) {
            bounds = FindRecord(before, lead);
            if (!bounds.found && signal::ConditionFirst()) {
                // Too rough to find as it is: found on the conditioned samples.
                bounds = FindRecord(before, lead);
            }
            if (!bounds.found) {
                from = std::max({from + 1, lead + 1, bounds.scanned});
                continue;
            }
        } else {
            if (settings.autoCalibrate) {
                // No lead-in of regular pulses: what is left is read as without /auto.
                signal::UseDocumentedSettings();
            }
            bounds = FindRecord(from);
            if (!bounds.found) {
                break;
            }
        }
        Record(bounds);
        if (lead >= 0 && tapeLog.entries.back().verdict != Verdict::good && signal::ConditionFirst()) {
            // Read as it is, the record's end may have been missed: found and read again on the
            // conditioned samples, and the better reading kept.
            const RecordBounds again = FindRecord(before, lead);
            if (again.found) {
                TapeEntry first = std::move(tapeLog.entries.back());
                tapeLog.entries.pop_back();
                std::printf("Auto: the record read again on the conditioned signal\n");
                Record(again);
                if (Rank(first.verdict) > Rank(tapeLog.entries.back().verdict)) {
                    tapeLog.entries.back() = std::move(first);
                } else {
                    bounds = again;
                }
            }
        }
        WriteRecord(tapeFile.get(), tapeLog.entries.back().number);
        from = std::max(from + 1, bounds.extentEnd);
    }
    if (tapeLog.entries.empty()) {
        // Nothing on the recording looks like a record: the documented end of an empty one.
        std::printf("\nStarting conversion\n\n");
        std::printf("No lead found !\n");
    }
    PrintSummary();
}

void PrintSummary() {
    std::printf("\nTape summary\n\n");
    int good = 0;
    int copies = 0;
    for (const TapeEntry& entry : tapeLog.entries) {
        const auto& p = entry.payload;
        std::string what;
        if (entry.header) {
            what = Format("Header: %-20s  Start: $%04x", HeaderName(p).c_str(), Word(p, 2));
            if (Word(p, 6) != 0) what += Format("  Line: %u", Word(p, 6));
        } else {
            what = Format("Start: $%04x  End+1: $%04x  Length: %i bytes", Word(p, 1), Word(p, 3),
                          static_cast<int>(Word(p, 3)) - static_cast<int>(Word(p, 1)));
        }
        std::string verdict = VerdictText(entry.verdict);
        if (entry.copyOf > 0) {
            verdict += Format(", copy of record %i", entry.copyOf);
            ++copies;
        }
        good += entry.verdict == Verdict::good ? 1 : 0;
        std::printf("%3i  %s  %-54s  %s\n", entry.number, TimeText(entry.leadStart).c_str(), what.c_str(),
                    verdict.c_str());
    }
    const int total = static_cast<int>(tapeLog.entries.size());
    std::printf("\nRecords: %i, good: %i, bad: %i, copies: %i\n", total, good, total - good, copies);
}

}  // namespace sonokas::tape
