#include "ProcSlots.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace {

thread_local ProcSlot* tCalling = nullptr;

} // namespace

bool lifeMoveAllowed(ProcLife from, ProcLife to) {
    struct Move {
        ProcLife from, to;
    };
    static constexpr Move kMoves[] = {
        {ProcLife::free, ProcLife::added},       {ProcLife::added, ProcLife::running},
        {ProcLife::running, ProcLife::added},    {ProcLife::added, ProcLife::free},
        {ProcLife::running, ProcLife::setAside}, {ProcLife::setAside, ProcLife::free},
    };
    return std::any_of(std::begin(kMoves), std::end(kMoves),
                       [&](const Move& move) { return move.from == from && move.to == to; });
}

bool moveLife(ProcSlot& slot, ProcLife from, ProcLife to) {
    return lifeMoveAllowed(from, to) &&
           slot.life.compare_exchange_strong(from, to, std::memory_order_seq_cst);
}

void callProc(ProcSlot& slot, double sampleTime, float* block, std::uint32_t frames,
              std::uint32_t channels) {
    AudioTimeStamp time;
    time.mSampleTime = sampleTime;
    time.mRateScalar = 1.0;
    time.mFlags = kAudioTimeStampSampleTimeValid;
    AudioBufferList buffers;
    buffers.mNumberBuffers = 1;
    buffers.mBuffers[0].mNumberChannels = channels;
    buffers.mBuffers[0].mDataByteSize =
        frames * channels * static_cast<std::uint32_t>(sizeof(float));
    buffers.mBuffers[0].mData = block;
    ProcSlot* const outer = std::exchange(tCalling, &slot);
    if (slot.isInput) {
        slot.proc(slot.device, &time, &buffers, &time, nullptr, nullptr, slot.clientData);
    } else {
        slot.proc(slot.device, &time, nullptr, nullptr, &buffers, &time, slot.clientData);
    }
    tCalling = outer;
}

ProcSlot* procOnThisThread() {
    return tCalling;
}

AudioStreamBasicDescription floatStreamFormat(double rate, std::uint32_t channels) {
    const std::uint32_t bytes = channels * static_cast<std::uint32_t>(sizeof(float));
    return {rate,
            kAudioFormatLinearPCM,
            kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked,
            bytes,
            1,
            bytes,
            channels,
            32,
            0};
}

OSStatus answerSampleTime(double sampleTime, AudioTimeStamp* outTime) {
    *outTime = AudioTimeStamp{};
    outTime->mSampleTime = sampleTime;
    outTime->mRateScalar = 1.0;
    outTime->mFlags = kAudioTimeStampSampleTimeValid;
    return 0;
}
