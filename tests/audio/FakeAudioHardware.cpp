// The failure-injecting audio boundary; see FakeAudioHardware.h.
#include "FakeAudioHardware.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <list>
#include <set>
#include <mutex>
#include <thread>
#include <vector>

namespace fake {
namespace {

struct Proc {
    AudioDeviceID device = 0;
    AudioDeviceIOProc proc = nullptr;
    void* clientData = nullptr;
    bool isInput = false;
    ProcRecord record;
    std::atomic<bool> stop{false};
    std::thread clock;
};

struct Registry {
    std::mutex mutex;
    std::map<AudioDeviceID, Device> devices;
    std::list<Proc> procs;
    AudioDeviceID defaultInput = 0;
    AudioDeviceID defaultOutput = 0;
    OSStatus defaultInputStatus = 0;
    OSStatus defaultOutputStatus = 0;
    std::set<AudioDeviceID> stalled;
};

Registry& registry() {
    static Registry instance;
    return instance;
}

thread_local const Proc* tCurrentProc = nullptr;

// The procedure as added now, or (withRemoved) the latest one, removed or not.
Proc* findProc(AudioDeviceID device, AudioDeviceIOProc proc, bool withRemoved = false) {
    for (auto it = registry().procs.rbegin(); it != registry().procs.rend(); ++it) {
        if (it->device == device && it->proc == proc && (withRemoved || it->record.removes == 0)) {
            return &*it;
        }
    }
    return nullptr;
}

std::uint32_t framesPerBuffer(const Device& device) {
    return device.format.mBytesPerFrame != 0 ? device.bufferSize / device.format.mBytesPerFrame : 0;
}

// One call of the procedure on this thread, counted.
OSStatus callProc(Proc& p, double sampleTime, const AudioBufferList* input,
                  AudioBufferList* output) {
    {
        std::lock_guard lock(registry().mutex);
        ++p.record.calls;
    }
    AudioTimeStamp time;
    time.mSampleTime = sampleTime;
    time.mFlags = kAudioTimeStampSampleTimeValid;
    const AudioTimeStamp now = time;
    const Proc* const outer = tCurrentProc;
    tCurrentProc = &p;
    const OSStatus status =
        p.isInput ? p.proc(p.device, &now, input, &time, nullptr, nullptr, p.clientData)
                  : p.proc(p.device, &now, nullptr, nullptr, output, &time, p.clientData);
    tCurrentProc = outer;
    return status;
}

void runClock(Proc* p, Device device) {
    const std::uint32_t frames = framesPerBuffer(device);
    const bool interleaved = (device.format.mFormatFlags & kAudioFormatFlagIsNonInterleaved) == 0;
    const std::uint32_t channels = std::max<std::uint32_t>(device.format.mChannelsPerFrame, 1);
    const std::uint32_t bufferCount = interleaved ? 1 : 2;
    const std::uint32_t floatsPerBuffer =
        frames * std::max<std::uint32_t>(device.format.mBytesPerFrame / 4, 1);
    std::vector<std::vector<float>> data(bufferCount, std::vector<float>(floatsPerBuffer));
    AudioBufferList list;
    list.mNumberBuffers = bufferCount;
    for (std::uint32_t b = 0; b < bufferCount; ++b) {
        list.mBuffers[b].mNumberChannels = interleaved ? channels : 1;
        list.mBuffers[b].mDataByteSize = floatsPerBuffer * 4;
        list.mBuffers[b].mData = data[b].data();
    }
    double sampleTime = device.firstSampleTime;
    while (!p->stop.load(std::memory_order_acquire)) {
        if (p->isInput && device.source) {
            const auto first = static_cast<std::int64_t>(sampleTime);
            for (std::uint32_t i = 0; i < frames; ++i) {
                if (interleaved) {
                    for (std::uint32_t c = 0; c < channels && (i * channels + c) < floatsPerBuffer;
                         ++c) {
                        data[0][i * channels + c] = device.source(first + i, static_cast<int>(c));
                    }
                } else {
                    data[0][i] = device.source(first + i, 0);
                    data[1][i] = device.source(first + i, 1);
                }
            }
        }
        bool stalled = false;
        {
            std::lock_guard lock(registry().mutex);
            stalled = registry().stalled.count(p->device) != 0;
        }
        if (!stalled) {
            callProc(*p, sampleTime, &list, &list);
        }
        sampleTime += frames;
        std::this_thread::sleep_for(device.period);
    }
}

} // namespace

AudioStreamBasicDescription stereoFloat(double rate, bool interleaved) {
    AudioStreamBasicDescription format{};
    format.mSampleRate = rate;
    format.mFormatID = kAudioFormatLinearPCM;
    format.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked |
                          (interleaved ? 0u : kAudioFormatFlagIsNonInterleaved);
    format.mBytesPerPacket = interleaved ? 8 : 4;
    format.mFramesPerPacket = 1;
    format.mBytesPerFrame = interleaved ? 8 : 4;
    format.mChannelsPerFrame = 2;
    format.mBitsPerChannel = 32;
    return format;
}

void reset() {
    Registry& r = registry();
    std::vector<std::thread> clocks;
    {
        std::lock_guard lock(r.mutex);
        for (Proc& p : r.procs) {
            p.stop.store(true, std::memory_order_release);
            if (p.clock.joinable()) {
                clocks.push_back(std::move(p.clock));
            }
        }
    }
    for (std::thread& clock : clocks) {
        clock.join();
    }
    std::lock_guard lock(r.mutex);
    r.procs.clear();
    r.devices.clear();
    r.defaultInput = r.defaultOutput = 0;
    r.defaultInputStatus = r.defaultOutputStatus = 0;
    r.stalled.clear();
}

void addDevice(const Device& device) {
    std::lock_guard lock(registry().mutex);
    registry().devices[device.id] = device;
}

void setStalled(AudioDeviceID device, bool stalled) {
    std::lock_guard lock(registry().mutex);
    if (stalled) {
        registry().stalled.insert(device);
    } else {
        registry().stalled.erase(device);
    }
}

void setDefaultDevices(AudioDeviceID input, AudioDeviceID output, OSStatus inputStatus,
                       OSStatus outputStatus) {
    std::lock_guard lock(registry().mutex);
    registry().defaultInput = input;
    registry().defaultOutput = output;
    registry().defaultInputStatus = inputStatus;
    registry().defaultOutputStatus = outputStatus;
}

ProcRecord procRecord(AudioDeviceID device, AudioDeviceIOProc proc) {
    std::lock_guard lock(registry().mutex);
    const Proc* p = findProc(device, proc, true);
    return p != nullptr ? p->record : ProcRecord{};
}

bool waitUntilStarted(AudioDeviceID device, AudioDeviceIOProc proc,
                      std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (procRecord(device, proc).running) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return false;
}

OSStatus callInput(AudioDeviceID device, AudioDeviceIOProc proc, double sampleTime,
                   const AudioBufferList& input) {
    Proc* p = nullptr;
    {
        std::lock_guard lock(registry().mutex);
        p = findProc(device, proc);
        if (p != nullptr && !p->record.running) {
            return kAudioHardwareNotRunningError;
        }
    }
    return p != nullptr ? callProc(*p, sampleTime, &input, nullptr)
                        : kAudioHardwareIllegalOperationError;
}

OSStatus callOutput(AudioDeviceID device, AudioDeviceIOProc proc, double sampleTime,
                    AudioBufferList& output) {
    Proc* p = nullptr;
    {
        std::lock_guard lock(registry().mutex);
        p = findProc(device, proc);
        if (p != nullptr && !p->record.running) {
            return kAudioHardwareNotRunningError;
        }
    }
    return p != nullptr ? callProc(*p, sampleTime, nullptr, &output)
                        : kAudioHardwareIllegalOperationError;
}

} // namespace fake

using fake::registry;

OSStatus AudioHardwareGetProperty(AudioHardwarePropertyID property, std::uint32_t* ioDataSize,
                                  void* outData) {
    if (ioDataSize == nullptr || outData == nullptr || *ioDataSize < sizeof(AudioDeviceID)) {
        return kAudioHardwareBadPropertySizeError;
    }
    std::lock_guard lock(registry().mutex);
    AudioDeviceID device = 0;
    OSStatus status = kAudioHardwareUnknownPropertyError;
    if (property == kAudioHardwarePropertyDefaultInputDevice) {
        device = registry().defaultInputStatus == 0 ? registry().defaultInput : 0;
        status = registry().defaultInputStatus;
    } else if (property == kAudioHardwarePropertyDefaultOutputDevice) {
        device = registry().defaultOutputStatus == 0 ? registry().defaultOutput : 0;
        status = registry().defaultOutputStatus;
    }
    std::memcpy(outData, &device, sizeof device);
    *ioDataSize = sizeof device;
    return status;
}

OSStatus AudioDeviceGetProperty(AudioDeviceID device, std::uint32_t channel,
                                std::uint8_t /*isInput*/, AudioDevicePropertyID property,
                                std::uint32_t* ioDataSize, void* outData) {
    if (ioDataSize == nullptr || outData == nullptr) {
        return kAudioHardwareBadPropertySizeError;
    }
    std::lock_guard lock(registry().mutex);
    const auto found = registry().devices.find(device);
    if (found == registry().devices.end()) {
        return kAudioHardwareBadDeviceError;
    }
    const fake::Device& d = found->second;
    if (const auto failure = d.failing.find(property); failure != d.failing.end()) {
        return failure->second;
    }
    auto answer = [&](const void* value, std::uint32_t size) -> OSStatus {
        if (*ioDataSize < size) {
            return kAudioHardwareBadPropertySizeError;
        }
        std::memcpy(outData, value, size);
        *ioDataSize = size;
        return 0;
    };
    switch (property) {
    case kAudioDevicePropertyDeviceName: {
        const std::size_t room = *ioDataSize;
        const std::size_t bytes =
            d.terminateName ? std::min(d.name.size(), room - 1) + 1 : std::min(d.name.size(), room);
        std::memcpy(outData, d.name.c_str(), bytes); // c_str's terminator ends a whole name
        if (d.terminateName) {
            static_cast<char*>(outData)[bytes - 1] = '\0';
        }
        *ioDataSize = static_cast<std::uint32_t>(bytes);
        return 0;
    }
    case kAudioDevicePropertyBufferSize:
        return answer(&d.bufferSize, sizeof d.bufferSize);
    case kAudioDevicePropertyStreamFormat:
        return answer(&d.format, sizeof d.format);
    case kAudioDevicePropertySafetyOffset:
        return answer(&d.safetyOffset, sizeof d.safetyOffset);
    case kAudioDevicePropertyVolumeDecibels:
        if (!d.volumeDecibels || channel != 1) {
            return kAudioHardwareUnsupportedOperationError;
        }
        return answer(&*d.volumeDecibels, sizeof(float));
    default:
        return kAudioHardwareUnknownPropertyError;
    }
}

OSStatus AudioDeviceAddIOProc(AudioDeviceID device, AudioDeviceIOProc proc, void* clientData) {
    std::lock_guard lock(registry().mutex);
    const auto found = registry().devices.find(device);
    if (found == registry().devices.end()) {
        return kAudioHardwareBadDeviceError;
    }
    if (found->second.addStatus != 0) {
        return found->second.addStatus;
    }
    if (proc == nullptr || fake::findProc(device, proc) != nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    bool deviceHasInput = false;
    for (const fake::Proc& p : registry().procs) {
        deviceHasInput =
            deviceHasInput || (p.device == device && p.isInput && p.record.removes == 0);
    }
    fake::Proc& p = registry().procs.emplace_back();
    p.device = device;
    p.proc = proc;
    p.clientData = clientData;
    p.isInput = device == registry().defaultInput && !deviceHasInput;
    p.record.adds = 1;
    return 0;
}

OSStatus AudioDeviceRemoveIOProc(AudioDeviceID device, AudioDeviceIOProc proc) {
    std::thread clock;
    std::chrono::milliseconds delay{0};
    {
        std::lock_guard lock(registry().mutex);
        fake::Proc* p = fake::findProc(device, proc);
        if (p == nullptr || fake::tCurrentProc != nullptr) {
            return kAudioHardwareIllegalOperationError;
        }
        ++p->record.removes;
        if (p->record.running) {
            delay = registry().devices[device].stopDelay;
        }
        p->record.running = false;
        p->stop.store(true, std::memory_order_release);
        clock = std::move(p->clock);
    }
    std::this_thread::sleep_for(delay);
    if (clock.joinable()) {
        clock.join();
    }
    return 0;
}

OSStatus AudioDeviceStart(AudioDeviceID device, AudioDeviceIOProc proc) {
    std::lock_guard lock(registry().mutex);
    const auto found = registry().devices.find(device);
    if (found == registry().devices.end()) {
        return kAudioHardwareBadDeviceError;
    }
    if (found->second.startStatus != 0) {
        return found->second.startStatus;
    }
    fake::Proc* p = fake::findProc(device, proc);
    if (p == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    if (p->record.running) {
        return 0;
    }
    ++p->record.starts;
    p->record.running = true;
    p->stop.store(false, std::memory_order_release);
    if (found->second.runs && !p->clock.joinable()) {
        p->clock = std::thread(fake::runClock, p, found->second);
    }
    return 0;
}

OSStatus AudioDeviceStop(AudioDeviceID device, AudioDeviceIOProc proc) {
    std::thread clock;
    std::chrono::milliseconds delay{0};
    {
        std::lock_guard lock(registry().mutex);
        fake::Proc* p = fake::findProc(device, proc);
        if (p == nullptr) {
            return kAudioHardwareIllegalOperationError;
        }
        p->record.running = false;
        p->stop.store(true, std::memory_order_release);
        if (fake::tCurrentProc == p) {
            ++p->record.stopsInside;
            return 0; // the clock thread ends after this call returns
        }
        ++p->record.stopsOutside;
        clock = std::move(p->clock);
        delay = registry().devices[device].stopDelay;
    }
    std::this_thread::sleep_for(delay);
    if (clock.joinable()) {
        clock.join(); // no call of the procedure runs once this returns
    }
    return 0;
}

OSStatus AudioDeviceGetCurrentTime(AudioDeviceID device, AudioTimeStamp* outTime) {
    if (outTime == nullptr) {
        return kAudioHardwareBadPropertySizeError;
    }
    std::lock_guard lock(registry().mutex);
    const auto found = registry().devices.find(device);
    if (found == registry().devices.end()) {
        return kAudioHardwareBadDeviceError;
    }
    if (found->second.currentTimeStatus != 0) {
        return found->second.currentTimeStatus;
    }
    *outTime = AudioTimeStamp{};
    outTime->mFlags = kAudioTimeStampSampleTimeValid;
    return 0;
}
