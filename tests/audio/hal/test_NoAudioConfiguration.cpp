// The audio boundary on a machine where ALSA has no devices at all: no default device,
// failing statuses, no crash, and none of ALSA's own complaints on the standard error
// stream; only, once, what the choice of backend rests on where it is not the usual
// (TUNER_EXPECT_SAID: a GUITAR_TUNER_AUDIO it does not know, PipeWire's libjack).
#include "BoundaryTest.h"

TEST(NoAudioConfiguration, NoDeviceFailingStatusesAndAQuietStandardError) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(std::pair(lookUp(kIn, kFailing), lookUp(kOut, kFailing)), std::pair(0u, 0u));
    std::uint32_t size = 4;
    EXPECT_NE(AudioDeviceGetProperty(0, 0, 1, kAudioDevicePropertyBufferSize, &size, &size), 0);
    EXPECT_NE(AudioDeviceAddIOProc(0, silentProc, nullptr), 0);
    EXPECT_NE(AudioDeviceStart(0, silentProc), 0);
    AudioDeviceStop(0, silentProc); // returns, whatever it says: nothing to wait for
    EXPECT_NE(currentTime(0), 0);
    const char* const said = std::getenv("TUNER_EXPECT_SAID");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              said != nullptr ? std::string(said) + "\n" : std::string());
}

int main(int argc, char** argv) {
    return runTests(argc, argv, {}, "# no devices\n");
}
