// The PortAudio backend and the engine on it, with ALSA's default devices replaced by the
// paced test devices (tools/test-audio/paced-alsa.sh): the capture device plays a strike of a
// recorded E4 note, looped, left channel as recorded and right negated, at 44100 frames per
// second, bit for bit, from its first frame on for its first reader and on from there for
// the next. The engine finds both devices with the backend's properties, and the note
// reaches the tuner view as its replay reaches it; the backend hands the recording to a
// procedure on a thread of its own, with sample times, and stops procedures from inside
// and from outside. ALSA reads its configuration once per process, so main()
// runs the program again under paced-alsa.sh.
#include "MySoundPort.h"
#include "Replay.h"
#include "SoundView.h"
#include "audio/hal/BoundaryTest.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <set>

namespace {

// One strike of the note, looped: the onset at 0.5 s and two seconds of it. The analysis
// misreads some strikes by design, depending on where its windows fall; replayed at every
// alignment, this loop never has two misread strikes in a row (a loop 338 frames longer has
// up to three).
constexpr int kStrikeFrames = 109912;
const std::string gRecording =
    std::string(std::getenv("TUNER_CORPUS_DIR") != nullptr ? std::getenv("TUNER_CORPUS_DIR")
                                                           : TUNER_CORPUS_DIR) +
    "/public/fluidr3_steel_E4_+00c.flac";
const std::string gInput = TUNER_BINARY_DIR "/real_backend_e4.raw";

constexpr int kKept = 64; // calls looked at

} // namespace

TEST(RealBackend, RecordedNoteReachesTheTunerThroughTheRings) {
    // What the strike, looped, shows delivered evenly at every alignment: every stable
    // reading, and those in tune; worked out first, to take no time from the live analysis.
    std::vector<float> samples;
    ASSERT_EQ(readRecording(gRecording, samples), "");
    samples.resize(kStrikeFrames);
    samples.insert(samples.end(), samples.begin(), samples.end());
    const auto [shown, inTune] = replayShownRanges(samples, 512);
    SoundView view(NSMakeRect(0, 0, 700, 300));
    MySoundPort port;
    port.setSoundView(&view);
    testing::internal::CaptureStderr();
    port.setup();
    const bool running = port.start();
    within(5s, [&] { return port.handshakeDone(); });
    port.computeThruOffset();
    const std::string text = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(running && port.handshakeDone()) << "not started within 5 s: " << text;
    // PortAudio has no volume control: each discovery says so, and nothing else fails.
    EXPECT_EQ(text.find("kAudioDevicePropertyVolumeDecibels error: 1970171760 (unop)\n\n\nInput"),
              0u)
        << text;
    const AudioStreamBasicDescription format{44100.0, kAudioFormatLinearPCM, 9, 8, 1, 8, 2, 32, 0};
    for (const AudioDeviceRecord* record : {&port.mInputDevice, &port.mOutputDevice}) {
        EXPECT_STREQ(record->name, "default");
        EXPECT_EQ(record->bufferSize, 4096u);
        EXPECT_EQ(std::memcmp(&record->format, &format, sizeof format), 0);
        EXPECT_GT(record->safetyOffset, 0u);
        EXPECT_LT(record->safetyOffset, 44100u);
    }
    // Polls as the display would, for four strikes: every stable reading lies within what
    // even delivery shows (the analysis misreads some strikes by design, gliding up from far
    // below, depending on where the analysis windows fall), and strikes settle in tune.
    int stable = 0;
    int settled = 0;
    for (int tries = 0; tries < 60000 && port.mLastInputSampleCount < 4.0 * kStrikeFrames;
         ++tries) {
        if (view.takeNeedsDisplay() && view.mFrequencyStable == 1.0f && view.mFrequency > 0.0f) {
            const float live = view.mDisplayFrequency;
            ++stable;
            settled += live >= inTune.lowest && live <= inTune.highest ? 1 : 0;
            EXPECT_TRUE(live >= shown.lowest && live <= shown.highest) << live;
        }
        std::this_thread::sleep_for(500us);
    }
    EXPECT_GT(settled, 10) << "no strike settled in tune, of " << stable << " stable readings";
}

TEST(RealBackend, ProceduresRunOnTheirOwnThreadsWithTheFileBitForBit) {
    const AudioDeviceID in = lookUp(kIn), out = lookUp(kOut);
    EXPECT_EQ(AudioDeviceStart(in, input), kAudioHardwareIllegalOperationError) << "not added yet";
    // Added input first: the first procedure added to the default input is its input.
    startBoth(in, out, kKept);
    EXPECT_EQ(AudioDeviceAddIOProc(in, input, nullptr), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(currentTime(in), 0);
    // Looking at the devices while their streams run leaves PortAudio, and them, be.
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(lookUp(kIn), in);
    within(5s, [] { return gIn.calls >= kKept && gOut.calls >= kKept; });
    EXPECT_EQ(AudioDeviceStop(in, input), 0);
    const int inputCalls = gIn.calls;
    ASSERT_GE(inputCalls, kKept);
    // The output stopped itself; stopping it again does nothing.
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(gIn.calls, inputCalls) << "called after its stop";
    EXPECT_EQ(gOut.calls, kKept) << "called after stopping itself";
    EXPECT_EQ(AudioDeviceStop(out, output), 0);
    EXPECT_EQ(currentTime(in), kAudioHardwareNotRunningError);
    EXPECT_EQ(AudioDeviceRemoveIOProc(in, input) + AudioDeviceRemoveIOProc(out, output), 0);

    // The capture device goes on where the engine's test left the recording, bit for bit: the
    // first block with sound shows where.
    std::vector<float> file(4 * kStrikeFrames); // two rounds of the loop
    std::ifstream(gInput, std::ios::binary)
        .read(reinterpret_cast<char*>(file.data()), 2 * kStrikeFrames * 4);
    std::copy_n(file.begin(), 2 * kStrikeFrames, file.begin() + 2 * kStrikeFrames);
    int sound = 0;
    while (sound < kKept - 1 &&
           std::count(gIn.kept[sound].samples, gIn.kept[sound].samples + 1024, 0.0f) == 1024) {
        ++sound;
    }
    int at = 0;
    while (at < kStrikeFrames && std::memcmp(&file[2 * at], gIn.kept[sound].samples, 4096) != 0) {
        ++at;
    }
    for (int n = 0; n < kKept; ++n) {
        // Three threads apart: this one, the input's and the output's.
        const std::set threads{std::this_thread::get_id(), gIn.kept[n].thread, gOut.kept[n].thread};
        EXPECT_EQ(std::tuple(threads.size(), gIn.kept[n].time, gOut.kept[n].time),
                  std::tuple(3u, 512.0 * n, 512.0 * n))
            << "call " << n;
        const int frame =
            ((at + (n - sound) * 512) % kStrikeFrames + kStrikeFrames) % kStrikeFrames;
        EXPECT_EQ(std::memcmp(gIn.kept[n].samples, &file[2 * frame], 4096), 0) << "block " << n;
    }

    // A playback device that vanishes fails its stream's next write: the stream ends there,
    // its procedure no longer called, rather than running on against a device that is gone.
    // Only the output runs (the input added first, all the same: see above).
    gOut.calls = 0;
    gOut.stopAfter = 0;
    ASSERT_EQ(AudioDeviceAddIOProc(in, input, nullptr) + AudioDeviceAddIOProc(out, output, nullptr),
              0);
    ASSERT_EQ(AudioDeviceStart(out, output), 0);
    within(2s, [] { return gOut.calls >= 8; });
    const std::string vanish = TUNER_BINARY_DIR "/tools/test-audio/paced-fault.sh \"" +
                               std::string(std::getenv("TUNER_PACED_FOLDER")) +
                               "\" playback vanish inf >/dev/null";
    ASSERT_EQ(std::system(vanish.c_str()), 0);
    const int before = gOut.calls;
    within(2s, [&] { return currentTime(out) != 0; });
    EXPECT_EQ(currentTime(out), kAudioHardwareNotRunningError);
    EXPECT_LT(gOut.calls - before, 16) << "called on after its device vanished";
    EXPECT_EQ(AudioDeviceRemoveIOProc(in, input) + AudioDeviceRemoveIOProc(out, output), 0);
}

int main(int argc, char** argv) {
    if (std::getenv("TUNER_PACED_FOLDER") == nullptr) {
        if (!std::filesystem::exists(gRecording)) {
            std::printf("no recording at %s (set TUNER_CORPUS_DIR): skipped\n", gRecording.c_str());
            return 77;
        }
        std::string command = "sox '" + gRecording + "' -t raw -e floating-point -b 32 -c 2 -r " +
                              "44100 --endian little '" + gInput + "' trim 0 " +
                              std::to_string(kStrikeFrames) + "s remix 1 1v-1 && " +
                              TUNER_BINARY_DIR "/tools/test-audio/paced-alsa.sh --loop '" + gInput +
                              "' -- " + std::filesystem::read_symlink("/proc/self/exe").string();
        for (int i = 1; i < argc; ++i) {
            command += " '" + std::string(argv[i]) + "'";
        }
        const int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : 2;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
