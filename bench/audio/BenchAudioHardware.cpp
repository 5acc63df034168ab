// The audio backend of the engine benchmark: two devices, input and output, of two
// interleaved 32-bit float channels at 44100 Hz and 512 frames per buffer, whose IO
// procedures the benchmark calls itself. Every call succeeds; nothing runs on its own.
#include "AudioBoundary.h"
#include "PropertyAnswers.h"
#include "TunerConstants.h"

namespace {

class BenchBackend final : public AudioBackend {
public:
    const char* name() const override { return "bench"; }
    bool available() override { return true; }
    bool anyStreamOpen() const override { return false; }
    void release() override {}
    OSStatus getHardwareProperty(AudioHardwarePropertyID property, std::uint32_t* ioDataSize,
                                 void* outData) override {
        const AudioDeviceID device = property == kAudioHardwarePropertyDefaultInputDevice ? 1 : 2;
        return answerProperty(device, ioDataSize, outData);
    }
    OSStatus getDeviceProperty(AudioDeviceID, std::uint32_t, std::uint8_t,
                               AudioDevicePropertyID property, std::uint32_t* ioDataSize,
                               void* outData) override {
        const AudioStreamBasicDescription format{tuner::kSampleRate,
                                                 kAudioFormatLinearPCM,
                                                 kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked,
                                                 8,
                                                 1,
                                                 8,
                                                 2,
                                                 32,
                                                 0};
        switch (property) {
        case kAudioDevicePropertyDeviceName:
            return answerName("bench", ioDataSize, outData);
        case kAudioDevicePropertyBufferSize:
            return answerProperty(std::uint32_t{4096}, ioDataSize, outData);
        case kAudioDevicePropertyStreamFormat:
            return answerProperty(format, ioDataSize, outData);
        case kAudioDevicePropertySafetyOffset:
            return answerProperty(std::uint32_t{0}, ioDataSize, outData);
        default:
            return kAudioHardwareUnsupportedOperationError;
        }
    }
    OSStatus addIOProc(AudioDeviceID, AudioDeviceIOProc, void*) override { return 0; }
    OSStatus removeIOProc(AudioDeviceID, AudioDeviceIOProc) override { return 0; }
    OSStatus start(AudioDeviceID, AudioDeviceIOProc) override { return 0; }
    OSStatus stop(AudioDeviceID, AudioDeviceIOProc) override { return 0; }
    OSStatus currentTime(AudioDeviceID, AudioTimeStamp* outTime) override {
        *outTime = AudioTimeStamp{};
        return 0;
    }
};

BenchBackend gBackend;
const bool gInstalled = (useAudioBackends([] { return &gBackend; }), true);

} // namespace
