// The sound-server backend through the audio boundary, inside a private session whose
// default source has 32 channels in the pro-audio layout, the strike on channel 6 and 50 Hz
// hum on channel 2, beside a 1-channel source "guitar-2" (pipewire-session.sh, as
// CMakeLists.txt runs it, on PipeWire or on a real PulseAudio daemon): the devices as the
// server describes them, every channel kept apart with sample times counting on, the user's
// choice of another default source, a server that stops and comes back, and one that hangs.
// (That a procedure is called no more once stopped, and is added once, is the boundary's own:
// test_RealBackend.cpp checks it.)
#include "BoundaryTest.h"
#include "PulseBackend.h"

#include <cmath>

namespace {

constexpr std::uint32_t kChannels = 32; // as many as a stream can have
constexpr std::uint32_t kStrike = 5;    // from 0
constexpr std::uint32_t kHum = 1;

void session(const std::string& request) {
    const std::string command = TUNER_SOURCE_DIR "/tools/test-audio/pipewire-session.sh " + request;
    ASSERT_EQ(std::system(command.c_str()), 0) << request;
}

constexpr int kOutputCalls = 100; // after which the output procedure stops itself

} // namespace

TEST(PulseBackend, DevicesAsTheServerHasThemAndEveryChannelApart) {
    const AudioDeviceID in = lookUp(kIn), out = lookUp(kOut);
    ASSERT_TRUE(in != 0 && out != 0 && in != out);
    EXPECT_EQ(nameOf(in, 1), "Guitar interface");
    EXPECT_NE(nameOf(out, 0), "");
    EXPECT_TRUE(floatAt44100(in, 1, kChannels) && floatAt44100(out, 0, 2));
    // The source's volume is at 100 %.
    EXPECT_EQ(
        std::tuple(propertyOf<std::uint32_t>(in, 1, kAudioDevicePropertyBufferSize),
                   propertyOf<double>(in, 1, kAudioDevicePropertyNominalSampleRate),
                   propertyOf<float>(in, 1, kAudioDevicePropertyVolumeDecibels, 0, 1)),
        std::tuple(512 * kChannels * 4, std::atof(std::getenv("TUNER_TEST_SERVER_RATE")), 0.0f));
    // No more latency than the streams ask for, whatever an idle device last ran at (a
    // PulseAudio null sink: 2 s).
    EXPECT_LE(propertyOf<std::uint32_t>(in, 1, kAudioDevicePropertySafetyOffset), 512u);
    EXPECT_LE(propertyOf<std::uint32_t>(out, 0, kAudioDevicePropertySafetyOffset), 1024u);
    // A source does not play; no other device is known.
    propertyOf<std::uint32_t>(in, 0, kAudioDevicePropertyBufferSize, kAudioHardwareBadStreamError);
    propertyOf<std::uint32_t>(in + out + 1, 1, kAudioDevicePropertyBufferSize,
                              kAudioHardwareBadDeviceError);
    EXPECT_EQ(lookUp(kIn), in) << "the same default";

    startBoth(in, out, kOutputCalls);
    // The output stops itself; the input runs for 3 s, so the hum's rate can be counted. A
    // PulseAudio daemon just started sends its first fragments up to 2 s late.
    EXPECT_TRUE(within(5s, [] { return gOut.calls >= kOutputCalls; }))
        << gOut.calls << " output calls";
    ASSERT_TRUE(within(6s, [] { return gIn.calls >= 260; }));
    AudioTimeStamp now;
    EXPECT_EQ(std::tuple(currentTime(in, &now), currentTime(out)),
              std::tuple(0, kAudioHardwareNotRunningError));
    EXPECT_GE(now.mSampleTime, gIn.seen().back().time + 512.0);
    EXPECT_EQ(std::tuple(AudioDeviceStop(in, input), gOut.stoppedInside.load()), std::tuple(0, 0));
    for (std::size_t n = 0; n < gOut.seen().size(); ++n) {
        EXPECT_GE(gOut.kept[n].time, 512.0 * n);
        EXPECT_EQ(gOut.kept[n].buffer.mDataByteSize, 512 * 2 * 4u);
    }
    // Sample times that move on by a block at least, every channel in every block: each
    // channel's level, and the hum channel's swings past a twentieth of full scale either way
    // (so that the recording's dither never counts).
    const auto blocks = gIn.seen();
    double energy[kChannels] = {};
    int crossings = 0;
    bool high = false;
    for (std::size_t n = 0; n < blocks.size(); ++n) {
        const Probe::Call& call = blocks[n];
        EXPECT_TRUE(n == 0 ? call.time == 0.0 : call.time >= blocks[n - 1].time + 512.0) << n;
        EXPECT_EQ(std::pair(call.buffer.mNumberChannels, call.buffer.mDataByteSize),
                  std::pair(kChannels, 512 * kChannels * 4));
        for (std::uint32_t i = 0; i < 512 * kChannels; ++i) {
            const float s = call.samples[i];
            energy[i % kChannels] += double{s} * s;
            const bool swing = i % kChannels == kHum && (high ? s < -0.05f : s > 0.05f);
            high = high != swing;
            crossings += swing ? 1 : 0;
        }
    }
    EXPECT_LT(blocks.back().time - 512.0 * (blocks.size() - 1), 44100.0)
        << "frames lost in a healthy run";
    const double frames = 512.0 * blocks.size();
    EXPECT_NEAR(std::sqrt(energy[kHum] / frames), 0.1 / std::sqrt(2.0), 0.01)
        << "the hum, a tenth of full scale";
    EXPECT_GT(std::sqrt(energy[kStrike] / frames), 0.003) << "the strike";
    // Those two heard, every other channel is silent.
    EXPECT_EQ(std::count(energy, energy + kChannels, 0.0), std::ptrdiff_t{kChannels} - 2);
    EXPECT_NEAR(crossings / (frames / 44100.0), 100.0, 5.0) << "50 Hz on the hum's channel";
    EXPECT_EQ(AudioDeviceRemoveIOProc(in, input) + AudioDeviceRemoveIOProc(out, output), 0);
}

TEST(PulseBackend, AnotherDefaultSourceIsSeenAndFound) {
    const AudioDeviceID in = lookUp(kIn), out = lookUp(kOut);
    startBoth(in, out, kOutputCalls);
    EXPECT_EQ(lookUp(kIn), in) << "kept while streams run";
    ASSERT_TRUE(within(2s, [&] { return currentTime(in) == 0; }));
    const double seen = millisecondsOf([&] {
        EXPECT_EQ(std::system("pactl set-default-source guitar-2"), 0);
        EXPECT_TRUE(
            within(1s, [&] { return currentTime(in) == kAudioHardwareDefaultDeviceChangedError; }));
    });
    std::printf("a new default source seen %.0f ms after pactl started\n", seen);
    EXPECT_EQ(AudioDeviceRemoveIOProc(in, input) + AudioDeviceRemoveIOProc(out, output), 0);
    const AudioDeviceID second = lookUp(kIn);
    EXPECT_TRUE(second != in && second != 0 && floatAt44100(second, 1, 1)) << second;
    EXPECT_EQ(nameOf(second, 1), "Second interface");
    EXPECT_EQ(nameOf(in, 1, kAudioHardwareBadDeviceError), "") << "a stale device is refused";
    EXPECT_EQ(lookUp(kOut), out) << "the same sink";
    // The source in use goes away: a default to look for again, never a stream that failed.
    ASSERT_EQ(AudioDeviceAddIOProc(second, silentProc, nullptr), 0);
    ASSERT_EQ(AudioDeviceStart(second, silentProc), 0);
    ASSERT_TRUE(within(2s, [&] { return currentTime(second) == 0; }));
    ASSERT_EQ(std::system("pactl unload-module $(pactl list short modules | "
                          "grep -E '(sink|source)_name=guitar-2( |$)' | cut -f1)"),
              0);
    OSStatus status = 0;
    within(1s, [&] { return (status = currentTime(second)) != 0; });
    EXPECT_EQ(status, kAudioHardwareDefaultDeviceChangedError);
    EXPECT_EQ(AudioDeviceRemoveIOProc(second, silentProc), 0);
    ASSERT_EQ(std::system("pactl set-default-source guitar"), 0);
}

TEST(PulseBackend, AStoppedServerIsGoneAndFoundAgain) {
    const AudioDeviceID in = lookUp(kIn);
    ASSERT_TRUE(floatAt44100(in, 1, kChannels));
    ASSERT_EQ(AudioDeviceAddIOProc(in, input, nullptr), 0);
    ASSERT_EQ(AudioDeviceStart(in, input), 0);
    session("stop");
    EXPECT_TRUE(within(1s, [&] { return currentTime(in) == kAudioHardwareServerGoneError; }));
    EXPECT_EQ(AudioDeviceStart(in, input), kAudioHardwareServerGoneError);
    EXPECT_EQ(AudioDeviceRemoveIOProc(in, input), 0);
    EXPECT_EQ(lookUp(kIn, kAudioHardwareServerGoneError), 0u) << "still the sound server's word";
    session("start");
    const AudioDeviceID again = inputWithin(3s);
    EXPECT_TRUE(again != in && again != 0 && floatAt44100(again, 1, kChannels)) << again;
}

TEST(PulseBackend, AHungServerKeepsNoCallPastTheBound) {
    const AudioDeviceID in = lookUp(kIn), out = lookUp(kOut);
    ASSERT_EQ(AudioDeviceAddIOProc(in, input, nullptr), 0);
    ASSERT_EQ(AudioDeviceStart(in, input), 0);
    // A backend of its own with a stream running, to be let go of while the server hangs.
    PulseBackend own;
    ASSERT_TRUE(own.available());
    std::uint32_t size = sizeof(AudioDeviceID);
    AudioDeviceID ownIn = 0;
    ASSERT_EQ(own.getHardwareProperty(kIn, &size, &ownIn), 0);
    ASSERT_EQ(own.addIOProc(ownIn, input, nullptr), 0);
    session("freeze");
    std::this_thread::sleep_for(200ms);

    // How long each call takes under the hung server.
    const double released = millisecondsOf([&] { own.release(); });
    const double added = millisecondsOf([&] {
        EXPECT_EQ(AudioDeviceAddIOProc(out, output, nullptr), kAudioHardwareNotRespondingError);
    });
    const double stopped = millisecondsOf([&] {
        EXPECT_EQ(currentTime(in), 0);
        EXPECT_EQ(AudioDeviceStop(in, input) + AudioDeviceRemoveIOProc(in, input), 0);
    });
    const double looked =
        millisecondsOf([&] { EXPECT_EQ(lookUp(kIn, kAudioHardwareNotRespondingError), 0u); });
    std::printf("under a hung server: release %.1f ms, add %.0f ms, time+stop+remove %.1f ms, "
                "look %.0f ms\n",
                released, added, stopped, looked);
    // Letting go and stopping never wait for the server (an answer is waited for up to 1 s),
    // even on a loaded machine; the quit's bound of 350 ms relies on it.
    EXPECT_TRUE(released < 250.0 && stopped < 250.0 && added < 1300.0 && looked < 1300.0);
    session("thaw");
    EXPECT_NE(inputWithin(2s), 0u);
}

int main(int argc, char** argv) {
    return runTests(argc, argv, {"PIPEWIRE_SESSION_CONTROL", "TUNER_TEST_SERVER_RATE"});
}
