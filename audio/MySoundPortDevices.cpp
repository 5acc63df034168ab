// The audio device records: reset, discovery from the hardware layer, the format test and
// the device report.
#include "MySoundPort.h"

#include "Diagnostics.h"

#include <cmath>
#include <cstdio>

void MySoundPort::initMyAudioDevice(AudioDeviceRecord& record) {
    record.initialized = 0;
    record.device = 0;
    record.name[0] = '\0';
    record.bufferSize = 0;
    record.framesPerBuffer = 0;
}

void MySoundPort::getAudioDevice(AudioDeviceRecord& record, AudioHardwarePropertyID from,
                                 std::int32_t isInput) {
    const auto direction = static_cast<std::uint8_t>(isInput != 0 ? 1 : 0);

    // Every query runs whatever the one before it returned; each failure gets its line.
    std::uint32_t size = sizeof record.device;
    const OSStatus lookup = AudioHardwareGetProperty(from, &size, &record.device);
    mDeviceLookupStatus = lookup != 0 ? lookup : mDeviceLookupStatus;
    checkError(lookup, "kAudioHardwarePropertyDefault(IN|OUT)Device");

    size = sizeof record.name;
    const OSStatus nameStatus = AudioDeviceGetProperty(
        record.device, 0, direction, kAudioDevicePropertyDeviceName, &size, record.name);
    // The name is printed with %s: terminate it wherever the backend stopped, and at the
    // last byte in any case.
    if (nameStatus == 0 && size < sizeof record.name) {
        record.name[size] = '\0';
    }
    record.name[sizeof record.name - 1] = '\0';
    checkError(nameStatus, "kAudioDevicePropertyDeviceName");

    size = sizeof record.bufferSize;
    checkError(AudioDeviceGetProperty(record.device, 0, direction, kAudioDevicePropertyBufferSize,
                                      &size, &record.bufferSize),
               "kAudioDevicePropertyBufferSize");

    size = sizeof record.format;
    checkError(AudioDeviceGetProperty(record.device, 0, direction, kAudioDevicePropertyStreamFormat,
                                      &size, &record.format),
               "kAudioDevicePropertyStreamFormat");

    // Channel 1, not the master channel 0. The decibels become a linear gain before the
    // status is reported, failed or not; an untouched 0 dB gives 1.0.
    // A failed query leaves 0 dB, as on a new port: a gain left from the discovery before
    // would otherwise be taken for decibels and converted again at every discovery.
    record.maxValue = 0.0f;
    size = sizeof record.maxValue;
    const OSStatus volumeStatus = AudioDeviceGetProperty(
        record.device, 1, direction, kAudioDevicePropertyVolumeDecibels, &size, &record.maxValue);
    record.maxValue =
        static_cast<float>(std::pow(10.0, static_cast<double>(record.maxValue) / 20.0));
    checkError(volumeStatus, "kAudioDevicePropertyVolumeDecibels");

    size = sizeof record.safetyOffset;
    checkError(AudioDeviceGetProperty(record.device, 0, direction, kAudioDevicePropertySafetyOffset,
                                      &size, &record.safetyOffset),
               "kAudioDevicePropertySafetyOffset");

    // A failed format query leaves 0 bytes per frame: no frames rather than a fault.
    record.framesPerBuffer =
        record.format.mBytesPerFrame != 0 ? record.bufferSize / record.format.mBytesPerFrame : 0;
    record.interleaved = (record.format.mFormatFlags & kAudioFormatFlagIsNonInterleaved) ? 0 : 1;

    if (record.format.mFormatID != kAudioFormatLinearPCM) {
        std::fprintf(diagnostics(), "ERROR: Device format not LinearPCM\n");
        return;
    }
    if ((record.format.mFormatFlags & kAudioFormatFlagIsFloat) == 0) {
        std::fprintf(diagnostics(), "ERROR: Device format not float.\n");
        return;
    }
    record.initialized = 1;
}

void MySoundPort::printDeviceReport(const AudioDeviceRecord& record) {
    const AudioStreamBasicDescription& format = record.format;
    std::fprintf(diagnostics(), "Device Name(ID): %s (%d)\n", record.name,
                 static_cast<int>(record.device));
    std::fprintf(diagnostics(), "initialized: %d\n", static_cast<int>(record.initialized));
    std::fprintf(diagnostics(), "\n");
    std::fprintf(diagnostics(), "DeviceFormat:\n");
    std::fprintf(diagnostics(), "LinearPCM = %d\n",
                 format.mFormatID == kAudioFormatLinearPCM ? 1 : 0);
    std::fprintf(diagnostics(), "Float = %ld\n",
                 static_cast<long>(format.mFormatFlags & kAudioFormatFlagIsFloat));
    std::fprintf(diagnostics(), "Interleaved = %d\n", static_cast<int>(record.interleaved));
    std::fprintf(diagnostics(), "\n");
    std::fprintf(diagnostics(), "mSampleRate = %g\n", format.mSampleRate);
    std::fprintf(diagnostics(), "mFormatFlags = %08lX\n",
                 static_cast<unsigned long>(format.mFormatFlags));
    std::fprintf(diagnostics(), "mBytesPerPacket = %ld\n",
                 static_cast<long>(format.mBytesPerPacket));
    std::fprintf(diagnostics(), "mFramesPerPacket = %ld\n",
                 static_cast<long>(format.mFramesPerPacket));
    std::fprintf(diagnostics(), "mChannelsPerFrame = %ld\n",
                 static_cast<long>(format.mChannelsPerFrame));
    std::fprintf(diagnostics(), "mBytesPerFrame = %ld\n", static_cast<long>(format.mBytesPerFrame));
    std::fprintf(diagnostics(), "mBitsPerChannel = %ld\n",
                 static_cast<long>(format.mBitsPerChannel));
    std::fprintf(diagnostics(), "\n");
    std::fprintf(diagnostics(), "bufferSize = %d\n", static_cast<int>(record.bufferSize));
    std::fprintf(diagnostics(), "safetyOffset = %d\n", static_cast<int>(record.safetyOffset));
    std::fprintf(diagnostics(), "framesPerBuffer = %d\n", static_cast<int>(record.framesPerBuffer));
    std::fprintf(diagnostics(), "\n\n");
}
