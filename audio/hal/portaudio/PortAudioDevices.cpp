#include "PortAudioDevices.h"

#include "SaturatingCast.h"

AudioDeviceID deviceIdentifier(PaDeviceIndex index) {
    return index < 0 ? 0 : static_cast<AudioDeviceID>(index) + 1;
}

PaDeviceIndex deviceIndex(AudioDeviceID device) {
    const PaDeviceIndex count = Pa_GetDeviceCount();
    if (device == 0 || count <= 0 || device > static_cast<AudioDeviceID>(count)) {
        return paNoDevice;
    }
    return static_cast<PaDeviceIndex>(device - 1);
}

bool hasChannels(PaDeviceIndex index, bool isInput) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(index);
    if (info == nullptr) {
        return false;
    }
    return (isInput ? info->maxInputChannels : info->maxOutputChannels) > 0;
}

std::uint32_t safetyOffsetFrames(PaDeviceIndex index, bool isInput) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(index);
    if (info == nullptr) {
        return 0;
    }
    const double seconds = isInput ? info->defaultLowInputLatency : info->defaultLowOutputLatency;
    const std::int32_t frames = toInt32(seconds * kBackendSampleRate);
    return frames > 0 ? static_cast<std::uint32_t>(frames) : 0;
}

OSStatus statusFromPortAudio(PaError error) {
    switch (error) {
    case paNoError:
        return 0;
    case paInvalidChannelCount:
    case paInvalidSampleRate:
    case paSampleFormatNotSupported:
    case paBadIODeviceCombination:
        return kAudioDeviceUnsupportedFormatError;
    case paInvalidDevice:
        return kAudioHardwareBadDeviceError;
    case paDeviceUnavailable:
        return kAudioDevicePermissionsError;
    case paNotInitialized:
        return kAudioHardwareNotRunningError;
    default:
        return kAudioHardwareUnspecifiedError;
    }
}
