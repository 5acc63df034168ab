// What this implements: the hardware property (default input and output device, looked
// at afresh while no stream is open) and the device properties (name, IO buffer size,
// stream format, safety offset, the device's own rate) on PortAudio's device list.
// What it does not: volume ("vold" always fails with kAudioHardwareUnsupportedOperationError,
// PortAudio has no mixer), other formats or buffer sizes than the fixed ones, and any
// property setter.

#include "PortAudioBackend.h"
#include "PropertyAnswers.h"

#include <portaudio.h>

OSStatus PortAudioBackend::getHardwareProperty(AudioHardwarePropertyID property,
                                               std::uint32_t* ioDataSize, void* outData) {
    if (const OSStatus refused = defaultDeviceQuery(property, ioDataSize, outData); refused != 0) {
        return refused;
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
    answerProperty(device, ioDataSize, outData);
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
        return answerProperty(Pa_GetDeviceInfo(index)->defaultSampleRate, ioDataSize, outData);
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
        return answerProperty<std::uint32_t>(kBackendFramesPerBuffer * kBackendBytesPerFrame,
                                             ioDataSize, outData);
    case kAudioDevicePropertyStreamFormat:
        return answerProperty(floatStreamFormat(kBackendSampleRate, kBackendChannels), ioDataSize,
                              outData);
    case kAudioDevicePropertySafetyOffset:
        return answerProperty(safetyOffsetFrames(index, input), ioDataSize, outData);
    default:
        return kAudioHardwareUnsupportedOperationError;
    }
}
