#pragma once

#include <chrono>
#include <functional>
#include <memory>

// A repeating timer of the main loop: its block runs on the main thread every interval,
// from the next interval on, until the timer is invalidated or destroyed. The backend
// installs the scheduler that drives timers from its main loop; without one (no window
// system, or tests) a timer never fires by itself and fire() runs its block by hand.
// Main thread only.
class NSTimer {
public:
    using Block = std::function<void()>;

    static std::unique_ptr<NSTimer> scheduledTimer(std::chrono::milliseconds interval, Block block);
    ~NSTimer();
    NSTimer(const NSTimer&) = delete;
    NSTimer& operator=(const NSTimer&) = delete;

    void fire() { mBlock(); }
    void invalidate();

    // --- The backend's side ----------------------------------------------------------

    // schedule returns a nonzero handle under which cancel stops the timer again.
    struct Scheduler {
        std::function<unsigned(std::chrono::milliseconds interval, NSTimer* timer)> schedule;
        std::function<void(unsigned handle)> cancel;
    };
    static void setScheduler(Scheduler scheduler);

private:
    explicit NSTimer(Block block) : mBlock(std::move(block)) {}

    Block mBlock;
    unsigned mHandle = 0;
};
