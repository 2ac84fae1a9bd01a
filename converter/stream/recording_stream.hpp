// A recording read once, block by block as it arrives, from a file or a pipe: the samples that
// LoadRecording gives, handed out a few blocks at a time, in memory that does not grow with it.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "converter/input/sample.hpp"

namespace sonokas::stream {

// Where a stream's bytes come from.
class ByteInput {
public:
    virtual ~ByteInput() = default;
    // Up to `size` bytes into `into`: whatever is there now (a pipe may give fewer), blocking
    // only while nothing at all has arrived; 0 at the end of the input.
    virtual std::size_t Read(std::uint8_t* into, std::size_t size) = 0;
};

// A file descriptor read with read(2) (standard input is descriptor 0); EINTR is retried
// unless `stop` (may be null) is set, so that a signal handler can end a blocked read. A read
// error ends the input. The descriptor stays open.
std::unique_ptr<ByteInput> DescriptorInput(int fd, const volatile std::sig_atomic_t* stop = nullptr);

// Bytes in memory handed out in the given piece sizes, one piece per read and round again
// (tests, fuzzing): a pipe may split anywhere. A piece of 0 counts as 1; no pieces, as one.
std::unique_ptr<ByteInput> MemoryInput(std::vector<std::uint8_t> bytes, std::vector<std::size_t> pieces);

class RecordingStream {
public:
    RecordingStream();
    ~RecordingStream();
    RecordingStream(const RecordingStream&) = delete;
    RecordingStream& operator=(const RecordingStream&) = delete;

    // A path, or "-" for standard input. A WAV file is read block by block; any other input is
    // loaded whole with input::LoadRecording (a pipe's bytes first copied to a temporary file,
    // those already read included) and handed out from memory. The status is the one
    // LoadRecording gives for the same bytes. A regular file's length is known in advance;
    // standard input, and any path that is not a regular file, is read as a pipe. When a
    // pipe's bytes cannot be kept for the whole load (no temporary file), LoadNoMemory.
    input::LoadStatus Open(const char* path, bool keepChannels);
    input::LoadStatus Open(std::unique_ptr<ByteInput> input, bool keepChannels);

    // typeText and sampleRate always; sampleCount and the duration as LoadWav computes them when
    // the length is known in advance; from a pipe, sampleCount 0 (LengthKnown() false).
    const input::SampleInfo& Info() const;
    bool LengthKnown() const;
    // Left and right are filled (keepChannels and two channels or more).
    bool HasChannels() const;
    // The 16-bit mix is filled (keepChannels).
    bool HasFine() const;
    // The recording's channel count (after a successful Open).
    int Channels() const;

    // The next frames, at most `frames`: the mix, the 16-bit mix when HasFine() and the 16-bit
    // left/right when HasChannels() (else they may be null). Returns as soon as some whole frames are there; 0 at the end (the stated
    // data size, or the end of the input; a frame cut off by it is dropped) and for 0 frames.
    std::size_t Read(std::int8_t* mix, std::int16_t* fine, std::int16_t* left, std::int16_t* right, std::size_t frames);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace sonokas::stream
