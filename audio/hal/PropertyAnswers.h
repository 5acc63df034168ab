#pragma once

// How a backend answers a property query of the audio boundary: a value of fixed size, or a
// name, written into the caller's room as the boundary's queries promise.

#include "AudioHardware.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

// Writes value when *ioDataSize has room for it, and sets *ioDataSize to its size.
template <class T>
OSStatus answerProperty(const T& value, std::uint32_t* ioDataSize, void* outData) {
    if (*ioDataSize < sizeof(T)) {
        return kAudioHardwareBadPropertySizeError;
    }
    std::memcpy(outData, &value, sizeof(T));
    *ioDataSize = sizeof(T);
    return 0;
}

// Whether a query of the default input or output device may be answered: room for a device
// and one of those two properties (0), or why not.
inline OSStatus defaultDeviceQuery(AudioHardwarePropertyID property,
                                   const std::uint32_t* ioDataSize, const void* outData) {
    if (ioDataSize == nullptr || outData == nullptr || *ioDataSize < sizeof(AudioDeviceID)) {
        return kAudioHardwareBadPropertySizeError;
    }
    if (property != kAudioHardwarePropertyDefaultInputDevice &&
        property != kAudioHardwarePropertyDefaultOutputDevice) {
        return kAudioHardwareUnknownPropertyError;
    }
    return 0;
}

// Writes as much of the name as fits, always zero-terminated, and sets *ioDataSize to the
// bytes written.
inline OSStatus answerName(const char* name, std::uint32_t* ioDataSize, void* outData) {
    if (*ioDataSize == 0) {
        return kAudioHardwareBadPropertySizeError;
    }
    const std::size_t length = std::min<std::size_t>(std::strlen(name), *ioDataSize - 1);
    std::memcpy(outData, name, length);
    static_cast<char*>(outData)[length] = '\0';
    *ioDataSize = static_cast<std::uint32_t>(length + 1);
    return 0;
}
