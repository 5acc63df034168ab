// The PortAudio backend, with ALSA's default devices replaced by the paced test devices
// (tools/test-audio/paced-alsa.sh): the capture device plays a strike of a recorded E4 note,
// looped, left channel as recorded and right negated, at 44100 frames per second, bit for
// bit. The devices' properties; the backend hands the recording to a procedure on a thread
// of its own, with sample times, and stops procedures from inside and from outside, and when
// the playback device vanishes. (The engine on this backend, the note reaching the window as
// its replay reaches it, is the end-to-end runs': e2e_live_note and e2e_fault_campaign.)
// ALSA reads its configuration once per process, so main() runs the program again under
// paced-alsa.sh.
#include "audio/hal/BoundaryTest.h"

#include <algorithm>
#include <filesystem>
#include <set>

namespace {

// One strike of the note, looped: the onset at 0.5 s and two seconds of it.
constexpr int kStrikeFrames = 109912;
const std::string gRecording =
    std::string(std::getenv("TUNER_CORPUS_DIR") != nullptr ? std::getenv("TUNER_CORPUS_DIR")
                                                           : TUNER_CORPUS_DIR) +
    "/public/fluidr3_steel_E4_+00c.flac";
const std::string gInput = TUNER_BINARY_DIR "/real_backend_e4.raw";

constexpr int kKept = 64; // calls looked at

} // namespace

TEST(RealBackend, ProceduresRunOnTheirOwnThreadsWithTheFileBitForBit) {
    const AudioDeviceID in = lookUp(kIn), out = lookUp(kOut);
    // Both ALSA's default, in the recording's format, with PortAudio's latency.
    for (const auto& [device, isInput] : {std::pair(in, 1), std::pair(out, 0)}) {
        const auto offset =
            propertyOf<std::uint32_t>(device, isInput, kAudioDevicePropertySafetyOffset);
        EXPECT_EQ(
            std::tuple(nameOf(device, isInput), floatAt44100(device, isInput, 2),
                       propertyOf<std::uint32_t>(device, isInput, kAudioDevicePropertyBufferSize),
                       offset > 0 && offset < 44100),
            std::tuple("default", true, 4096u, true))
            << "input: " << isInput << ", safety offset " << offset;
    }
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

    // The capture device plays the recording bit for bit from wherever it stands: the first
    // block with sound shows where.
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
