// What this implements: AudioDeviceAddIOProc, AudioDeviceStart, AudioDeviceStop and
// AudioDeviceGetCurrentTime, with one PortAudio stream per (device, procedure): opened
// when the procedure is added, started and stopped with it. Each stream is input-only or
// output-only (the direction rule is in AudioHardware.h), 44100 Hz, two interleaved
// 32-bit float channels, 512 frames per call, and keeps its own sample clock: frames
// since its start.
// What it does not: full-duplex streams, removing a procedure (the streams live until
// exit), more than kMaxStreams procedures, or reporting lost frames (an overrun or
// underrun does not advance the sample clock).

#include "IOProcStreams.h"

#include "AudioHardware.h"
#include "PortAudioDevices.h"
#include "PortAudioSession.h"
#include "QuietStandardError.h"

#include <atomic>
#include <cstring>
#include <portaudio.h>
#include <thread>

namespace {

constexpr int kMaxStreams = 8;

// One added procedure. `used` publishes the fields above it (release), which never change
// afterwards, so a callback thread may look a procedure up while the main thread adds
// another one.
struct ProcStream {
    AudioDeviceID device = 0;
    AudioDeviceIOProc proc = nullptr;
    void* clientData = nullptr;
    bool isInput = false;
    PaStream* stream = nullptr; // opened and closed by the main thread only
    std::atomic<bool> used{false};

    // Set by AudioDeviceStop; the callback then stops calling the procedure and
    // completes the stream.
    std::atomic<bool> stopRequested{false};
    // The thread of the latest callback, so that AudioDeviceStop knows its caller.
    std::atomic<std::thread::id> callbackThread{};
    // Frames since the stream's start: written by the callback, read by the main thread.
    std::atomic<double> sampleTime{0.0};
};

ProcStream gStreams[kMaxStreams];

ProcStream* findStream(AudioDeviceID device, AudioDeviceIOProc proc) {
    for (ProcStream& slot : gStreams) {
        if (slot.used.load(std::memory_order_acquire) && slot.device == device &&
            slot.proc == proc) {
            return &slot;
        }
    }
    return nullptr;
}

bool deviceHasInputProc(AudioDeviceID device) {
    for (ProcStream& slot : gStreams) {
        if (slot.used.load(std::memory_order_acquire) && slot.device == device && slot.isInput) {
            return true;
        }
    }
    return false;
}

// Real-time: no allocation, lock or print. Hands the block to the procedure unless a stop
// was asked for, and completes the stream once it was.
int streamCallback(const void* input, void* output, unsigned long frames,
                   const PaStreamCallbackTimeInfo* timeInfo, PaStreamCallbackFlags /*flags*/,
                   void* userData) {
    ProcStream& slot = *static_cast<ProcStream*>(userData);
    const std::uint32_t bytes = static_cast<std::uint32_t>(frames) * kBackendBytesPerFrame;
    if (output != nullptr) {
        std::memset(output, 0, bytes); // a procedure that writes nothing plays silence
    }
    if (slot.stopRequested.load(std::memory_order_acquire)) {
        return paComplete;
    }
    slot.callbackThread.store(std::this_thread::get_id(), std::memory_order_relaxed);

    const double sampleTime = slot.sampleTime.load(std::memory_order_relaxed);
    AudioTimeStamp now;
    now.mSampleTime = sampleTime;
    now.mHostTime = static_cast<std::uint64_t>(timeInfo->currentTime * 1e9);
    now.mRateScalar = 1.0;
    now.mFlags = kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid;
    const AudioTimeStamp blockTime = now;

    AudioBufferList buffers;
    buffers.mNumberBuffers = 1;
    buffers.mBuffers[0].mNumberChannels = kBackendChannels;
    buffers.mBuffers[0].mDataByteSize = bytes;
    if (slot.isInput) {
        buffers.mBuffers[0].mData = const_cast<void*>(input);
        slot.proc(slot.device, &now, &buffers, &blockTime, nullptr, nullptr, slot.clientData);
    } else {
        buffers.mBuffers[0].mData = output;
        slot.proc(slot.device, &now, nullptr, nullptr, &buffers, &blockTime, slot.clientData);
    }
    slot.sampleTime.store(sampleTime + static_cast<double>(frames), std::memory_order_relaxed);
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
    QuietStandardError quiet;
    return Pa_OpenStream(&slot.stream, slot.isInput ? &parameters : nullptr,
                         slot.isInput ? nullptr : &parameters, kBackendSampleRate,
                         kBackendFramesPerBuffer, paClipOff, streamCallback, &slot);
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
        if (slot.used.load(std::memory_order_acquire)) {
            continue;
        }
        slot.device = device;
        slot.proc = proc;
        slot.clientData = clientData;
        slot.isInput = choosesInput(index, device);
        const PaError error = openStream(index, slot);
        if (error != paNoError) {
            slot.stream = nullptr;
            return statusFromPortAudio(error);
        }
        slot.used.store(true, std::memory_order_release);
        return 0;
    }
    return kAudioHardwareIllegalOperationError;
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
    QuietStandardError quiet;
    if (Pa_IsStreamActive(slot->stream) == 1 &&
        !slot->stopRequested.load(std::memory_order_acquire)) {
        return 0;
    }
    // A stream its procedure stopped has completed but still needs stopping.
    if (Pa_IsStreamStopped(slot->stream) == 0) {
        Pa_StopStream(slot->stream);
    }
    slot->sampleTime.store(0.0, std::memory_order_relaxed);
    slot->stopRequested.store(false, std::memory_order_release);
    return statusFromPortAudio(Pa_StartStream(slot->stream));
}

OSStatus AudioDeviceStop(AudioDeviceID device, AudioDeviceIOProc proc) {
    ProcStream* slot = findStream(device, proc);
    if (slot == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    slot->stopRequested.store(true, std::memory_order_release);
    if (slot->callbackThread.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
        return 0; // inside the procedure: its callback completes the stream on return
    }
    QuietStandardError quiet;
    if (Pa_IsStreamStopped(slot->stream) == 0) {
        return statusFromPortAudio(Pa_StopStream(slot->stream));
    }
    return 0;
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
        if (!slot.used.load(std::memory_order_acquire) || slot.device != device ||
            Pa_IsStreamActive(slot.stream) != 1) {
            continue;
        }
        *outTime = AudioTimeStamp{};
        outTime->mSampleTime = slot.sampleTime.load(std::memory_order_relaxed);
        outTime->mHostTime = static_cast<std::uint64_t>(Pa_GetStreamTime(slot.stream) * 1e9);
        outTime->mRateScalar = 1.0;
        outTime->mFlags = kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid;
        return 0;
    }
    return kAudioHardwareNotRunningError;
}

void closeAllStreams() {
    for (ProcStream& slot : gStreams) {
        if (!slot.used.load(std::memory_order_acquire)) {
            continue;
        }
        slot.stopRequested.store(true, std::memory_order_release);
        if (Pa_IsStreamStopped(slot.stream) == 0) {
            Pa_AbortStream(slot.stream);
        }
        Pa_CloseStream(slot.stream);
        slot.used.store(false, std::memory_order_release);
    }
}
