#include "AudioSupervisor.h"

#include "Diagnostics.h"
#include "MySoundPort.h"
#include "SoundView.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

// Runs `job` with this thread's diagnostics collected into `text`.
bool collectDiagnostics(const std::function<bool()>& job, std::string& text) {
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* stream = open_memstream(&buffer, &size);
    std::FILE* const previous = captureDiagnostics(stream);
    const bool result = job();
    captureDiagnostics(previous);
    if (stream != nullptr) {
        std::fclose(stream);
        text.assign(buffer, size);
    }
    std::free(buffer);
    return result;
}

double seconds(std::chrono::steady_clock::time_point time) {
    return std::chrono::duration<double>(time.time_since_epoch()).count();
}

} // namespace

AudioSupervisor::AudioSupervisor(MySoundPort& port) : mPort(port) {}

AudioSupervisor::~AudioSupervisor() {
    if (mWorker.joinable()) {
        mWorker.join();
    }
}

bool AudioSupervisor::allowed(Phase from, Phase to) {
    struct Move {
        Phase from, to;
    };
    static constexpr Move kMoves[] = {
        {Phase::idle, Phase::starting},      {Phase::starting, Phase::handshake},
        {Phase::starting, Phase::stopping},  {Phase::handshake, Phase::running},
        {Phase::handshake, Phase::stopping}, {Phase::running, Phase::stopping},
        {Phase::stopping, Phase::waiting},   {Phase::waiting, Phase::starting},
    };
    if (to == Phase::ended) {
        return from != Phase::ended;
    }
    return std::any_of(std::begin(kMoves), std::end(kMoves),
                       [&](const Move& move) { return move.from == from && move.to == to; });
}

bool AudioSupervisor::moveTo(Phase next) {
    if (!allowed(mPhase, next)) {
        return false;
    }
    mPhase = next;
    mPhaseStart = Clock::now();
    return true;
}

void AudioSupervisor::begin() {
    if (mPhase == Phase::idle) {
        mStatus = Status::flowing;
        attempt();
    }
}

void AudioSupervisor::attempt() {
    if (!moveTo(Phase::starting)) {
        return;
    }
    runOnWorker([this] {
        collectDiagnostics(
            [this] {
                mPort.setup();
                return true;
            },
            mSetupText);
        return mPort.start();
    });
}

void AudioSupervisor::stopEngine() {
    // Whatever was installed goes before the next try.
    if (!moveTo(Phase::stopping)) {
        return;
    }
    runOnWorker([this] {
        mPort.stop();
        return true;
    });
}

void AudioSupervisor::runOnWorker(std::function<bool()> job) {
    mWorkerDone.store(false, std::memory_order_relaxed);
    mWorker = std::thread([this, job = std::move(job)] {
        mWorkerResult = collectDiagnostics(job, mWorkerText);
        mWorkerDone.store(true, std::memory_order_release);
    });
}

bool AudioSupervisor::workerFinished() {
    if (!mWorker.joinable()) {
        return true;
    }
    if (!mWorkerDone.load(std::memory_order_acquire)) {
        return false;
    }
    mWorker.join();
    return true;
}

void AudioSupervisor::say(const std::string& text) {
    if (text.empty()) {
        return;
    }
    std::fputs(text.c_str(), diagnostics());
    std::fflush(diagnostics());
}

void AudioSupervisor::tellDeviceReport() {
    if (mSetupText != mLastReport) {
        say(mSetupText);
        mLastReport = mSetupText;
    }
}

void AudioSupervisor::report(const std::string& failure) {
    if (failure != mLastFailure) {
        say(failure);
        mLastFailure = failure;
    }
}

void AudioSupervisor::fail(Status status, const std::string& failure) {
    report(failure);
    mStatus = status;
    stopEngine();
}

void AudioSupervisor::tick() {
    const Clock::time_point now = Clock::now();
    if (mPhase == Phase::ended) {
        return;
    }
    // Ticks that come far apart mean this process stood still (stopped, or its main loop
    // held up): the devices' calls were not missed meanwhile, they could not be seen.
    if (now - mLastTick > kPausedTicks) {
        mInputSeen = mOutputSeen = mOutputHeard = now;
    }
    mLastTick = now;
    feedSilence(now);
    if (!workerFinished()) {
        if (!mEverRan && mStatus == Status::flowing && now - mPhaseStart > mQuietStart) {
            mStatus = Status::starting;
        }
        return;
    }
    switch (mPhase) {
    case Phase::starting:
    case Phase::stopping:
        finishJob();
        break;
    case Phase::handshake:
        watchHandshake(now);
        break;
    case Phase::running:
        watchRunning(now);
        break;
    case Phase::waiting:
        if (now >= mRetryAt) {
            attempt();
        }
        break;
    default:
        break;
    }
}

void AudioSupervisor::finishJob() {
    const Clock::time_point now = Clock::now();
    if (mPhase == Phase::stopping) {
        say(mWorkerText);
        moveTo(Phase::waiting);
        // An engine that ran is tried again at once (the device may well be back, as
        // after a stall); a start that failed waits before the next try.
        // A sound server that is away costs nothing to ask again, and a guitarist waits
        // for it to come back: asked more often.
        const auto interval =
            mStatus == Status::serverStopped ? mRetryInterval / 4 : mRetryInterval;
        mRetryAt = mRetryAtOnce ? now : now + interval;
        mRetryAtOnce = false;
        return;
    }
    if (mWorkerResult) {
        // What the start said (the device reports) is told once audio flows, or with the
        // failure if it does not.
        mStartText = mWorkerText;
        moveTo(Phase::handshake);
        mInputCalls = mPort.mInputCalls.load(std::memory_order_relaxed);
        mOutputCalls = mPort.mOutputCalls.load(std::memory_order_relaxed);
        return;
    }
    tellDeviceReport();
    report(mWorkerText);
    const bool missing = mPort.mInputDevice.device == 0 || mPort.mOutputDevice.device == 0;
    if ((missing && mPort.mDeviceLookupStatus == kAudioHardwareNotRespondingError) ||
        mPort.mStartRefusal == kAudioHardwareNotRespondingError) {
        // A call left behind in the sound system: every call is refused until it returns.
        mStatus = Status::notAnswering;
    } else if (missing && mPort.mDeviceLookupStatus == kAudioHardwareServerGoneError) {
        mStatus = Status::serverStopped;
    } else if (missing && mPort.mDeviceLookupStatus == kAudioHardwareUnspecifiedError) {
        // A sound server that is there but refused the tuner (its client, or its rate).
        mStatus = Status::startFailed;
    } else if (mPort.mInputDevice.device == 0) {
        mStatus = Status::noInput;
    } else if (mPort.mOutputDevice.device == 0) {
        mStatus = Status::noOutput;
    } else if (mPort.mStartRefusal == kAudioDeviceUnsupportedFormatError) {
        mStatus = Status::formatRefused;
        mOfferedRate = mPort.mOfferedRate;
    } else if (mPort.mStartRefusal == kAudioDevicePermissionsError) {
        mStatus = Status::deviceBusy;
    } else if (mStatus == Status::flowing || mStatus == Status::starting) {
        mStatus = Status::startFailed;
    }
    stopEngine();
}

void AudioSupervisor::watchHandshake(Clock::time_point now) {
    if (mPort.handshakeDone()) {
        completeHandshake(now);
    } else if (now - mPhaseStart > mStartBound) {
        // Name the side that kept the handshake from completing.
        tellDeviceReport();
        const bool inputCalled = mPort.mInputCalls.load(std::memory_order_relaxed) != mInputCalls;
        const bool outputCalled =
            mPort.mOutputCalls.load(std::memory_order_relaxed) != mOutputCalls;
        if (!inputCalled) {
            fail(Status::inputStopped, mStartText + "Error - the input device did not start: "
                                                    "no input arrived; trying again.\n");
        } else if (!outputCalled) {
            fail(Status::outputStopped, mStartText + "Error - the output device did not "
                                                     "start: it asked for no output; trying "
                                                     "again.\n");
        } else {
            fail(Status::startFailed, mStartText + "Error - the input did not keep coming "
                                                   "while the output measured its offset; "
                                                   "trying again.\n");
        }
    } else if (!mEverRan && mStatus == Status::flowing && now - mPhaseStart > mQuietStart) {
        mStatus = Status::starting;
    }
}

void AudioSupervisor::completeHandshake(Clock::time_point now) {
    // The latency report in full on devices that never ran before; one line on the same.
    const bool newDevices = mSetupText != mRanReport;
    mRanReport = mSetupText;
    tellDeviceReport();
    say(mStartText);
    mLastFailure.clear();
    std::string latency;
    collectDiagnostics(
        [this] {
            mPort.computeThruOffset();
            return true;
        },
        latency);
    if (newDevices) {
        say(latency);
    } else {
        char line[1024];
        std::snprintf(line, sizeof line,
                      "Audio running again: input \"%s\", output \"%s\", latency %.0f frames.\n",
                      mPort.mInputDevice.name, mPort.mOutputDevice.name,
                      mPort.mActualThruLatency.load(std::memory_order_relaxed));
        say(line);
    }
    moveTo(Phase::running);
    // A failing input keeps its status (and the view its silence) until it runs clean.
    if (mStatus != Status::inputFailing) {
        mStatus = Status::flowing;
    }
    mEverRan = true;
    mInputCalls = mPort.mInputCalls.load(std::memory_order_relaxed);
    mOutputCalls = mPort.mOutputCalls.load(std::memory_order_relaxed);
    mResyncs = mPort.mResyncs.load(std::memory_order_relaxed);
    mInputSeen = mOutputSeen = now;
}

void AudioSupervisor::watchRunning(Clock::time_point now) {
    mRetryAtOnce = true; // should the engine stop below
    const std::uint32_t resyncs = mPort.mResyncs.load(std::memory_order_relaxed);
    if (resyncs != mResyncs) {
        mResyncTimes.insert(mResyncTimes.end(), resyncs - mResyncs, now);
        mResyncs = resyncs;
        say("The input and output fell out of step; measuring their offset again.\n");
    }
    while (!mResyncTimes.empty() && now - mResyncTimes.front() > mResyncSpan) {
        mResyncTimes.pop_front();
    }
    const std::uint64_t heard = mPort.mChannelChoice.heard();
    if (heard != mHeardChannel) {
        // A start begins on the channel heard last; only a change while audio flows is told.
        if ((heard >> 32) == (mHeardChannel >> 32)) {
            char line[128];
            std::snprintf(line, sizeof line, "Listening to input channel %u of %u.\n",
                          static_cast<unsigned>(heard & 0xFFFFFFFFu) + 1,
                          static_cast<unsigned>(heard >> 32));
            say(line);
        }
        mHeardChannel = heard;
    }
    const std::uint64_t inputCalls = mPort.mInputCalls.load(std::memory_order_relaxed);
    const std::uint64_t outputCalls = mPort.mOutputCalls.load(std::memory_order_relaxed);
    if (inputCalls != mInputCalls) {
        mInputCalls = inputCalls;
        mInputSeen = now;
    }
    if (outputCalls != mOutputCalls) {
        mOutputCalls = outputCalls;
        mOutputSeen = now;
    }
    AudioTimeStamp time;
    const OSStatus input = AudioDeviceGetCurrentTime(mPort.mInputDevice.device, &time);
    if (input == kAudioHardwareNotRespondingError) {
        fail(Status::notAnswering, "Error - the sound devices do not answer; trying again.\n");
    } else if (input == kAudioHardwareServerGoneError) {
        fail(Status::serverStopped, "Error - the JACK server stopped; trying again.\n");
    } else if (input == kAudioHardwareNotRunningError) {
        fail(Status::inputStopped, "Error - the input device stopped with an error; trying "
                                   "again.\n");
    } else if (AudioDeviceGetCurrentTime(mPort.mOutputDevice.device, &time) ==
               kAudioHardwareNotRunningError) {
        fail(Status::outputStopped, "Error - the output device stopped with an error; trying "
                                    "again.\n");
    } else if (now - mInputSeen > mStallBound) {
        fail(Status::inputStopped, "Error - the input device stopped: no input for more than "
                                   "a second; trying again.\n");
    } else if (now - mOutputSeen > mStallBound) {
        fail(Status::outputStopped, "Error - the output device stopped: no output call for "
                                    "more than a second; trying again.\n");
    } else {
        watchInput(now);
    }
}

// An input that drops frames, starves or runs slow, or that makes the output measure the
// offset again and again, gives no reading worth showing: the view hears silence, the
// window says so, and if it goes on the devices are opened again (a device that vanished
// this way and came back is then found). The status goes once the input has delivered
// cleanly for the whole span the health looks at.
void AudioSupervisor::watchInput(Clock::time_point now) {
    const InputHealth::Assessment health = mPort.mInputHealth.assess(seconds(now));
    const bool resyncing = mResyncTimes.size() > kMostResyncs;
    const bool failing = (health.known && health.failing) || resyncing;
    const bool failingBefore = mFailingSince != Clock::time_point{};
    if (failing && !failingBefore) {
        mFailingSince = now;
        mPort.mInputMuted.store(true, std::memory_order_relaxed);
        mStatus = Status::inputFailing;
        char line[256];
        if (resyncing) {
            std::snprintf(line, sizeof line,
                          "Error - the input device is failing: the output measured its offset "
                          "%zu times in %g seconds.\n",
                          mResyncTimes.size(), std::chrono::duration<double>(mResyncSpan).count());
        } else {
            std::snprintf(line, sizeof line,
                          "Error - the input device is failing: it delivered %.0f %% of the "
                          "last two seconds.\n",
                          100.0 * health.delivered);
        }
        report(line);
    } else if (failing && now - mFailingSince > mFailingBound) {
        mFailingSince = now;
        fail(Status::inputFailing, "Error - the input device keeps failing; opening the devices "
                                   "again.\n");
    } else if (!failing && failingBefore && health.known && health.clean &&
               (mResyncTimes.empty() ||
                now - mResyncTimes.back() >
                    std::chrono::duration<double>(InputHealth::kSpanSeconds))) {
        mFailingSince = {};
        mPort.mInputMuted.store(false, std::memory_order_relaxed);
        mStatus = Status::flowing;
        report("The input device delivers cleanly again.\n");
    }
}

// While the output procedure is not called (its device stalled or gone, the engine
// stopped or starting again), nothing feeds the view, and its last frame would stay up
// as if heard: it hears silence from here instead, blocks of the length it last had, for
// long enough that its fades finish. The output procedure feeds the intake when it runs;
// whoever holds mIntakeOwner feeds, the other skips, so neither waits.
void AudioSupervisor::feedSilence(Clock::time_point now) {
    const std::uint64_t calls = mPort.mOutputCalls.load(std::memory_order_relaxed);
    if (calls != mOutputCallsSeen || mOutputHeard == Clock::time_point{}) {
        mOutputCallsSeen = calls;
        mOutputHeard = now;
        mSilentTicks = 0;
        return;
    }
    SoundView* const view = mPort.soundView();
    if (view == nullptr || now - mOutputHeard < kQuietOutput || mSilentTicks >= kSilentTicks) {
        return;
    }
    const std::int32_t steps = view->mStepsPerBuffer;
    const std::int32_t size = view->mSampleBufferSize;
    if (steps < 1 || size < steps) {
        return; // the view never heard anything
    }
    mSilentBlock.assign(static_cast<std::size_t>(size / steps), 0.0f);
    int nobody = 0;
    if (!mPort.mIntakeOwner.compare_exchange_strong(nobody, 2, std::memory_order_acquire,
                                                    std::memory_order_relaxed)) {
        return;
    }
    ++mSilentTicks;
    const auto frames = static_cast<std::uint32_t>(mSilentBlock.size());
    for (std::int32_t step = 0; step < steps; ++step) {
        // The intake leaves its output untouched, so the one block serves as both.
        view->filterInput(mSilentBlock.data(), mSilentBlock.data(), frames, 0);
    }
    mPort.mIntakeOwner.store(0, std::memory_order_release);
}

bool AudioSupervisor::shutdown(std::chrono::milliseconds bound) {
    const Clock::time_point deadline = Clock::now() + bound;
    auto waitForWorker = [&] {
        while (!workerFinished()) {
            if (Clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    };
    if (!moveTo(Phase::ended)) {
        return true;
    }
    bool stopped = waitForWorker();
    if (stopped) {
        // Stop requests are answered within a block; a procedure that has not answered by
        // a quarter of the bound is stopped from the worker.
        mPort.mStopBound = std::min(mPort.mStopBound, bound / 4);
        runOnWorker([this] {
            mPort.stop();
            return true;
        });
        stopped = waitForWorker();
    }
    // A worker still stuck is left to the destructor (or to the end of the process).
    return stopped;
}
