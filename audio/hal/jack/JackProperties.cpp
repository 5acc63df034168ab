// What this implements: the hardware property (one device, the open client, for both the
// default input and the default output; none while no server runs) and the device
// properties as the engine sees the device: its name says the server, its rate and period
// and the port, its stream is two interleaved 32-bit float channels at 44100 Hz in 512-frame
// buffers, its safety offset is 0 (each block reaches the procedures in the cycle that
// completes it), and its own rate is the server's.
// What it does not: volume ("vold" fails with kAudioHardwareUnsupportedOperationError:
// JACK ports have no gain), other formats or buffer sizes, and any property setter.

#include "JackBackend.h"
#include "PropertyAnswers.h"

#include "TunerConstants.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::uint32_t kBytesPerFrame = JackBackend::kChannels * sizeof(float);

} // namespace

OSStatus JackBackend::getHardwareProperty(AudioHardwarePropertyID property,
                                          std::uint32_t* ioDataSize, void* outData) {
    if (const OSStatus refused = defaultDeviceQuery(property, ioDataSize, outData); refused != 0) {
        return refused;
    }
    AudioDeviceID device = 0;
    OSStatus status = 0;
    if (available()) {
        device = mDevice;
    } else {
        // A server that answered and refused is there: the failure is the client's.
        status = mServerAnswered ? kAudioHardwareUnspecifiedError : kAudioHardwareServerGoneError;
    }
    answerProperty(device, ioDataSize, outData);
    return status;
}

OSStatus JackBackend::getDeviceProperty(AudioDeviceID device, std::uint32_t /*channel*/,
                                        std::uint8_t isInput, AudioDevicePropertyID property,
                                        std::uint32_t* ioDataSize, void* outData) {
    if (ioDataSize == nullptr || outData == nullptr) {
        return kAudioHardwareBadPropertySizeError;
    }
    if (mClient == nullptr || device != mDevice) {
        return kAudioHardwareBadDeviceError;
    }
    switch (property) {
    case kAudioDevicePropertyDeviceName: {
        char name[256];
        if (isInput != 0) {
            std::snprintf(name, sizeof name,
                          "JACK server \"%s\" at %u Hz, %u-frame periods: port %s:%s, converted "
                          "to %.0f Hz",
                          mServerName.c_str(),
                          static_cast<unsigned>(mServerRate.load(std::memory_order_relaxed)),
                          static_cast<unsigned>(mOpenPeriod), jack_get_client_name(mClient),
                          kPortName, tuner::kSampleRate);
        } else {
            std::snprintf(name, sizeof name,
                          "JACK server \"%s\": the process cycle of %s (no output port)",
                          mServerName.c_str(), jack_get_client_name(mClient));
        }
        return answerName(name, ioDataSize, outData);
    }
    case kAudioDevicePropertyBufferSize:
        return answerProperty<std::uint32_t>(kFramesPerBuffer * kBytesPerFrame, ioDataSize,
                                             outData);
    case kAudioDevicePropertyStreamFormat:
        return answerProperty(floatStreamFormat(tuner::kSampleRate, kChannels), ioDataSize,
                              outData);
    case kAudioDevicePropertySafetyOffset:
        return answerProperty<std::uint32_t>(0, ioDataSize, outData);
    case kAudioDevicePropertyNominalSampleRate:
        return answerProperty<double>(mServerRate.load(std::memory_order_relaxed), ioDataSize,
                                      outData);
    case kAudioDevicePropertyVolumeDecibels:
        return kAudioHardwareUnsupportedOperationError;
    default:
        return kAudioHardwareUnknownPropertyError;
    }
}
