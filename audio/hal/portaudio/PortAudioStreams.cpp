// What this implements: adding, removing, starting and stopping procedures and the current
// time, with one PortAudio stream per (device,
// procedure): opened when the procedure is added, closed when it is removed. Each stream
// is input-only or output-only (the direction rule is in AudioHardware.h), 44100 Hz, two
// interleaved 32-bit float channels, 512 frames per call, and is driven by a thread of
// the backend's own through PortAudio's blocking reads and writes: a callback stream
// whose sound server dies keeps PortAudio's thread spinning and can then never be stopped
// or closed, while a blocking read or write returns an error, so the thread ends and the
// stream can be closed and opened anew. Its sample clock (StreamClock) counts the frames
// the device moved since the start, lost ones included. A stream that fails or runs wild
// (hands over frames far faster than real time, as a capture at the end of a file does)
// ends, and then answers the current-time query as not running.
// What it does not: full-duplex streams, more than kMaxStreams procedures at a time, or
// interrupt a read or write stuck in a device that neither delivers nor fails (stopping
// such a stream waits until it does one or the other).

#include "PortAudioBackend.h"

#include <cstring>
#include <pthread.h>
#include <sched.h>

namespace {

// Above the minimum real-time priority, below what sound servers take for themselves.
constexpr int kRealTimePriority = 10;

using ProcStream = PortAudioBackend::ProcStream;

// The stream whose procedure runs on this thread, so that a procedure stopping itself is
// told apart without looking at the other slots.
thread_local ProcStream* tCallbackStream = nullptr;

double monotonicSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Hands one block to the procedure. False when the stream must end: a stop was asked for,
// or it runs wild.
bool callProc(ProcStream& slot, float* block) {
    const double sampleTime = slot.clock.nextBlock(kBackendFramesPerBuffer, monotonicSeconds());
    if (slot.clock.runningWild()) {
        return false;
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
    buffers.mBuffers[0].mDataByteSize = kBackendFramesPerBuffer * kBackendBytesPerFrame;
    buffers.mBuffers[0].mData = block;
    if (slot.isInput) {
        slot.proc(slot.device, &now, &buffers, &blockTime, nullptr, nullptr, slot.clientData);
    } else {
        slot.proc(slot.device, &now, nullptr, nullptr, &buffers, &blockTime, slot.clientData);
    }
    return !slot.stopRequested.load(std::memory_order_acquire);
}

// The stream's thread: real-time, so no allocation, lock or print of its own. Reads a
// block and hands it over, or has a block filled and writes it, until stopped; a read or
// write that fails (other than by an overrun or underrun, whose lost frames the clock
// counts) ends the stream.
void runStream(ProcStream* slot) {
    // Blocks fall due every 11.6 ms whatever else the machine is doing, so the stream's
    // thread outranks ordinary work where the system allows it (a real-time limit, or
    // root); elsewhere it runs as it is.
    sched_param realTime{};
    realTime.sched_priority = sched_get_priority_min(SCHED_FIFO) + kRealTimePriority;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &realTime);
    tCallbackStream = slot;
    float block[kBackendFramesPerBuffer * kBackendChannels];
    while (!slot->stopRequested.load(std::memory_order_acquire)) {
        if (slot->isInput) {
            const PaError error = Pa_ReadStream(slot->stream, block, kBackendFramesPerBuffer);
            if (error != paNoError && error != paInputOverflowed) {
                break;
            }
            if (!callProc(*slot, block)) {
                break;
            }
        } else {
            std::memset(block, 0, sizeof block); // a procedure that writes nothing plays silence
            if (!callProc(*slot, block)) {
                break;
            }
            const PaError error = Pa_WriteStream(slot->stream, block, kBackendFramesPerBuffer);
            if (error != paNoError && error != paOutputUnderflowed) {
                break;
            }
        }
    }
    slot->ended.store(true, std::memory_order_release);
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
                         kBackendFramesPerBuffer, paClipOff, nullptr, nullptr);
}

// Ends a stream's thread (once its current read or write returns) and stops the stream.
PaError haltStream(ProcStream& slot) {
    slot.stopRequested.store(true, std::memory_order_release);
    if (slot.thread.joinable()) {
        slot.thread.join();
    }
    if (Pa_IsStreamStopped(slot.stream) == 0) {
        return Pa_AbortStream(slot.stream);
    }
    return paNoError;
}

} // namespace

PortAudioBackend::ProcStream* PortAudioBackend::findStream(AudioDeviceID device,
                                                          AudioDeviceIOProc proc) {
    for (ProcStream& slot : mStreams) {
        if (slot.used && slot.device == device && slot.proc == proc) {
            return &slot;
        }
    }
    return nullptr;
}

bool PortAudioBackend::deviceHasInputProc(AudioDeviceID device) const {
    for (const ProcStream& slot : mStreams) {
        if (slot.used && slot.device == device && slot.isInput) {
            return true;
        }
    }
    return false;
}

// Whether a procedure added to this device is its input procedure.
bool PortAudioBackend::choosesInput(PaDeviceIndex index, AudioDeviceID device) const {
    const bool canInput = hasChannels(index, true);
    const bool canOutput = hasChannels(index, false);
    if (canInput && canOutput) {
        return device == deviceIdentifier(Pa_GetDefaultInputDevice()) &&
               !deviceHasInputProc(device);
    }
    return canInput;
}

OSStatus PortAudioBackend::addIOProc(AudioDeviceID device, AudioDeviceIOProc proc,
                                     void* clientData) {
    if (!ready()) {
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
    for (ProcStream& slot : mStreams) {
        if (slot.used) {
            continue;
        }
        slot.device = device;
        slot.proc = proc;
        slot.clientData = clientData;
        slot.isInput = choosesInput(index, device);
        slot.stopRequested.store(true, std::memory_order_relaxed);
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

OSStatus PortAudioBackend::removeIOProc(AudioDeviceID device, AudioDeviceIOProc proc) {
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

OSStatus PortAudioBackend::start(AudioDeviceID device, AudioDeviceIOProc proc) {
    if (!ready()) {
        return kAudioHardwareNotRunningError;
    }
    ProcStream* slot = findStream(device, proc);
    if (slot == nullptr) {
        return deviceIndex(device) == paNoDevice ? kAudioHardwareBadDeviceError
                                                 : kAudioHardwareIllegalOperationError;
    }
    if (!slot->ended.load(std::memory_order_acquire) &&
        !slot->stopRequested.load(std::memory_order_acquire)) {
        return 0;
    }
    haltStream(*slot);
    // No thread of the stream runs now: the clock is this thread's to reset.
    slot->clock.reset();
    slot->sampleTime.store(0.0, std::memory_order_relaxed);
    slot->stopRequested.store(false, std::memory_order_relaxed);
    const PaError error = Pa_StartStream(slot->stream);
    if (error != paNoError) {
        return statusFromPortAudio(error);
    }
    slot->ended.store(false, std::memory_order_relaxed);
    slot->thread = std::thread(runStream, slot);
    return 0;
}

OSStatus PortAudioBackend::stop(AudioDeviceID device, AudioDeviceIOProc proc) {
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

OSStatus PortAudioBackend::currentTime(AudioDeviceID device, AudioTimeStamp* outTime) {
    if (outTime == nullptr) {
        return kAudioHardwareBadPropertySizeError;
    }
    if (!ready()) {
        return kAudioHardwareNotRunningError;
    }
    if (deviceIndex(device) == paNoDevice) {
        return kAudioHardwareBadDeviceError;
    }
    for (ProcStream& slot : mStreams) {
        if (!slot.used || slot.device != device || slot.ended.load(std::memory_order_acquire)) {
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

bool PortAudioBackend::anyStreamOpen() const {
    for (const ProcStream& slot : mStreams) {
        if (slot.used) {
            return true;
        }
    }
    return false;
}

void PortAudioBackend::closeAllStreams() {
    for (ProcStream& slot : mStreams) {
        if (slot.used) {
            haltStream(slot);
            Pa_CloseStream(slot.stream);
            slot.stream = nullptr;
            slot.used = false;
        }
    }
}
