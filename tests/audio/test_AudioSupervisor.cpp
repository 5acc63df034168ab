// The supervisor and the engine on clock threads of the fake boundary, with the waits made
// short, for ThreadSanitizer too: devices that are missing, appear, stall and come back,
// each said once and shown; an input that keeps falling out of step; one device for both
// directions; and a quit that does not wait for a device that will not stop.
#include "AudioBoundary.h"
#include "AudioSupervisor.h"
#include "FakeAudioHardware.h"
#include "MySoundPort.h"
#include "SoundView.h"

#include <gtest/gtest.h>

#include <functional>

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using Status = AudioSupervisor::Status;
using namespace std::chrono_literals;

// Makes the output measure the offset again, as an input that falls out of step does.
struct SoundPortProbe {
    static void resync(MySoundPort& port, std::uint32_t times) { port.mResyncs.fetch_add(times); }
};

namespace {

// A device whose procedures run on clock threads: a square wave, 0.5 left and 0.25 right.
fake::Device running(AudioDeviceID id, bool interleaved = true, bool stalled = false) {
    fake::Device device = fake::device(id, interleaved);
    device.runs = true;
    device.stalled = stalled;
    device.source = [](std::int64_t f, int c) { return (f % 100 < 50 ? 0.5f : -0.5f) / (c + 1); };
    return device;
}

// Whether text says line `times` times (-1: at least once); shows the text when not.
testing::AssertionResult says(const std::string& text, const std::string& line, int times = 1) {
    int n = 0;
    for (auto at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) {
        ++n;
    }
    return testing::AssertionResult(n == times || (times < 0 && n > 0))
           << n << " times \"" << line << "\" in:\n" + text;
}

class SupervisorTest : public testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        port.setSoundView(&view);
        port.mStopBound = 20ms;
        port.mHandshakeSettleFrames = 2048;
        supervisor->mStallBound = 100ms;
        supervisor->mStartBound = 300ms;
        supervisor->mRetryInterval = 30ms;
        CaptureStderr();
    }
    void TearDown() override {
        supervisor->shutdown(1s);
        supervisor.reset(); // waits for a stuck worker, before the devices go
        fake::reset();
        GetCapturedStderr();
    }
    // What the tuner said since the last look.
    std::string said() {
        const std::string text = GetCapturedStderr();
        CaptureStderr();
        return text;
    }
    // Ticks as the main loop would until done() holds; false after `bound`.
    bool tickUntil(const std::function<bool()>& done, std::chrono::milliseconds bound = 3s) {
        for (const auto end = std::chrono::steady_clock::now() + bound;
             std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(2ms)) {
            supervisor->tick();
            if (done()) {
                return true;
            }
        }
        return false;
    }
    bool flowing() {
        return port.handshakeDone() && supervisor->status() == Status::flowing &&
               view.mCurrentVolume.load() == 0.5f;
    }

    SoundView view{NSMakeRect(0, 0, 700, 300)};
    MySoundPort port;
    std::unique_ptr<AudioSupervisor> supervisor = std::make_unique<AudioSupervisor>(port);
};

} // namespace

TEST_F(SupervisorTest, WaitsForDevicesAndStartsAgainThoseThatStop) {
    supervisor->begin();
    ASSERT_TRUE(tickUntil([&] { return supervisor->status() == Status::noInput; }));
    tickUntil([] { return false; }, 200ms); // several retries, no device yet
    std::string text = said();
    EXPECT_TRUE(says(text, "Error - no default input device"));
    EXPECT_TRUE(says(text, "Input Device:")) << "a retry that finds the same says nothing";

    // Devices that refuse the format, then devices another program holds: each said as it is.
    fake::Device refusing = running(kInputId);
    refusing.addStatus = kAudioDeviceUnsupportedFormatError;
    refusing.nominalRate = 48000.0;
    fake::plugIn(refusing, running(kOutputId));
    ASSERT_TRUE(tickUntil([&] { return supervisor->status() == Status::formatRefused; }));
    EXPECT_EQ(supervisor->offeredRate(), 48000.0);
    fake::Device busy = running(kInputId);
    busy.addStatus = kAudioDevicePermissionsError;
    fake::plugIn(busy, running(kOutputId));
    ASSERT_TRUE(tickUntil([&] { return supervisor->status() == Status::deviceBusy; }));
    text = said();
    EXPECT_TRUE(says(text, "Error - the input device does not take 44100 Hz, 2 channels of 32-bit "
                           "float; it runs at 48000 Hz.\n"));
    EXPECT_TRUE(says(text, "Device Name(ID): Fake Device (7)"));

    // The devices appear: audio flows and the reports of the new devices are told.
    fake::plugIn(running(kInputId), running(kOutputId));
    ASSERT_TRUE(tickUntil([&] { return flowing(); }));
    text = said();
    EXPECT_TRUE(says(text, "Device Name(ID): Fake Device (7)", 0)) << "told already";
    EXPECT_TRUE(says(text, "LATENCY REPORT:"));

    // Both devices stall for longer than the bound: said once, shown, tried again until
    // they deliver, the view hearing silence meanwhile (nothing else reaches it); then the
    // same engine runs again.
    fake::plugIn(running(kInputId, true, true), running(kOutputId, true, true));
    ASSERT_TRUE(tickUntil([&] { return supervisor->status() == Status::inputStopped; }));
    EXPECT_TRUE(tickUntil([&] { return view.mCurrentVolume.load() == 0.0f; }));
    // Tried again (stopped a second time) once a start's handshake timed out.
    EXPECT_TRUE(tickUntil([] { return fake::procRecord(kInputId, true).removes >= 2; }));
    EXPECT_EQ(supervisor->status(), Status::inputStopped);
    fake::plugIn(running(kInputId), running(kOutputId));
    ASSERT_TRUE(tickUntil([&] { return flowing(); }));
    text = said();
    EXPECT_TRUE(says(text, "Error - the input device stopped: no input for more than a second"));
    EXPECT_TRUE(says(text, "Error - the input device did not start: no input arrived"));
    // The same devices again: one line, not the whole report.
    EXPECT_TRUE(says(text, "Input Device:", 0) && says(text, "LATENCY REPORT:", 0));
    EXPECT_TRUE(says(text, "Audio running again: input \"Fake Device\", output \"Fake Device\", "
                           "latency 1074 frames.\n"));
}

TEST_F(SupervisorTest, AnInputThatKeepsFallingOutOfStepIsMutedAndOpenedAgainAndQuitDoesNotWait) {
    supervisor->mFailingBound = 300ms;
    supervisor->mResyncSpan = 600ms;
    fake::plugIn(running(kInputId), running(kOutputId));
    supervisor->begin();
    ASSERT_TRUE(tickUntil([&] { return flowing(); }));
    const int removes = fake::procRecord(kInputId, true).removes;
    // Four measurements again within the span: failing, said, and the view hears silence.
    SoundPortProbe::resync(port, 3);
    tickUntil([] { return false; }, 10ms);
    EXPECT_EQ(supervisor->status(), Status::flowing) << "three are allowed";
    SoundPortProbe::resync(port, 1);
    EXPECT_TRUE(tickUntil([&] { return supervisor->status() == Status::inputFailing; }, 100ms));
    EXPECT_TRUE(port.health(0.0).inputMuted);
    EXPECT_TRUE(tickUntil([&] { return view.mCurrentVolume.load() == 0.0f; }));
    // It goes on: the devices are opened again, the status kept until the input runs clean
    // for the span of its health, then the view hears it again.
    SoundPortProbe::resync(port, 4);
    EXPECT_TRUE(tickUntil([&] { return fake::procRecord(kInputId, true).removes > removes; }, 2s));
    EXPECT_EQ(supervisor->status(), Status::inputFailing);
    EXPECT_TRUE(tickUntil([&] { return flowing() && !port.health(0.0).inputMuted; }, 5s));
    // Quitting does not wait for a device that will not stop.
    fake::Device stuck = running(kOutputId, true, true); // cannot answer the stop request
    stuck.stopDelay = 400ms;                             // and is slow to stop from outside
    fake::plugIn(running(kInputId), stuck);
    EXPECT_FALSE(supervisor->shutdown(100ms));
    const std::string text = said();
    EXPECT_TRUE(says(text, "Error - the input device is failing: the output measured its offset 4 "
                           "times in 0.6 seconds.\n"));
    EXPECT_TRUE(
        says(text, "Error - the input device keeps failing; opening the devices again.", -1));
}

TEST_F(SupervisorTest, OneDeviceWithABufferPerChannelForBothDirections) {
    fake::plugIn(running(kInputId, false), running(kInputId, false));
    supervisor->begin();
    EXPECT_TRUE(tickUntil([&] { return flowing(); })) << "the left channel reaches the view";
    EXPECT_TRUE(supervisor->shutdown(2s));
    EXPECT_EQ(fake::procRecord(kInputId, true).stopsInside, 1);
    EXPECT_EQ(fake::procRecord(kInputId, false).stopsInside, 1);
}

TEST_F(SupervisorTest, AStartThatHangsIsToldTriedAgainAndNeverKeepsTheQuit) {
    audioBoundary().mCallBound = 200ms;
    fake::Device hanging = running(kInputId);
    hanging.startHangs = true;
    fake::plugIn(hanging, running(kOutputId));
    supervisor->begin();
    ASSERT_TRUE(tickUntil([&] { return supervisor->status() == Status::notAnswering; }));
    tickUntil([] { return false; }, 300ms); // tried again meanwhile, refused at once
    EXPECT_EQ(supervisor->status(), Status::notAnswering);
    // The start returns at last: the stream it started goes again without reaching the
    // engine (the removal the engine asked for meanwhile is made), and the next try runs.
    fake::plugIn(running(kInputId), running(kOutputId));
    fake::releaseHangs();
    ASSERT_TRUE(tickUntil([&] { return flowing(); }));
    EXPECT_EQ(fake::procRecord(kInputId, true).removes, 1);
    // A start that hangs on a restart: quitting does not wait for it.
    hanging.stalled = true;
    fake::plugIn(hanging, running(kOutputId));
    ASSERT_TRUE(tickUntil([&] { return supervisor->status() == Status::inputStopped; }));
    tickUntil([] { return false; }, 100ms);
    const auto quit = std::chrono::steady_clock::now();
    EXPECT_TRUE(supervisor->shutdown(350ms));
    EXPECT_LT(std::chrono::steady_clock::now() - quit, 400ms);
    const std::string text = said();
    EXPECT_TRUE(says(text, "Error - the sound devices do not answer; the tuner tries again.", -1));
    // Back to the usual bound once the hung call has returned.
    fake::releaseHangs();
    AudioTimeStamp time;
    EXPECT_TRUE(tickUntil([&] {
        return AudioDeviceGetCurrentTime(kOutputId, &time) != kAudioHardwareNotRespondingError;
    }));
    audioBoundary().mCallBound = 4000ms;
}
