// Creative Voice file block walk: the state both passes share and the repeat loops.
#pragma once

#include <cstdint>
#include <cstdio>

#include "converter/input/sample.hpp"

namespace sonokas::input {

inline constexpr int kMaxRepeatDepth = 32;

// Blocks one pass may visit, loop passes included. Real files stay far below; a file of
// nested loops around blocks that add nothing would otherwise be walked practically forever.
// The fuzz build lowers it, so that such a file costs milliseconds there instead of seconds.
#ifdef SONOKAS_MAX_VOC_BLOCK_VISITS
inline constexpr std::uint32_t kMaxVocBlockVisits = SONOKAS_MAX_VOC_BLOCK_VISITS;
#else
inline constexpr std::uint32_t kMaxVocBlockVisits = 1u << 23;
#endif

// The innermost open loop; remaining 0 means no loop is open.
struct RepeatLoop {
    long loopStart = 0;  // file position right after the repeat count
    std::uint16_t remaining = 0;
};

// The loops that enclose the innermost one.
struct RepeatStack {
    std::int32_t depth = 0;
    RepeatLoop entries[kMaxRepeatDepth];
};

// The file as the walk reads it: a window of it in memory, so that the many small blocks
// and loop jumps of a chain cost no system call each.
struct VocSource {
    std::FILE* file = nullptr;
    long fileSize = 0;     // sound data is counted only as far as the file holds it
    long windowStart = 0;  // file offset of bytes[0]
    std::size_t windowSize = 0;
    std::size_t next = 0;  // the read position, an index into the window
    std::uint8_t bytes[64 * 1024];
};

// Reads from the file's current position on.
void OpenVocSource(VocSource& source, std::FILE* file);
long TellVoc(const VocSource& source);
void SeekVoc(VocSource& source, long position);
// Bytes read, fewer at the end of the file.
std::size_t ReadVoc(VocSource& source, std::uint8_t* destination, std::size_t size);

struct VocWalk {
    int bits = 0;  // current format, 0 while unset
    int channels = 0;
    RepeatLoop loop;
    RepeatStack stack;
    std::int32_t recordingRate = -1;  // from the first type 1 or type 9 block; kept across passes
    std::uint32_t blocksVisited = 0;
};

extern VocWalk vocWalk;

// Everything back to the start of a load: rate unknown, format unset, no loop, stack empty.
void ResetVocWalk();

// The start of one pass: format unset, no loop, stack empty, no block visited. Keeps the rate.
void BeginVocPass();

// Moves a loop onto the stack; false when 32 are already there.
bool PushRepeat(const RepeatLoop& entry);
// Takes the last pushed loop off the stack; false when the stack is empty.
bool PopRepeat(RepeatLoop& entry);

// Repeat start with `count`, read just before the source's position. 0 opens nothing.
void BeginRepeat(VocSource& source, std::uint16_t count);
// Repeat end: walks the innermost loop's body again, or closes it.
void EndRepeat(VocSource& source);

// Counting pass from the source's position (the first block). LoadOk with the sample total,
// LoadNoMemory when the total does not fit a sample count, LoadBadFormat for a sound block
// in a layout that cannot be converted, a rate of 0 or a walk past kMaxVocBlockVisits.
LoadStatus CountVocSamples(VocSource& source, std::uint32_t& total);

// Filling pass over the same chain: writes at most `count` samples, and zeros where the
// chain gives fewer (only if the file changed between the passes).
void FillVocSamples(VocSource& source, std::int8_t* samples, std::uint32_t count);

}  // namespace sonokas::input
