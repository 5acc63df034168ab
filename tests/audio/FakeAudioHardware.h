#pragma once

// A failure-injecting backend of the audio boundary, installed by the engine's tests in
// place of the program's: devices the test describes, install, start and current-time calls
// made to fail or to hang, and procedures called either by the test on its own thread
// (call) or, on a device that runs, by a clock thread per started procedure every 400 µs of
// the steady clock, as a real device would but faster. The registry's mutex is never held
// while a procedure runs, so procedures may stop themselves.

#include "AudioBoundary.h"
#include "PropertyAnswers.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// The ids the tests give the input and the output device.
constexpr AudioDeviceID kInputId = 7, kOutputId = 9;

namespace fake {

// The buffers of one IO call: one interleaved buffer of `channels`, or one buffer for each
// of two channels.
struct Buffers {
    Buffers(std::uint32_t frames, bool interleaved, float fill = 0.0f, std::uint32_t channels = 2)
        : step(interleaved ? channels : 1), first(step * frames, fill),
          second(interleaved ? 0 : frames, fill) {
        list.mNumberBuffers = interleaved ? 1 : 2;
        list.mBuffers[0] = {step, static_cast<std::uint32_t>(first.size() * 4), first.data()};
        list.mBuffers[1] = {1u, static_cast<std::uint32_t>(second.size() * 4), second.data()};
    }
    float& left(std::uint32_t i) { return first[step * i]; }
    float& right(std::uint32_t i) { return second.empty() ? first[step * i + 1] : second[i]; }
    std::uint32_t step;
    std::vector<float> first, second;
    AudioBufferList list;
};

struct Device {
    AudioDeviceID id = 0;
    std::string name = "Fake Device";
    bool terminateName = true; // false: the name query writes only the name's bytes
    std::uint32_t bufferSize = 0, safetyOffset = 0;
    AudioStreamBasicDescription format{};
    std::optional<float> volumeDecibels{}; // absent: the volume query fails ("unop")
    double nominalRate = 0.0;              // the device's own rate (0: the query fails)
    OSStatus addStatus = 0, startStatus = 0, currentTimeStatus = 0;
    bool startHangs = false; // a start does not return until releaseHangs()
    // Started procedures are called by clock threads; while stalled, those call nothing and
    // their sample times run on.
    bool runs = false, stalled = false;
    std::function<float(std::int64_t frame, int channel)> source{}; // what they capture
    std::chrono::milliseconds stopDelay{0}; // stopping a running procedure from outside
};

// 32-bit float channels at rate, 512 frames per buffer, with safety offsets of 20 frames (the
// input) and 30 (any other), so that a latency shows which it took.
inline Device device(AudioDeviceID id, bool interleaved = true, double rate = 44100.0,
                     std::uint32_t channels = 2) {
    const std::uint32_t bytes = interleaved ? 4 * channels : 4;
    const std::uint32_t flags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked |
                                (interleaved ? 0 : kAudioFormatFlagIsNonInterleaved);
    return {.id = id,
            .bufferSize = 512 * bytes,
            .safetyOffset = id == kInputId ? 20u : 30u,
            .format = {rate, kAudioFormatLinearPCM, flags, bytes, 1, bytes, channels, 32, 0}};
}

// How often the input or output procedure of a device was stopped from inside a call of its
// own, and removed.
struct ProcRecord {
    int stopsInside = 0, removes = 0;
};

struct Proc {
    void* clientData = nullptr;
    bool added = false, isInput = false;
    std::atomic<bool> running{false}; // read by its clock thread without the lock
    std::thread clock;
};

inline std::mutex gMutex;
inline std::condition_variable gHangsReleased;
inline bool gReleased = false;
inline std::map<AudioDeviceID, Device> gDevices;
// Keyed by the procedure the backend was given (the dispatch's relay).
inline std::map<std::pair<AudioDeviceID, AudioDeviceIOProc>, Proc> gProcs;
inline std::map<std::pair<AudioDeviceID, bool>, ProcRecord> gRecords;
inline AudioDeviceID gDefaults[2] = {0, 0};
inline thread_local const Proc* tCurrent = nullptr;

inline Proc* added(AudioDeviceID device, AudioDeviceIOProc proc) {
    const auto found = gProcs.find({device, proc});
    return found != gProcs.end() && found->second.added ? &found->second : nullptr;
}

inline OSStatus callAdded(AudioDeviceID device, AudioDeviceIOProc proc, double sampleTime,
                          AudioBufferList& list) {
    std::unique_lock lock(gMutex);
    Proc* p = added(device, proc);
    if (p == nullptr || !p->running || gDevices[device].stalled) {
        return kAudioHardwareNotRunningError;
    }
    lock.unlock();
    AudioTimeStamp time{.mSampleTime = sampleTime};
    const Proc* const outer = std::exchange(tCurrent, p);
    const OSStatus status =
        p->isInput ? proc(device, &time, &list, &time, nullptr, nullptr, p->clientData)
                   : proc(device, &time, nullptr, nullptr, &list, &time, p->clientData);
    tCurrent = outer;
    return status;
}

inline void runClock(AudioDeviceID id, AudioDeviceIOProc proc, const Proc* p, Device device) {
    const std::uint32_t frames = device.bufferSize / device.format.mBytesPerFrame;
    Buffers buffers(frames, (device.format.mFormatFlags & kAudioFormatFlagIsNonInterleaved) == 0);
    // A block falls due every period, on the steady clock that all devices share: a thread
    // held up skips the blocks it missed (a device losing frames) rather than lagging.
    constexpr auto kPeriod = std::chrono::microseconds(400);
    const auto start = std::chrono::steady_clock::now();
    for (std::int64_t block = 0; p->running;) {
        const std::int64_t time = block * frames;
        for (std::uint32_t i = 0; p->isInput && device.source && i < frames; ++i) {
            buffers.left(i) = device.source(time + i, 0);
            buffers.right(i) = device.source(time + i, 1);
        }
        callAdded(id, proc, static_cast<double>(time), buffers.list);
        std::this_thread::sleep_for(kPeriod);
        block =
            std::max<std::int64_t>(block + 1, (std::chrono::steady_clock::now() - start) / kPeriod);
    }
}

// Stops a procedure from outside its calls: none runs once this returns.
inline void stopOutside(AudioDeviceID device, Proc& p, std::unique_lock<std::mutex> lock) {
    const auto delay = p.running ? gDevices[device].stopDelay : std::chrono::milliseconds(0);
    p.running = false;
    std::thread clock = std::move(p.clock);
    lock.unlock();
    std::this_thread::sleep_for(delay);
    if (clock.joinable()) {
        clock.join();
    }
}

class Backend : public AudioBackend {
public:
    const char* name() const override { return "fake"; }
    bool available() override { return true; }
    bool anyStreamOpen() const override { return false; }
    void release() override {}

    OSStatus getHardwareProperty(AudioHardwarePropertyID property, std::uint32_t* ioDataSize,
                                 void* outData) override {
        std::lock_guard lock(gMutex);
        const AudioDeviceID device =
            gDefaults[property == kAudioHardwarePropertyDefaultInputDevice ? 0 : 1];
        answerProperty(device, ioDataSize, outData);
        return device != 0 ? 0 : kAudioHardwareBadDeviceError;
    }

    OSStatus getDeviceProperty(AudioDeviceID device, std::uint32_t channel, std::uint8_t,
                               AudioDevicePropertyID property, std::uint32_t* size,
                               void* out) override {
        std::lock_guard lock(gMutex);
        if (gDevices.count(device) == 0) {
            return kAudioHardwareBadDeviceError;
        }
        const Device& d = gDevices[device];
        switch (property) {
        case kAudioDevicePropertyDeviceName:
            if (d.terminateName) {
                return answerName(d.name.c_str(), size, out);
            }
            *size = std::min<std::uint32_t>(d.name.size(), *size);
            std::memcpy(out, d.name.data(), *size);
            return 0;
        case kAudioDevicePropertyStreamFormat:
            return answerProperty(d.format, size, out);
        case kAudioDevicePropertySafetyOffset:
            return answerProperty(d.safetyOffset, size, out);
        case kAudioDevicePropertyNominalSampleRate:
            return d.nominalRate != 0.0 ? answerProperty(d.nominalRate, size, out)
                                        : kAudioHardwareUnsupportedOperationError;
        case kAudioDevicePropertyVolumeDecibels:
            return d.volumeDecibels && channel == 1 ? answerProperty(*d.volumeDecibels, size, out)
                                                    : kAudioHardwareUnsupportedOperationError;
        }
        return answerProperty(d.bufferSize, size, out);
    }

    OSStatus addIOProc(AudioDeviceID device, AudioDeviceIOProc proc, void* clientData) override {
        std::lock_guard lock(gMutex);
        // One device for both directions: its first procedure is the input's.
        const bool first = std::none_of(gProcs.begin(), gProcs.end(), [&](auto& entry) {
            return entry.first.first == device && entry.second.added && entry.second.isInput;
        });
        Proc& p = gProcs[{device, proc}];
        p.clientData = clientData;
        p.added = gDevices[device].addStatus == 0;
        p.isInput = first && device == gDefaults[0];
        return gDevices[device].addStatus;
    }

    OSStatus removeIOProc(AudioDeviceID device, AudioDeviceIOProc proc) override {
        std::unique_lock lock(gMutex);
        Proc* p = added(device, proc);
        if (p == nullptr) {
            return kAudioHardwareIllegalOperationError;
        }
        ++gRecords[{device, p->isInput}].removes;
        p->added = false;
        stopOutside(device, *p, std::move(lock));
        return 0;
    }

    OSStatus start(AudioDeviceID device, AudioDeviceIOProc proc) override {
        std::unique_lock lock(gMutex);
        gHangsReleased.wait(lock, [&] { return gReleased || !gDevices[device].startHangs; });
        const Device& d = gDevices[device];
        Proc* p = added(device, proc);
        if (d.startStatus != 0 || p == nullptr) {
            return d.startStatus != 0 ? d.startStatus : kAudioHardwareIllegalOperationError;
        }
        p->running = true;
        if (d.runs && !p->clock.joinable()) {
            p->clock = std::thread(runClock, device, proc, p, d);
        }
        return 0;
    }

    OSStatus stop(AudioDeviceID device, AudioDeviceIOProc proc) override {
        std::unique_lock lock(gMutex);
        Proc* p = added(device, proc);
        if (p != nullptr && p == tCurrent) { // its clock thread ends after this call
            ++gRecords[{device, p->isInput}].stopsInside;
            p->running = false;
        } else if (p != nullptr) {
            stopOutside(device, *p, std::move(lock));
        }
        return 0;
    }

    OSStatus currentTime(AudioDeviceID device, AudioTimeStamp* outTime) override {
        std::lock_guard lock(gMutex);
        *outTime = AudioTimeStamp{};
        return gDevices.count(device) != 0 ? gDevices[device].currentTimeStatus
                                           : kAudioHardwareBadDeviceError;
    }
};

inline Backend gBackend;

// Lets the starts that hang return.
inline void releaseHangs() {
    std::lock_guard lock(gMutex);
    gReleased = true;
    gHangsReleased.notify_all();
}

// Forgets every device and procedure, once every clock thread has ended, and installs the
// fake as the process's audio backend.
inline void reset() {
    useAudioBackends([] { return &gBackend; });
    releaseHangs();
    for (auto& [key, p] : gProcs) {
        stopOutside(key.first, p, std::unique_lock(gMutex));
    }
    std::lock_guard lock(gMutex);
    gProcs.clear();
    gRecords.clear();
    gDevices.clear();
    gDefaults[0] = gDefaults[1] = 0;
    gReleased = false;
}

// Adds (or changes) the two devices, which may be one, as the defaults; a device of id 0 is
// none, and the query for it fails (!dev). Running clock threads keep their copy of a
// device, but for stalled.
inline void plugIn(const Device& input, const Device& output) {
    std::lock_guard lock(gMutex);
    gDevices[input.id] = input;
    gDevices[output.id] = output;
    gDevices.erase(0);
    gDefaults[0] = input.id;
    gDefaults[1] = output.id;
}

inline ProcRecord procRecord(AudioDeviceID device, bool isInput) {
    std::lock_guard lock(gMutex);
    return gRecords[{device, isInput}];
}

// Calls a running procedure on this thread with the list as its device's input or output.
inline OSStatus call(AudioDeviceID device, AudioDeviceIOProc proc, double sampleTime,
                     AudioBufferList& list) {
    const AudioDeviceIOProc relayed = audioBoundary().relayedProc(device, proc);
    return relayed != nullptr ? callAdded(device, relayed, sampleTime, list)
                              : kAudioHardwareNotRunningError;
}

} // namespace fake
