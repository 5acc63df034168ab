// The sound port's lifecycle: construction, setup, start with its bounded wait for the
// handshake, the latency computation and the teardown that stops both procedures before
// anything they use is freed.
#include "MySoundPort.h"

#include "MyRingBuffer.h"
#include "SaturatingCast.h"

#include <cstdio>
#include <limits>
#include <new>
#include <thread>

namespace {

std::unique_ptr<float[]> zeroedFloats(std::uint32_t bytes) {
    const std::size_t count = (static_cast<std::size_t>(bytes) + sizeof(float) - 1) / sizeof(float);
    return std::unique_ptr<float[]>(new (std::nothrow) float[count]());
}

} // namespace

MySoundPort::MySoundPort()
    : mInputBuffer(std::make_unique<MyRingBuffer>()),
      mInputBuffer2(std::make_unique<MyRingBuffer>()) {
    initMyAudioDevice(mOutputDevice);
    initMyAudioDevice(mInputDevice);
    mRunning = 0;
}

MySoundPort::~MySoundPort() {
    // The procedures read the work buffers and the rings until they have stopped.
    stopBothProcs(kStopTimeout);
    mTempBuffer.reset();
    mLeftInput.reset();
    mRightInput.reset();
    mLeftOutput.reset();
    mRightOutput.reset();
    mInputBuffer.reset();
    mInputBuffer2.reset();
}

void MySoundPort::setup() {
    getAudioDevice(mInputDevice, kAudioHardwarePropertyDefaultInputDevice, 1);
    std::fprintf(stderr, "\n\nInput Device:\n\n");
    printDeviceReport(mInputDevice);
    getAudioDevice(mOutputDevice, kAudioHardwarePropertyDefaultOutputDevice, 0);
    std::fprintf(stderr, "\n\nOutput Device:\n\n");
    printDeviceReport(mOutputDevice);
}

bool MySoundPort::streamLayoutFits(const AudioDeviceRecord& record, const char* side) {
    // The work buffers and the procedures handle two 32-bit float channels, interleaved in
    // one buffer or one channel in each of two. (The PortAudio backend always asks for
    // two interleaved float channels at 44100 Hz, so this refuses only other backends.)
    const AudioStreamBasicDescription& format = record.format;
    const std::uint32_t bytesPerFrame = record.interleaved != 0 ? 2 * sizeof(float) : sizeof(float);
    const bool fits = format.mFormatID == kAudioFormatLinearPCM &&
                      (format.mFormatFlags & kAudioFormatFlagIsFloat) != 0 &&
                      format.mChannelsPerFrame == 2 && format.mBytesPerFrame == bytesPerFrame &&
                      format.mSampleRate > 0.0;
    if (!fits) {
        std::fprintf(stderr,
                     "Error - %s stream not supported: %ld channels, %ld bytes per frame, "
                     "format flags %08lX; the tuner needs two 32-bit float channels, "
                     "interleaved or in a buffer each.\n",
                     side, static_cast<long>(format.mChannelsPerFrame),
                     static_cast<long>(format.mBytesPerFrame),
                     static_cast<unsigned long>(format.mFormatFlags));
    }
    return fits;
}

bool MySoundPort::start() {
    if (mRunning != 0) {
        return mStarted;
    }
    // Refused without a word, this would read as a tuner that starts and hears nothing.
    if (mOutputDevice.device == 0 || mInputDevice.device == 0) {
        const char* missing = mInputDevice.device != 0 ? "no default output device"
                              : mOutputDevice.device != 0
                                  ? "no default input device"
                                  : "no default input device and no default output device";
        std::fprintf(stderr, "Error - %s; the tuner runs without analysis.\n", missing);
        return false;
    }
    const AudioStreamBasicDescription& in = mInputDevice.format;
    const AudioStreamBasicDescription& out = mOutputDevice.format;
    if (in.mSampleRate != out.mSampleRate) {
        std::fprintf(stderr, "Error - sample rate mismatch: %f / %f\n", in.mSampleRate,
                     out.mSampleRate);
        return false;
    }
    if (in.mChannelsPerFrame != out.mChannelsPerFrame || in.mBytesPerFrame != out.mBytesPerFrame) {
        std::fprintf(
            stderr, "Error - format mismatch: %ld / %ld channels, %ld / %ld bytes per frame\n",
            static_cast<long>(in.mChannelsPerFrame), static_cast<long>(out.mChannelsPerFrame),
            static_cast<long>(in.mBytesPerFrame), static_cast<long>(out.mBytesPerFrame));
        std::fprintf(stderr, "It is really much better if you use the same device for input "
                             "and output, or devices that have a similar format.\n");
        std::fprintf(stderr, "This program will try to get things to work out, but it is known "
                             "that with some devices things are picky.\n");
        std::fprintf(stderr, "For instance going between Jack and another device will probably "
                             "work at first, but break if you try to change the conncections "
                             "in jack pilot.\n");
        std::fprintf(stderr, "Basicly, I'll give it a shot, but no one is promising anything.\n\n");
    }
    // Both layouts are checked so that each refused side gets its line.
    const bool inputFits = streamLayoutFits(mInputDevice, "input");
    const bool outputFits = streamLayoutFits(mOutputDevice, "output");
    if (!inputFits || !outputFits) {
        return false;
    }

    // Two seconds of input.
    const std::int32_t capacity = toInt32(2.0 * in.mSampleRate);
    const auto frameSize = static_cast<std::int32_t>(in.mBytesPerFrame);
    mInputBuffer->AllocateBytes(frameSize, capacity);
    if (mInputDevice.interleaved == 0) {
        mInputBuffer2->AllocateBytes(frameSize, capacity);
    }

    // One float per output frame for each channel, and room for two output frames' worth
    // of interleaved input per frame. Every buffer starts zeroed, so the analysis never
    // reads uninitialised memory before the first fetch that hits.
    const std::uint64_t frames = mOutputDevice.framesPerBuffer;
    const std::uint64_t outBytes = out.mBytesPerFrame;
    const std::uint64_t channelBytes =
        (mOutputDevice.interleaved != 0 ? outBytes / 2 : outBytes) * frames;
    const std::uint64_t tempBytes = mInputDevice.interleaved != 0 ? 2 * outBytes * frames : 0;
    bool allocated = channelBytes <= UINT32_MAX && tempBytes <= UINT32_MAX;
    if (allocated) {
        mChannelBufferBytes = static_cast<std::uint32_t>(channelBytes);
        mLeftInput = zeroedFloats(mChannelBufferBytes);
        mRightInput = zeroedFloats(mChannelBufferBytes);
        mLeftOutput = zeroedFloats(mChannelBufferBytes);
        mRightOutput = zeroedFloats(mChannelBufferBytes);
        allocated = mLeftInput && mRightInput && mLeftOutput && mRightOutput;
        if (tempBytes != 0) {
            mTempBufferBytes = static_cast<std::uint32_t>(tempBytes);
            mTempBuffer = zeroedFloats(mTempBufferBytes);
            allocated = allocated && mTempBuffer;
        }
    }
    const bool ringsHeld = mInputBuffer->capacityFrames() != 0 &&
                           (mInputDevice.interleaved != 0 || mInputBuffer2->capacityFrames() != 0);
    if (!allocated || !ringsHeld) {
        std::fprintf(stderr,
                     "Error - no memory for the audio buffers (%u frames per buffer); "
                     "the tuner runs without analysis.\n",
                     mOutputDevice.framesPerBuffer);
        return false;
    }

    mRunning = 1;
    mHandshakeInputMark.store(std::numeric_limits<double>::quiet_NaN(), std::memory_order_relaxed);
    mOutputProcState.store(kProcArmed, std::memory_order_release);
    mInputProcState.store(kProcArmed, std::memory_order_release);
    mSampleRate = in.mSampleRate;

    checkError(AudioDeviceAddIOProc(mInputDevice.device, InputIOProc, this),
               "AudioDeviceAddIOProc-input");
    checkError(AudioDeviceStart(mInputDevice.device, InputIOProc), "AudioDeviceStart-input");
    checkError(AudioDeviceAddIOProc(mOutputDevice.device, OutputIOProc, this),
               "AudioDeviceAddIOProc-output");
    checkError(AudioDeviceStart(mOutputDevice.device, OutputIOProc), "AudioDeviceStart-output");
    mProcsInstalled = true;

    // Wait for the handshake, but not forever: a device that never delivers would
    // otherwise hang the launch.
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    bool handshake = false;
    do {
        std::this_thread::sleep_for(std::chrono::microseconds(1000));
        handshake = mOutputProcState.load(std::memory_order_acquire) == kProcRunning;
    } while (!handshake && std::chrono::steady_clock::now() < deadline);

    if (!handshake) {
        if (mInputProcState.load(std::memory_order_acquire) != kProcRunning) {
            std::fprintf(stderr,
                         "Error - the input device did not start: no input within %lld "
                         "seconds; the tuner runs without analysis.\n",
                         static_cast<long long>(kStartTimeout.count() / 1000));
        } else {
            std::fprintf(stderr,
                         "Error - the output device did not start: no output call "
                         "within %lld seconds; the tuner runs without analysis.\n",
                         static_cast<long long>(kStartTimeout.count() / 1000));
        }
        stopBothProcs(std::chrono::milliseconds(0));
        return false;
    }

    mStarted = true;
    computeThruOffset();
    return true;
}

void MySoundPort::stopBothProcs(std::chrono::milliseconds bound) {
    if (!mProcsInstalled) {
        return;
    }
    // Once installed, a procedure reads 0 only after it has answered a stop request; one
    // that is already idle needs none.
    auto requestStop = [](std::atomic<std::int32_t>& state) {
        std::int32_t current = state.load(std::memory_order_acquire);
        while (current != kProcIdle &&
               !state.compare_exchange_weak(current, kProcStopRequested, std::memory_order_acq_rel,
                                            std::memory_order_acquire)) {
        }
    };
    requestStop(mInputProcState);
    requestStop(mOutputProcState);
    const auto deadline = std::chrono::steady_clock::now() + bound;
    auto bothIdle = [this] {
        return mInputProcState.load(std::memory_order_acquire) == kProcIdle &&
               mOutputProcState.load(std::memory_order_acquire) == kProcIdle;
    };
    while (!bothIdle() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::microseconds(1000));
    }
    // A procedure that is not called any more cannot answer its request: stop it from
    // here, which returns only once no call of it runs.
    if (mInputProcState.load(std::memory_order_acquire) != kProcIdle) {
        AudioDeviceStop(mInputDevice.device, InputIOProc);
        mInputProcState.store(kProcIdle, std::memory_order_release);
    }
    if (mOutputProcState.load(std::memory_order_acquire) != kProcIdle) {
        AudioDeviceStop(mOutputDevice.device, OutputIOProc);
        mOutputProcState.store(kProcIdle, std::memory_order_release);
    }
    mProcsInstalled = false;
}

void MySoundPort::computeThruOffset() {
    if (mRunning == 0) {
        mInToOutSampleOffset.store(0.0, std::memory_order_relaxed);
        mActualThruLatency.store(0.0, std::memory_order_relaxed);
        return;
    }
    AudioTimeStamp inputTime;
    checkError(AudioDeviceGetCurrentTime(mInputDevice.device, &inputTime),
               "AudioDeviceGetCurrentTime-inputTime");
    AudioTimeStamp outputTime;
    checkError(AudioDeviceGetCurrentTime(mOutputDevice.device, &outputTime),
               "AudioDeviceGetCurrentTime-outputTime");

    // One IO buffer and one safety offset on each side, summed in 32 bits.
    const std::uint32_t sum = mInputDevice.framesPerBuffer + mInputDevice.safetyOffset +
                              mOutputDevice.safetyOffset + mOutputDevice.framesPerBuffer;
    const double latency = static_cast<double>(static_cast<std::int32_t>(sum));
    mActualThruLatency.store(latency, std::memory_order_relaxed);
    const double offset = latency + mIODeltaSampleCount.load(std::memory_order_relaxed);
    mInToOutSampleOffset.store(offset, std::memory_order_relaxed);

    std::fprintf(stderr, "LATENCY REPORT:\n");
    std::fprintf(stderr, "thru latency: %.0f frames\ninToOutOffset: %0.f frames\n", latency,
                 offset);
    const float seconds =
        static_cast<float>(latency) / static_cast<float>(mOutputDevice.format.mSampleRate);
    std::fprintf(stderr, "latency in seconds: %f\n\n", static_cast<double>(seconds));
}
