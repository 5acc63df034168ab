// The two IO procedures: the input stores each block in the rings under its sample time;
// the output fetches the block a constant offset behind its own sample time, hands the
// left channel to the tuner view and writes silence. Both also carry the start-up
// handshake and the stop request.
//
// Real-time: no lock, no wait, no allocation, no print. The one hardware call is
// AudioDeviceStop of the procedure's own device, on a stop request.
#include "MySoundPort.h"

#include "MyRingBuffer.h"
#include "SoundView.h"

#include <algorithm>
#include <chrono>
#include <limits>

namespace {

// Whether the buffer list carries what the record's layout needs: one buffer of
// `bytes` for an interleaved stream, two for a stream with a buffer per channel. A list
// that falls short is skipped rather than read or written past its end.
bool buffersHold(const AudioBufferList* list, bool interleaved, std::uint64_t bytes) {
    if (list == nullptr) {
        return false;
    }
    const std::uint32_t needed = interleaved ? 1 : 2;
    if (list->mNumberBuffers < needed) {
        return false;
    }
    for (std::uint32_t i = 0; i < needed; ++i) {
        if (list->mBuffers[i].mData == nullptr || list->mBuffers[i].mDataByteSize < bytes) {
            return false;
        }
    }
    return true;
}

// Answers a stop request: stops the procedure's own device and goes idle.
void stopOwnDevice(std::atomic<MySoundPort::ProcState>& state, AudioDeviceID device,
                   AudioDeviceIOProc proc) {
    AudioDeviceStop(device, proc);
    state.store(MySoundPort::kProcIdle, std::memory_order_release);
}

// Armed to running; a stop request that came in meanwhile wins.
void markRunning(std::atomic<MySoundPort::ProcState>& state) {
    MySoundPort::ProcState expected = MySoundPort::kProcArmed;
    state.compare_exchange_strong(expected, MySoundPort::kProcRunning, std::memory_order_release,
                                  std::memory_order_relaxed);
}

double monotonicSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

// The procedures' work on the port's own fields.
struct SoundPortProcs {
    static void completeHandshake(MySoundPort& port, const AudioTimeStamp* outputTime);
    static void measureAgain(MySoundPort& port);
    static void followInput(MySoundPort& port, bool copied, double framesAfter);
    static void watchArrival(MySoundPort& port, double sampleTime, std::uint32_t frames);
    static void feedView(MySoundPort& port, const float* block, std::uint32_t frames);
    static void feedChosenChannel(MySoundPort& port, bool heard, std::uint32_t frames);
    static OSStatus input(MySoundPort& port, AudioDeviceID device, const AudioBufferList* inputData,
                          const AudioTimeStamp* inputTime);
    static OSStatus output(MySoundPort& port, AudioDeviceID device, AudioBufferList* outputData,
                           const AudioTimeStamp* outputTime);
};

// The handshake, on each output call while armed: once the input runs, measure how far
// the output clock lies ahead of the input's and read from then on that far behind plus
// the thru latency and a margin. Neither this call nor the ones before it write any output.
// A starting output device asks for its first blocks in a burst while it fills its buffer,
// running ahead of the input by more than it will in steady state, and a bursty input
// leads by less right after a burst than before the next one; so the measurement waits
// until the input has moved on by mHandshakeSettleFrames since this side first saw it run
// (which also makes sure the input is alive when the output measures again after losing
// it), and takes the largest lead seen meanwhile.
void SoundPortProcs::completeHandshake(MySoundPort& port, const AudioTimeStamp* outputTime) {
    if (outputTime == nullptr ||
        port.mInputProcState.load(std::memory_order_acquire) != MySoundPort::kProcRunning) {
        return;
    }
    const double input = port.mLastInputSampleCount.load(std::memory_order_relaxed);
    const double mark = port.mHandshakeInputMark.load(std::memory_order_relaxed);
    if (mark != mark) { // NaN: the first call that sees the input running
        port.mHandshakeInputMark.store(input, std::memory_order_relaxed);
        port.mHandshakeLead = -std::numeric_limits<double>::infinity();
        return;
    }
    port.mHandshakeLead = std::max(port.mHandshakeLead, outputTime->mSampleTime - input);
    if (input - mark < port.mHandshakeSettleFrames) {
        return;
    }
    const double delta = port.mHandshakeLead;
    port.mIODeltaSampleCount.store(delta, std::memory_order_relaxed);
    port.mInToOutSampleOffset.store(port.mActualThruLatency.load(std::memory_order_relaxed) +
                                        delta + MySoundPort::kReadSlackFrames,
                                    std::memory_order_relaxed);
    port.mLateBlocks = 0;
    port.mResyncRequested.store(false, std::memory_order_relaxed);
    markRunning(port.mOutputProcState);
}

// Arms the handshake again, so that the output measures the offset anew; meanwhile it
// hands the view silence.
void SoundPortProcs::measureAgain(MySoundPort& port) {
    port.mHandshakeInputMark.store(std::numeric_limits<double>::quiet_NaN(),
                                   std::memory_order_relaxed);
    MySoundPort::ProcState expected = MySoundPort::kProcRunning;
    if (port.mOutputProcState.compare_exchange_strong(expected, MySoundPort::kProcArmed,
                                                      std::memory_order_acq_rel,
                                                      std::memory_order_relaxed)) {
        port.mResyncs.fetch_add(1, std::memory_order_relaxed);
    }
}

// Keeps the output reading a constant distance behind the input. The distance changes
// for good when one clock jumps without the other or when the two drift apart: then the
// input's blocks keep coming for frames the output has passed (the input procedure asks
// for a new measurement), or the output keeps reading much older input than its margin
// allows, or older than the ring still holds (kResyncBlocks in a row; an output that
// starts seconds after its input asks for its first blocks in a burst, and the lead
// measured then can be larger than the ring). A miss past the input's end is no reason:
// the input may have stopped, or lost frames its clock has not counted yet, and the gap
// passes as silence.
void SoundPortProcs::followInput(MySoundPort& port, bool copied, double framesAfter) {
    const double lateAfter = port.mActualThruLatency.load(std::memory_order_relaxed) +
                             MySoundPort::kReadSlackFrames + MySoundPort::kLateSlackFrames;
    const bool behind = copied ? framesAfter > lateAfter : framesAfter < 0.0;
    port.mLateBlocks = behind ? port.mLateBlocks + 1 : 0;
    if (port.mResyncRequested.exchange(false, std::memory_order_relaxed) ||
        port.mLateBlocks >= MySoundPort::kResyncBlocks) {
        measureAgain(port);
    }
}

// Notes whether the input's block comes for frames the output has already read past. A
// block right after the one before (no frames lost between) that does, for longer than
// the input's clock takes to count a loss, means the output reads too close behind: it is
// asked to measure the offset again.
void SoundPortProcs::watchArrival(MySoundPort& port, double sampleTime, std::uint32_t frames) {
    const bool following = sampleTime == port.mNextInputSampleTime;
    port.mNextInputSampleTime = sampleTime + frames;
    const bool late =
        following && frameNumber(sampleTime) < port.mOutputReadEnd.load(std::memory_order_relaxed);
    if (!following || (!late && sampleTime - port.mLastLate > MySoundPort::kLateArrivalFrames)) {
        port.mLateSince = std::numeric_limits<double>::quiet_NaN();
    }
    if (!late) {
        return;
    }
    port.mLastLate = sampleTime;
    if (port.mLateSince != port.mLateSince) {
        port.mLateSince = sampleTime;
    } else if (sampleTime - port.mLateSince > MySoundPort::kLateArrivalFrames) {
        port.mLateSince = std::numeric_limits<double>::quiet_NaN();
        port.mResyncRequested.store(true, std::memory_order_relaxed);
    }
}

// Hands a block of silence to the view's intake, as a gap, unless the supervisor feeds it
// right now.
void SoundPortProcs::feedView(MySoundPort& port, const float* block, std::uint32_t frames) {
    SoundView* const view = port.mInputView;
    int nobody = 0;
    if (view == nullptr || !port.mIntakeOwner.compare_exchange_strong(
                               nobody, 1, std::memory_order_acquire, std::memory_order_relaxed)) {
        return;
    }
    port.noteGap();
    view->filterInput(block, port.mLeftOutput.get(), frames, 0);
    port.mIntakeOwner.store(0, std::memory_order_release);
}

// Splits the fetched block into the channel the guitar is played on and the second channel,
// and hands the first to the view; silence where nothing was heard. The channel choice sees every
// channel of the blocks the view hears, and moves only between the view's analysis
// windows, so that no window mixes two channels; the view then starts the note struck on
// the new channel.
void SoundPortProcs::feedChosenChannel(MySoundPort& port, bool heard, std::uint32_t frames) {
    SoundView* const view = port.mInputView;
    InputChannelChoice& choice = port.mChannelChoice;
    const std::uint32_t channels = choice.channels();
    // Two channels or fewer are split into the left and right buffers, as they are, and the
    // view hears one of the two; more, the one chosen goes to the left.
    const bool split = port.mInputDevice.interleaved == 0 || channels <= 2;
    float* const left = port.mLeftInput.get();
    float* const right = port.mRightInput.get();
    const float* const fetched = port.mTempBuffer.get();
    int nobody = 0;
    const bool owned =
        view != nullptr && port.mIntakeOwner.compare_exchange_strong(
                               nobody, 1, std::memory_order_acquire, std::memory_order_relaxed);
    if (owned && heard && view->mCurrentStep == 0 && choice.endWindow()) {
        view->takeNewSource(choice.windowPeak());
    }
    const std::uint32_t chosen = choice.channel();
    if (!heard) {
        std::fill_n(left, frames, 0.0f);
        std::fill_n(right, frames, 0.0f);
    } else if (port.mInputDevice.interleaved != 0 && channels == 2) {
        // The usual stream, split with a stride the compiler knows.
        for (std::uint32_t i = 0; i < frames; ++i) {
            left[i] = fetched[2 * i];
            right[i] = fetched[2 * i + 1];
        }
    } else if (port.mInputDevice.interleaved != 0) {
        const std::uint32_t first = split ? 0 : chosen;
        const std::uint32_t second = channels > 1 ? 1 : 0;
        for (std::uint32_t i = 0; i < frames; ++i) {
            left[i] = fetched[static_cast<std::size_t>(i) * channels + first];
            right[i] = fetched[static_cast<std::size_t>(i) * channels + second];
        }
    }
    if (owned && heard) {
        if (split) {
            choice.notePair(left, right, frames);
        } else {
            choice.noteInterleaved(fetched, frames);
        }
        choice.endBlock(frames);
    }
    if (owned && !heard) {
        port.noteGap();
    }
    if (owned) {
        view->filterInput(split && chosen == 1 ? right : left, port.mLeftOutput.get(), frames, 0);
        port.mIntakeOwner.store(0, std::memory_order_release);
    }
}

std::int64_t frameNumber(double sampleTime) noexcept {
    constexpr double kLimit = 9223372036854775808.0; // 2^63
    if (!(sampleTime == sampleTime) || sampleTime <= -kLimit) {
        return std::numeric_limits<std::int64_t>::min();
    }
    if (sampleTime >= kLimit) {
        return std::numeric_limits<std::int64_t>::max();
    }
    return static_cast<std::int64_t>(sampleTime);
}

OSStatus InputIOProc(AudioDeviceID device, const AudioTimeStamp* /*now*/,
                     const AudioBufferList* inputData, const AudioTimeStamp* inputTime,
                     AudioBufferList* /*outputData*/, const AudioTimeStamp* /*outputTime*/,
                     void* clientData) {
    auto* const port = static_cast<MySoundPort*>(clientData);
    return port != nullptr ? SoundPortProcs::input(*port, device, inputData, inputTime) : 0;
}

OSStatus SoundPortProcs::input(MySoundPort& portRef, AudioDeviceID device,
                               const AudioBufferList* inputData, const AudioTimeStamp* inputTime) {
    MySoundPort* const port = &portRef;
    port->mInputCalls.fetch_add(1, std::memory_order_relaxed);
    const MySoundPort::ProcState state = port->mInputProcState.load(std::memory_order_acquire);
    if (state == MySoundPort::kProcStopRequested) {
        stopOwnDevice(port->mInputProcState, device, InputIOProc);
        return 0;
    }
    if (inputTime == nullptr) {
        return 0;
    }
    const double sampleTime = inputTime->mSampleTime;
    // Recorded before the state can read 2, which publishes it to the output's handshake.
    port->mLastInputSampleCount.store(sampleTime, std::memory_order_relaxed);
    if (state == MySoundPort::kProcArmed) {
        markRunning(port->mInputProcState);
    }

    const AudioDeviceRecord& record = port->mInputDevice;
    const std::uint32_t frames = record.framesPerBuffer;
    const std::int64_t time = frameNumber(sampleTime);
    const bool interleaved = record.interleaved != 0;
    const std::uint64_t bytes = static_cast<std::uint64_t>(frames) * record.format.mBytesPerFrame;
    if (!buffersHold(inputData, interleaved, bytes)) {
        return 0;
    }
    port->mInputHealth.note(monotonicSeconds(), frames, state == MySoundPort::kProcArmed);
    watchArrival(*port, sampleTime, frames);
    port->mInputBuffer->storeData(inputData->mBuffers[0].mData, frames, time);
    if (!interleaved) {
        port->mInputBuffer2->storeData(inputData->mBuffers[1].mData, frames, time);
    }
    return 0;
}

OSStatus OutputIOProc(AudioDeviceID device, const AudioTimeStamp* /*now*/,
                      const AudioBufferList* /*inputData*/, const AudioTimeStamp* /*inputTime*/,
                      AudioBufferList* outputData, const AudioTimeStamp* outputTime,
                      void* clientData) {
    auto* const port = static_cast<MySoundPort*>(clientData);
    return port != nullptr ? SoundPortProcs::output(*port, device, outputData, outputTime) : 0;
}

OSStatus SoundPortProcs::output(MySoundPort& portRef, AudioDeviceID device,
                                AudioBufferList* outputData, const AudioTimeStamp* outputTime) {
    MySoundPort* const port = &portRef;
    port->mOutputCalls.fetch_add(1, std::memory_order_relaxed);
    const MySoundPort::ProcState state = port->mOutputProcState.load(std::memory_order_acquire);
    if (state == MySoundPort::kProcArmed) {
        // The view hears silence until the offset is known: no stale note stays shown.
        feedView(*port, port->mRightOutput.get(), port->mOutputDevice.framesPerBuffer);
        completeHandshake(*port, outputTime);
        return 0;
    }
    if (state == MySoundPort::kProcStopRequested) {
        stopOwnDevice(port->mOutputProcState, device, OutputIOProc);
        return 0;
    }
    if (outputTime == nullptr) {
        return 0;
    }

    const std::uint32_t frames = port->mOutputDevice.framesPerBuffer;
    const std::int64_t time = frameNumber(
        outputTime->mSampleTime - port->mInToOutSampleOffset.load(std::memory_order_relaxed));
    port->mOutputReadEnd.store(
        time > std::numeric_limits<std::int64_t>::max() - frames ? time : time + frames,
        std::memory_order_relaxed);
    bool copied = false;
    double after = 0.0;
    if (port->mInputDevice.interleaved != 0) {
        after = port->mInputBuffer->fetchData(port->mTempBuffer.get(), frames, time, &copied);
    } else {
        bool copiedRight = false;
        after = port->mInputBuffer->fetchData(port->mLeftInput.get(), frames, time, &copied);
        port->mInputBuffer2->fetchData(port->mRightInput.get(), frames, time, &copiedRight);
        copied = copied && copiedRight;
    }
    followInput(*port, copied, after);
    // Input the rings do not hold (lost, not yet arrived, or long gone) is silence, never
    // the previous block again: stale samples would be analysed and shown as live. So is
    // the input of a device that is failing.
    feedChosenChannel(*port, copied && !port->mInputMuted.load(std::memory_order_relaxed), frames);

    const bool interleaved = port->mOutputDevice.interleaved != 0;
    const std::uint64_t bytes =
        static_cast<std::uint64_t>(frames) * (interleaved ? 2 : 1) * sizeof(float);
    if (!buffersHold(outputData, interleaved, bytes)) {
        return 0;
    }
    const float* const leftOut = port->mLeftOutput.get();
    const float* const rightOut = port->mRightOutput.get();
    if (interleaved) {
        auto* const out = static_cast<float*>(outputData->mBuffers[0].mData);
        for (std::uint32_t i = 0; i < frames; ++i) {
            out[2 * i] = leftOut[i];
            out[2 * i + 1] = rightOut[i];
        }
    } else {
        auto* const outLeft = static_cast<float*>(outputData->mBuffers[0].mData);
        auto* const outRight = static_cast<float*>(outputData->mBuffers[1].mData);
        for (std::uint32_t i = 0; i < frames; ++i) {
            outLeft[i] = leftOut[i];
            outRight[i] = rightOut[i];
        }
    }
    return 0;
}
