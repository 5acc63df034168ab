// The PortAudio path beside a JACK server that comes and goes: the tuner held to PortAudio
// (GUITAR_TUNER_AUDIO=alsa, set by the test's environment with a private
// JACK_DEFAULT_SERVER) begins PortAudio afresh at each look for the devices, twenty times,
// each time with a server running that is stopped at a random moment (seeded) while
// PortAudio begins. PortAudio must find the ALSA device, never reach the server through its
// JACK host API (which aborts the process when the server goes away under it), and never
// hang. In a process of its own: ALSA reads its configuration once.
#include "BoundaryTest.h"

#include <jack/jack.h>
#include <portaudio.h>
#include <random>

namespace {

bool serverAnswers() {
    jack_client_t* client =
        jack_client_open("probe", static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                         nullptr, std::getenv("TUNER_TEST_JACK_SERVER"));
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
    auto looked = std::chrono::steady_clock::now();
    for (int run = 0; run < 20; ++run) {
        SCOPED_TRACE(testing::Message() << "run " << run << ", seed " << seed);
        JackServer server(std::getenv("TUNER_TEST_JACK_SERVER"), "256");
        ASSERT_GT(server.pid, 0) << "jackd would not start";
        within(5s, serverAnswers);
        // PortAudio lists its devices afresh once its list, made in the last look, is half a
        // second old.
        std::this_thread::sleep_until(looked + 520ms);
        const int delay = stopAfter(random);
        std::thread stopper([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(delay));
            kill(server.pid, SIGTERM);
        });
        const auto began = std::chrono::steady_clock::now();
        EXPECT_NE(lookUp(kIn), 0u);
        looked = std::chrono::steady_clock::now();
        EXPECT_LT(Pa_HostApiTypeIdToHostApiIndex(paJACK), 0) << "PortAudio reached the JACK server";
        EXPECT_LT(looked - began, 3s);
        stopper.join();
    }
}

// A default PCM that opens anywhere: PortAudio lists it as ALSA's default device.
int main(int argc, char** argv) {
    return runTests(argc, argv, {"TUNER_TEST_JACK_SERVER"}, "pcm.!default { type null }\n");
}
