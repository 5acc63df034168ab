// The audio boundary of the engine benchmark: two devices, input and output, of two
// interleaved 32-bit float channels at 44100 Hz and 512 frames per buffer, whose IO
// procedures the benchmark calls itself. Every call succeeds; nothing runs on its own.
#include "AudioHardware.h"
#include "TunerConstants.h"

#include <cstring>

namespace {

template <class T> OSStatus answer(const T& value, std::uint32_t* ioDataSize, void* outData) {
    std::memcpy(outData, &value, sizeof value);
    *ioDataSize = sizeof value;
    return 0;
}

} // namespace

OSStatus AudioHardwareGetProperty(AudioHardwarePropertyID property, std::uint32_t* ioDataSize,
                                  void* outData) {
    const AudioDeviceID device = property == kAudioHardwarePropertyDefaultInputDevice ? 1 : 2;
    return answer(device, ioDataSize, outData);
}

OSStatus AudioDeviceGetProperty(AudioDeviceID, std::uint32_t, std::uint8_t,
                                AudioDevicePropertyID property, std::uint32_t* ioDataSize,
                                void* outData) {
    AudioStreamBasicDescription format{};
    format.mSampleRate = tuner::kSampleRate;
    format.mFormatID = kAudioFormatLinearPCM;
    format.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
    format.mBytesPerPacket = 8;
    format.mFramesPerPacket = 1;
    format.mBytesPerFrame = 8;
    format.mChannelsPerFrame = 2;
    format.mBitsPerChannel = 32;
    switch (property) {
    case kAudioDevicePropertyDeviceName:
        return answer("bench", ioDataSize, outData);
    case kAudioDevicePropertyBufferSize:
        return answer(std::uint32_t{4096}, ioDataSize, outData);
    case kAudioDevicePropertyStreamFormat:
        return answer(format, ioDataSize, outData);
    case kAudioDevicePropertySafetyOffset:
        return answer(std::uint32_t{0}, ioDataSize, outData);
    default:
        return kAudioHardwareUnsupportedOperationError;
    }
}

OSStatus AudioDeviceAddIOProc(AudioDeviceID, AudioDeviceIOProc, void*) {
    return 0;
}
OSStatus AudioDeviceRemoveIOProc(AudioDeviceID, AudioDeviceIOProc) {
    return 0;
}
OSStatus AudioDeviceStart(AudioDeviceID, AudioDeviceIOProc) {
    return 0;
}
OSStatus AudioDeviceStop(AudioDeviceID, AudioDeviceIOProc) {
    return 0;
}
OSStatus AudioDeviceGetCurrentTime(AudioDeviceID, AudioTimeStamp* outTime) {
    *outTime = AudioTimeStamp{};
    return 0;
}
