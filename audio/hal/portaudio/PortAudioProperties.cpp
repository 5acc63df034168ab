// What this implements: the hardware property (default input and output device, looked
// at afresh while no stream is open) and the device properties (name, IO buffer size,
// stream format, safety offset, the device's own rate) on PortAudio's device list.
// What it does not: volume ("vold" always fails with kAudioHardwareUnsupportedOperationError,
// PortAudio has no mixer), other formats or buffer sizes than the fixed ones, and any
// property setter.

#include "PortAudioBackend.h"

#include <algorithm>
#include <cstring>
#include <portaudio.h>

namespace {

template <class T> OSStatus answer(const T& value, std::uint32_t* ioDataSize, void* outData) {
    if (*ioDataSize < sizeof(T)) {
        return kAudioHardwareBadPropertySizeError;
    }
    std::memcpy(outData, &value, sizeof(T));
    *ioDataSize = sizeof(T);
    return 0;
}

OSStatus answerName(const char* name, std::uint32_t* ioDataSize, void* outData) {
    if (*ioDataSize == 0) {
        return kAudioHardwareBadPropertySizeError;
    }
    const std::size_t length = std::min<std::size_t>(std::strlen(name), *ioDataSize - 1);
    std::memcpy(outData, name, length);
    static_cast<char*>(outData)[length] = '\0';
    *ioDataSize = static_cast<std::uint32_t>(length + 1);
    return 0;
}

} // namespace

OSStatus PortAudioBackend::getHardwareProperty(AudioHardwarePropertyID property,
                                               std::uint32_t* ioDataSize, void* outData) {
    if (ioDataSize == nullptr || outData == nullptr || *ioDataSize < sizeof(AudioDeviceID)) {
        return kAudioHardwareBadPropertySizeError;
    }
    if (property != kAudioHardwarePropertyDefaultInputDevice &&
        property != kAudioHardwarePropertyDefaultOutputDevice) {
        return kAudioHardwareUnknownPropertyError;
    }
    AudioDeviceID device = 0;
    OSStatus status = kAudioHardwareNotRunningError;
    if (refreshed()) {
        const PaDeviceIndex index = property == kAudioHardwarePropertyDefaultInputDevice
                                        ? Pa_GetDefaultInputDevice()
                                        : Pa_GetDefaultOutputDevice();
        device = deviceIdentifier(index);
        status = device == 0 ? kAudioHardwareBadDeviceError : 0;
    }
    std::memcpy(outData, &device, sizeof device);
    *ioDataSize = sizeof device;
    return status;
}

OSStatus PortAudioBackend::getDeviceProperty(AudioDeviceID device, std::uint32_t /*channel*/,
                                             std::uint8_t isInput, AudioDevicePropertyID property,
                                             std::uint32_t* ioDataSize, void* outData) {
    if (ioDataSize == nullptr || outData == nullptr) {
        return kAudioHardwareBadPropertySizeError;
    }
    if (!ready()) {
        return kAudioHardwareNotRunningError;
    }
    const PaDeviceIndex index = deviceIndex(device);
    if (index == paNoDevice) {
        return kAudioHardwareBadDeviceError;
    }
    if (property == kAudioDevicePropertyDeviceName) {
        return answerName(Pa_GetDeviceInfo(index)->name, ioDataSize, outData);
    }
    if (property == kAudioDevicePropertyNominalSampleRate) {
        return answer(Pa_GetDeviceInfo(index)->defaultSampleRate, ioDataSize, outData);
    }
    const bool input = isInput != 0;
    switch (property) {
    case kAudioDevicePropertyBufferSize:
    case kAudioDevicePropertyStreamFormat:
    case kAudioDevicePropertySafetyOffset:
    case kAudioDevicePropertyVolumeDecibels:
        if (!hasChannels(index, input)) {
            return kAudioHardwareBadStreamError;
        }
        break;
    default:
        return kAudioHardwareUnknownPropertyError;
    }
    switch (property) {
    case kAudioDevicePropertyBufferSize:
        return answer<std::uint32_t>(kBackendFramesPerBuffer * kBackendBytesPerFrame, ioDataSize,
                                     outData);
    case kAudioDevicePropertyStreamFormat:
        return answer(backendStreamFormat(), ioDataSize, outData);
    case kAudioDevicePropertySafetyOffset:
        return answer(safetyOffsetFrames(index, input), ioDataSize, outData);
    default:
        return kAudioHardwareUnsupportedOperationError;
    }
}
