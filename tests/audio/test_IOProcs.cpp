// The two IO procedures, called by hand on a started sound port: the handshake, frame
// numbers past 2^31, the split into channels, the output layouts, missed fetches and the
// stop request.
#include "EngineTestSupport.h"
#include "MyRingBuffer.h"
#include "SoundView.h"

#include <gtest/gtest.h>

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

constexpr std::int64_t k31 = std::int64_t{1} << 31;

float ramp(std::int64_t f) {
    return static_cast<float>(f % 100000) * 0.25f + 1.0f;
}

class IOProcTest : public testing::Test {
protected:
    void TearDown() override { destroyByHand(port); }

    // A port on two devices and a new view, started (by hand, unless armed is asked for).
    void startPort(bool inInterleaved, bool outInterleaved, bool armed = false) {
        destroyByHand(port);
        fake::reset();
        fake::addDevice(fake::stereoDevice(kInputId, inInterleaved));
        fake::addDevice(fake::stereoDevice(kOutputId, outInterleaved));
        fake::setDefaultDevices(kInputId, kOutputId);
        view = std::make_unique<SoundView>(NSMakeRect(0, 0, 700, 300));
        port = std::make_unique<MySoundPort>();
        port->setSoundView(view.get());
        CaptureStderr();
        port->setup();
        const bool started = armed ? port->start() : startByHand(*port, 0.0, 0.0);
        GetCapturedStderr();
        ASSERT_TRUE(started);
    }
    // An input block at `time` of ramp values from frame `first` on, negated on the right.
    void input(double time, std::int64_t first) {
        fake::Buffers block(512, port->mInputDevice.interleaved != 0);
        for (std::uint32_t i = 0; i < 512; ++i) {
            block.left(i) = ramp(first + i);
            block.right(i) = -ramp(first + i);
        }
        fake::call(kInputId, InputIOProc, time, block.list);
    }
    fake::Buffers output(double time) {
        fake::Buffers block(512, port->mOutputDevice.interleaved != 0, 7.0f);
        fake::call(kOutputId, OutputIOProc, time, block.list);
        return block;
    }

    std::unique_ptr<SoundView> view;
    std::unique_ptr<MySoundPort> port;
};

} // namespace

TEST_F(IOProcTest, HandshakeMeasuresTheClockDifference) {
    startPort(true, true, true);
    // Output before any input: nothing written, both still armed.
    EXPECT_EQ(output(300.0).first[0], 7.0f);
    EXPECT_EQ(port->mInputProcState.load(), MySoundPort::kProcArmed);
    EXPECT_EQ(port->mOutputProcState.load(), MySoundPort::kProcArmed);

    // The first input runs and stores its block under its truncated sample time.
    input(1000.9, 1000);
    EXPECT_EQ(port->mInputProcState.load(), MySoundPort::kProcRunning);
    EXPECT_EQ(port->inputBuffer()->startFrame(), 1000);
    EXPECT_EQ(port->inputBuffer()->endFrame(), 1512);

    // The next output only notes where the input stood: a starting output runs ahead in a
    // burst, so nothing is measured until the input has moved on by the settling distance.
    output(5000.0);
    input(1000.9 + 21504.0, 1000 + 21504);
    output(5512.0);
    EXPECT_EQ(port->mOutputProcState.load(), MySoundPort::kProcArmed) << "measured in the burst";

    // Once the input has moved on by half a second the handshake completes, writing nothing.
    input(1000.9 + 22050.0, 1000 + 22050);
    const fake::Buffers handshake = output(27050.0);
    EXPECT_EQ(handshake.first[0] + handshake.first[1023], 14.0f);
    EXPECT_DOUBLE_EQ(port->mIODeltaSampleCount.load(), 27050.0 - (1000.9 + 22050.0));
    EXPECT_EQ(port->mOutputProcState.load(), MySoundPort::kProcRunning);
    // The output reads behind from its next call on, before the main thread reports.
    EXPECT_DOUBLE_EQ(port->mInToOutSampleOffset.load(), 1024.0 + 27050.0 - (1000.9 + 22050.0));
}

TEST_F(IOProcTest, InputIsFetchedBehindSplitAndWrittenInTheOutputLayout) {
    for (const auto& [inInterleaved, outInterleaved] :
         {std::pair{true, true}, std::pair{false, false}, std::pair{true, false}}) {
        SCOPED_TRACE(testing::Message() << inInterleaved << outInterleaved);
        startPort(inInterleaved, outInterleaved);
        // Frame numbers past 2^31 (13.5 hours at 44.1 kHz).
        for (double t = k31 - 1000.0; t < k31 + 500.0; t += 512.0) {
            input(t, static_cast<std::int64_t>(t));
        }
        // The engine never writes the right output buffer: values there show where it lands.
        for (std::uint32_t i = 0; i < 512; ++i) {
            port->mRightOutput[i] = static_cast<float>(i + 1);
        }
        port->mInToOutSampleOffset = 1300.5; // k31 + 500 less 1300.5: frame k31 - 801
        fake::Buffers out = output(k31 + 500.0);
        const std::int64_t first = k31 - 801;
        for (std::uint32_t i = 0; i < 512; ++i) {
            ASSERT_EQ(port->mLeftInput[i], ramp(first + i)) << i;
            ASSERT_EQ(port->mRightInput[i], -ramp(first + i)) << i;
            ASSERT_EQ(out.left(i), 0.0f) << i;
            ASSERT_EQ(out.right(i), static_cast<float>(i + 1)) << i;
        }
        // The view's intake received the left channel, a block of 512 samples.
        EXPECT_EQ(view->mSampleBuffer[0].load(), ramp(first));
        EXPECT_EQ(view->mSampleBuffer[511].load(), ramp(first + 511));
        // A list with one buffer for a stream that needs two is not read.
        fake::Buffers single(512, true);
        fake::call(kInputId, InputIOProc, k31 + 536.0, single.list);
        EXPECT_EQ(port->inputBuffer()->endFrame(), k31 + (inInterleaved ? 1048 : 536));
    }
}

TEST_F(IOProcTest, MissedOrLateFetchesGiveWayToANewHandshake) {
    // Past everything stored: silence, never the block before again. Further behind the
    // input than the thru latency and its slack allow: the old input is still analysed.
    for (const double offset : {-100000.0, 40000.0}) {
        SCOPED_TRACE(offset);
        startPort(true, true);
        for (double t = 0.0; t < 60000.0; t += 512.0) {
            input(t, static_cast<std::int64_t>(t));
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
        for (const double settle : {0.0, port->mHandshakeSettleFrames}) {
            input(60000.0 + settle, 0);
            output(80000.0 + settle);
        }
        EXPECT_EQ(port->mOutputProcState.load(), MySoundPort::kProcRunning);
        EXPECT_DOUBLE_EQ(port->mInToOutSampleOffset.load(),
                         port->mActualThruLatency.load() + 80000.0 - 60000.0);
    }
}

TEST_F(IOProcTest, AStopRequestStopsTheOwnDeviceAndTouchesNoData) {
    startPort(true, true);
    port->mInputProcState = MySoundPort::kProcStopRequested;
    port->mOutputProcState = MySoundPort::kProcStopRequested;
    input(1536.0, 0);
    EXPECT_EQ(output(1024.0).first[0], 7.0f);
    EXPECT_EQ(port->mInputProcState.load(), MySoundPort::kProcIdle);
    EXPECT_EQ(port->mOutputProcState.load(), MySoundPort::kProcIdle);
    EXPECT_EQ(fake::procRecord(kInputId, InputIOProc).stopsInside, 1);
    EXPECT_EQ(fake::procRecord(kOutputId, OutputIOProc).stopsInside, 1);
    EXPECT_EQ(port->inputBuffer()->endFrame(), 512) << "only the handshake's blocks stored";
    EXPECT_EQ(port->mLastInputSampleCount.load(), 0.0);
    EXPECT_EQ(view->mSampleBufferSize.load(), 0) << "the view got no block";
}
