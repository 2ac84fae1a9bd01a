// A whole tape read as a stream: the samples arrive in blocks from a feed, and a window keeps
// the stretch the record loop still needs, so that memory follows the longest record, not the tape.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <utility>
#include <thread>
#include <vector>

#include "converter/input/sample.hpp"

namespace sonokas::tape {

// Where the samples come from: the mix, the 16-bit mix when Fine() (what "/auto" calibrates
// on) and, when Channels(), the 16-bit left and right channel.
class SampleFeed {
public:
    virtual ~SampleFeed() = default;
    // Up to `frames` frames; fewer when no more have arrived yet; 0 at the end.
    virtual std::size_t Read(std::int8_t* mix, std::int16_t* fine, std::int16_t* left, std::int16_t* right,
                             std::size_t frames) = 0;
    virtual bool Fine() const = 0;
    virtual bool Channels() const = 0;
    // From now on the channels are not wanted (Read is given none).
    virtual void DropChannels() {}
};

// Samples already in memory, handed out in blocks of at most `block` frames.
class MemoryFeed : public SampleFeed {
public:
    MemoryFeed(const std::int8_t* mix, const std::int16_t* fine, const std::int16_t* left, const std::int16_t* right,
               std::int64_t count, std::size_t block = std::size_t{1} << 16);
    std::size_t Read(std::int8_t* mix, std::int16_t* fine, std::int16_t* left, std::int16_t* right,
                     std::size_t frames) override;
    bool Fine() const override { return fine_ != nullptr; }
    bool Channels() const override { return fine_ != nullptr && left_ != nullptr && right_ != nullptr; }
    void DropChannels() override { left_ = right_ = nullptr; }

private:
    const std::int8_t* mix_;
    const std::int16_t* fine_;
    const std::int16_t* left_;
    const std::int16_t* right_;
    std::int64_t count_;
    std::int64_t next_ = 0;
    std::size_t block_;
};

// Runs `handler` on signal `number`, breaking off a read that waits (no restart).
void CatchSignal(int number, void (*handler)(int));

// Another feed read on a thread of its own, a few blocks ahead: the recording is read and
// converted while the record loop decodes. A request to stop (`stop`) ends a wait for samples.
class ThreadedFeed : public SampleFeed {
public:
    ThreadedFeed(SampleFeed& source, const volatile std::sig_atomic_t* stop);
    ~ThreadedFeed() override;
    ThreadedFeed(const ThreadedFeed&) = delete;
    ThreadedFeed& operator=(const ThreadedFeed&) = delete;
    std::size_t Read(std::int8_t* mix, std::int16_t* fine, std::int16_t* left, std::int16_t* right,
                     std::size_t frames) override;
    bool Fine() const override { return fine_; }
    bool Channels() const override { return channels_; }
    void DropChannels() override { channels_ = false; }

private:
    // A channel's samples in pages of their own, given back to the system when freed: the reader
    // thread's heap would keep them, and a stereo tape's window is at its largest later on.
    class ChannelPages {
    public:
        ChannelPages() = default;
        ChannelPages(ChannelPages&& other) noexcept : data_(std::exchange(other.data_, nullptr)) {}
        ChannelPages& operator=(ChannelPages&& other) noexcept {
            if (this != &other) {
                Free();
                data_ = std::exchange(other.data_, nullptr);
            }
            return *this;
        }
        ~ChannelPages() { Free(); }
        // Room for a block's samples; false when memory is short.
        bool Make();
        void Free();
        std::int16_t* data() { return data_; }
        bool empty() const { return data_ == nullptr; }

    private:
        std::int16_t* data_ = nullptr;
    };
    struct Block {
        std::vector<std::int8_t> mix;
        std::vector<std::int16_t> fine;
        ChannelPages left, right;
        std::size_t frames = 0;
        std::size_t taken = 0;
    };
    void Produce();

    SampleFeed& source_;
    const volatile std::sig_atomic_t* stop_;
    const bool fine_;
    std::atomic<bool> channels_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Block> ready_;       // read, not yet taken
    std::vector<Block> spare_;      // taken, to be filled again
    int blocks_ = 0;                // blocks made so far
    bool ended_ = false;            // the source has no more
    bool quit_ = false;             // the reader is no longer wanted
    bool done_ = false;             // the thread has left its loop
    bool producerWaits_ = false;    // the thread waits for free blocks
    bool consumerWaits_ = false;    // Read waits for a block
    Block current_;
    std::thread thread_;
};

// A block of samples that grows in place where the system can (a large block is moved by
// remapping its pages, not copied), so that growing never holds the old and the new block at once.
template <class T>
class GrowingBlock {
public:
    GrowingBlock() = default;
    GrowingBlock(const GrowingBlock&) = delete;
    GrowingBlock& operator=(const GrowingBlock&) = delete;
    ~GrowingBlock() { std::free(data_); }
    T* data() { return data_; }
    const T* data() const { return data_; }
    // To `size` samples; false (and the block as it was) when memory is short.
    bool Grow(std::size_t size) {
        void* grown = std::realloc(data_, std::max<std::size_t>(size, 1) * sizeof(T));
        if (grown == nullptr) return false;
        data_ = static_cast<T*>(grown);
        return true;
    }
    void Swap(GrowingBlock& other) { std::swap(data_, other.data_); }
    void Release() {
        std::free(data_);
        data_ = nullptr;
    }

private:
    T* data_ = nullptr;
};
using GrowingSamples = GrowingBlock<std::int8_t>;
using GrowingFine = GrowingBlock<std::int16_t>;

// Samples [base, end) of the recording; index 0 of each array is sample `base`.
struct TapeWindow {
    std::int64_t base = 0;
    std::int64_t end = 0;
    bool ended = false;       // the feed has no more
    bool fine = false;        // the 16-bit mix is kept ("/auto")
    bool channels = false;    // and both channels
    GrowingSamples mix;
    GrowingFine fineMix, left, right;
    input::ZeroedSamples conditioned;  // lent to the calibration; untouched pages cost nothing
    bool conditionedUsed = false;
    std::size_t capacity = 0;
    // The recording's level along the way, when wanted: the peak of every `levelStep` samples in dBFS.
    std::vector<float>* levels = nullptr;
    std::int64_t levelStep = 1;
    int levelPeak = 0;
    std::int64_t levelCount = 0;

    std::int32_t Count() const { return static_cast<std::int32_t>(end - base); }
    // Forgets the samples before `before`.
    void Drop(std::int64_t before);
    // Puts the samples [from, to) back before the window (which must still hold from `to` on):
    // the mix, the 16-bit mix and channels the window keeps, and the conditioned samples (none:
    // zeros) as given.
    bool Restore(std::int64_t from, const std::int8_t* mix, const std::int16_t* fine, const std::int16_t* left,
                 const std::int16_t* right, const std::int8_t* conditioned, std::int64_t to);
    // Adds the peaks of the samples from `from` on to the levels (the rest of a step at the end).
    void Measure(std::int64_t from, bool last);
    // Reads until the window reaches `upTo` or the feed ends (or stops); false when short of memory.
    bool Fill(SampleFeed& feed, std::int64_t upTo, const volatile std::sig_atomic_t* stop);
    // Before anything is read from a window that keeps both channels: reads on to the first
    // lead-in on either channel (`rate` samples a second) and, where both channels carry its
    // pulses alike, keeps the mix alone from then on (and tells the feed). Else, or with no
    // lead-in in the first minute, or when short of memory (the record loop then says so), the
    // channels stay.
    void SettleChannels(SampleFeed& feed, std::int32_t rate, const volatile std::sig_atomic_t* stop);

private:
    bool Reserve(std::size_t size);
};

}  // namespace sonokas::tape
