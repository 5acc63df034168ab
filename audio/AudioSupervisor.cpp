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

} // namespace

AudioSupervisor::AudioSupervisor(MySoundPort& port) : mPort(port) {}

AudioSupervisor::~AudioSupervisor() {
    if (mWorker.joinable()) {
        mWorker.join();
    }
}

void AudioSupervisor::begin() {
    if (mPhase == Phase::idle) {
        mStatus = Status::flowing;
        attempt();
    }
}

void AudioSupervisor::attempt() {
    runOnWorker(Phase::starting, [this] {
        collectDiagnostics(
            [this] {
                mPort.setup();
                return true;
            },
            mSetupText);
        return mPort.start();
    });
}

void AudioSupervisor::runOnWorker(Phase phase, std::function<bool()> job) {
    mPhase = phase;
    mPhaseStart = Clock::now();
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

void AudioSupervisor::finishJob() {
    const Clock::time_point now = Clock::now();
    if (mPhase == Phase::stopping) {
        say(mWorkerText);
        mPhase = Phase::waiting;
        // An engine that ran is tried again at once (the device may well be back, as
        // after a stall); a start that failed waits before the next try.
        mRetryAt = mRetryAtOnce ? now : now + mRetryInterval;
        mRetryAtOnce = false;
        return;
    }
    if (mWorkerResult) {
        // What the start said (the device reports) is told once audio flows, or with the
        // failure if it does not.
        mStartText = mWorkerText;
        mPhase = Phase::handshake;
        mPhaseStart = now;
        mInputCalls = mPort.mInputCalls.load(std::memory_order_relaxed);
        mOutputCalls = mPort.mOutputCalls.load(std::memory_order_relaxed);
        return;
    }
    tellDeviceReport();
    report(mWorkerText);
    if ((mPort.mInputDevice.device == 0 || mPort.mOutputDevice.device == 0) &&
        mPort.mDeviceLookupStatus == kAudioHardwareServerGoneError) {
        mStatus = Status::serverStopped;
    } else if (mPort.mInputDevice.device == 0) {
        mStatus = Status::noInput;
    } else if (mPort.mOutputDevice.device == 0) {
        mStatus = Status::noOutput;
    } else if (mStatus == Status::flowing || mStatus == Status::starting) {
        mStatus = Status::startFailed;
    }
    stopEngine();
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

void AudioSupervisor::stopEngine() {
    // Whatever was installed goes before the next try.
    runOnWorker(Phase::stopping, [this] {
        mPort.stop();
        return true;
    });
}

void AudioSupervisor::fail(Status status, const std::string& failure) {
    report(failure);
    mStatus = status;
    stopEngine();
}

void AudioSupervisor::tick() {
    if (!workerFinished()) {
        if (!mEverRan && mStatus == Status::flowing && Clock::now() - mPhaseStart > mQuietStart) {
            mStatus = Status::starting;
        }
        return;
    }
    if (mPhase == Phase::starting || mPhase == Phase::stopping) {
        finishJob();
        return;
    }
    const Clock::time_point now = Clock::now();
    switch (mPhase) {
    case Phase::handshake:
        if (mPort.handshakeDone()) {
            const bool newDevices = mSetupText != mLastReport;
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
                              "Audio running again: input \"%s\", output \"%s\", latency %.0f "
                              "frames.\n",
                              mPort.mInputDevice.name, mPort.mOutputDevice.name,
                              mPort.mActualThruLatency.load(std::memory_order_relaxed));
                say(line);
            }
            mPhase = Phase::running;
            mStatus = Status::flowing;
            mEverRan = true;
            mInputCalls = mPort.mInputCalls.load(std::memory_order_relaxed);
            mOutputCalls = mPort.mOutputCalls.load(std::memory_order_relaxed);
            mResyncs = mPort.mResyncs.load(std::memory_order_relaxed);
            mInputSeen = mOutputSeen = now;
            mSilentBlock.assign(mPort.mOutputDevice.framesPerBuffer, 0.0f);
            mSilentTicks = 0;
        } else if (now - mPhaseStart > mStartBound) {
            // Name the side that kept the handshake from completing.
            tellDeviceReport();
            const bool inputCalled =
                mPort.mInputCalls.load(std::memory_order_relaxed) != mInputCalls;
            const bool outputCalled =
                mPort.mOutputCalls.load(std::memory_order_relaxed) != mOutputCalls;
            if (!inputCalled) {
                fail(Status::inputStopped, mStartText + "Error - the input device did not "
                                                        "start: no input arrived; trying again.\n");
            } else if (!outputCalled) {
                fail(Status::outputStopped,
                     mStartText + "Error - the output device did not start: it asked for no "
                                  "output; trying again.\n");
            } else {
                fail(Status::startFailed, mStartText + "Error - the input did not keep coming "
                                                       "while the output measured its offset; "
                                                       "trying again.\n");
            }
        } else if (!mEverRan && mStatus == Status::flowing && now - mPhaseStart > mQuietStart) {
            mStatus = Status::starting;
        }
        break;
    case Phase::running:
        watchRunning(now);
        break;
    case Phase::waiting:
        feedSilence();
        if (now >= mRetryAt) {
            attempt();
        }
        break;
    default:
        break;
    }
}

void AudioSupervisor::watchRunning(Clock::time_point now) {
    mRetryAtOnce = true; // should the engine stop below
    const std::uint32_t resyncs = mPort.mResyncs.load(std::memory_order_relaxed);
    if (resyncs != mResyncs) {
        mResyncs = resyncs;
        say("The input and output fell out of step; measuring their offset again.\n");
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
    if (AudioDeviceGetCurrentTime(mPort.mInputDevice.device, &time) ==
        kAudioHardwareServerGoneError) {
        fail(Status::serverStopped, "Error - the JACK server stopped; trying again.\n");
    } else if (AudioDeviceGetCurrentTime(mPort.mInputDevice.device, &time) ==
               kAudioHardwareNotRunningError) {
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
    }
}

// Only while waiting to try again: no procedure is installed then, so the main thread is
// the intake's one caller (the stop's join orders it after the output's last call, and the
// next start's threads come after it).
void AudioSupervisor::feedSilence() {
    SoundView* const view = mPort.soundView();
    if (view == nullptr || mSilentBlock.empty() || mSilentTicks >= kSilentTicks) {
        return;
    }
    ++mSilentTicks;
    const auto frames = static_cast<std::uint32_t>(mSilentBlock.size());
    for (std::int32_t step = 0; step < view->mStepsPerBuffer; ++step) {
        // The intake leaves its output untouched, so the one block serves as both.
        view->filterInput(mSilentBlock.data(), mSilentBlock.data(), frames, 0);
    }
}

bool AudioSupervisor::shutdown(std::chrono::milliseconds bound) {
    const Clock::time_point deadline = Clock::now() + bound;
    auto waitForWorker = [&] {
        while (!workerFinished()) {
            if (Clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    };
    if (mPhase == Phase::ended) {
        return true;
    }
    bool stopped = waitForWorker();
    if (stopped) {
        // Stop requests are answered within a block; a procedure that has not answered by
        // a quarter of the bound is stopped from the worker.
        mPort.mStopBound = std::min(mPort.mStopBound, bound / 4);
        runOnWorker(Phase::stopping, [this] {
            mPort.stop();
            return true;
        });
        stopped = waitForWorker();
    }
    // A worker still stuck is left to the destructor (or to the end of the process).
    mPhase = Phase::ended;
    return stopped;
}
