// What this implements: adding, removing, starting and stopping procedures and the current
// time, with one stream of the server's per procedure, opened corked when the procedure is
// added and closed when it is removed. An input procedure's stream records its source with
// the source's own channels and channel map, an output procedure's plays two channels of
// what the procedure writes (silence) to its sink; both 32-bit float at 44100 Hz, in small
// fragments (kFramesPerBuffer), and neither is moved by the server to another device (the
// tuner follows a new default by looking for the devices again, as its channels may
// differ). The main loop's callbacks cut what the server sends, or asks for, into blocks
// of kFramesPerBuffer frames. Sample times count every frame: a hole the server leaves in
// the recording is lost at its size, and losses the server does not report (an overrun, a
// device that stood still, an underrun of the output) are found by the stream's clock
// (StreamClock) from the blocks' arrival. A stream that fails or is ended by the server
// answers the current-time query as not running, or, when its device went, as a default
// device that changed.
// What it does not: more than kMaxProcs procedures, or other formats than the above.

#include "PulseBackend.h"

#include "TunerConstants.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace {

using Slot = PulseBackend::Slot;

double monotonicSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::uint32_t frameBytes(const Slot& slot) {
    return slot.channels * static_cast<std::uint32_t>(sizeof(float));
}

void uncork(pa_stream* stream, bool corked) {
    // Not waited for: a server that does not answer keeps nobody.
    if (pa_operation* const operation = pa_stream_cork(stream, corked ? 1 : 0, nullptr, nullptr)) {
        pa_operation_unref(operation);
    }
}

OSStatus statusFromServer(int error) {
    switch (error) {
    case PA_ERR_NOENTITY:
        return kAudioHardwareBadDeviceError;
    case PA_ERR_NOTSUPPORTED:
    case PA_ERR_INVALID:
        return kAudioDeviceUnsupportedFormatError;
    case PA_ERR_ACCESS:
    case PA_ERR_BUSY:
        return kAudioDevicePermissionsError;
    case PA_ERR_CONNECTIONTERMINATED:
    case PA_ERR_CONNECTIONREFUSED:
        return kAudioHardwareServerGoneError;
    default:
        return kAudioHardwareUnspecifiedError;
    }
}

} // namespace

// The main loop's thread, for each block: real-time, so no allocation, lock, wait or print.
void PulseBackend::deliver(Slot& slot) {
    const double sampleTime =
        slot.clock.nextBlock(kFramesPerBuffer, monotonicSeconds(), slot.lossReported);
    slot.lossReported = false;
    slot.nextTime.store(slot.clock.sampleTime(), std::memory_order_relaxed);
    callProc(slot, sampleTime, slot.block, kFramesPerBuffer, slot.channels);
}

// Recorded bytes into blocks (the server may split a frame between two fragments); null
// samples are a hole: zeros to the end of the block being filled, and the rest lost, so
// the blocks after it keep their true times.
void PulseBackend::take(Slot& slot, const std::uint8_t* samples, std::size_t bytes) {
    const std::size_t blockBytes = std::size_t{kFramesPerBuffer} * frameBytes(slot);
    auto* const block = reinterpret_cast<std::uint8_t*>(slot.block);
    while (bytes > 0 && slot.running()) {
        if (samples == nullptr && slot.filled == 0) {
            slot.clock.lose(static_cast<std::int64_t>(bytes / frameBytes(slot)));
            return;
        }
        const std::size_t count = std::min(bytes, blockBytes - slot.filled);
        if (samples != nullptr) {
            std::memcpy(block + slot.filled, samples, count);
            samples += count;
        } else {
            std::memset(block + slot.filled, 0, count);
        }
        slot.filled += count;
        bytes -= count;
        if (slot.filled == blockBytes) {
            slot.filled = 0;
            deliver(slot);
        }
    }
}

void PulseBackend::onRead(pa_stream* stream, std::size_t, void* arg) {
    auto& slot = *static_cast<Slot*>(arg);
    for (;;) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) {
            return;
        }
        take(slot, static_cast<const std::uint8_t*>(data), bytes);
        pa_stream_drop(stream);
    }
}

// What the server asks for, in whole blocks (rounded up: a little more ahead rather than a
// stream that waits for a request that never comes).
void PulseBackend::onWrite(pa_stream* stream, std::size_t bytes, void* arg) {
    auto& slot = *static_cast<Slot*>(arg);
    const std::size_t blockBytes = std::size_t{kFramesPerBuffer} * frameBytes(slot);
    for (std::size_t written = 0; written < bytes; written += blockBytes) {
        std::memset(slot.block, 0, blockBytes); // a procedure that writes nothing plays silence
        if (slot.running()) {
            deliver(slot);
        }
        if (pa_stream_write(stream, slot.block, blockBytes, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
            return;
        }
    }
}

void PulseBackend::onUnderflow(pa_stream*, void* arg) {
    static_cast<Slot*>(arg)->lossReported = true;
}

template <class Info>
void PulseBackend::onDeviceAnswer(pa_context*, const Info* info, int eol, void* arg) {
    auto& slot = *static_cast<Slot*>(arg);
    slot.deviceSeen = slot.deviceSeen || info != nullptr;
    if (eol == 0) {
        return;
    }
    if (!slot.deviceSeen) {
        Device& device = slot.isInput ? slot.owner->mInput : slot.owner->mOutput;
        if (device.id == slot.device) {
            device.replaced.store(true, std::memory_order_release);
        }
    }
    slot.endExplained.store(true, std::memory_order_release);
}

// The main loop's thread. A stream that ends by itself is asked about: a device that went
// is a default to look for again, a device still there a stream that failed.
void PulseBackend::onStreamState(pa_stream* stream, void* arg) {
    auto& slot = *static_cast<Slot*>(arg);
    PulseBackend& self = *slot.owner;
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if ((state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) &&
        !slot.ended.load(std::memory_order_relaxed)) {
        slot.ended.store(true, std::memory_order_release);
        slot.deviceSeen = false;
        pa_context* const context = self.mContext;
        if (context != nullptr && pa_context_get_state(context) == PA_CONTEXT_READY) {
            slot.explaining =
                slot.isInput
                    ? pa_context_get_source_info_by_index(context, slot.deviceIndex,
                                                          onDeviceAnswer<pa_source_info>, &slot)
                    : pa_context_get_sink_info_by_index(context, slot.deviceIndex,
                                                        onDeviceAnswer<pa_sink_info>, &slot);
        }
    }
    pa_threaded_mainloop_signal(self.mLoop, 0);
}

// Lock held: opens the slot's stream, corked, within the bound.
OSStatus PulseBackend::openStream(Slot& slot, const Device& device) {
    pa_channel_map map = device.map;
    if (!slot.isInput) {
        pa_channel_map_init_stereo(&map);
    }
    const pa_sample_spec format{PA_SAMPLE_FLOAT32LE, static_cast<std::uint32_t>(tuner::kSampleRate),
                                static_cast<std::uint8_t>(slot.channels)};
    slot.stream =
        pa_stream_new(mContext, slot.isInput ? "Guitar input" : "Tuner clock", &format, &map);
    if (slot.stream == nullptr) {
        return statusFromServer(pa_context_errno(mContext));
    }
    slot.ended.store(false, std::memory_order_relaxed);
    slot.endExplained.store(false, std::memory_order_relaxed);
    pa_stream_set_state_callback(slot.stream, onStreamState, &slot);
    const std::uint32_t blockBytes = kFramesPerBuffer * frameBytes(slot);
    pa_buffer_attr attributes{};
    attributes.prebuf = static_cast<std::uint32_t>(-1);
    // No fold-down, no move: the tuner follows the desktop by looking again.
    const auto common = static_cast<pa_stream_flags_t>(
        PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    int connected = 0;
    if (slot.isInput) {
        // Fragments of one block; a queue no longer than the clock's largest burst, so
        // that what a stalled tuner finds waiting is recent.
        attributes.maxlength = 16 * blockBytes;
        attributes.fragsize = blockBytes;
        attributes.tlength = attributes.minreq = static_cast<std::uint32_t>(-1);
        pa_stream_set_read_callback(slot.stream, onRead, &slot);
        connected = pa_stream_connect_record(
            slot.stream, device.name, &attributes,
            static_cast<pa_stream_flags_t>(common | PA_STREAM_NO_REMAP_CHANNELS |
                                           PA_STREAM_NO_REMIX_CHANNELS));
    } else {
        attributes.maxlength = static_cast<std::uint32_t>(-1);
        attributes.tlength = 2 * blockBytes;
        attributes.minreq = blockBytes;
        attributes.fragsize = static_cast<std::uint32_t>(-1);
        pa_stream_set_write_callback(slot.stream, onWrite, &slot);
        pa_stream_set_underflow_callback(slot.stream, onUnderflow, &slot);
        connected = pa_stream_connect_playback(slot.stream, device.name, &attributes, common,
                                               nullptr, nullptr);
    }
    const bool ready = connected >= 0 && awaitAnswer([&slot] {
                           return pa_stream_get_state(slot.stream) != PA_STREAM_CREATING &&
                                  pa_stream_get_state(slot.stream) != PA_STREAM_UNCONNECTED;
                       }) &&
                       pa_stream_get_state(slot.stream) == PA_STREAM_READY;
    if (ready) {
        slot.deviceIndex = pa_stream_get_device_index(slot.stream);
        return 0;
    }
    const OSStatus status =
        mTimedOut ? kAudioHardwareNotRespondingError : statusFromServer(pa_context_errno(mContext));
    closeStream(slot);
    return status;
}

// Lock held: no callback of the stream runs now, or after.
void PulseBackend::closeStream(Slot& slot) {
    moveLife(slot, ProcLife::running, ProcLife::added);
    if (slot.explaining != nullptr) {
        pa_operation_cancel(slot.explaining);
        pa_operation_unref(slot.explaining);
        slot.explaining = nullptr;
    }
    if (slot.stream == nullptr) {
        return;
    }
    pa_stream_set_state_callback(slot.stream, nullptr, nullptr);
    pa_stream_set_read_callback(slot.stream, nullptr, nullptr);
    pa_stream_set_write_callback(slot.stream, nullptr, nullptr);
    pa_stream_set_underflow_callback(slot.stream, nullptr, nullptr);
    pa_stream_disconnect(slot.stream);
    pa_stream_unref(slot.stream);
    slot.stream = nullptr;
}

OSStatus PulseBackend::addIOProc(AudioDeviceID device, AudioDeviceIOProc proc, void* clientData) {
    if (mLoop == nullptr || mContext == nullptr || mServerGone.load(std::memory_order_acquire)) {
        return kAudioHardwareServerGoneError;
    }
    pa_threaded_mainloop_lock(mLoop);
    const Device* const found = findDevice(device);
    OSStatus status = kAudioHardwareBadDeviceError;
    if (found != nullptr) {
        Slot* const slot = mSlots.take(device, proc, clientData, found->isInput);
        status = kAudioHardwareIllegalOperationError;
        if (slot != nullptr) {
            slot->channels = found->isInput ? found->map.channels : kOutputChannels;
            slot->deviceIndex = found->index;
            status = openStream(*slot, *found);
            if (status == 0) {
                moveLife(*slot, ProcLife::free, ProcLife::added);
            }
        }
    }
    pa_threaded_mainloop_unlock(mLoop);
    return status;
}

OSStatus PulseBackend::removeIOProc(AudioDeviceID device, AudioDeviceIOProc proc) {
    if (mLoop == nullptr || procOnThisThread() != nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    pa_threaded_mainloop_lock(mLoop);
    Slot* const slot = mSlots.find(device, proc);
    if (slot != nullptr) {
        closeStream(*slot);
        moveLife(*slot, ProcLife::added, ProcLife::free);
    }
    pa_threaded_mainloop_unlock(mLoop);
    return slot != nullptr ? 0 : kAudioHardwareIllegalOperationError;
}

OSStatus PulseBackend::start(AudioDeviceID device, AudioDeviceIOProc proc) {
    if (mLoop == nullptr) {
        return kAudioHardwareServerGoneError;
    }
    pa_threaded_mainloop_lock(mLoop);
    Slot* const slot = mSlots.find(device, proc);
    OSStatus status = 0;
    if (mServerGone.load(std::memory_order_acquire)) {
        status = kAudioHardwareServerGoneError;
    } else if (slot == nullptr) {
        status = findDevice(device) == nullptr ? kAudioHardwareBadDeviceError
                                               : kAudioHardwareIllegalOperationError;
    } else if (slot->ended.load(std::memory_order_acquire)) {
        status = kAudioHardwareNotRunningError;
    } else if (!slot->running()) {
        // Under the lock no callback runs: the clock is this thread's to reset.
        slot->clock.reset();
        slot->filled = 0;
        slot->lossReported = false;
        slot->nextTime.store(0.0, std::memory_order_relaxed);
        moveLife(*slot, ProcLife::added, ProcLife::running);
        uncork(slot->stream, false);
    }
    pa_threaded_mainloop_unlock(mLoop);
    return status;
}

OSStatus PulseBackend::stop(AudioDeviceID device, AudioDeviceIOProc proc) {
    // From inside a procedure, its own only: it is not called again from its next block.
    if (ProcSlot* const own = procOnThisThread()) {
        if (own->device != device || own->proc != proc) {
            return kAudioHardwareIllegalOperationError;
        }
        moveLife(*own, ProcLife::running, ProcLife::added);
        return 0;
    }
    if (mLoop == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    pa_threaded_mainloop_lock(mLoop);
    Slot* const slot = mSlots.find(device, proc);
    if (slot != nullptr && moveLife(*slot, ProcLife::running, ProcLife::added)) {
        if (!slot->ended.load(std::memory_order_acquire)) {
            uncork(slot->stream, true);
        }
    }
    pa_threaded_mainloop_unlock(mLoop);
    return slot != nullptr ? 0 : kAudioHardwareIllegalOperationError;
}

OSStatus PulseBackend::currentTime(AudioDeviceID device, AudioTimeStamp* outTime) {
    if (outTime == nullptr) {
        return kAudioHardwareBadPropertySizeError;
    }
    if (mServerGone.load(std::memory_order_acquire) || (mContext == nullptr && hasServed())) {
        return kAudioHardwareServerGoneError;
    }
    // The records and slots change only on this thread: read without the lock.
    const Device* const found = findDevice(device);
    if (found == nullptr) {
        return kAudioHardwareBadDeviceError;
    }
    if (found->replaced.load(std::memory_order_acquire)) {
        return kAudioHardwareDefaultDeviceChangedError;
    }
    for (const Slot& slot : mSlots) {
        if (!slot.inUse() || slot.device != device) {
            continue;
        }
        if (slot.ended.load(std::memory_order_acquire)) {
            // Until the server has said whether the device went, the clock stands still.
            if (slot.endExplained.load(std::memory_order_acquire)) {
                return kAudioHardwareNotRunningError;
            }
        } else if (!slot.running()) {
            continue;
        }
        *outTime = AudioTimeStamp{};
        outTime->mSampleTime = slot.nextTime.load(std::memory_order_relaxed);
        outTime->mRateScalar = 1.0;
        outTime->mFlags = kAudioTimeStampSampleTimeValid;
        return 0;
    }
    return kAudioHardwareNotRunningError;
}

bool PulseBackend::anyStreamOpen() const {
    return mSlots.anyInUse();
}
