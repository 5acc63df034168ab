#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

class MySoundPort;

// Keeps the audio engine going on a real desktop, watched from the main thread: a timer
// calls tick() a few times a second. The audio threads only publish counters and states;
// everything that may block (finding the devices, starting and stopping their streams,
// which can take seconds on a sound server or a stalled device) runs on a worker thread,
// so the window never waits for audio.
//
// What it notices: no default device, a start that fails or whose handshake does not
// complete in time, a procedure that is not called for more than mStallBound, a stream
// that ended by itself, and the output procedure measuring the offset again. It then stops
// what is left, says once on the standard error stream what happened, and tries the
// default devices again every mRetryInterval until audio flows. The tuner view is never
// touched by a restart, so its selection and automatic choice carry on; while the engine
// is stopped the view hears silence for a while (see feedSilence), so that it does not
// go on showing the last note as if it were still heard.
//
// Main thread only.
class AudioSupervisor {
public:
    // What the user is told, in the window.
    enum class Status {
        flowing,       // nothing to say (also while a first start is young)
        starting,      // the first start takes its time
        noInput,       // there is no default input device
        noOutput,      // there is no default output device
        inputStopped,  // the input stopped delivering or failed
        outputStopped, // the output stopped asking or failed
        startFailed,   // the devices are there but would not start
        serverStopped, // the JACK server the devices belong to is not running
    };

    explicit AudioSupervisor(MySoundPort& port);
    ~AudioSupervisor();
    AudioSupervisor(const AudioSupervisor&) = delete;
    AudioSupervisor& operator=(const AudioSupervisor&) = delete;

    // Sets up and starts the engine, in the background.
    void begin();
    // Looks at the engine once; the timer calls it every kTickInterval.
    void tick();
    // Stops the engine, waiting at most `bound` in all. False when a thread is still stuck
    // in the audio layer by then: the process should then end without tearing the engine
    // down (the stuck call may still touch it), since destroying the supervisor waits for
    // that thread.
    bool shutdown(std::chrono::milliseconds bound);

    Status status() const { return mStatus; }

    static constexpr std::chrono::milliseconds kTickInterval{200};
    // Ticks of silence the view hears once audio stopped: its fades take a few seconds.
    static constexpr int kSilentTicks = 20;
    // How long a procedure may go uncalled before its device counts as stopped.
    std::chrono::milliseconds mStallBound{1000};
    // How long a start may take to complete its handshake (a sound server can take two
    // seconds before its first capture block, and the handshake then settles for half a
    // second).
    std::chrono::milliseconds mStartBound{6000};
    // How long after a failure the devices are tried again.
    std::chrono::milliseconds mRetryInterval{1000};
    // How long the first start may take before the window says so.
    std::chrono::milliseconds mQuietStart{2000};

private:
    using Clock = std::chrono::steady_clock;
    enum class Phase { idle, starting, handshake, running, stopping, waiting, ended };

    // Runs `job` on the worker, its diagnostics captured for finishJob.
    void runOnWorker(Phase phase, std::function<bool()> job);
    bool workerFinished();
    void finishJob();
    void attempt();
    // Says what happened (unless the last failure said the same), shows `status`, and
    // stops the engine to try again.
    void fail(Status status, const std::string& failure);
    void report(const std::string& failure);
    // Writes the device report of the last setup, unless it is the one written last: a
    // restart on the same devices says one line instead.
    void tellDeviceReport();
    void stopEngine();
    void watchRunning(Clock::time_point now);
    void feedSilence();
    void say(const std::string& text);

    MySoundPort& mPort;
    Phase mPhase = Phase::idle;
    Status mStatus = Status::flowing;
    bool mEverRan = false;
    Clock::time_point mPhaseStart{};
    Clock::time_point mRetryAt{};
    bool mRetryAtOnce = false;

    std::thread mWorker;
    std::atomic<bool> mWorkerDone{false};
    bool mWorkerResult = false; // written by the worker before mWorkerDone
    std::string mWorkerText;    // likewise: what the job said

    // What the last failure said, so a retry that fails the same way says nothing; and
    // what the running start said, told once its handshake completes.
    std::string mLastFailure;
    std::string mStartText;
    // The last setup's device report, and the one written last.
    std::string mSetupText;
    std::string mLastReport;
    std::uint64_t mInputCalls = 0;
    std::uint64_t mOutputCalls = 0;
    std::uint32_t mResyncs = 0;
    Clock::time_point mInputSeen{};
    Clock::time_point mOutputSeen{};
    // One block of silence of the length the output last ran with, and how many ticks of
    // it the view has heard since audio stopped.
    std::vector<float> mSilentBlock;
    int mSilentTicks = 0;
};
