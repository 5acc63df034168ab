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
        attempt();
    }
}

const char* AudioSupervisor::soundSystem() const {
    return mPort.soundSystem();
}

AudioStatus AudioSupervisor::status() const {
    if (mFault) {
        return faultRow(*mFault).status;
    }
    return mSlowStart ? AudioStatus::starting : AudioStatus::flowing;
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
    const Devices setUp{mPort.mInputDevice, mPort.mOutputDevice};
    if (!mReported || !sameDevices(*mReported, setUp)) {
        say(mSetupText);
        mReported = setUp;
    }
}

bool AudioSupervisor::sameDevices(const Devices& a, const Devices& b) {
    return sameDevice(a.input, b.input) && sameDevice(a.output, b.output);
}

void AudioSupervisor::report(const std::string& failure) {
    if (failure != mLastFailure) {
        say(failure);
        mLastFailure = failure;
    }
}

void AudioSupervisor::show(AudioFault fault) {
    mFault = fault;
    mSlowStart = false;
}

void AudioSupervisor::fail(AudioFault fault, const std::string& before, const std::string& detail) {
    report(before + faultSaid(fault, detail.empty() ? mPort.soundSystem() : detail.c_str()));
    show(fault);
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
        noteSlowStart(now);
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

void AudioSupervisor::noteSlowStart(Clock::time_point now) {
    if (!mEverRan && !mFault && now - mPhaseStart > mQuietStart) {
        mSlowStart = true;
    }
}

void AudioSupervisor::finishJob() {
    const Clock::time_point now = Clock::now();
    if (mPhase == Phase::stopping) {
        say(mWorkerText);
        moveTo(Phase::waiting);
        // A fault of an engine that ran is tried again at once (the device may well be back,
        // as after a stall); a start that failed waits before the next try, and a sound
        // server that is away, which costs nothing to ask and a guitarist waits for, is
        // asked again sooner.
        const Retry retry = mFault ? faultRow(*mFault).retry : Retry::afterInterval;
        auto wait = retry == Retry::soon ? mRetryInterval / 4 : mRetryInterval;
        if (mRetryNext && (retry == Retry::atOnce || retry == Retry::notStopped)) {
            wait = std::chrono::milliseconds(0);
        }
        mRetryAt = now + wait;
        mRetryNext = false;
        return;
    }
    if (mWorkerResult) {
        // What the start said (the device reports) is told once audio flows, or with the
        // failure if it does not.
        mStartText = mWorkerText;
        moveTo(Phase::handshake);
        const MySoundPort::Health health = mPort.health(0.0);
        mInputCalls = health.inputCalls;
        mOutputCalls = health.outputCalls;
        return;
    }
    tellDeviceReport();
    report(mWorkerText);
    const MySoundPort::Health health = mPort.health(0.0);
    // Another refusal keeps the fault shown before it (a device that stopped, say).
    if (health.startFault != AudioFault::startRefused || !mFault) {
        show(health.startFault);
    }
    mOfferedRate = health.offeredRate;
    stopEngine();
}

void AudioSupervisor::watchHandshake(Clock::time_point now) {
    const MySoundPort::Health health = mPort.health(0.0);
    if (health.handshakeDone) {
        completeHandshake(now);
    } else if (now - mPhaseStart > mStartBound) {
        // Name the side that kept the handshake from completing.
        tellDeviceReport();
        fail(health.inputCalls == mInputCalls     ? AudioFault::inputNeverStarted
             : health.outputCalls == mOutputCalls ? AudioFault::outputNeverStarted
                                                  : AudioFault::startStarved,
             mStartText);
    } else {
        noteSlowStart(now);
    }
}

void AudioSupervisor::completeHandshake(Clock::time_point now) {
    // The latency report in full on devices that never ran before; one line on the same.
    const Devices devices{mPort.mInputDevice, mPort.mOutputDevice};
    const bool newDevices = !mRan || !sameDevices(*mRan, devices);
    mRan = devices;
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
    if (mFault == AudioFault::defaultChanged) {
        char line[640];
        std::snprintf(line, sizeof line,
                      "Now listening to \"%s\" (%u channels), keeping time with \"%s\".\n",
                      mPort.mInputDevice.name,
                      static_cast<unsigned>(mPort.mInputDevice.format.mChannelsPerFrame),
                      mPort.mOutputDevice.name);
        say(line);
    }
    moveTo(Phase::running);
    // A fault that stays until cleared (a failing input) keeps its status, and the view its
    // silence, until the input runs clean.
    if (mFault && !faultRow(*mFault).sticky) {
        mFault.reset();
    }
    mSlowStart = false;
    mEverRan = true;
    const MySoundPort::Health health = mPort.health(0.0);
    mInputCalls = health.inputCalls;
    mOutputCalls = health.outputCalls;
    mResyncs = health.resyncs;
    // A device's remembered channel other than its first is told; the first channel of a
    // stream of another count is where every stream starts.
    if (health.heardChannel != mHeardChannel && (health.heardChannel & 0xFFFFFFFFu) != 0) {
        tellHeardChannel(health.heardChannel);
    }
    mHeardChannel = health.heardChannel;
    mInputSeen = mOutputSeen = now;
}

void AudioSupervisor::tellHeardChannel(std::uint64_t heard) {
    char line[128];
    std::snprintf(line, sizeof line, "Listening to input channel %u of %u.\n",
                  static_cast<unsigned>(heard & 0xFFFFFFFFu) + 1,
                  static_cast<unsigned>(heard >> 32));
    say(line);
}

void AudioSupervisor::watchRunning(Clock::time_point now) {
    mRetryNext = true; // should the engine stop below
    const MySoundPort::Health health = mPort.health(seconds(now));
    if (health.resyncs != mResyncs) {
        mResyncTimes.insert(mResyncTimes.end(), health.resyncs - mResyncs, now);
        mResyncs = health.resyncs;
        say("The input and output fell out of step; measuring their offset again.\n");
    }
    while (!mResyncTimes.empty() && now - mResyncTimes.front() > mResyncSpan) {
        mResyncTimes.pop_front();
    }
    if (health.heardChannel != mHeardChannel) {
        // A change while audio flows is told (a start's channel is, as it completes).
        if ((health.heardChannel >> 32) == (mHeardChannel >> 32)) {
            tellHeardChannel(health.heardChannel);
        }
        mHeardChannel = health.heardChannel;
    }
    if (health.inputCalls != mInputCalls) {
        mInputCalls = health.inputCalls;
        mInputSeen = now;
    }
    if (health.outputCalls != mOutputCalls) {
        mOutputCalls = health.outputCalls;
        mOutputSeen = now;
    }
    AudioTimeStamp time;
    const OSStatus input = AudioDeviceGetCurrentTime(mPort.mInputDevice.device, &time);
    const OSStatus output = AudioDeviceGetCurrentTime(mPort.mOutputDevice.device, &time);
    if (input == kAudioHardwareDefaultDeviceChangedError ||
        output == kAudioHardwareDefaultDeviceChangedError) {
        fail(AudioFault::defaultChanged);
    } else if (input == kAudioHardwareNotRespondingError) {
        fail(AudioFault::stoppedAnswering);
    } else if (input == kAudioHardwareServerGoneError) {
        fail(AudioFault::serverStopped);
    } else if (input == kAudioHardwareNotRunningError) {
        fail(AudioFault::inputError);
    } else if (output == kAudioHardwareNotRunningError) {
        fail(AudioFault::outputError);
    } else if (now - mInputSeen > mStallBound) {
        fail(AudioFault::inputStalled);
    } else if (now - mOutputSeen > mStallBound) {
        fail(AudioFault::outputStalled);
    } else {
        watchInput(now, health.input);
    }
}

// An input that drops frames, starves or runs slow, or that makes the output measure the
// offset again and again, gives no reading worth showing: the view hears silence, the
// window says so, and if it goes on the devices are opened again (a device that vanished
// this way and came back is then found). The status goes once the input has delivered
// cleanly for the whole span the health looks at.
void AudioSupervisor::watchInput(Clock::time_point now, const InputHealth::Assessment& health) {
    const bool resyncing = mResyncTimes.size() > kMostResyncs;
    const bool failing = (health.known && health.failing) || resyncing;
    const bool failingBefore = mFailingSince != Clock::time_point{};
    if (failing && !failingBefore) {
        mFailingSince = now;
        mPort.muteInput(true);
        show(AudioFault::inputFailing);
        char detail[128];
        if (resyncing) {
            std::snprintf(detail, sizeof detail,
                          "the output measured its offset %zu times in %g seconds",
                          mResyncTimes.size(), std::chrono::duration<double>(mResyncSpan).count());
        } else {
            std::snprintf(detail, sizeof detail, "it delivered %.0f %% of the last two seconds",
                          100.0 * health.delivered);
        }
        report(faultSaid(AudioFault::inputFailing, detail));
    } else if (failing && now - mFailingSince > mFailingBound) {
        mFailingSince = now;
        fail(AudioFault::inputKeepsFailing);
    } else if (!failing && failingBefore && health.known && health.clean &&
               (mResyncTimes.empty() ||
                now - mResyncTimes.back() >
                    std::chrono::duration<double>(InputHealth::kSpanSeconds))) {
        mFailingSince = {};
        mPort.muteInput(false);
        mFault.reset();
        report("The input device delivers cleanly again.\n");
    }
}

// While the output procedure is not called (its device stalled or gone, the engine
// stopped or starting again), nothing feeds the view, and its last frame would stay up
// as if heard: it hears silence from here instead, blocks of the length it last had, for
// long enough that its fades finish. The output procedure feeds the intake when it runs;
// whoever holds mIntakeOwner feeds, the other skips, so neither waits.
void AudioSupervisor::feedSilence(Clock::time_point now) {
    const std::uint64_t calls = mPort.outputCalls(); // a setup or start may be running
    if (calls != mOutputCallsSeen || mOutputHeard == Clock::time_point{}) {
        mOutputCallsSeen = calls;
        mOutputHeard = now;
        mSilentTicks = 0;
        return;
    }
    if (now - mOutputHeard >= kQuietOutput && mSilentTicks < kSilentTicks && mPort.feedSilence()) {
        ++mSilentTicks;
    }
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
