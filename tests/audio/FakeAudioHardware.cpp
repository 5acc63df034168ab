// The failure-injecting audio boundary; see FakeAudioHardware.h.
#include "FakeAudioHardware.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

namespace fake {
namespace {

struct Proc {
    void* clientData = nullptr;
    bool added = false, isInput = false, running = false;
    ProcRecord record;
    std::atomic<bool> stop{false};
    std::thread clock;
};

std::mutex gMutex;
std::map<AudioDeviceID, Device> gDevices;
std::map<std::pair<AudioDeviceID, AudioDeviceIOProc>, Proc> gProcs;
AudioDeviceID gDefaults[2] = {0, 0};
thread_local const Proc* tCurrent = nullptr;

Proc* added(AudioDeviceID device, AudioDeviceIOProc proc) {
    const auto found = gProcs.find({device, proc});
    return found != gProcs.end() && found->second.added ? &found->second : nullptr;
}

void runClock(AudioDeviceID id, AudioDeviceIOProc proc, const Proc* p, Device device) {
    const std::uint32_t frames = device.bufferSize / device.format.mBytesPerFrame;
    Buffers buffers(frames, (device.format.mFormatFlags & kAudioFormatFlagIsNonInterleaved) == 0);
    // A block falls due every period, on the steady clock that all devices share: a thread
    // held up skips the blocks it missed (a device losing frames) rather than lagging.
    constexpr auto kPeriod = std::chrono::microseconds(400);
    const auto start = std::chrono::steady_clock::now();
    for (std::int64_t block = 0; !p->stop;) {
        const std::int64_t time = block * frames;
        for (std::uint32_t i = 0; p->isInput && device.source && i < frames; ++i) {
            buffers.left(i) = device.source(time + i, 0);
            buffers.right(i) = device.source(time + i, 1);
        }
        call(id, proc, static_cast<double>(time), buffers.list);
        std::this_thread::sleep_for(kPeriod);
        block =
            std::max<std::int64_t>(block + 1, (std::chrono::steady_clock::now() - start) / kPeriod);
    }
}

// Stops a procedure from outside its calls: none runs once this returns.
void stopOutside(AudioDeviceID device, Proc& p, std::unique_lock<std::mutex> lock) {
    const auto delay = p.running ? gDevices[device].stopDelay : std::chrono::milliseconds(0);
    p.running = false;
    p.stop = true;
    std::thread clock = std::move(p.clock);
    lock.unlock();
    std::this_thread::sleep_for(delay);
    if (clock.joinable()) {
        clock.join();
    }
}

} // namespace

Buffers::Buffers(std::uint32_t frames, bool interleaved, float fill)
    : first(interleaved ? 2 * frames : frames, fill), second(interleaved ? 0 : frames, fill) {
    list.mNumberBuffers = interleaved ? 1 : 2;
    list.mBuffers[0] = {interleaved ? 2u : 1u, static_cast<std::uint32_t>(first.size() * 4),
                        first.data()};
    list.mBuffers[1] = {1u, static_cast<std::uint32_t>(second.size() * 4), second.data()};
}

Device stereoDevice(AudioDeviceID id, bool interleaved, double rate) {
    Device device;
    device.id = id;
    const std::uint32_t bytes = interleaved ? 8 : 4;
    const std::uint32_t flags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked |
                                (interleaved ? 0 : kAudioFormatFlagIsNonInterleaved);
    device.format = {rate, kAudioFormatLinearPCM, flags, bytes, 1, bytes, 2, 32, 0};
    device.bufferSize = 512 * bytes;
    return device;
}

void reset() {
    for (auto& [key, p] : gProcs) {
        stopOutside(key.first, p, std::unique_lock(gMutex));
    }
    std::lock_guard lock(gMutex);
    gProcs.clear();
    gDevices.clear();
    gDefaults[0] = gDefaults[1] = 0;
}

void plugIn(const Device& input, const Device& output) {
    std::lock_guard lock(gMutex);
    for (const Device* device : {&input, &output}) {
        gDevices[device->id] = *device;
    }
    gDevices.erase(0);
    gDefaults[0] = input.id;
    gDefaults[1] = output.id;
}

ProcRecord procRecord(AudioDeviceID device, AudioDeviceIOProc proc) {
    std::lock_guard lock(gMutex);
    const auto found = gProcs.find({device, proc});
    return found != gProcs.end() ? found->second.record : ProcRecord{};
}

OSStatus call(AudioDeviceID device, AudioDeviceIOProc proc, double sampleTime,
              AudioBufferList& list) {
    std::unique_lock lock(gMutex);
    Proc* p = added(device, proc);
    if (p == nullptr || !p->running || gDevices[device].stalled) {
        return kAudioHardwareNotRunningError;
    }
    lock.unlock();
    AudioTimeStamp time;
    time.mSampleTime = sampleTime;
    const Proc* const outer = std::exchange(tCurrent, p);
    const OSStatus status =
        p->isInput ? proc(device, &time, &list, &time, nullptr, nullptr, p->clientData)
                   : proc(device, &time, nullptr, nullptr, &list, &time, p->clientData);
    tCurrent = outer;
    return status;
}

} // namespace fake

using fake::gMutex;

OSStatus AudioHardwareGetProperty(AudioHardwarePropertyID property, std::uint32_t* ioDataSize,
                                  void* outData) {
    std::lock_guard lock(gMutex);
    const AudioDeviceID device =
        fake::gDefaults[property == kAudioHardwarePropertyDefaultInputDevice ? 0 : 1];
    std::memcpy(outData, &device, sizeof device);
    *ioDataSize = sizeof device;
    return device != 0 ? 0 : kAudioHardwareBadDeviceError;
}

OSStatus AudioDeviceGetProperty(AudioDeviceID device, std::uint32_t channel, std::uint8_t,
                                AudioDevicePropertyID property, std::uint32_t* ioDataSize,
                                void* outData) {
    std::lock_guard lock(gMutex);
    if (fake::gDevices.count(device) == 0) {
        return kAudioHardwareBadDeviceError;
    }
    const fake::Device& d = fake::gDevices[device];
    const bool name = property == kAudioDevicePropertyDeviceName;
    std::pair<const void*, std::uint32_t> value{&d.bufferSize, 4};
    if (name) {
        value = {d.name.c_str(),
                 std::min<std::uint32_t>(d.name.size() + d.terminateName, *ioDataSize)};
    } else if (property == kAudioDevicePropertyStreamFormat) {
        value = {&d.format, sizeof d.format};
    } else if (property == kAudioDevicePropertySafetyOffset) {
        value = {&d.safetyOffset, 4};
    } else if (property == kAudioDevicePropertyNominalSampleRate) {
        if (d.nominalRate == 0.0) {
            return kAudioHardwareUnsupportedOperationError;
        }
        value = {&d.nominalRate, sizeof d.nominalRate};
    } else if (property == kAudioDevicePropertyVolumeDecibels) {
        if (!d.volumeDecibels || channel != 1) {
            return kAudioHardwareUnsupportedOperationError;
        }
        value = {&*d.volumeDecibels, 4};
    }
    std::memcpy(outData, value.first, value.second);
    if (name && d.terminateName) {
        static_cast<char*>(outData)[value.second - 1] = '\0';
    }
    *ioDataSize = value.second;
    return 0;
}

OSStatus AudioDeviceAddIOProc(AudioDeviceID device, AudioDeviceIOProc proc, void* clientData) {
    std::lock_guard lock(gMutex);
    // One device for both directions: its first procedure is the input's.
    const bool first = std::none_of(fake::gProcs.begin(), fake::gProcs.end(), [&](auto& entry) {
        return entry.first.first == device && entry.second.added && entry.second.isInput;
    });
    fake::Proc& p = fake::gProcs[{device, proc}];
    p.clientData = clientData;
    p.added = fake::gDevices[device].addStatus == 0;
    p.isInput = first && device == fake::gDefaults[0];
    return fake::gDevices[device].addStatus;
}

OSStatus AudioDeviceRemoveIOProc(AudioDeviceID device, AudioDeviceIOProc proc) {
    std::unique_lock lock(gMutex);
    fake::Proc* p = fake::added(device, proc);
    if (p == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    ++p->record.removes;
    p->added = false;
    fake::stopOutside(device, *p, std::move(lock));
    return 0;
}

OSStatus AudioDeviceStart(AudioDeviceID device, AudioDeviceIOProc proc) {
    std::lock_guard lock(gMutex);
    const fake::Device& d = fake::gDevices[device];
    fake::Proc* p = fake::added(device, proc);
    if (d.startStatus != 0 || p == nullptr) {
        return d.startStatus != 0 ? d.startStatus : kAudioHardwareIllegalOperationError;
    }
    p->running = true;
    p->stop = false;
    if (d.runs && !p->clock.joinable()) {
        p->clock = std::thread(fake::runClock, device, proc, p, d);
    }
    return 0;
}

OSStatus AudioDeviceStop(AudioDeviceID device, AudioDeviceIOProc proc) {
    std::unique_lock lock(gMutex);
    fake::Proc* p = fake::added(device, proc);
    if (p != nullptr && p == fake::tCurrent) { // its clock thread ends after this call
        ++p->record.stopsInside;
        p->running = false;
        p->stop = true;
    } else if (p != nullptr) {
        fake::stopOutside(device, *p, std::move(lock));
    }
    return 0;
}

OSStatus AudioDeviceGetCurrentTime(AudioDeviceID device, AudioTimeStamp* outTime) {
    std::lock_guard lock(gMutex);
    *outTime = AudioTimeStamp{};
    return fake::gDevices.count(device) != 0 ? fake::gDevices[device].currentTimeStatus
                                             : kAudioHardwareBadDeviceError;
}
