// The sound port on the failure-injecting boundary: device discovery and reports, the
// error reporter, start's checks and buffer sizes, the latency report and the teardown.
#include "EngineTestSupport.h"
#include "MyRingBuffer.h"
#include "SoundView.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <thread>

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

class SoundPortTest : public testing::Test {
protected:
    void SetUp() override { fake::reset(); }
    void TearDown() override { fake::reset(); }

    // The two standard devices as the defaults.
    void addDevices(const fake::Device& in, const fake::Device& out) {
        fake::addDevice(in);
        fake::addDevice(out);
        fake::setDefaultDevices(in.id, out.id);
    }
    std::string setupText(MySoundPort& port) {
        CaptureStderr();
        port.setup();
        return GetCapturedStderr();
    }
};

const char* const kInterleavedReport = "initialized: 1\n"
                                       "\n"
                                       "DeviceFormat:\n"
                                       "LinearPCM = 1\n"
                                       "Float = 1\n"
                                       "Interleaved = 1\n"
                                       "\n"
                                       "mSampleRate = 44100\n"
                                       "mFormatFlags = 00000009\n"
                                       "mBytesPerPacket = 8\n"
                                       "mFramesPerPacket = 1\n"
                                       "mChannelsPerFrame = 2\n"
                                       "mBytesPerFrame = 8\n"
                                       "mBitsPerChannel = 32\n"
                                       "\n"
                                       "bufferSize = 4096\n"
                                       "safetyOffset = %s\n"
                                       "framesPerBuffer = 512\n"
                                       "\n\n";

std::string interleavedReport(const std::string& nameLine, const std::string& safety) {
    std::string text = nameLine + kInterleavedReport;
    text.replace(text.find("%s"), 2, safety);
    return text;
}

} // namespace

TEST(ErrorReporter, WritesLabelStatusAndCodeText) {
    CaptureStderr();
    MySoundPort::checkError(0, "never shown");
    EXPECT_EQ(GetCapturedStderr(), "");

    CaptureStderr();
    MySoundPort::checkError(kAudioHardwareUnknownPropertyError, "kAudioDevicePropertyBufferSize");
    MySoundPort::checkError(0x00414243, "small"); // top byte 0: no characters
    MySoundPort::checkError(0x41004243, "inner"); // ends before the first zero byte
    MySoundPort::checkError(-50, "negative");     // raw bytes FF FF FF CE
    EXPECT_EQ(GetCapturedStderr(), "kAudioDevicePropertyBufferSize error: 2003332927 (who?)\n"
                                   "small error: 4276803 ()\n"
                                   "inner error: 1090536003 (A)\n"
                                   "negative error: -50 (\xFF\xFF\xFF\xCE)\n");
}

TEST_F(SoundPortTest, SetupFindsAndReportsBothDevices) {
    fake::Device in = stereoDevice(kInputId, true);
    in.name = "Capture";
    in.volumeDecibels = -6.0f;
    in.safetyOffset = 20;
    fake::Device out = stereoDevice(kOutputId, true);
    out.name = "Playback";
    out.safetyOffset = 30;
    addDevices(in, out);

    MySoundPort port;
    EXPECT_EQ(setupText(port), "\n\nInput Device:\n\n" +
                                   interleavedReport("Device Name(ID): Capture (7)\n", "20") +
                                   "kAudioDevicePropertyVolumeDecibels error: 1970171760 (unop)\n"
                                   "\n\nOutput Device:\n\n" +
                                   interleavedReport("Device Name(ID): Playback (9)\n", "30"));
    EXPECT_EQ(port.mInputDevice.interleaved, 1u);
    EXPECT_EQ(port.mInputDevice.framesPerBuffer, 512u);
    EXPECT_EQ(port.mInputDevice.initialized, 1);
    EXPECT_NEAR(port.maxInputValue(), 0.501187f, 1e-5f);
    EXPECT_EQ(port.mOutputDevice.maxValue, 1.0f);
    EXPECT_EQ(port.mOutputDevice.safetyOffset, 30u);
}

TEST_F(SoundPortTest, NonInterleavedIntegerAndForeignFormats) {
    fake::Device split = stereoDevice(kInputId, false);
    split.bufferSize = 2048;
    fake::Device integer = stereoDevice(kOutputId, true);
    integer.format.mFormatFlags = 0x0C; // signed integer, packed
    addDevices(split, integer);

    MySoundPort port;
    std::string text = setupText(port);
    EXPECT_EQ(port.mInputDevice.interleaved, 0u);
    EXPECT_EQ(port.mInputDevice.framesPerBuffer, 512u);
    EXPECT_EQ(port.mInputDevice.initialized, 1);
    EXPECT_NE(text.find("Interleaved = 0\n"), std::string::npos);
    EXPECT_NE(text.find("mFormatFlags = 00000029\n"), std::string::npos);
    EXPECT_NE(text.find("ERROR: Device format not float.\n\n\nOutput Device:"), std::string::npos)
        << "the message belongs to the discovery, before the heading";
    EXPECT_NE(text.find("Device Name(ID): Fake Device (9)\ninitialized: 0\n"), std::string::npos);
    EXPECT_NE(text.find("Float = 0\n"), std::string::npos);
    EXPECT_EQ(port.mOutputDevice.initialized, 0);

    // Neither linear PCM nor float: only the first message.
    fake::reset();
    fake::Device foreign = stereoDevice(kInputId, true);
    foreign.format.mFormatID = fourCharCode("aac ");
    foreign.format.mFormatFlags = 0;
    addDevices(foreign, stereoDevice(kOutputId, true));
    MySoundPort second;
    text = setupText(second);
    EXPECT_NE(text.find("ERROR: Device format not LinearPCM\n"), std::string::npos);
    EXPECT_EQ(text.find("ERROR: Device format not float."), std::string::npos);
    EXPECT_NE(text.find("LinearPCM = 0\n"), std::string::npos);
    EXPECT_EQ(second.mInputDevice.initialized, 0);
}

TEST_F(SoundPortTest, FailingQueriesAreReportedAndDiscoveryGoesOn) {
    fake::Device in = stereoDevice(kInputId, true);
    in.failing = {{kAudioDevicePropertyDeviceName, kAudioHardwareBadStreamError},
                  {kAudioDevicePropertyBufferSize, kAudioHardwareUnspecifiedError},
                  {kAudioDevicePropertyStreamFormat, kAudioDeviceUnsupportedFormatError},
                  {kAudioDevicePropertySafetyOffset, kAudioHardwareNotRunningError}};
    in.volumeDecibels = -6.0f;
    addDevices(in, stereoDevice(kOutputId, true));

    MySoundPort port;
    const std::string text = setupText(port);
    // Every failure in query order; the volume query between them succeeds.
    EXPECT_EQ(text.substr(0, text.find("\n\nInput Device:")),
              "kAudioDevicePropertyDeviceName error: 561214578 (!str)\n"
              "kAudioDevicePropertyBufferSize error: 2003329396 (what)\n"
              "kAudioDevicePropertyStreamFormat error: 560360820 (!fmt)\n"
              "kAudioDevicePropertySafetyOffset error: 1937010544 (stop)\n"
              "ERROR: Device format not LinearPCM\n");
    EXPECT_NE(text.find("Device Name(ID):  (7)\n"), std::string::npos);
    EXPECT_EQ(port.mInputDevice.framesPerBuffer, 0u) << "0 bytes per frame must not fault";
    EXPECT_NEAR(port.maxInputValue(), 0.501187f, 1e-5f);
}

TEST_F(SoundPortTest, NoDefaultDeviceIsReportedAndStartSaysWhichIsMissing) {
    fake::addDevice(stereoDevice(kOutputId, true));
    fake::setDefaultDevices(0, kOutputId, kAudioHardwareBadDeviceError, 0);

    MySoundPort port;
    const std::string text = setupText(port);
    EXPECT_EQ(text.substr(0, text.find("\n\nInput Device:")),
              "kAudioHardwarePropertyDefault(IN|OUT)Device error: 560227702 (!dev)\n"
              "kAudioDevicePropertyDeviceName error: 560227702 (!dev)\n"
              "kAudioDevicePropertyBufferSize error: 560227702 (!dev)\n"
              "kAudioDevicePropertyStreamFormat error: 560227702 (!dev)\n"
              "kAudioDevicePropertyVolumeDecibels error: 560227702 (!dev)\n"
              "kAudioDevicePropertySafetyOffset error: 560227702 (!dev)\n"
              "ERROR: Device format not LinearPCM\n");
    EXPECT_NE(text.find("Device Name(ID):  (0)\n"), std::string::npos);

    CaptureStderr();
    EXPECT_FALSE(port.start());
    EXPECT_EQ(GetCapturedStderr(),
              "Error - no default input device; the tuner starts when there is one.\n");
    EXPECT_EQ(port.mRunning, 0);
    EXPECT_EQ(fake::procRecord(kOutputId, OutputIOProc).adds, 0);

    MySoundPort none; // neither device
    fake::setDefaultDevices(0, 0, kAudioHardwareBadDeviceError, kAudioHardwareBadDeviceError);
    setupText(none);
    CaptureStderr();
    EXPECT_FALSE(none.start());
    EXPECT_EQ(GetCapturedStderr(), "Error - no default input device and no default output "
                                   "device; the tuner starts when there is one.\n");
}

TEST_F(SoundPortTest, DeviceNameIsAlwaysTerminated) {
    fake::Device in = stereoDevice(kInputId, true);
    in.name = std::string(300, 'x');
    in.terminateName = false; // 255 bytes written, no terminator
    fake::Device out = stereoDevice(kOutputId, true);
    out.name = "Short";
    out.terminateName = false; // 5 bytes, no terminator, over an old longer name
    addDevices(in, out);

    MySoundPort port;
    std::memset(port.mOutputDevice.name, 'y', sizeof port.mOutputDevice.name);
    const std::string text = setupText(port);
    EXPECT_EQ(std::string(port.mInputDevice.name), std::string(254, 'x'));
    EXPECT_EQ(std::string(port.mOutputDevice.name), "Short");
    EXPECT_NE(text.find("Device Name(ID): " + std::string(254, 'x') + " (7)\n"), std::string::npos);
}

TEST_F(SoundPortTest, SampleRateMismatchRefusesTheStart) {
    addDevices(stereoDevice(kInputId, true, 44100.0), stereoDevice(kOutputId, true, 48000.0));
    MySoundPort port;
    setupText(port);
    CaptureStderr();
    EXPECT_FALSE(port.start());
    EXPECT_EQ(GetCapturedStderr(), "Error - sample rate mismatch: 44100.000000 / 48000.000000\n");
    EXPECT_EQ(port.mRunning, 0);
    EXPECT_EQ(port.inputBuffer()->capacityFrames(), 0u);
    EXPECT_EQ(port.mLeftInput, nullptr);
    EXPECT_EQ(fake::procRecord(kInputId, InputIOProc).adds, 0);
    EXPECT_EQ(port.mInputProcState.load(), MySoundPort::kProcIdle);
}

TEST_F(SoundPortTest, FormatMismatchIsReportedAndTheStartGoesOn) {
    fake::Device in = stereoDevice(kInputId, false); // 2 channels, 4 bytes per frame
    in.runs = true;
    fake::Device out = stereoDevice(kOutputId, true); // 2 channels, 8 bytes per frame
    out.runs = true;
    addDevices(in, out);
    MySoundPort port;
    setupText(port);
    CaptureStderr();
    EXPECT_TRUE(port.start());
    const std::string text = GetCapturedStderr();
    EXPECT_EQ(text.substr(0, text.find("LATENCY REPORT:")),
              "Error - format mismatch: 2 / 2 channels, 4 / 8 bytes per frame\n"
              "It is really much better if you use the same device for input and output, or "
              "devices that have a similar format.\n"
              "This program will try to get things to work out, but it is known that with some "
              "devices things are picky.\n"
              "For instance going between Jack and another device will probably work at first, "
              "but break if you try to change the conncections in jack pilot.\n"
              "Basicly, I'll give it a shot, but no one is promising anything.\n\n");
    // Non-interleaved input: both rings, same capacity and frame size; no mTempBuffer.
    EXPECT_EQ(port.inputBuffer()->capacityFrames(), 88200u);
    EXPECT_EQ(port.inputBuffer()->bytesPerFrame(), 4u);
    EXPECT_EQ(port.inputBuffer2()->capacityFrames(), 88200u);
    EXPECT_EQ(port.inputBuffer2()->bytesPerFrame(), 4u);
    EXPECT_EQ(port.channelBufferBytes(), 2048u);
    EXPECT_EQ(port.tempBufferBytes(), 0u);
    EXPECT_EQ(port.mTempBuffer, nullptr);
}

TEST_F(SoundPortTest, BuffersAreSizedFromTheFormatsAndStartZeroed) {
    struct Case {
        double rate;
        bool inInterleaved, outInterleaved;
        std::uint32_t ringFrames, ringFrameBytes, tempBytes;
    };
    const Case cases[] = {{44100.0, true, true, 88200, 8, 8192},
                          {48000.0, true, true, 96000, 8, 8192},
                          {44100.0, true, false, 88200, 8, 4096},
                          {44100.0, false, false, 88200, 4, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.rate << " " << c.inInterleaved << c.outInterleaved);
        fake::reset();
        addDevices(stereoDevice(kInputId, c.inInterleaved, c.rate),
                   stereoDevice(kOutputId, c.outInterleaved, c.rate));
        auto owner = std::make_unique<MySoundPort>();
        MySoundPort& port = *owner;
        setupText(port);
        CaptureStderr();
        const bool started = startByHand(port, 0.0, 0.0);
        GetCapturedStderr();
        ASSERT_TRUE(started);
        EXPECT_EQ(port.inputBuffer()->capacityFrames(), c.ringFrames);
        EXPECT_EQ(port.inputBuffer()->bytesPerFrame(), c.ringFrameBytes);
        EXPECT_EQ(port.inputBuffer2()->capacityFrames(), c.inInterleaved ? 0u : c.ringFrames);
        EXPECT_EQ(port.channelBufferBytes(), 2048u);
        EXPECT_EQ(port.tempBufferBytes(), c.tempBytes);
        EXPECT_EQ(port.mTempBuffer != nullptr, c.tempBytes != 0);
        // Nothing fetched yet: every work buffer reads as zero.
        for (std::uint32_t i = 0; i < 512; ++i) {
            ASSERT_EQ(port.mLeftInput[i], 0.0f);
            ASSERT_EQ(port.mRightInput[i], 0.0f);
            ASSERT_EQ(port.mLeftOutput[i], 0.0f);
            ASSERT_EQ(port.mRightOutput[i], 0.0f);
        }
        for (std::uint32_t i = 0; i < c.tempBytes / 4; ++i) {
            ASSERT_EQ(port.mTempBuffer[i], 0.0f);
        }
        destroyByHand(owner);
    }
}

TEST_F(SoundPortTest, LayoutsTheWorkBuffersCannotHoldAreRefused) {
    struct Case {
        std::uint32_t channels, bytesPerFrame, flags;
        const char* line;
    };
    const Case cases[] = {
        {1, 4, 0x9,
         "Error - input stream not supported: 1 channels, 4 bytes per frame, format flags "
         "00000009; the tuner needs two 32-bit float channels, interleaved or in a buffer "
         "each.\n"},
        {4, 16, 0x9,
         "Error - input stream not supported: 4 channels, 16 bytes per frame, format flags "
         "00000009; the tuner needs two 32-bit float channels, interleaved or in a buffer "
         "each.\n"},
        {2, 4, 0xC,
         "Error - input stream not supported: 2 channels, 4 bytes per frame, format flags "
         "0000000C; the tuner needs two 32-bit float channels, interleaved or in a buffer "
         "each.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        fake::reset();
        fake::Device in = stereoDevice(kInputId, true);
        in.format.mChannelsPerFrame = c.channels;
        in.format.mBytesPerFrame = c.bytesPerFrame;
        in.format.mFormatFlags = c.flags;
        in.bufferSize = 512 * c.bytesPerFrame;
        fake::Device out = in;
        out.id = kOutputId;
        addDevices(in, out);
        MySoundPort port;
        setupText(port);
        CaptureStderr();
        EXPECT_FALSE(port.start());
        std::string both = c.line;
        both += std::string(c.line).replace(8, 5, "output");
        EXPECT_EQ(GetCapturedStderr(), both);
        EXPECT_EQ(port.mRunning, 0);
        EXPECT_EQ(port.mLeftInput, nullptr);
        EXPECT_EQ(fake::procRecord(kInputId, InputIOProc).adds, 0);
    }
}

TEST_F(SoundPortTest, LatencyReportAndSecondStart) {
    fake::Device in = stereoDevice(kInputId, true);
    in.safetyOffset = 20;
    in.currentTimeStatus = kAudioHardwareNotRunningError;
    fake::Device out = stereoDevice(kOutputId, true);
    out.safetyOffset = 30;
    addDevices(in, out);
    auto owner = std::make_unique<MySoundPort>();
    MySoundPort& port = *owner;
    setupText(port);

    CaptureStderr();
    EXPECT_TRUE(startByHand(port, 1000.0, 1100.0)); // output minus input: 100
    EXPECT_EQ(GetCapturedStderr(), "AudioDeviceGetCurrentTime-inputTime error: 1937010544 (stop)\n"
                                   "LATENCY REPORT:\n"
                                   "thru latency: 1074 frames\n"
                                   "inToOutOffset: 1174 frames\n"
                                   "latency in seconds: 0.024354\n\n");
    EXPECT_EQ(port.mActualThruLatency.load(), 1074.0);
    EXPECT_EQ(port.mInToOutSampleOffset.load(), 1174.0);
    EXPECT_EQ(port.mInputProcState.load(), MySoundPort::kProcRunning);
    EXPECT_EQ(port.mOutputProcState.load(), MySoundPort::kProcRunning);
    EXPECT_EQ(port.mSampleRate, 44100.0);

    CaptureStderr();
    EXPECT_FALSE(port.start()) << "a running port starts once";
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(fake::procRecord(kInputId, InputIOProc).adds, 1);
    EXPECT_EQ(fake::procRecord(kOutputId, OutputIOProc).starts, 1);
    EXPECT_EQ(port.mInToOutSampleOffset.load(), 1174.0);
    destroyByHand(owner);
}

TEST_F(SoundPortTest, ThruOffsetOfAPortThatDoesNotRunIsZero) {
    MySoundPort port;
    port.mInToOutSampleOffset = 55.0;
    port.mActualThruLatency = 44.0;
    CaptureStderr();
    port.computeThruOffset();
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(port.mInToOutSampleOffset.load(), 0.0);
    EXPECT_EQ(port.mActualThruLatency.load(), 0.0);
}

TEST_F(SoundPortTest, FailedInstallAndStartCallsAreReported) {
    fake::Device in = stereoDevice(kInputId, true);
    in.addStatus = kAudioHardwareIllegalOperationError;
    in.startStatus = kAudioHardwareUnspecifiedError;
    fake::Device out = stereoDevice(kOutputId, true);
    out.startStatus = kAudioHardwareNotRunningError;
    addDevices(in, out);
    MySoundPort port;
    port.mStopBound = std::chrono::milliseconds(20);
    setupText(port);
    CaptureStderr();
    EXPECT_FALSE(port.start());
    EXPECT_EQ(GetCapturedStderr(), "AudioDeviceAddIOProc-input error: 1852797029 (nope)\n"
                                   "AudioDeviceStart-input error: 2003329396 (what)\n"
                                   "AudioDeviceStart-output error: 1937010544 (stop)\n");
    // What was added goes again, so that a later start can add it anew.
    port.stop();
    EXPECT_EQ(fake::procRecord(kOutputId, OutputIOProc).removes, 1);
    EXPECT_EQ(port.mRunning, 0);
}

TEST_F(SoundPortTest, TeardownStopsRunningProceduresBeforeFreeing) {
    fake::Device in = stereoDevice(kInputId, true);
    in.runs = true;
    in.source = [](std::int64_t f, int) { return std::sin(0.05f * static_cast<float>(f)); };
    fake::Device out = stereoDevice(kOutputId, false);
    out.runs = true;
    addDevices(in, out);
    SoundView view(NSMakeRect(0, 0, 700, 300));
    {
        MySoundPort port;
        port.setSoundView(&view);
        setupText(port);
        CaptureStderr();
        ASSERT_TRUE(port.start());
        GetCapturedStderr();
        while (fake::procRecord(kOutputId, OutputIOProc).calls < 20) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    // Each procedure answered the stop request itself, and none is called any more.
    const fake::ProcRecord input = fake::procRecord(kInputId, InputIOProc);
    const fake::ProcRecord output = fake::procRecord(kOutputId, OutputIOProc);
    EXPECT_EQ(input.stopsInside, 1);
    EXPECT_EQ(output.stopsInside, 1);
    EXPECT_EQ(input.stopsOutside + output.stopsOutside, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(fake::procRecord(kInputId, InputIOProc).calls, input.calls);
    EXPECT_EQ(fake::procRecord(kOutputId, OutputIOProc).calls, output.calls);
}

TEST_F(SoundPortTest, TeardownStopsAProcedureThatIsNoLongerCalled) {
    addDevices(stereoDevice(kInputId, true), stereoDevice(kOutputId, true));
    {
        MySoundPort port;
        port.mStopBound = std::chrono::milliseconds(20);
        setupText(port);
        CaptureStderr();
        ASSERT_TRUE(startByHand(port, 0.0, 0.0));
        GetCapturedStderr();
        // Neither device calls again: the teardown waits its bound, then stops both.
    }
    EXPECT_EQ(fake::procRecord(kInputId, InputIOProc).stopsOutside, 1);
    EXPECT_EQ(fake::procRecord(kOutputId, OutputIOProc).stopsOutside, 1);
}
