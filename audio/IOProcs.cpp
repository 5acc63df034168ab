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

// The handshake, on each output call while armed: once the input runs, measure how far
// the output clock lies ahead of the input's and read from then on that far behind plus
// the thru latency. Neither this call nor the ones before it write any output.
// A starting output device asks for its first blocks in a burst while it fills its buffer,
// running ahead of the input by more than it will in steady state; measured inside that
// burst, the offset would have the output read frames the input has not delivered yet,
// for good. So the measurement waits until the input has moved on by
// mHandshakeSettleFrames since this side first saw it run, which also makes sure the
// input is alive when the output measures again after losing it.
void completeHandshake(MySoundPort& port, const AudioTimeStamp* outputTime) {
    if (outputTime == nullptr ||
        port.mInputProcState.load(std::memory_order_acquire) != MySoundPort::kProcRunning) {
        return;
    }
    const double input = port.mLastInputSampleCount.load(std::memory_order_relaxed);
    const double mark = port.mHandshakeInputMark.load(std::memory_order_relaxed);
    if (mark != mark) { // NaN: the first call that sees the input running
        port.mHandshakeInputMark.store(input, std::memory_order_relaxed);
        return;
    }
    if (input - mark < port.mHandshakeSettleFrames) {
        return;
    }
    const double delta = outputTime->mSampleTime - input;
    port.mIODeltaSampleCount.store(delta, std::memory_order_relaxed);
    port.mInToOutSampleOffset.store(port.mActualThruLatency.load(std::memory_order_relaxed) + delta,
                                    std::memory_order_relaxed);
    port.mMissedBlocks = 0;
    port.mLateBlocks = 0;
    markRunning(port.mOutputProcState);
}

// Keeps the output reading a constant distance behind the input. The distance changes
// for good when one clock jumps without the other (frames lost on one side that its clock
// did not count, a device restarted) or when the two drift apart: then the fetches keep
// missing, or keep reading much older input than the thru latency allows. After
// kResyncBlocks such blocks in a row the output arms the handshake again and measures the
// offset anew; meanwhile it analyses silence.
void followInput(MySoundPort& port, bool copied, double framesAfter) {
    port.mMissedBlocks = copied ? 0 : port.mMissedBlocks + 1;
    const double lateAfter =
        port.mActualThruLatency.load(std::memory_order_relaxed) + MySoundPort::kLateSlackFrames;
    port.mLateBlocks = copied && framesAfter > lateAfter ? port.mLateBlocks + 1 : 0;
    if (port.mMissedBlocks < MySoundPort::kResyncBlocks &&
        port.mLateBlocks < MySoundPort::kResyncBlocks) {
        return;
    }
    port.mHandshakeInputMark.store(std::numeric_limits<double>::quiet_NaN(),
                                   std::memory_order_relaxed);
    MySoundPort::ProcState expected = MySoundPort::kProcRunning;
    if (port.mOutputProcState.compare_exchange_strong(expected, MySoundPort::kProcArmed,
                                                      std::memory_order_acq_rel,
                                                      std::memory_order_relaxed)) {
        port.mResyncs.fetch_add(1, std::memory_order_relaxed);
    }
}

} // namespace

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
    if (port == nullptr) {
        return 0;
    }
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
    if (port == nullptr) {
        return 0;
    }
    port->mOutputCalls.fetch_add(1, std::memory_order_relaxed);
    const MySoundPort::ProcState state = port->mOutputProcState.load(std::memory_order_acquire);
    if (state == MySoundPort::kProcArmed) {
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
    float* const left = port->mLeftInput.get();
    float* const right = port->mRightInput.get();

    bool copied = false;
    double after = 0.0;
    if (port->mInputDevice.interleaved != 0) {
        const float* const fetched = port->mTempBuffer.get();
        after = port->mInputBuffer->fetchData(port->mTempBuffer.get(), frames, time, &copied);
        if (copied) {
            for (std::uint32_t i = 0; i < frames; ++i) {
                left[i] = fetched[2 * i];
                right[i] = fetched[2 * i + 1];
            }
        }
    } else {
        bool copiedRight = false;
        after = port->mInputBuffer->fetchData(left, frames, time, &copied);
        port->mInputBuffer2->fetchData(right, frames, time, &copiedRight);
        copied = copied && copiedRight;
    }
    // Input the rings do not hold (lost, not yet arrived, or long gone) is silence, never
    // the previous block again: stale samples would be analysed and shown as live.
    if (!copied) {
        std::fill_n(left, frames, 0.0f);
        std::fill_n(right, frames, 0.0f);
    }
    followInput(*port, copied, after);

    if (port->mInputView != nullptr) {
        port->mInputView->filterInput(left, port->mLeftOutput.get(), frames, 0);
    }

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
