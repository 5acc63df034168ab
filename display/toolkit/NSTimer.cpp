#include "NSTimer.h"

namespace {

NSTimer::Scheduler& scheduler() {
    static NSTimer::Scheduler installed;
    return installed;
}

} // namespace

std::unique_ptr<NSTimer> NSTimer::scheduledTimer(std::chrono::milliseconds interval, Block block) {
    std::unique_ptr<NSTimer> timer(new NSTimer(std::move(block)));
    if (scheduler().schedule) {
        timer->mHandle = scheduler().schedule(interval, timer.get());
    }
    return timer;
}

NSTimer::~NSTimer() {
    invalidate();
}

void NSTimer::invalidate() {
    if (mHandle != 0 && scheduler().cancel) {
        scheduler().cancel(mHandle);
    }
    mHandle = 0;
}

void NSTimer::setScheduler(Scheduler installed) {
    scheduler() = std::move(installed);
}
