// The engine with both procedures called on clock threads of the fake boundary while the
// supervisor starts it on its worker and the main thread watches, reads the tuner state
// and shuts down: for ThreadSanitizer.
#include "AudioSupervisor.h"
#include "EngineTestSupport.h"
#include "SoundView.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <thread>

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

float tone(std::int64_t f, int channel) {
    const double phase = 2.0 * M_PI * 329.63 * static_cast<double>(f) / 44100.0;
    return static_cast<float>((channel == 0 ? 0.6 : 0.2) * std::sin(phase));
}

// Runs a port under its supervisor for a while, reading what a frame reads, then shuts
// it down.
void runAndTearDown(AudioDeviceID in, AudioDeviceID out) {
    SoundView view(NSMakeRect(0, 0, 700, 300));
    auto port = std::make_unique<MySoundPort>();
    port->setSoundView(&view);
    AudioSupervisor supervisor(*port);
    CaptureStderr();
    supervisor.begin();

    int analyses = 0;
    float loudest = 0.0f;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(400);
    while (std::chrono::steady_clock::now() < until) {
        supervisor.tick();
        if (view.takeNeedsDisplay()) {
            ++analyses;
            loudest = std::max(loudest, view.mCurrentVolume.load());
            const PublishedAnalysis& published = view.mHandover.takeLatest();
            if (published.size > 0) {
                EXPECT_LE(std::fabs(published.samples[0]), 0.6f);
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    EXPECT_TRUE(supervisor.shutdown(std::chrono::seconds(2)));
    const std::string text = GetCapturedStderr();
    EXPECT_NE(text.find("LATENCY REPORT:\n"), std::string::npos) << text;
    EXPECT_EQ(supervisor.status(), AudioSupervisor::Status::flowing);
    port.reset();
    EXPECT_GT(analyses, 10);
    // The clock threads are not paced against each other, so the fetched blocks need not
    // join up into one tone (some miss, and are silence); the left channel's level arrives
    // all the same.
    EXPECT_NEAR(loudest, 0.6f, 0.01f);
    EXPECT_EQ(fake::procRecord(in, InputIOProc).stopsInside, 1);
    EXPECT_EQ(fake::procRecord(out, OutputIOProc).stopsInside, 1);
}

} // namespace

TEST(EngineConcurrency, TwoDevicesOnTheirOwnThreads) {
    fake::reset();
    for (const bool interleaved : {true, false}) {
        SCOPED_TRACE(interleaved);
        fake::reset();
        fake::Device in = stereoDevice(kInputId, interleaved);
        in.runs = true;
        in.period = std::chrono::microseconds(400);
        in.firstSampleTime = 2147483648.0 - 100 * 512.0;
        in.source = tone;
        fake::Device out = stereoDevice(kOutputId, !interleaved);
        out.runs = true;
        out.period = std::chrono::microseconds(400);
        out.firstSampleTime = 12345.0;
        fake::addDevice(in);
        fake::addDevice(out);
        fake::setDefaultDevices(kInputId, kOutputId);
        runAndTearDown(kInputId, kOutputId);
    }
    fake::reset();
}

TEST(EngineConcurrency, OneDeviceForInputAndOutput) {
    fake::reset();
    fake::Device both = stereoDevice(kInputId, true);
    both.runs = true;
    both.period = std::chrono::microseconds(400);
    both.source = tone;
    fake::addDevice(both);
    fake::setDefaultDevices(kInputId, kInputId);
    runAndTearDown(kInputId, kInputId);
    fake::reset();
}
