// The audio boundary on PortAudio with the paced ALSA devices: procedures on their own
// threads with the file's samples bit for bit, sample times, stopping from inside a
// procedure and from outside, and refused calls. (The engine's real test reads the
// devices' properties.)
#include "AudioHardware.h"
#include "audio/PacedDevices.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <thread>

namespace {

constexpr int kKept = 64; // calls each probe records

struct Probe {
    std::atomic<int> calls{0};
    AudioDeviceID device = 0;
    int stopAfter = 0; // the procedure stops itself after this many calls (0: never)
    std::thread::id threads[kKept];
    double times[kKept] = {};
    float samples[kKept][1024] = {};
} gProbes[2]; // the input's, the output's

template <int N>
OSStatus record(AudioDeviceID, const AudioTimeStamp*, const AudioBufferList* in,
                const AudioTimeStamp* inTime, AudioBufferList*, const AudioTimeStamp* outTime,
                void*) {
    Probe& probe = gProbes[N];
    const int n = probe.calls.load(std::memory_order_relaxed);
    if (n < kKept) {
        probe.threads[n] = std::this_thread::get_id();
        probe.times[n] = (in != nullptr ? inTime : outTime)->mSampleTime;
        if (in != nullptr && in->mBuffers[0].mDataByteSize >= sizeof probe.samples[n]) {
            std::memcpy(probe.samples[n], in->mBuffers[0].mData, sizeof probe.samples[n]);
        }
    }
    probe.calls.store(n + 1, std::memory_order_release);
    if (n + 1 == probe.stopAfter) {
        AudioDeviceStop(probe.device, record<N>);
    }
    return 0;
}

} // namespace

TEST(PortAudioHal, ProceduresRunOnTheirOwnThreadsWithTheFileBitForBit) {
    for (const AudioHardwarePropertyID which :
         {kAudioHardwarePropertyDefaultInputDevice, kAudioHardwarePropertyDefaultOutputDevice}) {
        std::uint32_t size = sizeof(AudioDeviceID);
        Probe& probe = gProbes[which == kAudioHardwarePropertyDefaultOutputDevice];
        ASSERT_EQ(AudioHardwareGetProperty(which, &size, &probe.device), 0);
    }
    const AudioDeviceID in = gProbes[0].device;
    const AudioDeviceID out = gProbes[1].device;
    gProbes[1].stopAfter = kKept;
    EXPECT_EQ(AudioDeviceStart(in, record<0>), kAudioHardwareIllegalOperationError)
        << "not added yet";
    ASSERT_EQ(AudioDeviceAddIOProc(in, record<0>, nullptr), 0);
    EXPECT_EQ(AudioDeviceAddIOProc(in, record<0>, nullptr), kAudioHardwareIllegalOperationError);
    ASSERT_EQ(AudioDeviceAddIOProc(out, record<1>, nullptr), 0);
    ASSERT_EQ(AudioDeviceStart(in, record<0>), 0);
    ASSERT_EQ(AudioDeviceStart(out, record<1>), 0);
    AudioTimeStamp now;
    EXPECT_EQ(AudioDeviceGetCurrentTime(in, &now), 0);
    for (int tries = 0; tries < 1000 && (gProbes[0].calls < kKept || gProbes[1].calls < kKept);
         ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(AudioDeviceStop(in, record<0>), 0);
    const int inputCalls = gProbes[0].calls;
    ASSERT_GE(inputCalls, kKept);
    // The output stopped itself; stopping it again does nothing.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(gProbes[0].calls, inputCalls) << "called after its stop";
    EXPECT_EQ(gProbes[1].calls, kKept) << "called after stopping itself";
    EXPECT_EQ(AudioDeviceStop(out, record<1>), 0);
    EXPECT_EQ(AudioDeviceGetCurrentTime(in, &now), kAudioHardwareNotRunningError);
    int wrong = 0;
    for (int n = 0; n < kKept; ++n) {
        EXPECT_NE(gProbes[0].threads[n], std::this_thread::get_id());
        EXPECT_NE(gProbes[1].threads[n], std::this_thread::get_id());
        EXPECT_NE(gProbes[0].threads[n], gProbes[1].threads[n]);
        EXPECT_EQ(gProbes[0].times[n], 512.0 * n) << "input call " << n;
        EXPECT_EQ(gProbes[1].times[n], 512.0 * n) << "output call " << n;
        // The capture device reads the file from its first frame, in order, bit for bit.
        for (int i = 0; i < 512; ++i) {
            const auto f = static_cast<float>(n * 512 + i);
            wrong += gProbes[0].samples[n][2 * i] != f || gProbes[0].samples[n][2 * i + 1] != -f;
        }
    }
    EXPECT_EQ(wrong, 0);
}

int main(int argc, char** argv) {
    if (!onPacedDevices()) {
        const std::string raw = TUNER_BINARY_DIR "/hal_ramp.raw";
        std::ofstream file(raw, std::ios::binary);
        for (int f = 0; f < 44100 * 4; ++f) { // frame f holds f and -f, exact in float
            const float frame[2] = {static_cast<float>(f), -static_cast<float>(f)};
            file.write(reinterpret_cast<const char*>(frame), sizeof frame);
        }
        file.close();
        runOnPacedDevices(argc, argv, raw);
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
