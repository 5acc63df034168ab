// What this implements: adding, removing, starting and stopping procedures and the current
// time, all on the one client, and the process cycle that calls them. The cycle takes the
// input port's period, converts it to the engine's rate and cuts it into blocks
// (BlockAssembler); each block goes to the input procedure and then to the output
// procedure, in the same cycle, so both count the same frames and the output never reads
// ahead of the input. Frames the server counted but never handed to this client (JACK's
// frame time moved further than the last period: an xrun, cycles missed while the process
// was stopped) are a gap, seen as a jump of the sample time; a change of the period is not.
// Each procedure's sample time starts at 0 with its first block.
// What it does not: more than kMaxProcs procedures, more than one input port, or any
// output port (the output procedure's output is silence, and it goes nowhere).

#include "JackBackend.h"

#include "Diagnostics.h"
#include "TunerConstants.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>

namespace {

std::int64_t monotonicNanos() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now); // vDSO: no system call
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

} // namespace

int JackBackend::onProcess(jack_nframes_t frames, void* arg) {
    static_cast<JackBackend*>(arg)->runCycle(frames);
    return 0;
}

// The server's real-time thread: no allocation, lock, wait or print.
void JackBackend::runCycle(jack_nframes_t frames) {
    const std::int64_t began = monotonicNanos();
    bool anyEnabled = false;
    for (const Slot& slot : mSlots) {
        anyEnabled = anyEnabled || slot.running();
    }
    if (!anyEnabled || !mConvertible || mClientLost.load(std::memory_order_relaxed)) {
        mIdle = true;
        return;
    }
    const jack_nframes_t frameTime = jack_last_frame_time(mClient);
    auto onBlock = [this](const float* block, double sampleTime) {
        deliverBlock(block, sampleTime);
    };
    if (mIdle) {
        mAssembler.reset();
        mIdle = false;
    } else if (frames == mLastPeriod) {
        // A new period moves the frame time by the new length, not the old: no gap then.
        const auto step = static_cast<std::int32_t>(frameTime - mExpectedFrameTime);
        if (step > 0) {
            mAssembler.skip(static_cast<std::uint64_t>(step), onBlock);
        }
    }
    mExpectedFrameTime = frameTime + frames;
    mLastPeriod = frames;
    mPeriod.store(frames, std::memory_order_relaxed);
    const auto* const input = static_cast<const float*>(jack_port_get_buffer(mInputPort, frames));
    mAssembler.push(input, frames, onBlock);

    const std::int64_t took = monotonicNanos() - began;
    if (took > mLongestCycleNanos.load(std::memory_order_relaxed)) {
        mLongestCycleNanos.store(took, std::memory_order_relaxed);
    }
}

void JackBackend::deliverBlock(const float* block, double sampleTime) {
    // The one port is the analysed channel; both channels carry it.
    for (std::uint32_t i = 0; i < kFramesPerBuffer; ++i) {
        mInputBlock[2 * i] = block[i];
        mInputBlock[2 * i + 1] = block[i];
    }
    callProcs(true, sampleTime);
    callProcs(false, sampleTime);
}

void JackBackend::callProcs(bool inputs, double sampleTime) {
    for (Slot& slot : mSlots) {
        // Paired with stopSlot: either this sees the slot stopped, or stop sees the call.
        slot.inCall.store(true, std::memory_order_seq_cst);
        if (slot.running() && slot.isInput == inputs) {
            if (slot.fresh.exchange(false, std::memory_order_acq_rel)) {
                slot.origin = sampleTime;
            }
            slot.nextTime.store(sampleTime - slot.origin + kFramesPerBuffer,
                                std::memory_order_relaxed);
            callProc(slot, sampleTime - slot.origin, inputs ? mInputBlock : mOutputBlock,
                     kFramesPerBuffer, kChannels);
        }
        slot.inCall.store(false, std::memory_order_release);
    }
}

// Control thread: returns once no call of the slot's procedure runs. The cycle never
// blocks, so the wait is one call at most; a server that is gone calls nothing.
void JackBackend::stopSlot(Slot& slot) {
    moveLife(slot, ProcLife::running, ProcLife::added);
    while (slot.inCall.load(std::memory_order_seq_cst)) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

OSStatus JackBackend::addIOProc(AudioDeviceID device, AudioDeviceIOProc proc, void* clientData) {
    if (!clientUsable()) {
        return mServerGone.load(std::memory_order_acquire) || mClient == nullptr
                   ? kAudioHardwareServerGoneError
                   : kAudioHardwareNotRunningError;
    }
    if (device != mDevice) {
        return kAudioHardwareBadDeviceError;
    }
    if (!mConvertible) {
        std::fprintf(diagnostics(),
                     "Error - the JACK server runs at %u Hz; the tuner asked for %.0f Hz and "
                     "cannot convert from that rate.\n",
                     static_cast<unsigned>(mServerRate.load(std::memory_order_relaxed)),
                     tuner::kSampleRate);
        return kAudioDeviceUnsupportedFormatError;
    }
    Slot* const slot = mSlots.take(device, proc, clientData, !mSlots.hasInput(device));
    return slot != nullptr && moveLife(*slot, ProcLife::free, ProcLife::added)
               ? 0
               : kAudioHardwareIllegalOperationError;
}

OSStatus JackBackend::removeIOProc(AudioDeviceID device, AudioDeviceIOProc proc) {
    Slot* const slot = mSlots.find(device, proc);
    if (slot == nullptr || procOnThisThread() != nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    stopSlot(*slot);
    moveLife(*slot, ProcLife::added, ProcLife::free);
    return 0;
}

OSStatus JackBackend::start(AudioDeviceID device, AudioDeviceIOProc proc) {
    if (!clientUsable()) {
        return mServerGone.load(std::memory_order_acquire) || mClient == nullptr
                   ? kAudioHardwareServerGoneError
                   : kAudioHardwareNotRunningError;
    }
    Slot* const slot = mSlots.find(device, proc);
    if (slot == nullptr) {
        return device != mDevice ? kAudioHardwareBadDeviceError
                                 : kAudioHardwareIllegalOperationError;
    }
    if (!slot->running()) {
        slot->nextTime.store(0.0, std::memory_order_relaxed);
        slot->fresh.store(true, std::memory_order_relaxed);
        moveLife(*slot, ProcLife::added, ProcLife::running);
    }
    return 0;
}

OSStatus JackBackend::stop(AudioDeviceID device, AudioDeviceIOProc proc) {
    // From inside a procedure, its own only: the cycle calls it no more from the next block.
    if (ProcSlot* const own = procOnThisThread()) {
        if (own->device != device || own->proc != proc) {
            return kAudioHardwareIllegalOperationError;
        }
        moveLife(*own, ProcLife::running, ProcLife::added);
        return 0;
    }
    Slot* const slot = mSlots.find(device, proc);
    if (slot == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    stopSlot(*slot);
    return 0;
}

OSStatus JackBackend::currentTime(AudioDeviceID device, AudioTimeStamp* outTime) {
    if (outTime == nullptr) {
        return kAudioHardwareBadPropertySizeError;
    }
    if (mServerGone.load(std::memory_order_acquire) || (mClient == nullptr && hasServed())) {
        return kAudioHardwareServerGoneError;
    }
    if (mClient == nullptr || device != mDevice) {
        return kAudioHardwareBadDeviceError;
    }
    if (mClientLost.load(std::memory_order_acquire)) {
        return kAudioHardwareNotRunningError;
    }
    for (const Slot& slot : mSlots) {
        if (slot.device == device && slot.running()) {
            return answerSampleTime(slot.nextTime.load(std::memory_order_relaxed), outTime);
        }
    }
    return kAudioHardwareNotRunningError;
}

bool JackBackend::anyStreamOpen() const {
    return mSlots.anyInUse();
}
