#pragma once

#include "AudioDeviceRecord.h"
#include "AudioHardware.h"
#include "NSObject.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>

class MyFilter;
class MyRingBuffer;
class SoundView;

// The audio engine: the default input and output devices, the rings that carry the input
// to the output device's IO procedure a constant number of frames late, and the work
// buffers of the two procedures. The output procedure hands each block's left channel to
// the tuner view's intake; the output itself is silence.
//
// Use, on the main thread:
//     MySoundPort port;                 // init: empty rings, reset records
//     port.setSoundView(&view);         // or the interface file sets mInputView
//     port.setup();                     // finds and reports both devices
//     if (!port.start()) { ... }        // runs without analysis; start has said why
//     ...                               // the destructor stops both procedures
//
// Threads: setup, start, computeThruOffset and the destructor run on the main thread.
// InputIOProc and OutputIOProc run on the devices' audio threads; they take no lock,
// never wait, print or allocate. Shared with them are the proc states and the sample-time
// values below, each an atomic read and written whole. A state that reaches 2 (running)
// is stored with release and loaded with acquire, so whoever sees it also sees the
// sample-time value recorded before it.
//
// Every diagnostic goes to the standard error stream.
class MySoundPort : public NSObject {
public:
    // Proc states, the same four for both procedures.
    static constexpr std::int32_t kProcIdle = 0;          // not installed, or stopped; processes
    static constexpr std::int32_t kProcArmed = 1;         // set by start before installation
    static constexpr std::int32_t kProcRunning = 2;       // every call processes its block
    static constexpr std::int32_t kProcStopRequested = 3; // next call stops its device

    // How long start waits for the handshake. A user-mode sound server can take two
    // seconds before its first capture callback.
    static constexpr std::chrono::milliseconds kStartTimeout{3000};
    // How long the destructor waits for both procedures to stop themselves before it
    // stops them from the main thread.
    static constexpr std::chrono::milliseconds kStopTimeout{1000};
    // How far the input moves on, in frames, between the output's first sight of it
    // running and the handshake's measurement (see OutputIOProc): half a second at
    // 44.1 kHz. An ALSA output fills its buffer over the first few hundred milliseconds,
    // its lead over the input growing meanwhile; measured earlier, the lead is too short
    // and the output keeps reading frames the input has not delivered yet.
    static constexpr double kHandshakeSettleFrames = 22050.0;

    MySoundPort();
    ~MySoundPort() override;
    MySoundPort(const MySoundPort&) = delete;
    MySoundPort& operator=(const MySoundPort&) = delete;

    // The tuner view that receives the input; set before start.
    void setSoundView(SoundView* view) { mInputView = view; }
    SoundView* soundView() const { return mInputView; }

    // Finds the default input and output devices and writes their reports.
    void setup();
    // Checks both formats, sizes the rings and work buffers, installs and starts both
    // procedures, waits (bounded) for their handshake and reports the latency. Returns
    // whether the engine runs; a refused or timed-out start has printed why, and leaves
    // both procedures stopped. Once only: later calls change nothing.
    bool start();
    // Thru latency and in-to-out offset, from the records and the handshake; reports them.
    void computeThruOffset();

    // Whether the handshake completed and the engine runs.
    bool started() const { return mStarted; }

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
    std::atomic<std::int32_t> mOutputProcState{kProcIdle};
    std::atomic<std::int32_t> mInputProcState{kProcIdle};
    std::uint8_t mRunning = 0; // 1 once start passed its checks; never reset
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
    // The input sample time the output procedure saw when it first found the input
    // running; NaN until then. Output procedure only, once start has armed it.
    std::atomic<double> mHandshakeInputMark{std::numeric_limits<double>::quiet_NaN()};

private:
    bool streamLayoutFits(const AudioDeviceRecord& record, const char* side);
    void stopBothProcs(std::chrono::milliseconds bound);

    std::uint32_t mChannelBufferBytes = 0;
    std::uint32_t mTempBufferBytes = 0;
    bool mProcsInstalled = false; // until both procedures are known to be stopped
    bool mStarted = false;
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
