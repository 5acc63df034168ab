#pragma once

#include "AudioDeviceRecord.h"
#include "AudioFaults.h"
#include "InputHealth.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class MySoundPort;

// Keeps the audio engine going on a real desktop, watched from the main thread: a timer
// calls tick() many times a second. The audio threads only publish counters and states;
// everything that may block (finding the devices, starting and stopping their streams,
// which can take seconds on a sound server or a stalled device) runs on a worker thread,
// so the window never waits for audio.
//
// What it notices: no default device, a start that fails or whose handshake does not
// complete in time, a procedure that is not called for more than mStallBound, a stream
// that ended by itself, and an input that is failing (InputHealth: it drops frames, starves
// or runs slow; or the output has to measure the offset again and again). It says once on
// the standard error stream what happened, shows a status, stops what is left and tries the
// default devices again every mRetryInterval until audio flows; a failing input is first
// given kFailingBound to come right. The tuner view is never touched by a restart, so its
// selection and automatic choice carry on; but it never shows a note it did not hear: while
// the output procedure is not called it hears silence from here, and while the input is
// failing, silence instead of the input.
//
// Main thread only.
class AudioSupervisor {
public:
    using Status = AudioStatus;

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

    // What the window shows: the status of the fault found last, until it went.
    Status status() const;
    // What the user calls the sound system the devices belong to.
    const char* soundSystem() const;
    // The rate a device that refused the stream format offers (0: not known).
    double offeredRate() const { return mOfferedRate; }

    static constexpr std::chrono::milliseconds kTickInterval{50};
    // Ticks further apart than this mean the process itself stood still.
    static constexpr std::chrono::milliseconds kPausedTicks{500};
    // How long the output procedure may go uncalled before the view hears silence from
    // here, and for how many ticks then (its fades take a few frames).
    static constexpr std::chrono::milliseconds kQuietOutput{400};
    static constexpr int kSilentTicks = 40;
    // More measurements of the offset than this within mResyncSpan is failing (drift
    // needs one now and then).
    static constexpr std::size_t kMostResyncs = 3;
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
    // How long an input may go on failing, muted, before its devices are opened again.
    std::chrono::milliseconds mFailingBound{2000};
    std::chrono::milliseconds mResyncSpan{10000};

private:
    using Clock = std::chrono::steady_clock;

    // The supervisor's phases and their moves; moveTo() refuses any other.
    //   idle      -> starting               begin()
    //   starting  -> handshake, stopping    the start job ended: started, or refused
    //   handshake -> running, stopping      the handshake completed, or timed out
    //   running   -> stopping               a device stopped or failed, or an input kept
    //                                       failing
    //   stopping  -> waiting                the stop job ended
    //   waiting   -> starting               the retry fell due
    //   any       -> ended                  shutdown()
    // The worker runs a job in starting and stopping only.
    enum class Phase { idle, starting, handshake, running, stopping, waiting, ended };
    static bool allowed(Phase from, Phase to);
    bool moveTo(Phase next);

    // Runs `job` on the worker, its diagnostics captured for the move that follows.
    void runOnWorker(std::function<bool()> job);
    bool workerFinished();
    void finishJob();
    void attempt();
    void completeHandshake(Clock::time_point now);
    void tellHeardChannel(std::uint64_t heard);
    void watchHandshake(Clock::time_point now);
    // Says what happened (after `before`, unless the last failure said the same; %s in the
    // fault's line is `detail`, or the sound system's name), shows the fault, and stops the
    // engine to try again.
    void fail(AudioFault fault, const std::string& before = "", const std::string& detail = "");
    void show(AudioFault fault);
    void noteSlowStart(Clock::time_point now);
    void report(const std::string& failure);
    // Writes the device report of the last setup, unless it is the one written last: a
    // restart on the same devices says one line instead.
    void tellDeviceReport();
    void stopEngine();
    void watchRunning(Clock::time_point now);
    void watchInput(Clock::time_point now, const InputHealth::Assessment& health);
    void feedSilence(Clock::time_point now);
    void say(const std::string& text);

    // Both device records, to tell new devices from the same ones.
    struct Devices {
        AudioDeviceRecord input, output;
    };
    static bool sameDevices(const Devices& a, const Devices& b);

    MySoundPort& mPort;
    Phase mPhase = Phase::idle;
    std::optional<AudioFault> mFault; // shown until it goes (none: audio flows)
    bool mSlowStart = false;          // the first start takes its time
    bool mEverRan = false;
    Clock::time_point mPhaseStart{};
    Clock::time_point mRetryAt{};
    bool mRetryNext = false; // the engine ran: its fault is tried again as the fault says

    std::thread mWorker;
    std::atomic<bool> mWorkerDone{false};
    bool mWorkerResult = false; // written by the worker before mWorkerDone
    std::string mWorkerText;    // likewise: what the job said

    // What the last failure said, so a retry that fails the same way says nothing; and
    // what the running start said, told once its handshake completes.
    std::string mLastFailure;
    std::string mStartText;
    // The last setup's device report; the devices of the report written last, and of the
    // devices that ran last.
    std::string mSetupText;
    std::optional<Devices> mReported;
    std::optional<Devices> mRan;
    std::uint64_t mInputCalls = 0;
    std::uint64_t mOutputCalls = 0;
    std::uint32_t mResyncs = 0;
    // The input channel heard, and the channel count (InputChannelChoice::heard).
    std::uint64_t mHeardChannel = 0;
    Clock::time_point mLastTick{};
    Clock::time_point mInputSeen{};
    Clock::time_point mOutputSeen{};
    // When the output procedure was last seen called (in any phase), and the ticks of
    // silence the view heard since.
    std::uint64_t mOutputCallsSeen = 0;
    Clock::time_point mOutputHeard{};
    int mSilentTicks = 0;
    // When the offset was measured again lately, and since when the input fails (the
    // epoch: it does not).
    std::deque<Clock::time_point> mResyncTimes;
    Clock::time_point mFailingSince{};
    double mOfferedRate = 0.0;
};
