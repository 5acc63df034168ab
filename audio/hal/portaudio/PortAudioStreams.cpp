// What this implements: adding, removing, starting and stopping procedures and the current
// time, with one PortAudio stream per (device, procedure): opened when the procedure is
// added, closed when it is removed. Each stream is input-only or output-only (the direction
// rule is in AudioHardware.h), 44100 Hz, two interleaved 32-bit float channels, 512 frames
// per call, and is driven by a thread of the backend's own through PortAudio's blocking
// reads and writes: a callback stream whose sound server dies keeps PortAudio's thread
// spinning and can then never be stopped or closed, while a blocking read or write returns
// an error, so the thread ends and the stream can be closed and opened anew. The thread
// reads or writes only once the stream has a whole block to move, waiting for it in short
// sleeps that a stop ends, so that a device that stands still never keeps it. Some devices
// say they always have room (ALSA's file plugin, whose pipe then blocks in the kernel): a
// stop that the thread does not answer at once interrupts it with a signal of the
// backend's own (WakeSignal), and touches no descriptor. Its sample clock (StreamClock)
// counts the frames the device moved since the start, lost ones included, taking
// PortAudio's overrun and underrun reports as evidence. A stream that fails or runs wild
// (hands over frames far faster than real time, as a capture at the end of a file does)
// ends, and then answers the current-time query as not running.
// What it does not: full-duplex streams, more than kMaxStreams procedures at a time, or
// free a thread stuck in a device that neither delivers, fails nor answers the interruption
// (its stream is set aside, still open, and closed once the thread ends by itself).

#include "PortAudioBackend.h"

#include <csignal>
#include <cstring>
#include <pthread.h>
#include <sched.h>
#include <time.h>

namespace {

// Above the minimum real-time priority, below what sound servers take for themselves.
constexpr int kRealTimePriority = 10;
// How long a stop waits for a stream's thread to end before interrupting it, and in all.
constexpr std::chrono::milliseconds kPoliteStop{10};
constexpr std::chrono::milliseconds kHaltBound{100};
// The longest nap while waiting for a block: short beside a block's 11.6 ms.
constexpr double kLongestNapSeconds = 0.004;

using Stream = PortAudioBackend::Stream;

// The signal that interrupts a stream's thread stuck in a read or write of its device. The
// backend touches no descriptor of the audio libraries (they are theirs: a pipe made
// blocking under ALSA's pulse plugin locks its main loop for good); the signal goes to the
// stream's own thread only, and its handler does nothing. Installed without SA_RESTART, it
// makes a system call that thread is blocked in return with EINTR, which every library
// meets as any interrupted call: ALSA's file plugin reads its input again or fails the
// read (the stream then ends: what a stop asks for), and writes again; a hw device, the
// pulse, pipewire and jack plugins and libpulse retry their polls and waits. So the signal
// ends a thread that ALSA's file plugin keeps waiting on a pipe, and changes nothing
// anywhere else; a thread it cannot free is set aside. The signal is a real-time one that
// nobody in the process handles, claimed once, before the backend's first stream runs;
// where none is free, stops are never interrupted (0).
int wakeSignal() {
    static const int number = [] {
        for (int candidate = SIGRTMIN + 1; candidate <= SIGRTMAX; ++candidate) {
            struct sigaction current {};
            if (sigaction(candidate, nullptr, &current) != 0 ||
                (current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != SIG_DFL) {
                continue;
            }
            struct sigaction action {};
            action.sa_handler = [](int) {};
            sigemptyset(&action.sa_mask);
            if (sigaction(candidate, &action, nullptr) == 0) {
                return candidate;
            }
        }
        return 0;
    }();
    return number;
}

double monotonicSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void nap(double seconds) {
    const timespec pause{0, static_cast<long>(seconds * 1e9)};
    nanosleep(&pause, nullptr);
}

// Hands one block to the procedure. False when the stream must end: a stop was asked for,
// or it runs wild.
bool callProc(Stream& slot, float* block, bool lossReported) {
    const double sampleTime =
        slot.clock.nextBlock(kBackendFramesPerBuffer, monotonicSeconds(), lossReported);
    if (slot.clock.runningWild()) {
        return false;
    }
    slot.sampleTime.store(slot.clock.sampleTime(), std::memory_order_relaxed);
    callProc(slot, sampleTime, block, kBackendFramesPerBuffer, kBackendChannels);
    return !slot.stopRequested.load(std::memory_order_acquire);
}

// Waits until the stream can move a whole block without blocking. False when the stream
// must end instead: a stop was asked for, or the device failed.
bool awaitBlock(Stream& slot) {
    for (;;) {
        if (slot.stopRequested.load(std::memory_order_acquire)) {
            return false;
        }
        const long available = slot.isInput ? Pa_GetStreamReadAvailable(slot.stream)
                                            : Pa_GetStreamWriteAvailable(slot.stream);
        if (available < 0) {
            return false;
        }
        if (available >= static_cast<long>(kBackendFramesPerBuffer)) {
            return true;
        }
        const double missing = static_cast<double>(kBackendFramesPerBuffer - available);
        nap(std::min(missing / kBackendSampleRate, kLongestNapSeconds));
    }
}

// The stream's thread: real-time, so no allocation, lock or print of its own. Reads a
// block and hands it over, or has a block filled and writes it, until stopped; a read or
// write that fails (other than by an overrun or underrun, whose lost frames the clock
// counts) ends the stream.
void runStream(Stream* slot) {
    // Blocks fall due every 11.6 ms whatever else the machine is doing, so the stream's
    // thread outranks ordinary work where the system allows it (a real-time limit, or
    // root); elsewhere it runs as it is.
    sched_param realTime{};
    realTime.sched_priority = sched_get_priority_min(SCHED_FIFO) + kRealTimePriority;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &realTime);
    float block[kBackendFramesPerBuffer * kBackendChannels];
    bool lossReported = false;
    while (awaitBlock(*slot)) {
        if (slot->isInput) {
            const PaError error = Pa_ReadStream(slot->stream, block, kBackendFramesPerBuffer);
            // A read that a stop interrupted holds nothing to hand over.
            if ((error != paNoError && error != paInputOverflowed) ||
                slot->stopRequested.load(std::memory_order_acquire) ||
                !callProc(*slot, block, error == paInputOverflowed)) {
                break;
            }
        } else {
            std::memset(block, 0, sizeof block); // a procedure that writes nothing plays silence
            if (!callProc(*slot, block, lossReported)) {
                break;
            }
            const PaError error = Pa_WriteStream(slot->stream, block, kBackendFramesPerBuffer);
            if (error != paNoError && error != paOutputUnderflowed) {
                break;
            }
            lossReported = error == paOutputUnderflowed;
        }
    }
    moveLife(*slot, ProcLife::running, ProcLife::added); // unless set aside meanwhile
    slot->threadEnded.store(true, std::memory_order_release);
}

PaError openStream(PaDeviceIndex index, Stream& slot) {
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

// Ends a stream's thread and stops the stream. False when the thread is still stuck in
// its device after the bound: the stream is then left as it is.
bool haltStream(Stream& slot) {
    slot.stopRequested.store(true, std::memory_order_release);
    const auto start = std::chrono::steady_clock::now();
    while (!slot.threadEnded.load(std::memory_order_acquire)) {
        const auto waited = std::chrono::steady_clock::now() - start;
        if (waited > kHaltBound) {
            return false;
        }
        // Again at every nap: a signal that came just before the thread entered its read
        // or write did not interrupt it.
        if (waited > kPoliteStop && wakeSignal() != 0) {
            pthread_kill(slot.thread.native_handle(), wakeSignal());
        }
        nap(0.001);
    }
    if (slot.thread.joinable()) {
        slot.thread.join();
    }
    if (Pa_IsStreamStopped(slot.stream) == 0) {
        Pa_AbortStream(slot.stream);
    }
    return true;
}

} // namespace

// Whether a procedure added to this device is its input procedure.
bool PortAudioBackend::choosesInput(PaDeviceIndex index, AudioDeviceID device) const {
    const bool canInput = hasChannels(index, true);
    const bool canOutput = hasChannels(index, false);
    if (canInput && canOutput) {
        return device == deviceIdentifier(Pa_GetDefaultInputDevice()) && !mStreams.hasInput(device);
    }
    return canInput;
}

OSStatus PortAudioBackend::addIOProc(AudioDeviceID device, AudioDeviceIOProc proc,
                                     void* clientData) {
    if (!ready()) {
        return kAudioHardwareNotRunningError;
    }
    reapAbandoned();
    const PaDeviceIndex index = deviceIndex(device);
    if (index == paNoDevice) {
        return kAudioHardwareBadDeviceError;
    }
    // PortAudio lists no device without channels; a direction the device lacks makes the
    // open fail as a format the device refuses.
    Stream* const slot = mStreams.take(device, proc, clientData, choosesInput(index, device));
    if (slot == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    slot->stopRequested.store(true, std::memory_order_relaxed);
    const PaError error = openStream(index, *slot);
    if (error != paNoError) {
        slot->stream = nullptr;
        return statusFromPortAudio(error);
    }
    moveLife(*slot, ProcLife::free, ProcLife::added);
    return 0;
}

OSStatus PortAudioBackend::removeIOProc(AudioDeviceID device, AudioDeviceIOProc proc) {
    Stream* const slot = mStreams.find(device, proc);
    if (slot == nullptr || procOnThisThread() != nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    if (!haltStream(*slot)) {
        // Removed all the same: the procedure is not called again (a read that returns
        // finds the stop), and the stream is closed once its thread has ended.
        if (moveLife(*slot, ProcLife::running, ProcLife::setAside)) {
            return 0;
        }
        haltStream(*slot); // its thread ended just now
    }
    const PaError error = Pa_CloseStream(slot->stream);
    slot->stream = nullptr;
    moveLife(*slot, ProcLife::added, ProcLife::free);
    return statusFromPortAudio(error);
}

void PortAudioBackend::reapAbandoned() {
    for (Stream& slot : mStreams) {
        if (slot.life.load(std::memory_order_acquire) == ProcLife::setAside &&
            slot.threadEnded.load(std::memory_order_acquire)) {
            slot.thread.join();
            Pa_CloseStream(slot.stream);
            slot.stream = nullptr;
            moveLife(slot, ProcLife::setAside, ProcLife::free);
        }
    }
}

OSStatus PortAudioBackend::start(AudioDeviceID device, AudioDeviceIOProc proc) {
    if (!ready()) {
        return kAudioHardwareNotRunningError;
    }
    Stream* slot = mStreams.find(device, proc);
    if (slot == nullptr) {
        return deviceIndex(device) == paNoDevice ? kAudioHardwareBadDeviceError
                                                 : kAudioHardwareIllegalOperationError;
    }
    if (slot->running() && !slot->stopRequested.load(std::memory_order_acquire)) {
        return 0;
    }
    if (!haltStream(*slot)) {
        return kAudioHardwareNotRunningError;
    }
    // No thread of the stream runs now: the clock is this thread's to reset.
    wakeSignal();
    slot->clock.reset();
    slot->sampleTime.store(0.0, std::memory_order_relaxed);
    slot->stopRequested.store(false, std::memory_order_relaxed);
    const PaError error = Pa_StartStream(slot->stream);
    if (error != paNoError) {
        return statusFromPortAudio(error);
    }
    slot->threadEnded.store(false, std::memory_order_relaxed);
    moveLife(*slot, ProcLife::added, ProcLife::running);
    slot->thread = std::thread(runStream, slot);
    return 0;
}

OSStatus PortAudioBackend::stop(AudioDeviceID device, AudioDeviceIOProc proc) {
    // From inside a procedure, its own stream only: the callback ends the stream on return.
    if (ProcSlot* const own = procOnThisThread()) {
        if (own->device != device || own->proc != proc) {
            return kAudioHardwareIllegalOperationError;
        }
        static_cast<Stream*>(own)->stopRequested.store(true, std::memory_order_release);
        return 0;
    }
    Stream* slot = mStreams.find(device, proc);
    if (slot == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    return haltStream(*slot) ? 0 : kAudioHardwareNotRunningError;
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
    for (const Stream& slot : mStreams) {
        if (slot.device == device && slot.running()) {
            return answerSampleTime(slot.sampleTime.load(std::memory_order_relaxed), outTime);
        }
    }
    return kAudioHardwareNotRunningError;
}

bool PortAudioBackend::anyStreamOpen() const {
    return mStreams.anyInUse();
}

bool PortAudioBackend::closeAllStreams() {
    for (Stream& slot : mStreams) {
        if (!slot.inUse() || slot.life.load(std::memory_order_acquire) == ProcLife::setAside) {
            continue;
        }
        if (!haltStream(slot)) {
            if (moveLife(slot, ProcLife::running, ProcLife::setAside)) {
                continue;
            }
            haltStream(slot); // its thread ended just now
        }
        Pa_CloseStream(slot.stream);
        slot.stream = nullptr;
        moveLife(slot, ProcLife::added, ProcLife::free);
    }
    reapAbandoned();
    return !anyStreamOpen();
}
