// The sound-server backend through the audio boundary, inside a private session whose
// default source has 8 channels in the pro-audio layout, the strike on channel 6 and 50 Hz
// hum on channel 2, beside a 1-channel source "guitar-2" (pipewire-session.sh, as
// CMakeLists.txt runs it, on PipeWire or on a real PulseAudio daemon): the devices as the
// server describes them, every channel kept apart with sample times counting on, the user's
// choice of another default source, a server that stops and comes back, and one that hangs.
#include "AudioHardware.h"
#include "PrivateJackServer.h"
#include "PulseBackend.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <string>

namespace {

constexpr std::uint32_t kChannels = 8;
constexpr std::uint32_t kStrike = 5; // from 0
constexpr std::uint32_t kHum = 1;

using Clock = std::chrono::steady_clock;

AudioDeviceID lookUp(AudioHardwarePropertyID property, OSStatus* status = nullptr) {
    AudioDeviceID device = 0;
    std::uint32_t size = sizeof device;
    const OSStatus result = AudioHardwareGetProperty(property, &size, &device);
    if (status != nullptr) {
        *status = result;
    }
    return device;
}

AudioStreamBasicDescription formatOf(AudioDeviceID device, std::uint8_t isInput) {
    AudioStreamBasicDescription format{};
    std::uint32_t size = sizeof format;
    EXPECT_EQ(AudioDeviceGetProperty(device, 0, isInput, kAudioDevicePropertyStreamFormat, &size,
                                     &format),
              0);
    return format;
}

std::string nameOf(AudioDeviceID device, std::uint8_t isInput) {
    char name[256] = {};
    std::uint32_t size = sizeof name;
    return AudioDeviceGetProperty(device, 0, isInput, kAudioDevicePropertyDeviceName, &size,
                                  name) == 0
               ? name
               : "";
}

void session(const std::string& request) {
    ASSERT_EQ(
        std::system((TUNER_SOURCE_DIR "/tools/test-audio/pipewire-session.sh " + request).c_str()),
        0)
        << request;
}

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// What the input heard: each channel's energy, the hum channel's swings past a twentieth of
// full scale either way (so that the recording's dither never counts), and blocks whose
// sample time did not move on by at least a block.
std::atomic<int> gBlocks{0};
std::atomic<int> gOutOfStep{0};
std::atomic<double> gLastInput{-512.0};
double gEnergy[kChannels];      // the input's thread only, read once it is stopped
std::int64_t gHumCrossings = 0; // likewise
bool gHumHigh = false;

OSStatus input(AudioDeviceID, const AudioTimeStamp*, const AudioBufferList* data,
               const AudioTimeStamp* time, AudioBufferList*, const AudioTimeStamp*, void*) {
    const double last = gLastInput.load();
    gOutOfStep += (last < 0.0 ? time->mSampleTime != 0.0 : time->mSampleTime < last + 512.0) ||
                  data->mBuffers[0].mNumberChannels != kChannels ||
                  data->mBuffers[0].mDataByteSize != 512 * kChannels * sizeof(float);
    gLastInput = time->mSampleTime;
    const auto* samples = static_cast<const float*>(data->mBuffers[0].mData);
    for (std::uint32_t frame = 0; frame < 512; ++frame) {
        for (std::uint32_t channel = 0; channel < kChannels; ++channel) {
            const float sample = samples[frame * kChannels + channel];
            gEnergy[channel] += double{sample} * sample;
        }
        const float hum = samples[frame * kChannels + kHum];
        if (gHumHigh ? hum < -0.05f : hum > 0.05f) {
            gHumHigh = !gHumHigh;
            ++gHumCrossings;
        }
    }
    ++gBlocks;
    return 0;
}

constexpr int kOutputCalls = 100;
std::atomic<int> gOutputCalls{0};
std::atomic<OSStatus> gStoppedInside{-1};

OSStatus output(AudioDeviceID device, const AudioTimeStamp*, const AudioBufferList*,
                const AudioTimeStamp*, AudioBufferList* data, const AudioTimeStamp* time, void*) {
    gOutOfStep += time->mSampleTime < 512.0 * gOutputCalls.load() ||
                  data->mBuffers[0].mDataByteSize != 512 * 2 * sizeof(float);
    if (++gOutputCalls == kOutputCalls) {
        gStoppedInside = AudioDeviceStop(device, output);
    }
    return 0;
}

} // namespace

TEST(PulseBackend, DevicesAsTheServerHasThemAndEveryChannelApart) {
    OSStatus status = -1;
    const AudioDeviceID in = lookUp(kAudioHardwarePropertyDefaultInputDevice, &status);
    EXPECT_EQ(status, 0);
    const AudioDeviceID out = lookUp(kAudioHardwarePropertyDefaultOutputDevice, &status);
    EXPECT_EQ(status, 0);
    ASSERT_NE(in, 0u);
    ASSERT_NE(out, 0u);
    EXPECT_NE(in, out);
    EXPECT_EQ(nameOf(in, 1), "Guitar interface");
    EXPECT_NE(nameOf(out, 0), "");
    const AudioStreamBasicDescription format = formatOf(in, 1);
    EXPECT_EQ(format.mChannelsPerFrame, kChannels);
    EXPECT_EQ(format.mBytesPerFrame, kChannels * 4);
    EXPECT_EQ(format.mSampleRate, 44100.0);
    EXPECT_EQ(format.mFormatFlags, kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked);
    EXPECT_EQ(formatOf(out, 0).mChannelsPerFrame, 2u);
    std::uint32_t bytes = 0;
    std::uint32_t size = sizeof bytes;
    EXPECT_EQ(AudioDeviceGetProperty(in, 0, 1, kAudioDevicePropertyBufferSize, &size, &bytes), 0);
    EXPECT_EQ(bytes, 512 * kChannels * 4);
    double rate = 0.0;
    size = sizeof rate;
    EXPECT_EQ(AudioDeviceGetProperty(in, 0, 1, kAudioDevicePropertyNominalSampleRate, &size, &rate),
              0);
    EXPECT_EQ(rate, std::atof(std::getenv("TUNER_TEST_SERVER_RATE")));
    float decibels = -1.0f;
    size = sizeof decibels;
    EXPECT_EQ(
        AudioDeviceGetProperty(in, 1, 1, kAudioDevicePropertyVolumeDecibels, &size, &decibels), 0);
    EXPECT_EQ(decibels, 0.0f) << "the source's volume is at 100 %";
    EXPECT_EQ(AudioDeviceGetProperty(in, 0, 0, kAudioDevicePropertyBufferSize, &size, &bytes),
              kAudioHardwareBadStreamError)
        << "a source does not play";
    EXPECT_EQ(
        AudioDeviceGetProperty(in + out + 1, 0, 1, kAudioDevicePropertyBufferSize, &size, &bytes),
        kAudioHardwareBadDeviceError);
    EXPECT_EQ(lookUp(kAudioHardwarePropertyDefaultInputDevice), in) << "the same default";

    ASSERT_EQ(AudioDeviceAddIOProc(in, input, nullptr), 0);
    ASSERT_EQ(AudioDeviceAddIOProc(out, output, nullptr), 0);
    EXPECT_EQ(AudioDeviceAddIOProc(out, output, nullptr), kAudioHardwareIllegalOperationError);
    ASSERT_EQ(AudioDeviceStart(in, input), 0);
    ASSERT_EQ(AudioDeviceStart(out, output), 0);
    // The output stops itself; the input runs for 3 s, so the hum's rate can be counted. A
    // PulseAudio daemon just started sends its first fragments up to 2 s late.
    EXPECT_TRUE(within(std::chrono::seconds(5), [] { return gOutputCalls >= kOutputCalls; }))
        << gOutputCalls << " output calls";
    EXPECT_TRUE(within(std::chrono::seconds(6), [] { return gBlocks >= 260; }));
    AudioTimeStamp now;
    EXPECT_EQ(AudioDeviceGetCurrentTime(in, &now), 0);
    EXPECT_GE(now.mSampleTime, gLastInput.load() + 512.0);
    EXPECT_EQ(AudioDeviceGetCurrentTime(out, &now), kAudioHardwareNotRunningError);
    EXPECT_EQ(AudioDeviceStop(in, input), 0);
    const int blocks = gBlocks;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(gBlocks, blocks) << "not called after its stop";
    EXPECT_EQ(gOutputCalls, kOutputCalls);
    EXPECT_EQ(gStoppedInside, 0);
    EXPECT_EQ(gOutOfStep, 0);
    EXPECT_LT(gLastInput.load() - 512.0 * (blocks - 1), 44100.0) << "frames lost in a healthy run";
    const double frames = 512.0 * blocks;
    for (std::uint32_t channel = 0; channel < kChannels; ++channel) {
        const double level = std::sqrt(gEnergy[channel] / frames);
        if (channel == kHum) {
            EXPECT_NEAR(level, 0.1 / std::sqrt(2.0), 0.01) << "the hum, a tenth of full scale";
        } else if (channel == kStrike) {
            EXPECT_GT(level, 0.003) << "the strike";
        } else {
            EXPECT_EQ(level, 0.0) << "channel " << channel + 1 << " is silent";
        }
    }
    EXPECT_NEAR(static_cast<double>(gHumCrossings) / (frames / 44100.0), 100.0, 5.0)
        << "50 Hz on the hum's channel";
    EXPECT_EQ(AudioDeviceRemoveIOProc(in, input), 0);
    EXPECT_EQ(AudioDeviceRemoveIOProc(out, output), 0);
}

TEST(PulseBackend, AnotherDefaultSourceIsSeenAndFound) {
    const AudioDeviceID in = lookUp(kAudioHardwarePropertyDefaultInputDevice);
    const AudioDeviceID out = lookUp(kAudioHardwarePropertyDefaultOutputDevice);
    ASSERT_EQ(AudioDeviceAddIOProc(in, input, nullptr), 0);
    ASSERT_EQ(AudioDeviceAddIOProc(out, output, nullptr), 0);
    ASSERT_EQ(AudioDeviceStart(in, input), 0);
    ASSERT_EQ(AudioDeviceStart(out, output), 0);
    EXPECT_EQ(lookUp(kAudioHardwarePropertyDefaultInputDevice), in) << "kept while streams run";
    AudioTimeStamp now;
    ASSERT_TRUE(
        within(std::chrono::seconds(2), [&] { return AudioDeviceGetCurrentTime(in, &now) == 0; }));
    const auto changed = Clock::now();
    ASSERT_EQ(std::system("pactl set-default-source guitar-2"), 0);
    EXPECT_TRUE(within(std::chrono::seconds(1), [&] {
        return AudioDeviceGetCurrentTime(in, &now) == kAudioHardwareDefaultDeviceChangedError;
    }));
    std::printf("a new default source seen %.0f ms after pactl started\n",
                millisecondsSince(changed));
    EXPECT_EQ(AudioDeviceRemoveIOProc(in, input), 0);
    EXPECT_EQ(AudioDeviceRemoveIOProc(out, output), 0);
    const AudioDeviceID second = lookUp(kAudioHardwarePropertyDefaultInputDevice);
    EXPECT_NE(second, in);
    EXPECT_NE(second, 0u);
    EXPECT_EQ(formatOf(second, 1).mChannelsPerFrame, 1u);
    EXPECT_EQ(nameOf(second, 1), "Second interface");
    EXPECT_EQ(nameOf(in, 1), "") << "a stale device is refused";
    EXPECT_EQ(lookUp(kAudioHardwarePropertyDefaultOutputDevice), out) << "the same sink";
    // The source in use goes away: a default to look for again, never a stream that failed.
    const AudioDeviceIOProc quiet = [](AudioDeviceID, const AudioTimeStamp*, const AudioBufferList*,
                                       const AudioTimeStamp*, AudioBufferList*,
                                       const AudioTimeStamp*, void*) -> OSStatus { return 0; };
    ASSERT_EQ(AudioDeviceAddIOProc(second, quiet, nullptr), 0);
    ASSERT_EQ(AudioDeviceStart(second, quiet), 0);
    ASSERT_TRUE(within(std::chrono::seconds(2),
                       [&] { return AudioDeviceGetCurrentTime(second, &now) == 0; }));
    ASSERT_EQ(std::system("pactl unload-module $(pactl list short modules | "
                          "grep -E '(sink|source)_name=guitar-2( |$)' | cut -f1)"),
              0);
    OSStatus status = 0;
    EXPECT_TRUE(within(std::chrono::seconds(1),
                       [&] { return (status = AudioDeviceGetCurrentTime(second, &now)) != 0; }));
    EXPECT_EQ(status, kAudioHardwareDefaultDeviceChangedError);
    EXPECT_EQ(AudioDeviceRemoveIOProc(second, quiet), 0);
    ASSERT_EQ(std::system("pactl set-default-source guitar"), 0);
}

TEST(PulseBackend, AStoppedServerIsGoneAndFoundAgain) {
    const AudioDeviceID in = lookUp(kAudioHardwarePropertyDefaultInputDevice);
    ASSERT_EQ(formatOf(in, 1).mChannelsPerFrame, kChannels);
    ASSERT_EQ(AudioDeviceAddIOProc(in, input, nullptr), 0);
    ASSERT_EQ(AudioDeviceStart(in, input), 0);
    session("stop");
    AudioTimeStamp now;
    EXPECT_TRUE(within(std::chrono::seconds(1), [&] {
        return AudioDeviceGetCurrentTime(in, &now) == kAudioHardwareServerGoneError;
    }));
    EXPECT_EQ(AudioDeviceStart(in, input), kAudioHardwareServerGoneError);
    EXPECT_EQ(AudioDeviceRemoveIOProc(in, input), 0);
    OSStatus status = 0;
    EXPECT_EQ(lookUp(kAudioHardwarePropertyDefaultInputDevice, &status), 0u);
    EXPECT_EQ(status, kAudioHardwareServerGoneError) << "still the sound server's word";
    session("start");
    AudioDeviceID again = 0;
    EXPECT_TRUE(within(std::chrono::seconds(3), [&] {
        return (again = lookUp(kAudioHardwarePropertyDefaultInputDevice)) != 0;
    }));
    EXPECT_NE(again, in);
    EXPECT_EQ(formatOf(again, 1).mChannelsPerFrame, kChannels);
}

TEST(PulseBackend, AHungServerKeepsNoCallPastTheBound) {
    const AudioDeviceID in = lookUp(kAudioHardwarePropertyDefaultInputDevice);
    const AudioDeviceID out = lookUp(kAudioHardwarePropertyDefaultOutputDevice);
    ASSERT_EQ(AudioDeviceAddIOProc(in, input, nullptr), 0);
    ASSERT_EQ(AudioDeviceStart(in, input), 0);
    // A backend of its own with a stream running, to be let go of while the server hangs.
    PulseBackend own;
    ASSERT_TRUE(own.available());
    std::uint32_t size = sizeof(AudioDeviceID);
    AudioDeviceID ownIn = 0;
    ASSERT_EQ(own.getHardwareProperty(kAudioHardwarePropertyDefaultInputDevice, &size, &ownIn), 0);
    ASSERT_EQ(own.addIOProc(ownIn, input, nullptr), 0);
    session("freeze");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    auto start = Clock::now();
    own.release();
    const double released = millisecondsSince(start);
    EXPECT_LT(released, 20.0);
    start = Clock::now();
    EXPECT_EQ(AudioDeviceAddIOProc(out, output, nullptr), kAudioHardwareNotRespondingError);
    const double added = millisecondsSince(start);
    AudioTimeStamp now;
    start = Clock::now();
    EXPECT_EQ(AudioDeviceGetCurrentTime(in, &now), 0);
    EXPECT_EQ(AudioDeviceStop(in, input), 0);
    EXPECT_EQ(AudioDeviceRemoveIOProc(in, input), 0);
    const double stopped = millisecondsSince(start);
    OSStatus status = 0;
    start = Clock::now();
    EXPECT_EQ(lookUp(kAudioHardwarePropertyDefaultInputDevice, &status), 0u);
    const double looked = millisecondsSince(start);
    EXPECT_EQ(status, kAudioHardwareNotRespondingError);
    std::printf("under a hung server: release %.1f ms, add %.0f ms, time+stop+remove %.1f ms, "
                "look %.0f ms\n",
                released, added, stopped, looked);
    EXPECT_LT(added, 1300.0);
    EXPECT_LT(stopped, 20.0);
    EXPECT_LT(looked, 1300.0);
    session("thaw");
    EXPECT_TRUE(within(std::chrono::seconds(2),
                       [] { return lookUp(kAudioHardwarePropertyDefaultInputDevice) != 0; }));
}

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (std::getenv("PIPEWIRE_SESSION_CONTROL") == nullptr ||
        std::getenv("TUNER_TEST_SERVER_RATE") == nullptr) {
        std::fprintf(stderr, "not inside a sound-server session (see CMakeLists.txt); skipped\n");
        return 77;
    }
    return RUN_ALL_TESTS();
}
