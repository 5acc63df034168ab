// The audio boundary on PortAudio with the paced ALSA devices: devices and properties,
// procedures on their own threads with the file's samples bit for bit, sample times,
// stopping from inside a procedure, and refused calls.
#include "AudioHardware.h"
#include "PacedAlsa.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kRecorded = 64; // blocks each probe keeps
constexpr std::uint32_t kFrames = 512;
std::string gAlsaError;

// Frame f of the input file: left and right distinct and exact in float.
float leftOf(std::int64_t f) {
    return static_cast<float>(f % 65536) / 65536.0f;
}
float rightOf(std::int64_t f) {
    return -leftOf(f) - 0.25f;
}

struct Probe {
    std::atomic<int> calls{0};
    std::atomic<int> stopAfter{-1}; // stop from inside after this many calls
    AudioDeviceID device = 0;
    AudioDeviceIOProc proc = nullptr;
    std::thread::id threads[kRecorded];
    double times[kRecorded] = {};
    bool inputOnly[kRecorded] = {};
    float samples[kRecorded][2 * kFrames] = {};
};

OSStatus record(Probe& probe, const AudioBufferList* in, const AudioTimeStamp* inTime,
                AudioBufferList* out, const AudioTimeStamp* outTime) {
    const int n = probe.calls.load(std::memory_order_relaxed);
    if (n < kRecorded) {
        probe.threads[n] = std::this_thread::get_id();
        probe.inputOnly[n] = in != nullptr && out == nullptr;
        const AudioTimeStamp* time = in != nullptr ? inTime : outTime;
        probe.times[n] = time != nullptr ? time->mSampleTime : -1.0;
        if (in != nullptr && in->mNumberBuffers == 1 &&
            in->mBuffers[0].mDataByteSize >= 8 * kFrames) {
            const auto* data = static_cast<const float*>(in->mBuffers[0].mData);
            std::copy(data, data + 2 * kFrames, probe.samples[n]);
        }
    }
    probe.calls.store(n + 1, std::memory_order_release);
    if (n + 1 == probe.stopAfter.load(std::memory_order_relaxed)) {
        AudioDeviceStop(probe.device, probe.proc);
    }
    return 0;
}

Probe gInput;
Probe gOutput;
OSStatus inputProc(AudioDeviceID, const AudioTimeStamp*, const AudioBufferList* in,
                   const AudioTimeStamp* inTime, AudioBufferList* out,
                   const AudioTimeStamp* outTime, void*) {
    return record(gInput, in, inTime, out, outTime);
}
OSStatus outputProc(AudioDeviceID, const AudioTimeStamp*, const AudioBufferList* in,
                    const AudioTimeStamp* inTime, AudioBufferList* out,
                    const AudioTimeStamp* outTime, void*) {
    return record(gOutput, in, inTime, out, outTime);
}

AudioDeviceID defaultDevice(AudioHardwarePropertyID which, OSStatus* status = nullptr) {
    AudioDeviceID id = 0;
    std::uint32_t size = sizeof id;
    const OSStatus s = AudioHardwareGetProperty(which, &size, &id);
    if (status != nullptr) {
        *status = s;
    }
    return id;
}

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
}

class PortAudioHal : public testing::Test {
protected:
    void SetUp() override {
        if (!gAlsaError.empty()) {
            GTEST_SKIP() << "paced ALSA devices unavailable: " << gAlsaError;
        }
    }
};

TEST_F(PortAudioHal, DefaultDevicesAnswerEveryProperty) {
    const AudioDeviceID in = defaultDevice(kAudioHardwarePropertyDefaultInputDevice);
    const AudioDeviceID out = defaultDevice(kAudioHardwarePropertyDefaultOutputDevice);
    ASSERT_NE(in, 0u);
    ASSERT_NE(out, 0u);
    for (const auto& [device, isInput] :
         {std::pair{in, std::uint8_t{1}}, std::pair{out, std::uint8_t{0}}}) {
        char name[256] = {};
        std::uint32_t size = sizeof name;
        EXPECT_EQ(
            AudioDeviceGetProperty(device, 0, isInput, kAudioDevicePropertyDeviceName, &size, name),
            0);
        EXPECT_GT(std::string(name).size(), 0u);
        EXPECT_EQ(name[size - 1], '\0') << "the name comes terminated";

        std::uint32_t bytes = 0;
        size = sizeof bytes;
        EXPECT_EQ(AudioDeviceGetProperty(device, 0, isInput, kAudioDevicePropertyBufferSize, &size,
                                         &bytes),
                  0);
        EXPECT_EQ(bytes, 4096u);

        AudioStreamBasicDescription format{};
        size = sizeof format;
        EXPECT_EQ(AudioDeviceGetProperty(device, 0, isInput, kAudioDevicePropertyStreamFormat,
                                         &size, &format),
                  0);
        EXPECT_EQ(format.mSampleRate, 44100.0);
        EXPECT_EQ(format.mFormatID, kAudioFormatLinearPCM);
        EXPECT_EQ(format.mFormatFlags & kAudioFormatFlagIsFloat, kAudioFormatFlagIsFloat);
        EXPECT_EQ(format.mFormatFlags & kAudioFormatFlagIsNonInterleaved, 0u);
        EXPECT_EQ(format.mChannelsPerFrame, 2u);
        EXPECT_EQ(format.mBytesPerFrame, 8u);
        EXPECT_EQ(format.mBitsPerChannel, 32u);

        std::uint32_t safety = 0;
        size = sizeof safety;
        EXPECT_EQ(AudioDeviceGetProperty(device, 0, isInput, kAudioDevicePropertySafetyOffset,
                                         &size, &safety),
                  0);
        EXPECT_GT(safety, 0u);
        EXPECT_LT(safety, 44100u);

        float volume = 0.0f;
        size = sizeof volume;
        EXPECT_EQ(AudioDeviceGetProperty(device, 0, isInput, kAudioDevicePropertyVolumeDecibels,
                                         &size, &volume),
                  kAudioHardwareUnsupportedOperationError);

        size = 2; // too small for a format
        EXPECT_EQ(AudioDeviceGetProperty(device, 0, isInput, kAudioDevicePropertyStreamFormat,
                                         &size, &format),
                  kAudioHardwareBadPropertySizeError);
        size = 4;
        EXPECT_EQ(AudioDeviceGetProperty(device, 0, isInput, fourCharCode("zzzz"), &size, &bytes),
                  kAudioHardwareUnknownPropertyError);
    }
    std::uint32_t size = 4;
    std::uint32_t bytes = 0;
    EXPECT_EQ(AudioDeviceGetProperty(0x7777, 0, 1, kAudioDevicePropertyBufferSize, &size, &bytes),
              kAudioHardwareBadDeviceError);
}

TEST_F(PortAudioHal, ProceduresRunOnTheirOwnThreadsWithTheFileBitForBit) {
    const AudioDeviceID in = defaultDevice(kAudioHardwarePropertyDefaultInputDevice);
    const AudioDeviceID out = defaultDevice(kAudioHardwarePropertyDefaultOutputDevice);
    gInput.device = in;
    gInput.proc = inputProc;
    gOutput.device = out;
    gOutput.proc = outputProc;
    EXPECT_EQ(AudioDeviceStart(in, inputProc), kAudioHardwareIllegalOperationError)
        << "not added yet";
    ASSERT_EQ(AudioDeviceAddIOProc(in, inputProc, nullptr), 0);
    EXPECT_EQ(AudioDeviceAddIOProc(in, inputProc, nullptr), kAudioHardwareIllegalOperationError);
    ASSERT_EQ(AudioDeviceAddIOProc(out, outputProc, nullptr), 0);
    ASSERT_EQ(AudioDeviceStart(in, inputProc), 0);
    ASSERT_EQ(AudioDeviceStart(out, outputProc), 0);
    AudioTimeStamp now;
    EXPECT_EQ(AudioDeviceGetCurrentTime(in, &now), 0);

    const bool enough =
        waitFor([] { return gInput.calls >= kRecorded && gOutput.calls >= kRecorded; },
                std::chrono::seconds(5));
    EXPECT_EQ(AudioDeviceStop(in, inputProc), 0);
    EXPECT_EQ(AudioDeviceStop(out, outputProc), 0);
    EXPECT_EQ(AudioDeviceStop(out, outputProc), 0) << "stopping a stopped procedure does nothing";
    ASSERT_TRUE(enough) << gInput.calls << " input and " << gOutput.calls << " output calls";
    const int inputCalls = gInput.calls;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(gInput.calls, inputCalls) << "called after its stop";

    for (int n = 0; n < kRecorded; ++n) {
        EXPECT_NE(gInput.threads[n], std::this_thread::get_id());
        EXPECT_NE(gOutput.threads[n], std::this_thread::get_id());
        EXPECT_NE(gInput.threads[n], gOutput.threads[n]);
        EXPECT_TRUE(gInput.inputOnly[n]);
        EXPECT_FALSE(gOutput.inputOnly[n]);
        EXPECT_EQ(gInput.times[n], 512.0 * n) << "input call " << n;
        EXPECT_EQ(gOutput.times[n], 512.0 * n) << "output call " << n;
    }
    // The capture device reads the file from its first frame, in order, bit for bit.
    int wrong = 0;
    for (int n = 0; n < kRecorded; ++n) {
        for (std::uint32_t i = 0; i < kFrames; ++i) {
            const std::int64_t f = static_cast<std::int64_t>(n) * kFrames + i;
            wrong +=
                gInput.samples[n][2 * i] != leftOf(f) || gInput.samples[n][2 * i + 1] != rightOf(f);
        }
    }
    EXPECT_EQ(wrong, 0);
}

TEST_F(PortAudioHal, AProcedureStopsItselfWithoutDeadlock) {
    const AudioDeviceID out = defaultDevice(kAudioHardwarePropertyDefaultOutputDevice);
    static Probe probe;
    probe.device = out;
    probe.stopAfter = 5;
    auto proc = [](AudioDeviceID, const AudioTimeStamp*, const AudioBufferList* in,
                   const AudioTimeStamp* inTime, AudioBufferList* o, const AudioTimeStamp* outTime,
                   void*) -> OSStatus { return record(probe, in, inTime, o, outTime); };
    probe.proc = proc;
    ASSERT_EQ(AudioDeviceAddIOProc(out, proc, nullptr), 0);
    ASSERT_EQ(AudioDeviceStart(out, proc), 0);
    EXPECT_TRUE(waitFor([] { return probe.calls >= 5; }, std::chrono::seconds(3)));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(probe.calls, 5) << "called again after stopping itself";
    EXPECT_EQ(AudioDeviceStop(out, proc), 0);
}

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    const std::string raw = std::string(TUNER_BINARY_DIR) + "/hal_ramp.raw";
    {
        std::ofstream file(raw, std::ios::binary);
        for (std::int64_t f = 0; f < 44100 * 4; ++f) {
            const float frame[2] = {leftOf(f), rightOf(f)};
            file.write(reinterpret_cast<const char*>(frame), sizeof frame);
        }
    }
    PacedAlsa alsa(raw);
    if (!alsa.ready()) {
        gAlsaError = alsa.error();
    }
    return RUN_ALL_TESTS();
}
