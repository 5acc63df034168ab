// The operations of the audio boundary, each handed to the process's one dispatch.
#include "AudioBoundary.h"

#include "AudioHardware.h"

#include <mutex>

namespace {

// Made on first use, so that a chooser installed before main finds it made.
struct Installed {
    std::mutex lock;
    BackendDispatch::Chooser choose; // guarded by lock
};
Installed& installed() {
    static Installed* const value = new Installed;
    return *value;
}

} // namespace

BackendDispatch& audioBoundary() {
    // Never destroyed: a call stuck in a backend may outlive every static object.
    static BackendDispatch* const dispatch = new BackendDispatch([]() -> AudioBackend* {
        BackendDispatch::Chooser choose;
        {
            const std::lock_guard<std::mutex> lock(installed().lock);
            choose = installed().choose;
        }
        return choose ? choose() : nullptr;
    });
    return *dispatch;
}

void useAudioBackends(BackendDispatch::Chooser choose) {
    const std::lock_guard<std::mutex> lock(installed().lock);
    installed().choose = std::move(choose);
}

OSStatus AudioHardwareGetProperty(AudioHardwarePropertyID property, std::uint32_t* ioDataSize,
                                  void* outData) {
    return audioBoundary().getHardwareProperty(property, ioDataSize, outData);
}

OSStatus AudioDeviceGetProperty(AudioDeviceID device, std::uint32_t channel, std::uint8_t isInput,
                                AudioDevicePropertyID property, std::uint32_t* ioDataSize,
                                void* outData) {
    return audioBoundary().getDeviceProperty(device, channel, isInput, property, ioDataSize,
                                             outData);
}

OSStatus AudioDeviceAddIOProc(AudioDeviceID device, AudioDeviceIOProc proc, void* clientData) {
    return audioBoundary().addIOProc(device, proc, clientData);
}

OSStatus AudioDeviceRemoveIOProc(AudioDeviceID device, AudioDeviceIOProc proc) {
    return audioBoundary().removeIOProc(device, proc);
}

OSStatus AudioDeviceStart(AudioDeviceID device, AudioDeviceIOProc proc) {
    return audioBoundary().start(device, proc);
}

OSStatus AudioDeviceStop(AudioDeviceID device, AudioDeviceIOProc proc) {
    return audioBoundary().stop(device, proc);
}

OSStatus AudioDeviceGetCurrentTime(AudioDeviceID device, AudioTimeStamp* outTime) {
    return audioBoundary().currentTime(device, outTime);
}
