// The two IO procedures, called by hand on a started sound port: the handshake, frame
// numbers, the split into channels, the output layouts, missed fetches, the stop request
// and device clocks past 2^31 frames.
#include "EngineTestSupport.h"
#include "MyRingBuffer.h"
#include "SoundView.h"

#include <gtest/gtest.h>

#include <cmath>
#include <thread>

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

float ramp(std::int64_t f) {
    return static_cast<float>(f % 100000) * 0.25f + 1.0f;
}

class IOProcTest : public testing::Test {
protected:
    void SetUp() override { fake::reset(); }
    void TearDown() override {
        destroyByHand(port);
        fake::reset();
    }

    // A port on two devices, started by hand with the given handshake times; the view is
    // connected.
    void startPort(bool inInterleaved, bool outInterleaved, double inputTime = 0.0,
                   double outputTime = 0.0) {
        fake::addDevice(stereoDevice(kInputId, inInterleaved));
        fake::addDevice(stereoDevice(kOutputId, outInterleaved));
        fake::setDefaultDevices(kInputId, kOutputId);
        port = std::make_unique<MySoundPort>();
        port->setSoundView(&view);
        CaptureStderr();
        port->setup();
        const bool started = startByHand(*port, inputTime, outputTime);
        GetCapturedStderr();
        ASSERT_TRUE(started);
    }
    void input(double time) {
        Buffers block = inputBlock(512, port->mInputDevice.interleaved != 0,
                                   static_cast<std::int64_t>(time), ramp);
        fake::callInput(kInputId, InputIOProc, time, block.list);
    }
    Buffers output(double time, float fill = 7.0f) {
        Buffers block(512, port->mOutputDevice.interleaved != 0, fill);
        fake::callOutput(kOutputId, OutputIOProc, time, block.list);
        return block;
    }
    // The analysis window's sample i.
    float windowSample(std::int32_t i) { return view.mSampleBuffer[i].load(); }

    SoundView view{NSMakeRect(0, 0, 700, 300)};
    std::unique_ptr<MySoundPort> port;
};

} // namespace

TEST_F(IOProcTest, HandshakeMeasuresTheClockDifference) {
    fake::addDevice(stereoDevice(kInputId, true));
    fake::addDevice(stereoDevice(kOutputId, true));
    fake::setDefaultDevices(kInputId, kOutputId);
    port = std::make_unique<MySoundPort>();
    CaptureStderr();
    port->setup();
    ASSERT_TRUE(port->start());
    GetCapturedStderr();

    // Output before any input: nothing written, both still armed.
    Buffers early(512, true, 7.0f);
    fake::callOutput(kOutputId, OutputIOProc, 300.0, early.list);
    EXPECT_EQ(early.first[0], 7.0f);
    EXPECT_EQ(port->mInputProcState.load(), MySoundPort::kProcArmed);
    EXPECT_EQ(port->mOutputProcState.load(), MySoundPort::kProcArmed);

    // The first input runs and stores its block under its truncated sample time.
    Buffers block = inputBlock(512, true, 1000, ramp);
    fake::callInput(kInputId, InputIOProc, 1000.9, block.list);
    EXPECT_EQ(port->mInputProcState.load(), MySoundPort::kProcRunning);
    EXPECT_EQ(port->mLastInputSampleCount.load(), 1000.9);
    EXPECT_EQ(port->inputBuffer()->startFrame(), 1000);
    EXPECT_EQ(port->inputBuffer()->endFrame(), 1512);

    // The next output only notes where the input stood: a starting output runs ahead in
    // a burst, so nothing is measured until the input has run on by the settling distance (half a
    // second).
    Buffers first(512, true, 7.0f);
    fake::callOutput(kOutputId, OutputIOProc, 5000.0, first.list);
    EXPECT_EQ(port->mOutputProcState.load(), MySoundPort::kProcArmed);
    Buffers later = inputBlock(512, true, 1000 + 21504, ramp);
    fake::callInput(kInputId, InputIOProc, 1000.9 + 21504.0, later.list);
    fake::callOutput(kOutputId, OutputIOProc, 5512.0, first.list);
    EXPECT_EQ(port->mOutputProcState.load(), MySoundPort::kProcArmed)
        << "measured inside the burst";

    // Once the input has moved on by half a second the handshake completes, writing nothing.
    Buffers settled = inputBlock(512, true, 1000 + 22050, ramp);
    fake::callInput(kInputId, InputIOProc, 1000.9 + 22050.0, settled.list);
    Buffers handshake(512, true, 7.0f);
    fake::callOutput(kOutputId, OutputIOProc, 27050.0, handshake.list);
    EXPECT_EQ(handshake.first[0], 7.0f);
    EXPECT_EQ(handshake.first[1023], 7.0f);
    EXPECT_DOUBLE_EQ(port->mIODeltaSampleCount.load(), 27050.0 - (1000.9 + 22050.0));
    EXPECT_EQ(port->mOutputProcState.load(), MySoundPort::kProcRunning);
    // The output reads behind from its next call on, before the main thread reports.
    EXPECT_DOUBLE_EQ(port->mInToOutSampleOffset.load(), 1024.0 + 27050.0 - (1000.9 + 22050.0));
}

TEST_F(IOProcTest, InterleavedInputIsFetchedBehindAndSplit) {
    startPort(true, true);
    for (double t = 3000.0; t < 4500.0; t += 512.0) {
        input(t);
    }
    // 5000.0 less 1300.5 is 3699.5, frame 3699.
    port->mInToOutSampleOffset = 1300.5;
    output(5000.0);
    for (std::uint32_t i = 0; i < 512; ++i) {
        ASSERT_EQ(port->mLeftInput[i], ramp(3699 + i)) << i;
        ASSERT_EQ(port->mRightInput[i], -ramp(3699 + i)) << i;
    }
    // The view's intake received the left channel as its block of 512 samples.
    EXPECT_EQ(view.mSampleBufferSize.load(), 4 * 512);
    EXPECT_EQ(view.mCurrentStep.load(), 1);
    EXPECT_EQ(windowSample(0), ramp(3699));
    EXPECT_EQ(windowSample(511), ramp(3699 + 511));
}

TEST_F(IOProcTest, NonInterleavedInputGoesThroughBothRings) {
    startPort(false, false);
    input(2048.0);
    port->mInToOutSampleOffset = 100.0;
    output(2148.0);
    for (std::uint32_t i = 0; i < 512; ++i) {
        ASSERT_EQ(port->mLeftInput[i], ramp(2048 + i));
        ASSERT_EQ(port->mRightInput[i], -ramp(2048 + i));
    }
    EXPECT_EQ(port->inputBuffer2()->endFrame(), 2560);
    EXPECT_EQ(port->inputBuffer2()->startFrame(), port->inputBuffer()->startFrame());

    // A list with only one buffer for a stream that needs two is not read.
    Buffers single(512, true);
    single.list.mNumberBuffers = 1;
    fake::callInput(kInputId, InputIOProc, 2560.0, single.list);
    EXPECT_EQ(port->inputBuffer()->endFrame(), 2560);
}

TEST_F(IOProcTest, OutputCarriesBothWorkBuffersInTheDeviceLayout) {
    for (const bool interleaved : {true, false}) {
        SCOPED_TRACE(interleaved ? "interleaved" : "a buffer per channel");
        destroyByHand(port);
        fake::reset();
        startPort(true, interleaved);
        // The right output buffer is never written by the engine; give it values to see
        // where they land.
        for (std::uint32_t i = 0; i < 512; ++i) {
            port->mRightOutput[i] = static_cast<float>(i + 1);
        }
        Buffers out = output(10000.0);
        for (std::uint32_t i = 0; i < 512; ++i) {
            ASSERT_EQ(out.left(i), 0.0f) << i;
            ASSERT_EQ(out.right(i), static_cast<float>(i + 1)) << i;
        }
    }
}

TEST_F(IOProcTest, MissedOrLateFetchesGiveWayToANewHandshake) {
    // Past everything stored: silence, never the block before again. Further behind the
    // input than the thru latency and its slack allow: the old input is still analysed.
    for (const double offset : {-100000.0, 40000.0}) {
        SCOPED_TRACE(offset);
        destroyByHand(port);
        fake::reset();
        startPort(true, true);
        for (double t = 0.0; t < 60000.0; t += 512.0) {
            input(t);
        }
        port->mInToOutSampleOffset = offset;
        for (std::uint32_t k = 0; k < MySoundPort::kResyncBlocks; ++k) {
            const double time = 60000.0 + 512.0 * k;
            output(time);
            const float expected = offset > 0 ? ramp(static_cast<std::int64_t>(time - offset)) : 0;
            ASSERT_EQ(port->mLeftInput[0], expected) << "block " << k;
        }
        EXPECT_EQ(port->mOutputProcState.load(), MySoundPort::kProcArmed);
        EXPECT_EQ(port->mResyncs.load(), 1u);
        // The input runs on; the output measures again and reads a thru latency behind.
        input(60000.0);
        output(80000.0);
        input(60000.0 + port->mHandshakeSettleFrames);
        output(80000.0 + port->mHandshakeSettleFrames);
        EXPECT_EQ(port->mOutputProcState.load(), MySoundPort::kProcRunning);
        EXPECT_DOUBLE_EQ(port->mInToOutSampleOffset.load(),
                         port->mActualThruLatency.load() + 80000.0 - 60000.0);
    }
}

TEST_F(IOProcTest, AStopRequestStopsTheOwnDeviceAndTouchesNoData) {
    startPort(true, true);
    input(1024.0);
    port->mInputProcState = MySoundPort::kProcStopRequested;
    input(1536.0);
    EXPECT_EQ(port->mInputProcState.load(), MySoundPort::kProcIdle);
    EXPECT_EQ(fake::procRecord(kInputId, InputIOProc).stopsInside, 1);
    EXPECT_EQ(port->inputBuffer()->endFrame(), 1536) << "the block was stored";
    EXPECT_EQ(port->mLastInputSampleCount.load(), 1024.0);

    port->mOutputProcState = MySoundPort::kProcStopRequested;
    Buffers out = output(1024.0);
    EXPECT_EQ(port->mOutputProcState.load(), MySoundPort::kProcIdle);
    EXPECT_EQ(fake::procRecord(kOutputId, OutputIOProc).stopsInside, 1);
    EXPECT_EQ(out.first[0], 7.0f);
    EXPECT_EQ(view.mSampleBufferSize.load(), 0) << "the view got no block";
}

TEST_F(IOProcTest, ClocksPastTwoToTheThirtyFirstKeepTheTunerAnalysing) {
    // Both clocks start a few blocks below 2^31 and run well past it.
    const double start = 2147483648.0 - 40 * 512.0;
    startPort(true, true, start, start + 3.0);
    const double offset = port->mInToOutSampleOffset.load();
    const auto sine = [](std::int64_t f) {
        return 0.5f *
               static_cast<float>(std::sin(2.0 * M_PI * 220.0 * static_cast<double>(f) / 44100.0));
    };
    int analysesPastTheLimit = 0;
    for (int k = 1; k <= 120; ++k) {
        const double inTime = start + 512.0 * k;
        Buffers block = inputBlock(512, true, static_cast<std::int64_t>(inTime), sine);
        fake::callInput(kInputId, InputIOProc, inTime, block.list);
        output(start + 3.0 + 512.0 * k);
        const std::int64_t first = static_cast<std::int64_t>(start + 3.0 + 512.0 * k - offset);
        if (first < static_cast<std::int64_t>(start) + 512) {
            continue; // still before the first stored block
        }
        ASSERT_EQ(port->mLeftInput[0], sine(first)) << "block " << k;
        ASSERT_EQ(port->mLeftInput[511], sine(first + 511)) << "block " << k;
        if (first > 2147483647 && view.takeNeedsDisplay()) {
            ++analysesPastTheLimit;
            EXPECT_NEAR(view.mCurrentFrequency.load(), 220.0f, 1.0f);
        }
    }
    EXPECT_GE(analysesPastTheLimit, 15);
}
