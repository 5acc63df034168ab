// The JACK backend through the audio boundary, on a private dummy server (its name from the
// test's environment): the device as the engine sees it, both procedures called in the
// process cycle with consecutive sample times, input before output, stops from inside and
// from outside that hold, the server's stop seen as gone, and a restarted server found
// again with the port connected as before. In a process of its own: the backend takes the
// server's name once, before main.
#include "AudioHardware.h"
#include "PrivateJackServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <jack/jack.h>

namespace {

std::string gServer;

AudioDeviceID lookUp(OSStatus* status = nullptr) {
    AudioDeviceID device = 0;
    std::uint32_t size = sizeof device;
    const OSStatus result =
        AudioHardwareGetProperty(kAudioHardwarePropertyDefaultInputDevice, &size, &device);
    if (status != nullptr) {
        *status = result;
    }
    return device;
}

// What the procedures saw; the output procedure stops itself after kOutputCalls.
constexpr int kOutputCalls = 50;
std::atomic<int> gInputCalls{0};
std::atomic<int> gOutputCalls{0};
std::atomic<int> gOutOfStep{0}; // input times not 512 after the last, outputs ahead of inputs
std::atomic<double> gLastInput{-512.0};
std::atomic<double> gLastOutput{-512.0};
std::atomic<OSStatus> gStoppedInside{-1};

OSStatus input(AudioDeviceID, const AudioTimeStamp*, const AudioBufferList* data,
               const AudioTimeStamp* time, AudioBufferList*, const AudioTimeStamp*, void*) {
    gOutOfStep +=
        time->mSampleTime != gLastInput.load() + 512.0 || data->mBuffers[0].mDataByteSize != 4096;
    gLastInput = time->mSampleTime;
    ++gInputCalls;
    return 0;
}

OSStatus output(AudioDeviceID device, const AudioTimeStamp*, const AudioBufferList*,
                const AudioTimeStamp*, AudioBufferList* data, const AudioTimeStamp* time, void*) {
    // Each output block follows the input block of the same cycle: the two clocks stay the
    // same distance apart (they started at 0 in different blocks).
    static const double distance = time->mSampleTime - gLastInput.load();
    gOutOfStep += time->mSampleTime - gLastInput.load() != distance ||
                  time->mSampleTime != gLastOutput.load() + 512.0 ||
                  data->mBuffers[0].mData == nullptr;
    gLastOutput = time->mSampleTime;
    if (++gOutputCalls == kOutputCalls) {
        gStoppedInside = AudioDeviceStop(device, output);
    }
    return 0;
}

} // namespace

TEST(JackBackend, ProceduresRunInTheCycleStopAndTheServerComesBack) {
    pid_t server = startJackServer(gServer, "300");
    ASSERT_NE(server, 0);
    OSStatus status = 0;
    AudioDeviceID device = 0;
    ASSERT_TRUE(within(std::chrono::seconds(5), [&] { return (device = lookUp()) != 0; }));

    AudioStreamBasicDescription format{};
    std::uint32_t size = sizeof format;
    EXPECT_EQ(
        AudioDeviceGetProperty(device, 0, 1, kAudioDevicePropertyStreamFormat, &size, &format), 0);
    EXPECT_EQ(format.mSampleRate, 44100.0);
    EXPECT_EQ(format.mChannelsPerFrame, 2u);
    EXPECT_EQ(format.mBytesPerFrame, 8u);
    std::uint32_t bytes = 0;
    size = sizeof bytes;
    EXPECT_EQ(AudioDeviceGetProperty(device, 0, 1, kAudioDevicePropertyBufferSize, &size, &bytes),
              0);
    EXPECT_EQ(bytes, 4096u);
    char name[256] = {};
    size = sizeof name;
    EXPECT_EQ(AudioDeviceGetProperty(device, 0, 1, kAudioDevicePropertyDeviceName, &size, name), 0);
    EXPECT_NE(std::string(name).find("48000 Hz, 300-frame periods"), std::string::npos) << name;
    double rate = 0.0;
    size = sizeof rate;
    EXPECT_EQ(
        AudioDeviceGetProperty(device, 0, 1, kAudioDevicePropertyNominalSampleRate, &size, &rate),
        0);
    EXPECT_EQ(rate, 48000.0) << "the device's own rate is the server's";
    std::uint32_t safety = 1;
    size = sizeof safety;
    EXPECT_EQ(
        AudioDeviceGetProperty(device, 0, 1, kAudioDevicePropertySafetyOffset, &size, &safety), 0);
    EXPECT_EQ(safety, 0u) << "each block reaches the procedures in the cycle that completes it";
    EXPECT_EQ(AudioDeviceGetProperty(device, 0, 1, kAudioDevicePropertyBufferSize, nullptr, &bytes),
              kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(AudioDeviceStart(device, input), kAudioHardwareIllegalOperationError)
        << "not added yet";

    ASSERT_EQ(AudioDeviceAddIOProc(device, input, nullptr), 0);
    ASSERT_EQ(AudioDeviceAddIOProc(device, output, nullptr), 0);
    ASSERT_EQ(AudioDeviceStart(device, input), 0);
    ASSERT_EQ(AudioDeviceStart(device, output), 0);
    // The output stops itself; the input goes on until stopped from here, then is called no
    // more.
    EXPECT_TRUE(within(std::chrono::seconds(3), [] { return gOutputCalls >= kOutputCalls; }));
    AudioTimeStamp now;
    EXPECT_EQ(AudioDeviceGetCurrentTime(device, &now), 0);
    EXPECT_EQ(AudioDeviceStop(device, input), 0);
    const int inputCalls = gInputCalls;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(gInputCalls, inputCalls);
    EXPECT_EQ(gOutputCalls, kOutputCalls);
    EXPECT_EQ(gStoppedInside, 0);
    EXPECT_EQ(gOutOfStep, 0);
    EXPECT_EQ(AudioDeviceGetCurrentTime(device, &now), kAudioHardwareNotRunningError);

    // A server that stops: gone, for the running device and for a new look; removing the
    // procedures waits for nothing.
    ASSERT_EQ(AudioDeviceStart(device, input), 0);
    stopJackServer(server);
    EXPECT_TRUE(within(std::chrono::seconds(2), [&] {
        return AudioDeviceGetCurrentTime(device, &now) == kAudioHardwareServerGoneError;
    }));
    EXPECT_EQ(AudioDeviceStart(device, output), kAudioHardwareServerGoneError);
    EXPECT_EQ(AudioDeviceRemoveIOProc(device, input), 0);
    EXPECT_EQ(AudioDeviceRemoveIOProc(device, output), 0);
    // Back: a new device, its port connected again to where it was, and not a word about
    // the old client.
    testing::internal::CaptureStderr();
    EXPECT_EQ(lookUp(&status), 0u);
    EXPECT_EQ(status, kAudioHardwareServerGoneError);
    server = startJackServer(gServer, "300");
    ASSERT_TRUE(within(std::chrono::seconds(5), [&] { return (device = lookUp()) != 0; }));
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(said.find("closed"), std::string::npos) << said;
    jack_client_t* const probe =
        jack_client_open("probe", static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                         nullptr, gServer.c_str());
    ASSERT_NE(probe, nullptr);
    EXPECT_TRUE(
        jack_port_connected_to(jack_port_by_name(probe, "guitar-tuner:in"), "system:capture_1"));
    jack_client_close(probe);
    stopJackServer(server);
}

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    gServer = testJackServer();
    if (gServer.empty()) {
        return 77;
    }
    // No ALSA device, as while the server holds the card: PortAudio stays out of it.
    const std::string empty = TUNER_BINARY_DIR "/no-audio-devices.conf";
    std::ofstream(empty) << "# no devices\n";
    setenv("ALSA_CONFIG_PATH", empty.c_str(), 1);
    return RUN_ALL_TESTS();
}
