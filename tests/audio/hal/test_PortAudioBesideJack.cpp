// The PortAudio path beside a JACK server that comes and goes: the tuner held to PortAudio
// (GUITAR_TUNER_AUDIO=alsa, set by the test's environment with a private
// JACK_DEFAULT_SERVER) begins PortAudio afresh at each look for the devices, twenty times,
// each time with a server running that is stopped at a random moment (seeded) while
// PortAudio begins. PortAudio must find the ALSA device, never reach the server through its
// JACK host API (which aborts the process when the server goes away under it), and never
// hang. In a process of its own: ALSA reads its configuration once.
#include "AudioHardware.h"
#include "PrivateJackServer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <jack/jack.h>
#include <portaudio.h>
#include <random>

namespace {

std::string gServer; // the private server's name, from the test's environment

bool serverAnswers() {
    jack_client_t* client =
        jack_client_open("probe", static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                         nullptr, gServer.c_str());
    if (client != nullptr) {
        jack_client_close(client);
    }
    return client != nullptr;
}

} // namespace

TEST(PortAudioBesideJack, AServerComingAndGoingNeitherAbortsNorHangs) {
    const unsigned seed = std::random_device{}();
    std::printf("seed %u\n", seed);
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> stopAfter(0, 250); // ms into PortAudio's beginning
    for (int run = 0; run < 20; ++run) {
        SCOPED_TRACE(testing::Message() << "run " << run << ", seed " << seed);
        const pid_t server = startJackServer(gServer, "256");
        ASSERT_NE(server, 0) << "jackd would not start";
        within(std::chrono::seconds(5), serverAnswers);
        // PortAudio lists its devices afresh once its list is half a second old.
        std::this_thread::sleep_for(std::chrono::milliseconds(520));
        const int delay = stopAfter(random);
        std::thread stopper([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(delay));
            kill(server, SIGTERM);
        });
        const auto began = std::chrono::steady_clock::now();
        AudioDeviceID device = 0;
        std::uint32_t size = sizeof device;
        EXPECT_EQ(
            AudioHardwareGetProperty(kAudioHardwarePropertyDefaultInputDevice, &size, &device), 0);
        EXPECT_NE(device, 0u);
        EXPECT_LT(Pa_HostApiTypeIdToHostApiIndex(paJACK), 0) << "PortAudio reached the JACK server";
        EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(3));
        stopper.join();
        waitpid(server, nullptr, 0);
    }
}

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    gServer = testJackServer();
    if (gServer.empty()) {
        return 77;
    }
    // A default PCM that opens anywhere: PortAudio lists it as ALSA's default device.
    const std::string config = TUNER_BINARY_DIR "/null-audio-device.conf";
    std::ofstream(config) << "pcm.!default { type null }\n";
    setenv("ALSA_CONFIG_PATH", config.c_str(), 1);
    return RUN_ALL_TESTS();
}
