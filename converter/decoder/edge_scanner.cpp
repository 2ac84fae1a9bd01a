#include "converter/decoder/edge_scanner.hpp"

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "converter/decoder/cursor.hpp"
#include "converter/decoder/reader.hpp"
#include "converter/settings.hpp"

namespace sonokas::decoder {

namespace {

// The scan, over each sample once. A swing is a run of steps one way (falling: each sample below
// the one before; rising: above it, flat steps included); the swing is an edge when it spans more
// than the threshold, and the edge lies just past the sample that ends the run. The first sample
// is stepped to from `previousSample`. Sixteen steps are compared at once where the machine can.
template <bool kRising>
int ScanEdge(DecoderCursor& cursor, const std::int8_t* s, std::int32_t count, std::int32_t threshold) {
    const std::int32_t position = cursor.position;
    // Steps that begin a run, and steps that end one.
    auto begins = [](int before, int value) { return kRising ? value > before : value < before; };
    auto ends = [](int before, int value) { return kRising ? value < before : value >= before; };
    auto spans = [&](int start, std::int32_t last) {
        const int swing = kRising ? s[last] - start : start - s[last];
        return swing > threshold;
    };
    auto edge = [&](std::int32_t last) {
        // Past the sample that ended the run (the recording's end when none did).
        const std::int32_t at = last + 2 < count ? last + 2 : count;
        cursor.position = at;
        cursor.previousSample = s[at - 1];
        return 1;
    };
    bool inRun = begins(cursor.previousSample, s[position]);
    int start = cursor.previousSample;  // the sample before the run
    std::int32_t first = position;      // the run's first sample
    std::int32_t k = position + 1;
#if defined(__SSE2__)
    for (; k + 16 <= count; k += 16) {
        const __m128i now = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + k));
        const __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + k - 1));
        const auto falls = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpgt_epi8(before, now)));
        const auto rises = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpgt_epi8(now, before)));
        const unsigned beginMask = kRising ? rises : falls;
        const unsigned endMask = kRising ? falls : ~falls & 0xFFFFu;
        unsigned from = 0;
        while (from < 16) {
            const unsigned mask = (inRun ? endMask : beginMask) & (0xFFFFu << from);
            if (mask == 0) break;
            const auto bit = static_cast<unsigned>(__builtin_ctz(mask));
            const std::int32_t at = k + static_cast<std::int32_t>(bit);
            if (inRun) {
                if (spans(start, at - 1)) return edge(at - 1);
                inRun = false;
                from = bit;
            } else {
                inRun = true;
                start = s[at - 1];
                first = at;
                from = bit + 1;
            }
        }
    }
#endif
    for (; k < count; ++k) {
        if (inRun) {
            if (ends(s[k - 1], s[k])) {
                if (spans(start, k - 1)) return edge(k - 1);
                inRun = false;
            }
        } else if (begins(s[k - 1], s[k])) {
            inRun = true;
            start = s[k - 1];
            first = k;
        }
    }
    // A run that reaches the end counts, unless it begins with the last sample.
    if (inRun && first < count - 1 && spans(start, count - 1)) return edge(count - 1);
    cursor.position = count;
    cursor.previousSample = s[count - 1];
    return 0;
}

}  // namespace

namespace {

// The next edge from the edges found before, when the cursor stands where that scan stood (past
// an edge, or where it began, with the sample before as it was) and the edge lies before the
// track's end (an edge at the end may have been cut off there): -1 otherwise.
std::int32_t KnownEdge(Reader& r) {
    const std::vector<std::int32_t>& edges = *r.edges;
    const std::int32_t position = r.cursor.position;
    const int before = position > 0 ? r.track.samples[position - 1] : 0;
    if (position < r.edgesFrom || r.cursor.previousSample != before) return -1;
    std::size_t& i = r.edgeIndex;
    if (i > edges.size() || (i > 0 && edges[i - 1] > position)) i = 0;
    if (i == 0 || edges[i - 1] != position) {
        if (position != r.edgesFrom && !std::binary_search(edges.begin(), edges.end(), position)) return -1;
        i = static_cast<std::size_t>(std::upper_bound(edges.begin(), edges.end(), position) - edges.begin());
    }
    if (i >= edges.size() || edges[i] >= r.track.sampleCount) return -1;
    return edges[i++];
}

}  // namespace

int NextEdge(Reader& r) {
    if (r.cursor.position >= r.track.sampleCount || r.cursor.position < 0) {
        return 0;
    }
    if (r.edges != nullptr) {
        const std::int32_t edge = KnownEdge(r);
        if (edge >= 0) {
            r.cursor.position = edge;
            r.cursor.previousSample = r.track.samples[edge - 1];
            return 1;
        }
    }
    if (r.reverseDirection) {
        return ScanEdge<true>(r.cursor, r.track.samples, r.track.sampleCount, r.threshold);
    }
    return ScanEdge<false>(r.cursor, r.track.samples, r.track.sampleCount, r.threshold);
}

int NextEdge() {
    TakeSettings(reader);
    return NextEdge(reader);
}

}  // namespace sonokas::decoder
