// The sound port on the failure-injecting boundary: device discovery and its report, the
// error reporter, start's refusals and buffer sizes, the latency report and the teardown.
#include "EngineTestSupport.h"
#include "MyRingBuffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>

using fake::stereoDevice;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

// The two devices (an id of 0: no such device) as the only ones, and the port's setup.
std::string discover(MySoundPort& port, const fake::Device& in, const fake::Device& out) {
    fake::reset();
    for (const fake::Device* device : {&in, &out}) {
        if (device->id != 0) {
            fake::addDevice(*device);
        }
    }
    fake::setDefaultDevices(in.id, out.id);
    CaptureStderr();
    port.setup();
    return GetCapturedStderr();
}

} // namespace

TEST(ErrorReporter, WritesTheStatusBytesUpToTheFirstZeroByte) {
    CaptureStderr();
    MySoundPort::checkError(0x00414243, "small");
    MySoundPort::checkError(0x41004243, "inner");
    MySoundPort::checkError(-50, "negative");
    EXPECT_EQ(GetCapturedStderr(), "small error: 4276803 ()\ninner error: 1090536003 (A)\n"
                                   "negative error: -50 (\xFF\xFF\xFF\xCE)\n");
}

TEST(SoundPort, DiscoveryFillsTheRecordAndReportsIt) {
    const std::string kDev = " error: 560227702 (!dev)\n";
    struct Case {
        std::function<void(fake::Device&)> change; // of an interleaved input at -6 dB
        std::string said;                          // before the input report
        std::string piece;                         // of the reports
        float maxValue;
    };
    const Case cases[] = {
        {[](fake::Device&) {}, "",
         "\n\nInput Device:\n\nDevice Name(ID): Fake Device (7)\ninitialized: 1\n\n"
         "DeviceFormat:\nLinearPCM = 1\nFloat = 1\nInterleaved = 1\n\nmSampleRate = 44100\n"
         "mFormatFlags = 00000009\nmBytesPerPacket = 8\nmFramesPerPacket = 1\n"
         "mChannelsPerFrame = 2\nmBytesPerFrame = 8\nmBitsPerChannel = 32\n\nbufferSize = 4096\n"
         "safetyOffset = 20\nframesPerBuffer = 512\n\n\n"
         "kAudioDevicePropertyVolumeDecibels error: 1970171760 (unop)\n\n\nOutput Device:\n\n"
         "Device Name(ID): Fake Device (9)\n",
         0.501187f},
        {[](fake::Device& d) { d.format.mFormatFlags = 0x2C; }, "ERROR: Device format not float.\n",
         "initialized: 0\n\nDeviceFormat:\nLinearPCM = 1\nFloat = 0\nInterleaved = 0\n\n"
         "mSampleRate = 44100\nmFormatFlags = 0000002C\n",
         0.501187f},
        {[](fake::Device& d) { d.format.mFormatID = 0; }, "ERROR: Device format not LinearPCM\n",
         "initialized: 0\n\nDeviceFormat:\nLinearPCM = 0\nFloat = 1\n", 0.501187f},
        {[](fake::Device& d) { d.name = std::string(300, 'x'), d.terminateName = false; }, "",
         "Device Name(ID): " + std::string(254, 'x') + " (7)\n", 0.501187f},
        {[](fake::Device& d) { d.name = "Short", d.terminateName = false; }, "",
         "Device Name(ID): Short (7)\n", 0.501187f},
        // Every query is made and reported; the name query leaves what the record held.
        {[](fake::Device& d) { d.id = 0; },
         "kAudioHardwarePropertyDefault(IN|OUT)Device" + kDev + "kAudioDevicePropertyDeviceName" +
             kDev + "kAudioDevicePropertyBufferSize" + kDev + "kAudioDevicePropertyStreamFormat" +
             kDev + "kAudioDevicePropertyVolumeDecibels" + kDev +
             "kAudioDevicePropertySafetyOffset" + kDev + "ERROR: Device format not LinearPCM\n",
         "Device Name(ID): " + std::string(254, 'y') + " (0)\ninitialized: 0\n", 1.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.piece);
        fake::Device in = stereoDevice(kInputId, true);
        in.safetyOffset = 20;
        in.volumeDecibels = -6.0f;
        c.change(in);
        MySoundPort port;
        std::memset(port.mInputDevice.name, 'y', sizeof port.mInputDevice.name);
        const std::string text = discover(port, in, stereoDevice(kOutputId, true));
        EXPECT_EQ(text.substr(0, text.find("\n\nInput Device:")), c.said);
        EXPECT_NE(text.find(c.piece), std::string::npos) << text;
        EXPECT_NEAR(port.maxInputValue(), c.maxValue, 1e-5f);
    }
}

TEST(SoundPort, StartChecksTheDevicesSizesTheBuffersAndReports) {
    const auto layout = [](AudioDeviceID id, std::uint32_t channels, std::uint32_t bytes,
                           std::uint32_t flags) {
        fake::Device device = stereoDevice(id, true);
        device.format.mChannelsPerFrame = channels;
        device.format.mBytesPerFrame = bytes;
        device.format.mFormatFlags = flags;
        return device;
    };
    const auto unsupported = [](const std::string& what) {
        const std::string rest = " stream not supported: " + what +
                                 "; the tuner needs two 32-bit "
                                 "float channels, interleaved or in a buffer each.\n";
        return "Error - input" + rest + "Error - output" + rest;
    };
    const auto report = [](const char* seconds) {
        return "LATENCY REPORT:\nthru latency: 1074 frames\ninToOutOffset: 1174 frames\n"
               "latency in seconds: " +
               std::string(seconds) + "\n\n";
    };
    const auto mismatch = [](const std::string& bytes) {
        return "Error - format mismatch: 2 / 2 channels, " + bytes +
               " bytes per frame\n"
               "It is really much better if you use the same device for input and output, or "
               "devices that have a similar format.\nThis program will try to get things to work "
               "out, but it is known that with some devices things are picky.\nFor instance going "
               "between Jack and another device will probably work at first, but break if you try "
               "to change the conncections in jack pilot.\nBasicly, I'll give it a shot, but no "
               "one is promising anything.\n\n";
    };
    const std::string later = "; the tuner starts when there is one.\n";
    // Safety offsets of 20 and 30 frames; the handshake measures 100 frames between them.
    const auto device = [](AudioDeviceID id, bool interleaved, double rate = 44100.0) {
        fake::Device device = stereoDevice(id, interleaved, rate);
        device.safetyOffset = id == kInputId ? 20 : 30;
        return device;
    };
    const fake::Device in = device(kInputId, true), out = device(kOutputId, true), none;
    fake::Device noClock = in;
    noClock.currentTimeStatus = kAudioHardwareNotRunningError;
    struct Case {
        fake::Device in, out;
        std::string said;
        std::uint32_t ringFrames, ringFrameBytes, tempBytes; // 0 frames: refused
    };
    const Case cases[] = {
        {none, out, "Error - no default input device" + later, 0, 0, 0},
        {in, none, "Error - no default output device" + later, 0, 0, 0},
        {none, none, "Error - no default input device and no default output device" + later, 0, 0,
         0},
        {in, device(kOutputId, true, 48000.0),
         "Error - sample rate mismatch: 44100.000000 / 48000.000000\n", 0, 0, 0},
        {layout(kInputId, 1, 4, 9), layout(kOutputId, 1, 4, 9),
         unsupported("1 channels, 4 bytes per frame, format flags 00000009"), 0, 0, 0},
        {layout(kInputId, 2, 8, 0xC), layout(kOutputId, 2, 8, 0xC),
         unsupported("2 channels, 8 bytes per frame, format flags 0000000C"), 0, 0, 0},
        {noClock, out,
         "AudioDeviceGetCurrentTime-inputTime error: 1937010544 (stop)\n" + report("0.024354"),
         88200, 8, 8192},
        {device(kInputId, true, 48000.0), device(kOutputId, true, 48000.0), report("0.022375"),
         96000, 8, 8192},
        {in, device(kOutputId, false), mismatch("8 / 4") + report("0.024354"), 88200, 8, 4096},
        {device(kInputId, false), out, mismatch("4 / 8") + report("0.024354"), 88200, 4, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.said);
        const bool runs = c.ringFrames != 0;
        auto port = std::make_unique<MySoundPort>();
        discover(*port, c.in, c.out);
        CaptureStderr();
        EXPECT_EQ(startByHand(*port, 1000.0, 1100.0), runs);
        EXPECT_FALSE(runs && port->start()) << "a running port starts once, saying nothing";
        EXPECT_EQ(GetCapturedStderr(), c.said);
        EXPECT_EQ(port->mRunning, runs);
        EXPECT_EQ(port->mInputProcState.load(),
                  runs ? MySoundPort::kProcRunning : MySoundPort::kProcIdle);
        EXPECT_EQ(port->mInToOutSampleOffset.load(), runs ? 1174.0 : 0.0);
        for (const MyRingBuffer* ring : {port->inputBuffer(), port->inputBuffer2()}) {
            const bool held = ring == port->inputBuffer() || c.in.format.mBytesPerFrame == 4;
            EXPECT_EQ(ring->capacityFrames(), held ? c.ringFrames : 0u);
            EXPECT_EQ(ring->bytesPerFrame(), held ? c.ringFrameBytes : 0u);
        }
        EXPECT_EQ(port->channelBufferBytes(), runs ? 2048u : 0u);
        EXPECT_EQ(port->tempBufferBytes(), c.tempBytes);
        // Nothing fetched yet: every work buffer reads as zero.
        for (const auto& [buffer, floats] : {std::pair{port->mLeftInput.get(), runs ? 512u : 0u},
                                             std::pair{port->mRightInput.get(), runs ? 512u : 0u},
                                             std::pair{port->mLeftOutput.get(), runs ? 512u : 0u},
                                             std::pair{port->mRightOutput.get(), runs ? 512u : 0u},
                                             std::pair{port->mTempBuffer.get(), c.tempBytes / 4}}) {
            EXPECT_EQ(buffer != nullptr, floats != 0);
            EXPECT_TRUE(std::all_of(buffer, buffer + floats, [](float v) { return v == 0.0f; }));
        }
        destroyByHand(port);
    }
}

TEST(SoundPort, FailedInstallAndStartCallsAreReported) {
    fake::Device in = stereoDevice(kInputId, true);
    in.addStatus = kAudioHardwareIllegalOperationError;
    in.startStatus = kAudioHardwareUnspecifiedError;
    fake::Device out = stereoDevice(kOutputId, true);
    out.startStatus = kAudioHardwareNotRunningError;
    MySoundPort port;
    port.mStopBound = std::chrono::milliseconds(20);
    discover(port, in, out);
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

TEST(SoundPort, TeardownStopsBothProceduresBeforeFreeing) {
    // Procedures that are still called answer the stop request themselves; those that are
    // not are stopped from outside once the bound has passed.
    for (const bool called : {true, false}) {
        SCOPED_TRACE(called ? "called" : "no longer called");
        fake::Device in = stereoDevice(kInputId, true);
        fake::Device out = stereoDevice(kOutputId, false);
        in.runs = out.runs = called;
        {
            MySoundPort port;
            port.mStopBound = std::chrono::milliseconds(called ? 2000 : 20);
            discover(port, in, out);
            CaptureStderr();
            const bool started = called ? port.start() : startByHand(port, 0.0, 0.0);
            GetCapturedStderr();
            ASSERT_TRUE(started);
            while (called && port.mOutputCalls < 20) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        for (const auto& [device, proc] :
             {std::pair{kInputId, &InputIOProc}, std::pair{kOutputId, &OutputIOProc}}) {
            const fake::ProcRecord record = fake::procRecord(device, proc);
            EXPECT_EQ(record.stopsInside, called ? 1 : 0);
            EXPECT_EQ(record.stopsOutside, called ? 0 : 1);
            EXPECT_EQ(record.removes, 1);
        }
    }
    fake::reset();
}
