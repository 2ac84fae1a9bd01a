#include "converter/merge/tape_merge.hpp"

#include <algorithm>
#include <cstdio>
#include <string>

#include "converter/merge/merge.hpp"
#include "converter/report/report_text.hpp"

namespace sonokas::merge {

namespace {

using report::Format;
using tape::TapeEntry;
using tape::Verdict;

// The most cells of the table that matches one pass to the records so far (about 2000 records
// each): a pass beyond it is left out rather than matched at unbounded cost.
constexpr std::size_t kMostCells = std::size_t{4} << 20;

struct Source {
    int recording = 0;  // 0: the main recording
    const TapeEntry* entry = nullptr;
};

// One record of the tape: its readings in every recording, and what comes out.
struct Slot {
    std::vector<Source> readings;
    std::vector<std::uint8_t> key;
    TapeEntry out;
};

Bytes BytesOf(const TapeEntry& e) { return {e.payload, e.confidence, e.byteStarts}; }

int Doubtful(const TapeEntry& e) { return tape::DoubtfulBytes(e); }

int Rank(Verdict verdict) { return tape::VerdictRank(verdict); }

// "3" for record 3 of a single recording; "2:3" for record 3 of recording 2 among several.
std::string Label(const Source& s, bool passes) {
    return passes ? Format("%i:%i", s.recording + 1, s.entry->number) : Format("%i", s.entry->number);
}

std::string Labels(const std::vector<Source>& readings, bool passes) {
    std::string text;
    for (const Source& s : readings) text += (text.empty() ? "" : ", ") + Label(s, passes);
    return text;
}

// The record merged from `readings` into `out`, when that holds.
bool MergeInto(TapeEntry& out, const std::vector<Source>& readings) {
    std::vector<Bytes> bytes;
    for (const Source& s : readings) bytes.push_back(BytesOf(*s.entry));
    std::optional<std::vector<std::uint8_t>> merged = MergeReadings(bytes);
    if (!merged) return false;
    out.payload = std::move(*merged);
    out.confidence.assign(out.payload.size(), 1.0f);
    out.byteStarts.clear();  // its bytes stand in their places
    out.verdict = Verdict::good;
    return true;
}

// A slot's record from its best reading (a right checksum first, then a complete record, then
// fewer doubtful bytes, the main recording's on a tie), or merged when none alone is good.
void Choose(Slot& slot, bool passes) {
    const Source* best = &slot.readings.front();
    for (const Source& s : slot.readings) {
        const TapeEntry& e = *s.entry;
        const TapeEntry& b = *best->entry;
        if (Rank(e.verdict) > Rank(b.verdict) || (Rank(e.verdict) == Rank(b.verdict) && Doubtful(e) < Doubtful(b))) {
            best = &s;
        }
    }
    slot.out = *best->entry;
    for (const Source& s : slot.readings) {
        if (s.recording == 0) {
            // Where the main recording has it: the summary's time is the main recording's.
            slot.out.leadStart = s.entry->leadStart;
            slot.out.signalEnd = s.entry->signalEnd;
        }
    }
    slot.key = RecordKey(slot.out.payload);
    std::string readings;
    for (const Source& s : slot.readings) {
        readings += Format("%s%s %s", readings.empty() ? "" : ", ", Label(s, true).c_str(),
                           tape::VerdictText(s.entry->verdict));
    }
    if (passes) slot.out.how = "readings " + readings;
    if (slot.out.verdict != Verdict::good && slot.readings.size() > 1 && MergeInto(slot.out, slot.readings)) {
        slot.out.how = "merged from " + readings;
    }
}

// Where a pass's records fall among the slots: the longest run of matching keys in order
// (the first of equal runs), the pass's other records placed between the matched ones.
void MatchPass(std::vector<Slot>& slots, const std::vector<TapeEntry>& pass, int recording) {
    const std::size_t n = slots.size();
    const std::size_t m = pass.size();
    if ((n + 1) * (m + 1) > kMostCells) {
        std::printf("\nRecording %i: too many records to match, left out\n", recording + 1);
        return;
    }
    std::vector<std::vector<std::uint8_t>> keys(m);
    for (std::size_t j = 0; j < m; ++j) keys[j] = RecordKey(pass[j].payload);
    auto same = [&](std::size_t i, std::size_t j) { return !keys[j].empty() && slots[i].key == keys[j]; };
    std::vector<std::uint32_t> run((n + 1) * (m + 1), 0);
    auto at = [&](std::size_t i, std::size_t j) -> std::uint32_t& { return run[i * (m + 1) + j]; };
    for (std::size_t i = n; i-- > 0;) {
        for (std::size_t j = m; j-- > 0;) {
            at(i, j) = same(i, j) ? at(i + 1, j + 1) + 1 : std::max(at(i + 1, j), at(i, j + 1));
        }
    }
    std::vector<Slot> merged;
    std::vector<std::size_t> gapSlots;
    std::vector<std::size_t> gapPass;
    // Records between two matched ones: the pass's are added, unless the slots there hold
    // records of their own that a bad one of the pass may be a misreading of; a good one always.
    auto flush = [&] {
        for (std::size_t i : gapSlots) merged.push_back(std::move(slots[i]));
        for (std::size_t j : gapPass) {
            if (!gapSlots.empty() && pass[j].verdict != Verdict::good) continue;
            Slot slot;
            slot.readings.push_back({recording, &pass[j]});
            slot.key = keys[j];
            merged.push_back(std::move(slot));
        }
        gapSlots.clear();
        gapPass.clear();
    };
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < n || j < m) {
        if (i < n && j < m && same(i, j) && at(i, j) == at(i + 1, j + 1) + 1) {
            flush();
            slots[i].readings.push_back({recording, &pass[j]});
            merged.push_back(std::move(slots[i]));
            ++i;
            ++j;
        } else if (j < m && (i == n || at(i, j + 1) >= at(i + 1, j))) {
            gapPass.push_back(j++);
        } else {
            gapSlots.push_back(i++);
        }
    }
    flush();
    slots = std::move(merged);
}

// Copies of a record on the tape (slots of one key): a bad one is restored from a good one
// when it differs from it only in its doubtful bytes; the bad ones left are merged.
void MergeCopies(std::vector<Slot>& slots, bool passes) {
    std::vector<bool> grouped(slots.size(), false);
    for (std::size_t first = 0; first < slots.size(); ++first) {
        if (grouped[first] || slots[first].key.empty()) continue;
        std::vector<std::size_t> members;
        for (std::size_t i = first; i < slots.size(); ++i) {
            if (!grouped[i] && slots[i].key == slots[first].key) {
                grouped[i] = true;
                members.push_back(i);
            }
        }
        if (members.size() < 2) continue;
        std::vector<std::size_t> bad;
        for (std::size_t i : members) {
            TapeEntry& out = slots[i].out;
            if (out.verdict == Verdict::good) continue;
            bool restored = false;
            for (std::size_t g : members) {
                const TapeEntry& good = slots[g].out;
                if (good.verdict != Verdict::good || !Holds(good.payload) || !Restorable(BytesOf(out), good.payload)) {
                    continue;
                }
                out.payload = good.payload;
                out.confidence = good.confidence;
                out.byteStarts = good.byteStarts;
                out.verdict = Verdict::good;
                out.how = Format("restored from record %zu", g + 1);
                restored = true;
                break;
            }
            if (!restored) bad.push_back(i);
        }
        if (bad.size() < 2) continue;
        std::vector<Source> readings;
        std::string records;
        for (std::size_t i : bad) {
            readings.insert(readings.end(), slots[i].readings.begin(), slots[i].readings.end());
            records += Format("%s%zu", records.empty() ? "" : ", ", i + 1);
        }
        TapeEntry merged = slots[bad.front()].out;
        if (!MergeInto(merged, readings)) continue;
        for (std::size_t i : bad) {
            slots[i].out.payload = merged.payload;
            slots[i].out.confidence = merged.confidence;
            slots[i].out.byteStarts.clear();
            slots[i].out.verdict = Verdict::good;
            slots[i].out.how = "merged from records " + records + (passes ? " (" + Labels(readings, true) + ")" : "");
        }
    }
}

}  // namespace

std::vector<TapeEntry> MergeTape(const std::vector<std::vector<TapeEntry>>& recordings, bool& changed) {
    changed = false;
    if (recordings.empty()) return {};
    const bool passes = recordings.size() > 1;
    std::vector<Slot> slots;
    for (const TapeEntry& e : recordings[0]) {
        Slot slot;
        slot.readings.push_back({0, &e});
        slot.key = RecordKey(e.payload);
        slots.push_back(std::move(slot));
    }
    for (std::size_t r = 1; r < recordings.size(); ++r) MatchPass(slots, recordings[r], static_cast<int>(r));
    for (Slot& slot : slots) Choose(slot, passes);
    MergeCopies(slots, passes);
    std::vector<TapeEntry> entries;
    for (std::size_t i = 0; i < slots.size(); ++i) {
        TapeEntry out = std::move(slots[i].out);
        out.number = static_cast<int>(i) + 1;
        out.copyOf = 0;
        for (const TapeEntry& earlier : entries) {
            if (earlier.payload == out.payload) {
                out.copyOf = earlier.number;
                break;
            }
        }
        if (out.how.rfind("merged", 0) == 0 || out.how.rfind("restored", 0) == 0) {
            std::printf("\nRecord %i: %s\n", out.number, out.how.c_str());
        }
        entries.push_back(std::move(out));
    }
    const std::vector<TapeEntry>& main = recordings[0];
    changed = entries.size() != main.size() ||
              !std::equal(entries.begin(), entries.end(), main.begin(),
                          [](const TapeEntry& a, const TapeEntry& b) { return a.payload == b.payload; });
    return entries;
}

}  // namespace sonokas::merge
