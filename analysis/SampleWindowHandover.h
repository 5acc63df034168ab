#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

// A sample of the analysis window, written by the intake on the audio thread and read by
// frames on the main thread at the same time: each value is read and written whole.
using SharedFloat = std::atomic<float>;

// Hands the analysis window's sample array from the audio thread, which replaces it when
// the block length changes, to readers on other threads, so that no reader ever touches an
// array that has been freed. Neither side waits: a reader announces itself with one atomic
// increment; the audio thread frees a replaced array at once when no reader is inside,
// and otherwise keeps it on a list of retired arrays until a later replacement or the
// destruction finds none.
//
// Threads: publish() on the audio thread only (the one writer); Reader on any thread.
class SampleWindowHandover {
    struct Window {
        std::unique_ptr<SharedFloat[]> samples;
        std::int32_t size = 0;
        Window* nextRetired = nullptr; // audio thread only
    };

public:
    SampleWindowHandover() = default;
    ~SampleWindowHandover();
    SampleWindowHandover(const SampleWindowHandover&) = delete;
    SampleWindowHandover& operator=(const SampleWindowHandover&) = delete;

    // Allocates a zero-filled array of size samples and makes it the current window.
    // Allocates; called only by the intake's rebuild. Returns the new array, or null when
    // it cannot be allocated (the old window then stays).
    SharedFloat* replace(std::int32_t size);

    // A reader's view of the current window for as long as the Reader lives.
    class Reader {
    public:
        explicit Reader(const SampleWindowHandover& handover) noexcept;
        ~Reader();
        Reader(const Reader&) = delete;
        Reader& operator=(const Reader&) = delete;
        // Null and 0 before the first window exists.
        const SharedFloat* samples() const noexcept {
            return mWindow ? mWindow->samples.get() : nullptr;
        }
        std::int32_t size() const noexcept { return mWindow ? mWindow->size : 0; }

    private:
        const SampleWindowHandover& mHandover;
        const Window* mWindow;
    };

    // Replaced arrays not yet freed because a reader was inside at the time. Audio
    // thread only.
    std::int32_t retiredCount() const noexcept;

private:
    void reclaimRetired();

    std::atomic<Window*> mCurrent{nullptr};
    mutable std::atomic<int> mReaders{0};
    Window* mRetired = nullptr; // newest first; audio thread only
};
