// The supervisor on the failure-injecting boundary, with its waits made short: devices
// that are missing, appear, stall and come back, each said once and shown; and a quit
// that does not wait for a device that will not stop.
#include "AudioSupervisor.h"
#include "EngineTestSupport.h"
#include "SoundView.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <thread>

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using Status = AudioSupervisor::Status;
using namespace std::chrono_literals;

namespace {

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
    }
    void TearDown() override {
        supervisor->shutdown(1s);
        supervisor.reset();
        fake::reset();
    }

    // Ticks as the main loop would until done() holds; false after `bound`.
    bool tickUntil(const std::function<bool()>& done, std::chrono::milliseconds bound = 3s) {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        while (std::chrono::steady_clock::now() < deadline) {
            supervisor->tick();
            if (done()) {
                return true;
            }
            std::this_thread::sleep_for(2ms);
        }
        return false;
    }
    bool flowing() {
        return port.handshakeDone() && supervisor->status() == Status::flowing &&
               port.mOutputCalls.load() > 0;
    }
    static void addRunningDevices(std::chrono::milliseconds stopDelay = 0ms) {
        for (const AudioDeviceID id : {kInputId, kOutputId}) {
            fake::Device device = stereoDevice(id, true);
            device.runs = true;
            device.stopDelay = stopDelay;
            device.source = [](std::int64_t f, int) { return f % 100 < 50 ? 0.5f : -0.5f; };
            fake::addDevice(device);
        }
        fake::setDefaultDevices(kInputId, kOutputId);
    }
    static int count(const std::string& text, const std::string& line) {
        int n = 0;
        for (auto at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) {
            ++n;
        }
        return n;
    }

    SoundView view{NSMakeRect(0, 0, 700, 300)};
    MySoundPort port;
    // Made anew for each test; gone before the fake devices are, since destroying it waits
    // for a stuck worker.
    std::unique_ptr<AudioSupervisor> supervisor = std::make_unique<AudioSupervisor>(port);
};

} // namespace

TEST_F(SupervisorTest, WaitsForDevicesAndStartsAgainThoseThatStop) {
    CaptureStderr();
    supervisor->begin();
    ASSERT_TRUE(tickUntil([&] { return supervisor->status() == Status::noInput; }));
    tickUntil([] { return false; }, 200ms); // several retries, no device yet
    std::string text = GetCapturedStderr();
    EXPECT_EQ(count(text, "Error - no default input device"), 1) << text;
    EXPECT_EQ(count(text, "Input Device:"), 1) << "a retry that finds the same says nothing";

    // The devices appear: audio flows and the reports of the new devices are told.
    CaptureStderr();
    addRunningDevices();
    ASSERT_TRUE(tickUntil([&] { return flowing(); }));
    text = GetCapturedStderr();
    EXPECT_EQ(count(text, "Device Name(ID): Fake Device (7)"), 1) << text;
    EXPECT_EQ(count(text, "LATENCY REPORT:"), 1);

    // Both devices stall for longer than the bound: said once, shown, tried again until
    // they deliver, the view hearing silence meanwhile (nothing else reaches it); then the
    // same engine runs again.
    ASSERT_TRUE(tickUntil([&] { return view.mCurrentVolume.load() == 0.5f; }));
    CaptureStderr();
    fake::setStalled(kInputId, true);
    fake::setStalled(kOutputId, true);
    ASSERT_TRUE(tickUntil([&] { return supervisor->status() == Status::inputStopped; }));
    EXPECT_TRUE(tickUntil([&] { return view.mCurrentVolume.load() == 0.0f; }));
    tickUntil([] { return false; }, 800ms); // retries whose handshakes time out
    EXPECT_EQ(supervisor->status(), Status::inputStopped);
    fake::setStalled(kInputId, false);
    fake::setStalled(kOutputId, false);
    ASSERT_TRUE(tickUntil([&] { return flowing(); }));
    text = GetCapturedStderr();
    EXPECT_EQ(count(text, "Error - the input device stopped: no input for more than a second"), 1)
        << text;
    EXPECT_EQ(count(text, "Error - the input device did not start: no input arrived"), 1) << text;
}

TEST_F(SupervisorTest, QuitDoesNotWaitForADeviceThatWillNotStop) {
    addRunningDevices(400ms);
    CaptureStderr();
    supervisor->begin();
    ASSERT_TRUE(tickUntil([&] { return flowing(); }));
    fake::setStalled(kOutputId, true); // its procedure cannot answer the stop request
    const auto began = std::chrono::steady_clock::now();
    EXPECT_FALSE(supervisor->shutdown(100ms));
    EXPECT_LT(std::chrono::steady_clock::now() - began, 300ms);
    GetCapturedStderr();
}
