#include "converter/tape/window.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include <pthread.h>
#include <sys/mman.h>
#include <signal.h>

#include "converter/signal/conditioning.hpp"

namespace sonokas::tape {

MemoryFeed::MemoryFeed(const std::int8_t* mix, const std::int16_t* fine, const std::int16_t* left,
                       const std::int16_t* right, std::int64_t count, std::size_t block)
    : mix_(mix), fine_(fine), left_(left), right_(right), count_(std::max<std::int64_t>(count, 0)),
      block_(std::max<std::size_t>(block, 1)) {}

std::size_t MemoryFeed::Read(std::int8_t* mix, std::int16_t* fine, std::int16_t* left, std::int16_t* right,
                             std::size_t frames) {
    const auto n = static_cast<std::size_t>(std::min<std::int64_t>({static_cast<std::int64_t>(frames),
                                                                     static_cast<std::int64_t>(block_), count_ - next_}));
    if (n == 0) return 0;
    std::memcpy(mix, mix_ + next_, n);
    if (Fine() && fine != nullptr) std::memcpy(fine, fine_ + next_, n * sizeof(std::int16_t));
    if (Channels() && left != nullptr && right != nullptr) {
        std::memcpy(left, left_ + next_, n * sizeof(std::int16_t));
        std::memcpy(right, right_ + next_, n * sizeof(std::int16_t));
    }
    next_ += static_cast<std::int64_t>(n);
    return n;
}

namespace {

constexpr std::size_t kFeedBlock = std::size_t{1} << 16;  // frames a block holds
constexpr int kFeedBlocks = 8;                            // blocks read ahead at most
// A waiting side is woken only when half the blocks are free (or one is ready): a wake-up per
// block costs the machine more than the block's copy.
constexpr std::size_t kRefill = kFeedBlocks / 2;

extern "C" void Wake(int) {}

}  // namespace

void CatchSignal(int number, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no restart: a read waiting on a pipe is broken off
    sigaction(number, &action, nullptr);
}

ThreadedFeed::ThreadedFeed(SampleFeed& source, const volatile std::sig_atomic_t* stop)
    : source_(source), stop_(stop), fine_(source.Fine()), channels_(source.Channels()) {
    // A signal that breaks a read waiting on a pipe, so that the reader thread can be ended.
    CatchSignal(SIGUSR1, Wake);
    thread_ = std::thread([this] { Produce(); });
}

ThreadedFeed::~ThreadedFeed() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    changed_.notify_all();
    // A read that waits on a pipe is broken off; the source ends it when a stop was requested.
    for (int tries = 0; tries < 50; ++tries) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (done_) break;
        }
        pthread_kill(thread_.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    bool done = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        done = done_;
    }
    if (done) {
        thread_.join();
    } else {
        thread_.detach();  // still waiting for its pipe: the process ends it
    }
}

bool ThreadedFeed::ChannelPages::Make() {
    Free();
    void* pages = mmap(nullptr, kFeedBlock * sizeof(std::int16_t), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED) return false;
    data_ = static_cast<std::int16_t*>(pages);
    return true;
}

void ThreadedFeed::ChannelPages::Free() {
    if (data_ != nullptr) munmap(data_, kFeedBlock * sizeof(std::int16_t));
    data_ = nullptr;
}

void ThreadedFeed::Produce() {
    for (;;) {
        Block block;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (!quit_ && spare_.empty() && blocks_ >= kFeedBlocks) {
                producerWaits_ = true;
                changed_.wait(lock, [&] { return quit_ || spare_.size() >= kRefill; });
                producerWaits_ = false;
            }
            if (quit_) break;
            if (!spare_.empty()) {
                block = std::move(spare_.back());
                spare_.pop_back();
            } else {
                ++blocks_;
                block.mix.resize(kFeedBlock);
                if (fine_) block.fine.resize(kFeedBlock);
                if (channels_ && (!block.left.Make() || !block.right.Make())) {
                    block.left.Free();
                    block.right.Free();
                }
            }
        }
        const bool channels = channels_ && !block.left.empty();
        if (!channels) {
            // No longer wanted (or no memory for them): their memory goes.
            block.left.Free();
            block.right.Free();
        }
        block.frames = source_.Read(block.mix.data(), fine_ ? block.fine.data() : nullptr, channels ? block.left.data() : nullptr,
                                    channels ? block.right.data() : nullptr, kFeedBlock);
        block.taken = 0;
        const bool last = block.frames == 0;
        bool wake = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (last) {
                ended_ = true;
            } else {
                ready_.push_back(std::move(block));
            }
            wake = consumerWaits_;
        }
        if (wake) changed_.notify_all();
        if (last) break;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
}

std::size_t ThreadedFeed::Read(std::int8_t* mix, std::int16_t* fine, std::int16_t* left, std::int16_t* right,
                               std::size_t frames) {
    if (current_.taken == current_.frames) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!current_.mix.empty()) spare_.push_back(std::move(current_));
        current_ = Block{};
        if (producerWaits_ && spare_.size() >= kRefill) changed_.notify_all();
        // Waits in short steps, so that a request to stop is seen at once.
        while (ready_.empty() && !ended_) {
            if (stop_ != nullptr && *stop_) return 0;
            consumerWaits_ = true;
            changed_.wait_for(lock, std::chrono::milliseconds(50));
            consumerWaits_ = false;
        }
        if (ready_.empty()) return 0;
        current_ = std::move(ready_.front());
        ready_.pop_front();
    }
    const std::size_t n = std::min(frames, current_.frames - current_.taken);
    std::memcpy(mix, current_.mix.data() + current_.taken, n);
    if (fine_ && fine != nullptr) std::memcpy(fine, current_.fine.data() + current_.taken, n * sizeof(std::int16_t));
    if (channels_ && left != nullptr && right != nullptr) {
        // A block read without its channels (no memory for them) gives the mix for both.
        const bool own = !current_.left.empty() && !current_.right.empty();
        std::memcpy(left, (own ? current_.left.data() : current_.fine.data()) + current_.taken, n * sizeof(std::int16_t));
        std::memcpy(right, (own ? current_.right.data() : current_.fine.data()) + current_.taken, n * sizeof(std::int16_t));
    }
    current_.taken += n;
    return n;
}

void TapeWindow::Drop(std::int64_t before) {
    before = std::min(before, end);
    if (before <= base) return;
    const auto gone = static_cast<std::size_t>(before - base);
    const auto kept = static_cast<std::size_t>(end - before);
    auto slide = [&](auto* data) { std::memmove(data, data + gone, kept * sizeof(*data)); };
    slide(mix.data());
    if (fine) slide(fineMix.data());
    if (channels) {
        slide(left.data());
        slide(right.data());
    }
    if (conditionedUsed) {
        slide(conditioned.get());
        std::memset(conditioned.get() + kept, 0, capacity - kept);
    }
    base = before;
}

bool TapeWindow::Reserve(std::size_t size) {
    if (size <= capacity) return true;
    const std::size_t grown = std::max(size, capacity + capacity / 4);
    input::ZeroedSamples more = input::AllocateZeroedSamples(static_cast<std::uint32_t>(std::min<std::size_t>(grown, 0x7FFFFFFF)));
    if (!more) return false;
    if (conditionedUsed) std::memcpy(more.get(), conditioned.get(), static_cast<std::size_t>(Count()));
    conditioned = std::move(more);
    if (!mix.Grow(grown) || (fine && !fineMix.Grow(grown)) || (channels && (!left.Grow(grown) || !right.Grow(grown)))) {
        return false;
    }
    capacity = grown;
    return true;
}

bool TapeWindow::Restore(std::int64_t from, const std::int8_t* givenMix, const std::int16_t* givenFine,
                         const std::int16_t* givenLeft, const std::int16_t* givenRight, const std::int8_t* givenConditioned,
                         std::int64_t to) {
    if (from >= base || to < base || to > end) return from >= base;
    const auto before = static_cast<std::size_t>(to - from);   // from the samples given
    const auto skip = static_cast<std::size_t>(to - base);      // of the window's, already given
    const auto kept = static_cast<std::size_t>(end - to);
    const std::size_t size = std::max(before + kept, capacity);
    auto rebuild = [&]<class T>(GrowingBlock<T>& samples, const T* given) {
        GrowingBlock<T> fresh;
        if (!fresh.Grow(size)) return false;
        std::memcpy(fresh.data(), given, before * sizeof(T));
        std::memcpy(fresh.data() + before, samples.data() + skip, kept * sizeof(T));
        samples.Swap(fresh);
        return true;
    };
    if (!rebuild(mix, givenMix) || (fine && !rebuild(fineMix, givenFine)) ||
        (channels && (!rebuild(left, givenLeft) || !rebuild(right, givenRight)))) {
        return false;
    }
    input::ZeroedSamples fresh = input::AllocateZeroedSamples(static_cast<std::uint32_t>(size));
    if (!fresh) return false;
    if (givenConditioned != nullptr) std::memcpy(fresh.get(), givenConditioned, before);
    if (conditionedUsed) std::memcpy(fresh.get() + before, conditioned.get() + skip, kept);
    conditioned = std::move(fresh);
    conditionedUsed = conditionedUsed || givenConditioned != nullptr;
    capacity = size;
    base = from;
    return true;
}

void TapeWindow::Measure(std::int64_t from, bool last) {
    if (levels == nullptr) return;
    auto push = [&] {
        levels->push_back(levelPeak > 0 ? static_cast<float>(20 * std::log10(levelPeak / 128.0)) : -100.0f);
        levelPeak = 0;
        levelCount = 0;
    };
    const std::int8_t* s = mix.data() + (from - base);
    for (std::int64_t k = 0, n = end - from; k < n;) {
        const std::int64_t take = std::min(n - k, levelStep - levelCount);
        int peak = levelPeak;
        for (std::int64_t j = 0; j < take; ++j) peak = std::max(peak, std::abs(int{s[k + j]}));
        levelPeak = peak;
        levelCount += take;
        k += take;
        if (levelCount == levelStep) push();
    }
    if (last && levelCount > 0) push();
}

namespace {

constexpr double kChannelLook = 60;                          // seconds looked at for a lead-in
constexpr std::int64_t kChannelStep = std::int64_t{1} << 16;  // samples read at a time meanwhile
constexpr int kChannelLeadBytes = 4;                          // zero bytes that make a lead-in

// Whether both channels carry the same pulses over a lead-in: where the difference of their
// slopes (differences of neighbouring samples) is 12 dB under the slopes' sum, the mix holds
// everything either channel holds. Slopes leave out hum, which both channels pick up alike.
bool ChannelsAgree(const std::int16_t* left, const std::int16_t* right, std::int64_t from, std::int64_t to) {
    double sum = 0, difference = 0;
    for (std::int64_t i = std::max<std::int64_t>(from, 1); i < to; ++i) {
        const int l = left[i] - left[i - 1];
        const int r = right[i] - right[i - 1];
        sum += static_cast<double>(l + r) * (l + r);
        difference += static_cast<double>(l - r) * (l - r);
    }
    return sum > 0 && difference * 16 <= sum;
}

}  // namespace

void TapeWindow::SettleChannels(SampleFeed& feed, std::int32_t rate, const volatile std::sig_atomic_t* stop) {
    if (!channels || base != 0) return;
    // Which channels a transfer needs is the deck's and the wiring's doing (a dead channel, a
    // wire swapped, heads out of line), the same for the whole tape: the first lead-in on either
    // channel shows whether the mix will do.
    const auto look = static_cast<std::int64_t>(kChannelLook * std::max(rate, 1));
    std::int32_t from[2] = {0, 0};
    for (std::int64_t upTo = kChannelStep;; upTo += kChannelStep) {
        if (!Fill(feed, upTo, stop) || (stop != nullptr && *stop)) return;  // short of memory: the loop says so
        const bool last = ended || upTo >= look;
        const std::int32_t count = Count();
        const std::int32_t complete = last ? -1 : static_cast<std::int32_t>(std::min<std::int64_t>(upTo, count));
        for (int ch = 0; ch < 2; ++ch) {
            if (from[ch] < 0) continue;
            const signal::LeadIn lead =
                signal::FindLeadIn({ch == 0 ? left.data() : right.data(), count}, from[ch], rate, kChannelLeadBytes, complete, true);
            if (lead.found && !lead.edges.empty()) {
                if (ChannelsAgree(left.data(), right.data(), lead.edges.front(), lead.edges.back())) {
                    channels = false;
                    left.Release();
                    right.Release();
                    feed.DropChannels();
                }
                return;
            }
            from[ch] = lead.resume;
        }
        if (last || (from[0] < 0 && from[1] < 0)) return;
    }
}

bool TapeWindow::Fill(SampleFeed& feed, std::int64_t upTo, const volatile std::sig_atomic_t* stop) {
    constexpr std::size_t kBlock = std::size_t{1} << 16;
    while (!ended && end < upTo) {
        if (stop != nullptr && *stop) {
            return true;
        }
        const auto count = static_cast<std::size_t>(Count());
        // Counts stay within 32 bits: the decoders address a window with them.
        if (count + kBlock > 0x7FFFFFFF || !Reserve(count + kBlock)) return false;
        const std::size_t got = feed.Read(mix.data() + count, fine ? fineMix.data() + count : nullptr,
                                          channels ? left.data() + count : nullptr,
                                          channels ? right.data() + count : nullptr, kBlock);
        if (got == 0) {
            ended = true;
        }
        end += static_cast<std::int64_t>(got);
        Measure(end - static_cast<std::int64_t>(got), ended);
    }
    return true;
}

}  // namespace sonokas::tape
