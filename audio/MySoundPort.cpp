// The sound port's lifecycle: construction, setup, start, the latency computation, and the
// stop that ends both procedures before anything they use is freed or replaced.
#include "MySoundPort.h"

#include "Diagnostics.h"
#include "MyRingBuffer.h"
#include "SaturatingCast.h"
#include "SoundView.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <limits>
#include <new>
#include <string_view>
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
    stop();
    mTempBuffer.reset();
    mLeftInput.reset();
    mRightInput.reset();
    mLeftOutput.reset();
    mRightOutput.reset();
    mInputBuffer.reset();
    mInputBuffer2.reset();
}

void MySoundPort::setup() {
    mDeviceLookupStatus = 0;
    getAudioDevice(mInputDevice, kAudioHardwarePropertyDefaultInputDevice, 1);
    std::fprintf(diagnostics(), "\n\nInput Device:\n\n");
    printDeviceReport(mInputDevice);
    getAudioDevice(mOutputDevice, kAudioHardwarePropertyDefaultOutputDevice, 0);
    std::fprintf(diagnostics(), "\n\nOutput Device:\n\n");
    printDeviceReport(mOutputDevice);
    std::uint32_t size = sizeof mSoundSystem;
    if (AudioHardwareGetProperty(kAudioHardwarePropertySoundSystemName, &size, mSoundSystem) != 0) {
        std::snprintf(mSoundSystem, sizeof mSoundSystem, "sound");
    }
}

MySoundPort::Health MySoundPort::health(double seconds) const {
    Health health;
    health.inputCalls = mInputCalls.load(std::memory_order_relaxed);
    health.outputCalls = mOutputCalls.load(std::memory_order_relaxed);
    health.resyncs = mResyncs.load(std::memory_order_relaxed);
    health.handshakeDone = handshakeDone();
    health.inputMuted = mInputMuted.load(std::memory_order_relaxed);
    health.startFault = startFault(mInputDevice.device != 0, mOutputDevice.device != 0,
                                   mDeviceLookupStatus, mStartRefusal);
    health.offeredRate = mOfferedRate;
    health.heardChannel = mChannelChoice.heard();
    health.input = mInputHealth.assess(seconds);
    return health;
}

bool MySoundPort::feedSilence() {
    SoundView* const view = mInputView;
    const std::int32_t steps = view != nullptr ? view->mStepsPerBuffer.load() : 0;
    const std::int32_t size = view != nullptr ? view->mSampleBufferSize.load() : 0;
    if (steps < 1 || size < steps) {
        return false; // the view never heard anything
    }
    mSilence.assign(static_cast<std::size_t>(size / steps), 0.0f);
    int nobody = 0;
    if (!mIntakeOwner.compare_exchange_strong(nobody, 2, std::memory_order_acquire,
                                              std::memory_order_relaxed)) {
        return false;
    }
    const auto frames = static_cast<std::uint32_t>(mSilence.size());
    for (std::int32_t step = 0; step < steps; ++step) {
        // The intake leaves its output untouched, so the one block serves as both. The
        // channel choice is the output procedure's and a start's, which may run meanwhile:
        // a start gives it fresh histories anyway.
        view->noteGap();
        view->filterInput(mSilence.data(), mSilence.data(), frames, 0);
    }
    mIntakeOwner.store(0, std::memory_order_release);
    return true;
}

void MySoundPort::noteGap() {
    mChannelChoice.noteGap();
    mInputView->noteGap();
    // A failing input is muted for seconds, until it has delivered cleanly for the span its
    // health looks at: whatever note sounded before is over, and one carried across would
    // glide from a reading long gone towards the middle of another.
    if (mInputMuted.load(std::memory_order_relaxed)) {
        mInputView->endNote();
    }
}

bool MySoundPort::streamLayoutFits(const AudioDeviceRecord& record, const char* side,
                                   bool isInput) {
    // The procedures handle 32-bit float channels, interleaved in one buffer or one channel
    // in each of two: two of them on the output, and on the input one to
    // InputChannelChoice::kMaxChannels, of which the channel choice picks the one analysed.
    const AudioStreamBasicDescription& format = record.format;
    const std::uint32_t channels = format.mChannelsPerFrame;
    const bool interleaved = record.interleaved != 0;
    const std::uint32_t bytesPerFrame =
        interleaved ? channels * static_cast<std::uint32_t>(sizeof(float)) : sizeof(float);
    const bool channelsFit =
        isInput ? channels >= 1 && channels <= (interleaved ? InputChannelChoice::kMaxChannels : 2)
                : channels == 2;
    const bool fits = format.mFormatID == kAudioFormatLinearPCM &&
                      (format.mFormatFlags & kAudioFormatFlagIsFloat) != 0 && channelsFit &&
                      format.mBytesPerFrame == bytesPerFrame && format.mSampleRate > 0.0;
    if (!fits) {
        std::fprintf(diagnostics(),
                     "Error - %s stream not supported: %ld channels, %ld bytes per frame, "
                     "format flags %08lX; the tuner needs %s 32-bit float channels, "
                     "interleaved or in a buffer each.\n",
                     side, static_cast<long>(format.mChannelsPerFrame),
                     static_cast<long>(format.mBytesPerFrame),
                     static_cast<unsigned long>(format.mFormatFlags),
                     isInput ? "1 to 32 (2 in a buffer each)" : "two");
    }
    return fits;
}

bool MySoundPort::start() {
    if (mRunning != 0) {
        return false;
    }
    // Refused without a word, this would read as a tuner that starts and hears nothing.
    if (mOutputDevice.device == 0 || mInputDevice.device == 0) {
        const AudioFault fault =
            startFault(mInputDevice.device != 0, mOutputDevice.device != 0, mDeviceLookupStatus, 0);
        // A server that refused the tuner said why; what is missing is said all the same.
        const AudioFault said =
            fault != AudioFault::serverRefused
                ? fault
                : startFault(mInputDevice.device != 0, mOutputDevice.device != 0, 0, 0);
        std::fputs(faultSaid(said, mSoundSystem).c_str(), diagnostics());
        return false;
    }
    const AudioStreamBasicDescription& in = mInputDevice.format;
    const AudioStreamBasicDescription& out = mOutputDevice.format;
    if (in.mSampleRate != out.mSampleRate) {
        std::fprintf(diagnostics(), "Error - sample rate mismatch: %f / %f\n", in.mSampleRate,
                     out.mSampleRate);
        return false;
    }
    if (in.mChannelsPerFrame != out.mChannelsPerFrame || in.mBytesPerFrame != out.mBytesPerFrame) {
        std::fprintf(diagnostics(),
                     "Error - format mismatch: %ld / %ld channels, %ld / %ld bytes per frame\n",
                     static_cast<long>(in.mChannelsPerFrame),
                     static_cast<long>(out.mChannelsPerFrame), static_cast<long>(in.mBytesPerFrame),
                     static_cast<long>(out.mBytesPerFrame));
        std::fprintf(diagnostics(), "It is really much better if you use the same device for input "
                                    "and output, or devices that have a similar format.\n");
        std::fprintf(diagnostics(),
                     "This program will try to get things to work out, but it is known "
                     "that with some devices things are picky.\n");
        std::fprintf(diagnostics(),
                     "For instance going between Jack and another device will probably "
                     "work at first, but break if you try to change the conncections "
                     "in jack pilot.\n");
        std::fprintf(diagnostics(),
                     "Basicly, I'll give it a shot, but no one is promising anything.\n\n");
    }
    // Both layouts are checked so that each refused side gets its line.
    const bool inputFits = streamLayoutFits(mInputDevice, "input", true);
    const bool outputFits = streamLayoutFits(mOutputDevice, "output", false);
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
    // of interleaved input per frame, or an input frame's worth where that is more. Every
    // buffer starts zeroed, so the analysis never reads uninitialised memory before the
    // first fetch that hits.
    const std::uint64_t frames = mOutputDevice.framesPerBuffer;
    const std::uint64_t outBytes = out.mBytesPerFrame;
    const std::uint64_t channelBytes =
        (mOutputDevice.interleaved != 0 ? outBytes / 2 : outBytes) * frames;
    const std::uint64_t tempBytes =
        mInputDevice.interleaved != 0
            ? std::max<std::uint64_t>(2 * outBytes, in.mBytesPerFrame) * frames
            : 0;
    bool allocated = channelBytes <= UINT32_MAX && tempBytes <= UINT32_MAX;
    mTempBuffer.reset();
    mTempBufferBytes = 0;
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
        std::fprintf(diagnostics(),
                     "Error - no memory for the audio buffers (%u frames per buffer).\n",
                     mOutputDevice.framesPerBuffer);
        return false;
    }

    mRunning = 1;
    // Devices told apart by name: the server's and ALSA's numbers change when they return.
    mChannelChoice.reset(in.mChannelsPerFrame,
                         std::hash<std::string_view>{}(std::string_view(mInputDevice.name)));
    mStartRefusal = 0;
    mOfferedRate = 0.0;
    mHandshakeInputMark.store(std::numeric_limits<double>::quiet_NaN(), std::memory_order_relaxed);
    // The output procedure sets the offset itself when the handshake completes, from this.
    mActualThruLatency.store(thruLatency(), std::memory_order_relaxed);
    mLateBlocks = 0;
    mHandshakeLead = -std::numeric_limits<double>::infinity();
    mResyncRequested.store(false, std::memory_order_relaxed);
    mOutputReadEnd.store(std::numeric_limits<std::int64_t>::min(), std::memory_order_relaxed);
    mNextInputSampleTime = std::numeric_limits<double>::quiet_NaN();
    mLateSince = std::numeric_limits<double>::quiet_NaN();
    mOutputProcState.store(kProcArmed, std::memory_order_release);
    mInputProcState.store(kProcArmed, std::memory_order_release);
    mSampleRate = in.mSampleRate;

    const OSStatus addInput = AudioDeviceAddIOProc(mInputDevice.device, InputIOProc, this);
    checkError(addInput, "AudioDeviceAddIOProc-input");
    noteRefusal(addInput, mInputDevice, true);
    mInputProcAdded = addInput == 0;
    const OSStatus startInput = AudioDeviceStart(mInputDevice.device, InputIOProc);
    checkError(startInput, "AudioDeviceStart-input");
    const OSStatus addOutput = AudioDeviceAddIOProc(mOutputDevice.device, OutputIOProc, this);
    checkError(addOutput, "AudioDeviceAddIOProc-output");
    noteRefusal(addOutput, mOutputDevice, false);
    mOutputProcAdded = addOutput == 0;
    const OSStatus startOutput = AudioDeviceStart(mOutputDevice.device, OutputIOProc);
    checkError(startOutput, "AudioDeviceStart-output");
    for (const OSStatus status : {addInput, startInput, addOutput, startOutput}) {
        mStartRefusal = mStartRefusal != 0 ? mStartRefusal : status;
    }
    if (mStartRefusal == kAudioHardwareNotRespondingError) {
        std::fputs(faultSaid(AudioFault::notAnswering).c_str(), diagnostics());
    }
    return addInput == 0 && startInput == 0 && addOutput == 0 && startOutput == 0;
}

void MySoundPort::noteRefusal(OSStatus status, const AudioDeviceRecord& record, bool isInput) {
    if (status != kAudioDeviceUnsupportedFormatError) {
        return;
    }
    // Said as it is: which format was asked, and what the device would rather run at.
    double offered = 0.0;
    std::uint32_t size = sizeof offered;
    if (AudioDeviceGetProperty(record.device, 0, isInput ? 1 : 0,
                               kAudioDevicePropertyNominalSampleRate, &size, &offered) != 0) {
        offered = 0.0;
    }
    mOfferedRate = mOfferedRate != 0.0 ? mOfferedRate : offered;
    std::fprintf(diagnostics(),
                 "Error - the %s device does not take %.0f Hz, %u channels of 32-bit float; "
                 "it runs at %.0f Hz.\n",
                 isInput ? "input" : "output", record.format.mSampleRate,
                 record.format.mChannelsPerFrame, offered);
}

void MySoundPort::stop() {
    stopBothProcs();
    if (mInputProcAdded) {
        AudioDeviceRemoveIOProc(mInputDevice.device, InputIOProc);
        mInputProcAdded = false;
    }
    if (mOutputProcAdded) {
        AudioDeviceRemoveIOProc(mOutputDevice.device, OutputIOProc);
        mOutputProcAdded = false;
    }
    mRunning = 0;
}

void MySoundPort::stopBothProcs() {
    if (!mInputProcAdded && !mOutputProcAdded) {
        return;
    }
    // Once installed, a procedure reads 0 only after it has answered a stop request; one
    // that is already idle needs none.
    auto requestStop = [](std::atomic<ProcState>& state) {
        ProcState current = state.load(std::memory_order_acquire);
        while (current != kProcIdle &&
               !state.compare_exchange_weak(current, kProcStopRequested, std::memory_order_acq_rel,
                                            std::memory_order_acquire)) {
        }
    };
    requestStop(mInputProcState);
    requestStop(mOutputProcState);
    const auto deadline = std::chrono::steady_clock::now() + mStopBound;
    auto bothIdle = [this] {
        return mInputProcState.load(std::memory_order_acquire) == kProcIdle &&
               mOutputProcState.load(std::memory_order_acquire) == kProcIdle;
    };
    // Once neither procedure has been called for a few blocks (a device stalled, or the
    // other already answered), nobody is left to answer: no use waiting out the bound.
    constexpr auto kQuiet = std::chrono::milliseconds(25);
    auto calls = [this] {
        return mInputCalls.load(std::memory_order_relaxed) +
               mOutputCalls.load(std::memory_order_relaxed);
    };
    std::uint64_t seen = calls();
    auto lastCall = std::chrono::steady_clock::now();
    while (!bothIdle()) {
        std::this_thread::sleep_for(std::chrono::microseconds(1000));
        const auto now = std::chrono::steady_clock::now();
        if (calls() != seen) {
            seen = calls();
            lastCall = now;
        } else if (now - lastCall > kQuiet || now >= deadline) {
            break;
        }
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
}

double MySoundPort::thruLatency() const {
    // Summed in 32 bits, the sum taken as signed.
    const std::uint32_t sum = mInputDevice.framesPerBuffer + mInputDevice.safetyOffset +
                              mOutputDevice.safetyOffset + mOutputDevice.framesPerBuffer;
    return static_cast<double>(static_cast<std::int32_t>(sum));
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

    const double latency = thruLatency();
    mActualThruLatency.store(latency, std::memory_order_relaxed);
    const double offset =
        latency + mIODeltaSampleCount.load(std::memory_order_relaxed) + kReadSlackFrames;
    mInToOutSampleOffset.store(offset, std::memory_order_relaxed);

    std::fprintf(diagnostics(), "LATENCY REPORT:\n");
    std::fprintf(diagnostics(), "thru latency: %.0f frames\ninToOutOffset: %0.f frames\n", latency,
                 offset);
    const float seconds =
        static_cast<float>(latency) / static_cast<float>(mOutputDevice.format.mSampleRate);
    std::fprintf(diagnostics(), "latency in seconds: %f\n\n", static_cast<double>(seconds));
}
