#pragma once

#include "AudioDeviceRecord.h"
#include "AudioFaults.h"
#include "AudioHardware.h"
#include "InputChannelChoice.h"
#include "InputHealth.h"
#include "NSObject.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

class MyFilter;
class MyRingBuffer;
class SoundView;

// The audio engine: the default input and output devices, the rings that carry the input
// to the output device's IO procedure a constant number of frames late, and the work
// buffers of the two procedures. The output procedure hands one channel of each block to
// the tuner view's intake, the one the guitar is played on (InputChannelChoice); the output
// itself is silence.
//
// Use, on one control thread at a time (see AudioSupervisor, which keeps it off the main
// loop and restarts it when a device fails):
//     MySoundPort port;                 // init: empty rings, reset records
//     port.setSoundView(&view);         // or the interface file sets mInputView
//     port.setup();                     // finds and reports both devices
//     if (port.start()) {               // installs and starts both procedures
//         ... once handshakeDone(): port.computeThruOffset();  // the latency report
//     }
//     port.stop();                      // both procedures stopped and removed; may start again
//
// Threads: InputIOProc and OutputIOProc run on the devices' audio threads; they take no
// lock, never wait, print or allocate. Shared with them are the proc states, the
// sample-time values and the counters below, each an atomic read and written whole. A
// state that reaches 2 (running) is stored with release and loaded with acquire, so
// whoever sees it also sees the sample-time values recorded before it.
//
// Every diagnostic goes to the standard error stream (diagnostics()).
class MySoundPort : public NSObject {
public:
    // The state word of each IO procedure, a signed 32-bit value. Its moves, and who makes
    // each:
    //   idle -> armed            start (control thread), before the procedure is installed
    //   armed -> running         the input procedure's first call; the output procedure when
    //                            the handshake measures the offset
    //   running -> armed         the output procedure, when its input is lost and it measures
    //                            the offset again
    //   armed, running -> stopRequested   stop (control thread), by compare-exchange, so a
    //                            move of the procedure's own at the same time is not lost
    //   stopRequested -> idle    the procedure's next call, after it stopped its device; or
    //                            stop, once the procedure is no longer called
    // A move to running is stored with release and loaded with acquire. A call in idle
    // processes like running.
    enum ProcState : std::int32_t {
        kProcIdle = 0,
        kProcArmed = 1,
        kProcRunning = 2,
        kProcStopRequested = 3,
    };

    // Output blocks in a row that read further behind the input than kLateSlackFrames
    // allows, before the output procedure measures the offset again: half a second of
    // 512-frame blocks at 44.1 kHz.
    static constexpr std::uint32_t kResyncBlocks = 43;
    // Frames after a fetched block, beyond the read margin, past which the output reads
    // too far behind the input: over a third of a second at 44.1 kHz.
    static constexpr double kLateSlackFrames = 16384.0;
    // Frames the output reads further behind the input than the handshake saw it lead, for
    // the input's jitter and bursts larger than it showed then (93 ms at 44.1 kHz).
    static constexpr double kReadSlackFrames = 4096.0;
    // How long input blocks may keep arriving for frames the output has already passed
    // before the output measures the offset again: longer than the input's clock takes to
    // count frames lost in a stall (whose blocks come late until it has), 0.6 s at 44.1 kHz.
    static constexpr double kLateArrivalFrames = 26460.0;

    MySoundPort();
    ~MySoundPort() override;
    MySoundPort(const MySoundPort&) = delete;
    MySoundPort& operator=(const MySoundPort&) = delete;

    // The tuner view that receives the input; set before start.
    void setSoundView(SoundView* view) { mInputView = view; }
    SoundView* soundView() const { return mInputView; }

    // Finds the default input and output devices and writes their reports.
    void setup();
    // Checks both formats, sizes the rings and work buffers, arms the handshake, installs
    // and starts both procedures. Returns true when both were installed and started; a
    // refused start has said why. Does not wait for the handshake. Once per stop: later
    // calls change nothing.
    bool start();
    // Whether the handshake has completed since start (the output procedure runs).
    bool handshakeDone() const {
        return mOutputProcState.load(std::memory_order_acquire) == kProcRunning;
    }
    // Thru latency and in-to-out offset (with kReadSlackFrames), from the records and the
    // handshake; reports them.
    void computeThruOffset();

    // How the port is doing, in one value, for whoever watches it: the control thread, while
    // no setup or start runs (they write the records and results it reads).
    struct Health {
        std::uint64_t inputCalls = 0; // calls of each procedure since the port was made
        std::uint64_t outputCalls = 0;
        std::uint32_t resyncs = 0; // the output's measurements of the offset again
        bool handshakeDone = false;
        bool inputMuted = false;
        AudioFault startFault = AudioFault::startRefused; // why the last start was refused
        double offeredRate = 0.0;       // what a device that refused the format offers (0: unknown)
        std::uint64_t heardChannel = 0; // InputChannelChoice::heard()
        InputHealth::Assessment input;  // the input's deliveries up to `seconds` (monotonic)
    };
    Health health(double seconds) const;
    // Calls of the output procedure since the port was made: any thread, at any time.
    std::uint64_t outputCalls() const { return mOutputCalls.load(std::memory_order_relaxed); }
    // The view hears silence instead of the input while muted (an input that is failing).
    void muteInput(bool muted) { mInputMuted.store(muted, std::memory_order_relaxed); }
    // Main thread: one analysis window of silence to the view, unless the output procedure
    // feeds it right now (it is not called: its device stalled or gone, the engine
    // stopped). False when nothing was fed.
    bool feedSilence();
    // What the user calls the sound system the devices belong to ("JACK", "sound"), as the
    // last setup found it.
    const char* soundSystem() const { return mSoundSystem; }
    // Asks both procedures to stop, waits up to mStopBound for them to answer, stops from
    // here those that did not (which may take as long as the device's stream takes to
    // end), and removes both. The port is then as after setup.
    void stop();

    MyRingBuffer* inputBuffer() const { return mInputBuffer.get(); }
    MyRingBuffer* inputBuffer2() const { return mInputBuffer2.get(); }
    float maxInputValue() const { return mInputDevice.maxValue; }

    // The device operations.
    void initMyAudioDevice(AudioDeviceRecord& record);
    void getAudioDevice(AudioDeviceRecord& record, AudioHardwarePropertyID from,
                        std::int32_t isInput);
    void printDeviceReport(const AudioDeviceRecord& record);
    // Writes one line for a failed status (nonzero): the label, the status in decimal and
    // its four bytes as characters, from the most significant up to the first zero byte.
    static void checkError(OSStatus status, const char* label);

    // Sizes of the work buffers as start allocated them, in bytes (0: not allocated).
    std::uint32_t channelBufferBytes() const { return mChannelBufferBytes; }
    std::uint32_t tempBufferBytes() const { return mTempBufferBytes; }

    // --- Fields, in this order ------------------------------------------------------

    AudioDeviceRecord mOutputDevice{};
    AudioDeviceRecord mInputDevice{};
    std::atomic<ProcState> mOutputProcState{kProcIdle};
    std::atomic<ProcState> mInputProcState{kProcIdle};
    std::uint8_t mRunning = 0; // 1 from a start that passed its checks until stop
    double mSampleRate = 0.0;  // the input rate; nothing reads it
    std::atomic<double> mLastInputSampleCount{0.0};
    std::atomic<double> mIODeltaSampleCount{0.0};
    std::atomic<double> mActualThruLatency{0.0};
    std::atomic<double> mInToOutSampleOffset{0.0};
    std::unique_ptr<MyRingBuffer> mInputBuffer;
    std::unique_ptr<MyRingBuffer> mInputBuffer2;
    std::unique_ptr<float[]> mTempBuffer;
    std::unique_ptr<float[]> mLeftInput;
    std::unique_ptr<float[]> mRightInput;
    std::unique_ptr<float[]> mLeftOutput;
    std::unique_ptr<float[]> mRightOutput;
    MyFilter* mFilter = nullptr;     // not owned; nothing sets or uses it
    SoundView* mInputView = nullptr; // not owned; the interface file connects it

    // --- The engine's own ---------------------------------------------------------

    // How far the input moves on, in frames, between the output's first sight of it
    // running and the handshake's measurement (see OutputIOProc): half a second at
    // 44.1 kHz. An ALSA output fills its buffer over the first few hundred milliseconds,
    // its lead over the input growing meanwhile; measured earlier, the lead is too short
    // and the output keeps reading frames the input has not delivered yet.
    double mHandshakeSettleFrames = 22050.0;
    // How long stop waits for the procedures to answer their stop requests: a procedure
    // that is called answers within a block; one that is not is stopped from outside.
    std::chrono::milliseconds mStopBound{100};

private:
    friend struct SoundPortProcs; // the IO procedures' work (IOProcs.cpp)
    friend struct SoundPortProbe; // tests that make the input misbehave

    // The view is to hear the next block as silence in place of input, and it and the
    // channel choice know it for a gap; by the output procedure, holding mIntakeOwner.
    void noteGap();

    // The input sample time the output procedure saw when it first found the input
    // running; NaN until then. Output procedure only, once start has armed it.
    std::atomic<double> mHandshakeInputMark{std::numeric_limits<double>::quiet_NaN()};
    // Calls of each procedure since the port was made, and the output's measurements of
    // the offset again: read by the supervisor to tell a device that stopped.
    std::atomic<std::uint64_t> mInputCalls{0};
    std::atomic<std::uint64_t> mOutputCalls{0};
    std::atomic<std::uint32_t> mResyncs{0};
    // The status of the last default-device query that failed (0: none did since setup
    // began): tells a sound server that stopped from a device that is missing.
    OSStatus mDeviceLookupStatus = 0;
    // The first status with which the last start's installation failed (0: none did), and
    // when a device refused the stream format, the rate it offers (0: not known).
    OSStatus mStartRefusal = 0;
    double mOfferedRate = 0.0;
    // Output blocks in a row that read too far behind. Output procedure only.
    std::uint32_t mLateBlocks = 0;
    // The largest lead of the output's clock over the input's seen while the handshake
    // settles. Output procedure only.
    double mHandshakeLead = 0.0;
    // The end of the frames the output read last (output procedure), for the input
    // procedure to tell blocks that come too late to be read.
    std::atomic<std::int64_t> mOutputReadEnd{std::numeric_limits<std::int64_t>::min()};
    // Set by the input procedure when its blocks keep coming for frames the output has
    // passed: the output then measures the offset again.
    std::atomic<bool> mResyncRequested{false};
    // Input procedure only: the sample time its next block has unless frames are lost,
    // and the first of the blocks in a row that came too late (NaN: none).
    double mNextInputSampleTime = std::numeric_limits<double>::quiet_NaN();
    double mLateSince = std::numeric_limits<double>::quiet_NaN();
    double mLastLate = 0.0;
    // How the input keeps up with real time; the input procedure notes its blocks.
    InputHealth mInputHealth;
    // Which input channel the view hears; the output procedure notes every channel of each
    // block, and applies the choice between the view's analysis windows.
    InputChannelChoice mChannelChoice;
    // Who feeds the tuner view's intake: 0 nobody, 1 the output procedure, 2 the
    // supervisor (silence, while the output procedure is not called). Each side only
    // tries to take it and skips its feed when the other holds it, so nobody waits.
    std::atomic<int> mIntakeOwner{0};
    // While set, the view hears silence instead of the input (an input that is failing).
    std::atomic<bool> mInputMuted{false};

    char mSoundSystem[32] = "";
    std::vector<float> mSilence; // main thread

    bool streamLayoutFits(const AudioDeviceRecord& record, const char* side, bool isInput);
    // Says why a device refused to install a procedure, where it refused the format.
    void noteRefusal(OSStatus status, const AudioDeviceRecord& record, bool isInput);
    void stopBothProcs();
    // One IO buffer and one safety offset on each side, from the records.
    double thruLatency() const;

    std::uint32_t mChannelBufferBytes = 0;
    std::uint32_t mTempBufferBytes = 0;
    bool mInputProcAdded = false;
    bool mOutputProcAdded = false;
};

// The IO procedures, installed by start with the sound port as client data. Always 0.
OSStatus InputIOProc(AudioDeviceID device, const AudioTimeStamp* now,
                     const AudioBufferList* inputData, const AudioTimeStamp* inputTime,
                     AudioBufferList* outputData, const AudioTimeStamp* outputTime,
                     void* clientData);
OSStatus OutputIOProc(AudioDeviceID device, const AudioTimeStamp* now,
                      const AudioBufferList* inputData, const AudioTimeStamp* inputTime,
                      AudioBufferList* outputData, const AudioTimeStamp* outputTime,
                      void* clientData);

// A sample time as a frame number: truncated toward zero to signed 64 bits, saturating
// at the ends of that range (NaN gives the lowest value, which every ring refuses).
std::int64_t frameNumber(double sampleTime) noexcept;
