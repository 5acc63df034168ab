// The JACK backend through the audio boundary, on a private dummy server (its name from the
// test's environment): the device as the engine sees it, both procedures called in the
// process cycle with consecutive sample times, input before output, stops from inside and
// from outside, the server's stop seen as gone, and a restarted server found again with the
// port connected as before. (That a procedure is called no more once stopped, and that one
// not added cannot start, is the boundary's own: test_RealBackend.cpp checks it.) In a
// process of its own: the backend takes the server's name once, before main.
#include "BoundaryTest.h"

#include <jack/jack.h>

constexpr int kOutputCalls = 50; // after which the output procedure stops itself

TEST(JackBackend, ProceduresRunInTheCycleStopAndTheServerComesBack) {
    const char* const name = std::getenv("TUNER_TEST_JACK_SERVER");
    JackServer server(name, "300");
    ASSERT_GT(server.pid, 0);
    const AudioDeviceID device = inputWithin(5s);
    ASSERT_NE(device, 0u);
    EXPECT_NE(nameOf(device, 1).find("48000 Hz, 300-frame periods"), std::string::npos)
        << nameOf(device, 1);
    // The device's own rate is the server's; each block reaches the procedures in the cycle
    // that completes it.
    EXPECT_EQ(std::tuple(floatAt44100(device, 1, 2),
                         propertyOf<std::uint32_t>(device, 1, kAudioDevicePropertyBufferSize),
                         propertyOf<double>(device, 1, kAudioDevicePropertyNominalSampleRate),
                         propertyOf<std::uint32_t>(device, 1, kAudioDevicePropertySafetyOffset)),
              std::tuple(true, 4096u, 48000.0, 0u));
    std::uint32_t bytes = 0;
    EXPECT_EQ(AudioDeviceGetProperty(device, 0, 1, kAudioDevicePropertyBufferSize, nullptr, &bytes),
              kAudioHardwareBadPropertySizeError);

    startBoth(device, device, kOutputCalls);
    // The output stops itself; the input goes on until stopped from here.
    ASSERT_TRUE(within(3s, [] { return gOut.calls >= kOutputCalls; }));
    EXPECT_EQ(currentTime(device), 0);
    EXPECT_EQ(std::tuple(AudioDeviceStop(device, input), gOut.stoppedInside.load()),
              std::tuple(0, 0));
    EXPECT_EQ(currentTime(device), kAudioHardwareNotRunningError);
    // Consecutive blocks from 0 on each clock; each output call comes right after an input
    // call, in the same cycle, as many input calls ahead all along (the clocks started in
    // different blocks).
    const auto in = gIn.seen(), out = gOut.seen();
    for (std::size_t n = 0; n < in.size(); ++n) {
        EXPECT_EQ(std::pair(in[n].time, in[n].buffer.mDataByteSize), std::pair(512.0 * n, 4096u));
    }
    const std::size_t ahead = out[0].order - 1 - in[0].order; // only inputs came before
    for (std::size_t n = 0; n < out.size(); ++n) {
        EXPECT_TRUE(out[n].time == 512.0 * n && out[n].buffer.mData != nullptr) << n;
        ASSERT_LT(ahead + n, in.size());
        EXPECT_EQ(in[ahead + n].order, out[n].order - 1) << "output call " << n;
    }

    // A server that stops: gone, for the running device and for a new look; removing the
    // procedures waits for nothing.
    ASSERT_EQ(AudioDeviceStart(device, input), 0);
    server.stop();
    EXPECT_TRUE(within(2s, [&] { return currentTime(device) == kAudioHardwareServerGoneError; }));
    EXPECT_EQ(AudioDeviceStart(device, output), kAudioHardwareServerGoneError);
    EXPECT_EQ(AudioDeviceRemoveIOProc(device, input) + AudioDeviceRemoveIOProc(device, output), 0);
    // Back: a new device, its port connected again to where it was, and not a word about
    // the old client.
    testing::internal::CaptureStderr();
    EXPECT_EQ(lookUp(kIn, kAudioHardwareServerGoneError), 0u);
    server.start(name, "300");
    ASSERT_NE(inputWithin(5s), 0u);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(said.find("closed"), std::string::npos) << said;
    jack_client_t* const probe = jack_client_open(
        "probe", static_cast<jack_options_t>(JackNoStartServer | JackServerName), nullptr, name);
    ASSERT_NE(probe, nullptr);
    EXPECT_TRUE(
        jack_port_connected_to(jack_port_by_name(probe, "guitar-tuner:in"), "system:capture_1"));
    jack_client_close(probe);
}

// No ALSA device, as while the server holds the card: PortAudio stays out of it.
int main(int argc, char** argv) {
    return runTests(argc, argv, {"TUNER_TEST_JACK_SERVER"}, "# no devices\n");
}
