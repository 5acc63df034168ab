// What this implements: AudioDeviceAddIOProc, AudioDeviceRemoveIOProc, AudioDeviceStart,
// AudioDeviceStop and AudioDeviceGetCurrentTime, with one PortAudio stream per (device,
// procedure): opened when the procedure is added, closed when it is removed. Each stream
// is input-only or output-only (the direction rule is in AudioHardware.h), 44100 Hz, two
// interleaved 32-bit float channels, 512 frames per call. Its sample clock (StreamClock)
// counts the frames the device moved since the start, lost ones included. A stream that
// runs wild (hands over frames far faster than real time) is ended from its callback, and
// one that ended by itself answers the current-time query as not running.
// What it does not: full-duplex streams, more than kMaxStreams procedures at a time.

#include "IOProcStreams.h"

#include "AudioHardware.h"
#include "PortAudioDevices.h"
#include "PortAudioSession.h"
#include "StreamClock.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <portaudio.h>

namespace {

constexpr int kMaxStreams = 8;

// One added procedure. The fields above `stream` are set by the control thread while no
// stream exists, so the callback thread only ever sees them fixed.
struct ProcStream {
    AudioDeviceID device = 0;
    AudioDeviceIOProc proc = nullptr;
    void* clientData = nullptr;
    bool isInput = false;
    bool used = false;          // control thread only
    PaStream* stream = nullptr; // control thread only

    // Set by AudioDeviceStop; the callback then stops calling the procedure and ends
    // the stream.
    std::atomic<bool> stopRequested{false};
    // Set by the callback when the stream ran wild and was ended.
    std::atomic<bool> failed{false};
    // The next block's sample time: written by the callback, read by the control thread.
    std::atomic<double> sampleTime{0.0};
    StreamClock clock{kBackendSampleRate}; // the callback's own, reset before each start
};

ProcStream gStreams[kMaxStreams];

// The stream whose callback runs on this thread, so that a procedure stopping itself is
// told apart without looking at the other slots.
thread_local ProcStream* tCallbackStream = nullptr;

ProcStream* findStream(AudioDeviceID device, AudioDeviceIOProc proc) {
    for (ProcStream& slot : gStreams) {
        if (slot.used && slot.device == device && slot.proc == proc) {
            return &slot;
        }
    }
    return nullptr;
}

bool deviceHasInputProc(AudioDeviceID device) {
    for (const ProcStream& slot : gStreams) {
        if (slot.used && slot.device == device && slot.isInput) {
            return true;
        }
    }
    return false;
}

double monotonicSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Real-time: no allocation, lock or print. Hands the block to the procedure unless a stop
// was asked for, and ends the stream once it was, or once it runs wild.
int streamCallback(const void* input, void* output, unsigned long frames,
                   const PaStreamCallbackTimeInfo* /*timeInfo*/, PaStreamCallbackFlags /*flags*/,
                   void* userData) {
    ProcStream& slot = *static_cast<ProcStream*>(userData);
    const std::uint32_t bytes = static_cast<std::uint32_t>(frames) * kBackendBytesPerFrame;
    if (output != nullptr) {
        std::memset(output, 0, bytes); // a procedure that writes nothing plays silence
    }
    if (slot.stopRequested.load(std::memory_order_acquire)) {
        return paComplete;
    }
    const double sampleTime =
        slot.clock.nextBlock(static_cast<std::uint32_t>(frames), monotonicSeconds());
    if (slot.clock.runningWild()) {
        slot.failed.store(true, std::memory_order_release);
        return paAbort;
    }
    slot.sampleTime.store(slot.clock.sampleTime(), std::memory_order_relaxed);

    AudioTimeStamp blockTime;
    blockTime.mSampleTime = sampleTime;
    blockTime.mRateScalar = 1.0;
    blockTime.mFlags = kAudioTimeStampSampleTimeValid;
    const AudioTimeStamp now = blockTime;

    AudioBufferList buffers;
    buffers.mNumberBuffers = 1;
    buffers.mBuffers[0].mNumberChannels = kBackendChannels;
    buffers.mBuffers[0].mDataByteSize = bytes;
    tCallbackStream = &slot;
    if (slot.isInput) {
        buffers.mBuffers[0].mData = const_cast<void*>(input);
        slot.proc(slot.device, &now, &buffers, &blockTime, nullptr, nullptr, slot.clientData);
    } else {
        buffers.mBuffers[0].mData = output;
        slot.proc(slot.device, &now, nullptr, nullptr, &buffers, &blockTime, slot.clientData);
    }
    tCallbackStream = nullptr;
    return slot.stopRequested.load(std::memory_order_acquire) ? paComplete : paContinue;
}

// Whether a procedure added to this device is its input procedure.
bool choosesInput(PaDeviceIndex index, AudioDeviceID device) {
    const bool canInput = hasChannels(index, true);
    const bool canOutput = hasChannels(index, false);
    if (canInput && canOutput) {
        return device == deviceIdentifier(Pa_GetDefaultInputDevice()) &&
               !deviceHasInputProc(device);
    }
    return canInput;
}

PaError openStream(PaDeviceIndex index, ProcStream& slot) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(index);
    PaStreamParameters parameters{};
    parameters.device = index;
    parameters.channelCount = kBackendChannels;
    parameters.sampleFormat = paFloat32;
    parameters.suggestedLatency =
        slot.isInput ? info->defaultLowInputLatency : info->defaultLowOutputLatency;
    return Pa_OpenStream(&slot.stream, slot.isInput ? &parameters : nullptr,
                         slot.isInput ? nullptr : &parameters, kBackendSampleRate,
                         kBackendFramesPerBuffer, paClipOff, streamCallback, &slot);
}

// Ends a stream's callbacks: a stream that ended by itself still needs stopping before it
// can start again or close.
PaError haltStream(ProcStream& slot) {
    slot.stopRequested.store(true, std::memory_order_release);
    if (Pa_IsStreamStopped(slot.stream) == 0) {
        return Pa_AbortStream(slot.stream);
    }
    return paNoError;
}

} // namespace

OSStatus AudioDeviceAddIOProc(AudioDeviceID device, AudioDeviceIOProc proc, void* clientData) {
    if (!portAudioReady()) {
        return kAudioHardwareNotRunningError;
    }
    const PaDeviceIndex index = deviceIndex(device);
    if (index == paNoDevice) {
        return kAudioHardwareBadDeviceError;
    }
    if (proc == nullptr || findStream(device, proc) != nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    if (!hasChannels(index, true) && !hasChannels(index, false)) {
        return kAudioHardwareBadStreamError;
    }
    for (ProcStream& slot : gStreams) {
        if (slot.used) {
            continue;
        }
        slot.device = device;
        slot.proc = proc;
        slot.clientData = clientData;
        slot.isInput = choosesInput(index, device);
        slot.stopRequested.store(true, std::memory_order_relaxed);
        slot.failed.store(false, std::memory_order_relaxed);
        const PaError error = openStream(index, slot);
        if (error != paNoError) {
            slot.stream = nullptr;
            return statusFromPortAudio(error);
        }
        slot.used = true;
        return 0;
    }
    return kAudioHardwareIllegalOperationError;
}

OSStatus AudioDeviceRemoveIOProc(AudioDeviceID device, AudioDeviceIOProc proc) {
    ProcStream* slot = findStream(device, proc);
    if (slot == nullptr || tCallbackStream != nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    haltStream(*slot);
    const PaError error = Pa_CloseStream(slot->stream);
    slot->stream = nullptr;
    slot->used = false;
    return statusFromPortAudio(error);
}

OSStatus AudioDeviceStart(AudioDeviceID device, AudioDeviceIOProc proc) {
    if (!portAudioReady()) {
        return kAudioHardwareNotRunningError;
    }
    ProcStream* slot = findStream(device, proc);
    if (slot == nullptr) {
        return deviceIndex(device) == paNoDevice ? kAudioHardwareBadDeviceError
                                                 : kAudioHardwareIllegalOperationError;
    }
    if (Pa_IsStreamActive(slot->stream) == 1 &&
        !slot->stopRequested.load(std::memory_order_acquire)) {
        return 0;
    }
    haltStream(*slot);
    // No callback runs now: the clock is this thread's to reset.
    slot->clock.reset();
    slot->sampleTime.store(0.0, std::memory_order_relaxed);
    slot->failed.store(false, std::memory_order_relaxed);
    slot->stopRequested.store(false, std::memory_order_release);
    return statusFromPortAudio(Pa_StartStream(slot->stream));
}

OSStatus AudioDeviceStop(AudioDeviceID device, AudioDeviceIOProc proc) {
    // From inside a procedure, its own stream only: the callback ends the stream on return.
    if (ProcStream* own = tCallbackStream) {
        if (own->device != device || own->proc != proc) {
            return kAudioHardwareIllegalOperationError;
        }
        own->stopRequested.store(true, std::memory_order_release);
        return 0;
    }
    ProcStream* slot = findStream(device, proc);
    if (slot == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    return statusFromPortAudio(haltStream(*slot));
}

OSStatus AudioDeviceGetCurrentTime(AudioDeviceID device, AudioTimeStamp* outTime) {
    if (outTime == nullptr) {
        return kAudioHardwareBadPropertySizeError;
    }
    if (!portAudioReady()) {
        return kAudioHardwareNotRunningError;
    }
    if (deviceIndex(device) == paNoDevice) {
        return kAudioHardwareBadDeviceError;
    }
    for (ProcStream& slot : gStreams) {
        if (!slot.used || slot.device != device || Pa_IsStreamActive(slot.stream) != 1 ||
            slot.failed.load(std::memory_order_acquire)) {
            continue;
        }
        *outTime = AudioTimeStamp{};
        outTime->mSampleTime = slot.sampleTime.load(std::memory_order_relaxed);
        outTime->mRateScalar = 1.0;
        outTime->mFlags = kAudioTimeStampSampleTimeValid;
        return 0;
    }
    return kAudioHardwareNotRunningError;
}

bool anyStreamOpen() {
    for (const ProcStream& slot : gStreams) {
        if (slot.used) {
            return true;
        }
    }
    return false;
}

void closeAllStreams() {
    for (ProcStream& slot : gStreams) {
        if (slot.used) {
            haltStream(slot);
            Pa_CloseStream(slot.stream);
            slot.stream = nullptr;
            slot.used = false;
        }
    }
}
