#pragma once

#include "AudioHardware.h"

#include <cstdint>
#include <cstring>

// What the sound port knows of one audio device: found and filled once by setup on the
// main thread, read-only afterwards (the IO procedures read it on the audio threads
// without a lock). Owns no heap storage; a new sound port holds two of them, all zero.
struct AudioDeviceRecord {
    AudioDeviceID device;               // 0: no device
    char name[255];                     // always zero-terminated
    std::uint32_t bufferSize;           // bytes in one IO buffer
    std::uint32_t interleaved;          // 1: all channels in one buffer; 0: a buffer each
    AudioStreamBasicDescription format; // the device's stream format
    std::uint32_t framesPerBuffer;      // bufferSize / format.mBytesPerFrame (0 if that is 0)
    float maxValue;                     // linear gain of the volume on channel 1
    std::uint32_t safetyOffset;         // frames
    std::uint8_t initialized;           // 1: linear PCM with float samples
};

// Whether two records describe the same device, as discovery filled them.
inline bool sameDevice(const AudioDeviceRecord& a, const AudioDeviceRecord& b) {
    return a.device == b.device && std::strcmp(a.name, b.name) == 0 &&
           a.bufferSize == b.bufferSize && a.interleaved == b.interleaved &&
           std::memcmp(&a.format, &b.format, sizeof a.format) == 0 &&
           a.framesPerBuffer == b.framesPerBuffer && a.maxValue == b.maxValue &&
           a.safetyOffset == b.safetyOffset && a.initialized == b.initialized;
}
