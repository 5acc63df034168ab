// The sound port on the failure-injecting boundary: device discovery and its report, start's
// refusals, buffer sizes and latency report, the error reporter; and its two IO procedures
// called by hand: the handshake, frame numbers past 2^31, the split into channels, the
// output layouts, missed fetches and the stop request; the input's health on simulated
// deliveries.
//
// And the input channel the guitar is played on, found by the engine itself: seeded random
// interfaces of 1 to 32 channels through the real procedures, rings and intake, the E4 strikes
// on one channel (or moving to another), the other channels silent, humming, hissing, offset,
// clicking or hearing the string more weakly and later, or all carrying the same sound. Where
// the first channel stays the one analysed, the readings are bit for bit those of the first
// channel alone; elsewhere each is judged against what the strikes give on one channel at
// every alignment of the analysis windows (the replay's ranges).
#include "FakeAudioHardware.h"
#include "MyRingBuffer.h"
#include "MySoundPort.h"
#include "Replay.h"
#include "SoundView.h"
#include "support/SimulatedDelivery.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <numbers>
#include <numeric>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

constexpr std::int64_t k31 = std::int64_t{1} << 31;

// The two devices (an id of 0: no such device) as the only ones, and the port's setup.
std::string discover(MySoundPort& port, const fake::Device& in, const fake::Device& out) {
    fake::reset();
    fake::plugIn(in, out);
    CaptureStderr();
    port.setup();
    return GetCapturedStderr();
}

// Starts the port and completes the handshake by hand, the last input block at inputTime
// and the measuring output call at outputTime; then computes the offset. Procedures called
// by hand answer no stop request: the teardown stops them from outside, without waiting.
bool startByHand(MySoundPort& port, double inputTime, double outputTime) {
    port.mStopBound = std::chrono::milliseconds(0);
    if (!port.start()) {
        return false;
    }
    fake::Buffers input(512, port.mInputDevice.interleaved != 0, 0.0f,
                        port.mInputDevice.format.mChannelsPerFrame);
    fake::Buffers output(512, port.mOutputDevice.interleaved != 0);
    for (const double back : {port.mHandshakeSettleFrames, 0.0}) {
        fake::call(kInputId, InputIOProc, inputTime - back, input.list);
        fake::call(kOutputId, OutputIOProc, outputTime - back, output.list);
    }
    port.computeThruOffset();
    return port.handshakeDone();
}

float ramp(std::int64_t f) {
    return static_cast<float>(f % 100000) * 0.25f + 1.0f;
}

class IOProcTest : public testing::Test {
protected:
    // A port on two devices and a new view, started (by hand, unless armed is asked for).
    void startPort(bool inInterleaved, bool outInterleaved, bool armed = false,
                   std::uint32_t inChannels = 2) {
        port.reset();
        view = std::make_unique<SoundView>(NSMakeRect(0, 0, 700, 300));
        port = std::make_unique<MySoundPort>();
        port->setSoundView(view.get());
        discover(*port, fake::device(kInputId, inInterleaved, 44100.0, inChannels),
                 fake::device(kOutputId, outInterleaved));
        CaptureStderr();
        const bool started = armed ? port->start() : startByHand(*port, 0.0, 0.0);
        GetCapturedStderr();
        ASSERT_TRUE(started);
        port->mStopBound = std::chrono::milliseconds(0);
    }
    // An input block at `time` of ramp values from frame `first` on, negated on the right.
    // Every call of a procedure, whatever it does, answers noErr.
    void input(double time, std::int64_t first) {
        fake::Buffers block(512, port->mInputDevice.interleaved != 0);
        for (std::uint32_t i = 0; i < 512; ++i) {
            block.left(i) = ramp(first + i);
            block.right(i) = -ramp(first + i);
        }
        EXPECT_EQ(fake::call(kInputId, InputIOProc, time, block.list), 0) << "not noErr";
    }
    fake::Buffers output(double time) {
        fake::Buffers block(512, port->mOutputDevice.interleaved != 0, 7.0f);
        EXPECT_EQ(fake::call(kOutputId, OutputIOProc, time, block.list), 0) << "not noErr";
        return block;
    }

    std::unique_ptr<SoundView> view;
    std::unique_ptr<MySoundPort> port;
};

constexpr std::uint32_t kBlock = 512;
constexpr std::uint32_t kStrike = 109912; // one strike of the recording, as the e2e runs loop it
constexpr std::uint32_t kLeadIn = 44100;  // the tuner listens a second before the first strike
constexpr std::uint32_t kPluck = 22500;   // the string sounds this far into a strike
constexpr std::uint32_t kFrames = kLeadIn + 4 * kStrike + kStrike / 2; // four strikes, a tail

std::vector<ReplayReading> replayed(const std::vector<float>& samples) {
    std::vector<ReplayReading> readings;
    replaySamples(samples, 2 * kBlock, kBlock,
                  [&](const ReplayReading& r) { readings.push_back(r); });
    return readings;
}

enum Other : int { silence, hum, hiss, offset, clicks, weaker }; // printed as numbers

// One member of the table: the channel of each strike, and what every channel carries.
struct Member {
    std::uint32_t channels = 1;
    std::vector<std::uint32_t> guitar; // channel of each of the four strikes
    bool identical = false;            // every channel carries the strikes
    std::vector<Other> others;
    std::vector<double> level, frequency, delay; // per channel, as its kind needs
    std::uint32_t seed = 0;
    // Blocks from gapAt on that never come, or come while the input is muted.
    std::uint32_t gapAt = 0, gapBlocks = 0;
    bool muted = false;
};

Member draw(std::mt19937& random) {
    static const std::uint32_t kCounts[] = {1, 2, 2, 2, 2, 3, 4, 6, 8, 8, 16, 32};
    auto pick = [&](double low, double high) { return uniform(random, low, high); };
    Member m;
    m.seed = static_cast<std::uint32_t>(random());
    m.channels = kCounts[random() % std::size(kCounts)];
    const auto anyChannel = [&] { return static_cast<std::uint32_t>(random() % m.channels); };
    const std::uint32_t first = random() % 3 == 0 ? 0 : anyChannel();
    m.guitar = {first, first, first, first};
    if (random() % 4 == 0) {
        const std::uint32_t next = anyChannel(); // the strikes move to another channel
        std::fill(m.guitar.begin() + 1, m.guitar.end(), next);
    }
    m.identical = random() % 8 == 0;
    if (random() % 3 == 0) { // a gap of up to 1.4 s in the second to fourth strike: anywhere
        // in it, or over the moment the string is struck
        m.gapBlocks =
            static_cast<std::uint32_t>(random() % 2 == 0 ? 1 + random() % 3 : 4 + random() % 116);
        const std::uint32_t strike = kLeadIn + (1 + random() % 3) * kStrike;
        m.gapAt = (random() % 2 == 0 ? strike + random() % kStrike
                                     : strike + kPluck - random() % (m.gapBlocks * kBlock)) /
                  kBlock * kBlock;
        m.muted = m.gapBlocks >= 4 && random() % 2 == 0; // a failing input is muted for long
    }
    // Hum above the strike's tail (RMS 0.01) and well below its attack (0.12); hiss at -60 to
    // -40 dBFS; offsets to a half; clicks to 0.9; the string 6-20 dB down.
    const std::function<double()> levels[] = {
        [] { return 0.0; },
        [&] { return pick(0.025, 0.07); },
        [&] { return std::pow(10.0, pick(-3.0, -2.0)); },
        [&] { return pick(0.05, 0.5) * (random() % 2 == 0 ? 1 : -1); },
        [&] { return pick(0.3, 0.9); },
        [&] { return std::pow(10.0, -pick(6.0, 20.0) / 20.0); },
    };
    for (std::uint32_t c = 0; c < m.channels; ++c) {
        // A channel the strikes are on carries nothing else.
        const bool struck = std::find(m.guitar.begin(), m.guitar.end(), c) != m.guitar.end();
        m.others.push_back(struck ? Other::silence : static_cast<Other>(random() % 6));
        m.level.push_back(levels[static_cast<int>(m.others.back())]());
        m.frequency.push_back(random() % 2 == 0 ? 50.0 : 60.0);
        m.delay.push_back(std::round(pick(0.001, 0.005) * 44100.0));
    }
    return m;
}

auto key(const ReplayReading& r) {
    return std::tuple(r.mCurrentVolume, r.mSamplePeriod, r.mFrequency, r.mDisplayFrequency,
                      r.mFrequencyStable, r.mInTune, r.selectedFrequency, r.mSinceAttack);
}

// One strike of the E4, the ranges of two strikes in a row at every alignment, and the
// readings of the four strikes alone on one channel.
class InputChannelChoiceTest : public IOProcTest {
protected:
    InputChannelChoiceTest() {
        EXPECT_EQ(readRecording(TUNER_CORPUS_DIR "/public/fluidr3_steel_E4_+00c.flac", e4), "");
        e4.resize(kStrike);
        std::vector<float> two = e4, four(kLeadIn, 0.0f);
        two.insert(two.end(), e4.begin(), e4.end());
        ranges = replayShownRanges(two, kBlock);
        four.insert(four.end(), two.begin(), two.end());
        four.insert(four.end(), two.begin(), two.end());
        four.resize(kFrames, 0.0f);
        oneChannel = replayed(four);
        const auto found = std::ranges::find_if(oneChannel, [](const ReplayReading& r) {
            return r.mSinceAttack == 0 && r.time > kLeadIn / 44100.0;
        });
        EXPECT_NE(found, oneChannel.end());
        attack = found != oneChannel.end() ? found->time * 44100.0 - kLeadIn : 0.0;
    }

    // The member through a started port, block by block, as a device delivers it: the
    // readings of every analysis, timed from the member's first frame, what the first channel
    // carried, and the channel analysed at the end.
    std::tuple<std::vector<ReplayReading>, std::vector<float>, std::uint32_t>
    hear(const Member& m) {
        startPort(true, true, false, m.channels); // the view hears the handshake's silence
        fake::Buffers input(kBlock, true, 0.0f, m.channels);
        const double behind = port->mInToOutSampleOffset.load();
        view->takeNeedsDisplay();
        // The interface's frames: the strikes' sound at frame f (0 before and after), `on` the
        // channel they are on, and channel c at frame f.
        std::mt19937 random(m.seed);
        std::normal_distribution<double> noise;
        const auto struck = [&](std::int64_t f, std::uint32_t& on) {
            const std::int64_t at = f - kLeadIn;
            const bool within = at >= 0 && at < 4 * kStrike;
            on = m.guitar[within ? at / kStrike : 0];
            return within ? e4[at % kStrike] : 0.0f;
        };
        const auto frame = [&](std::int64_t f, std::uint32_t c) -> double {
            std::uint32_t on = 0;
            const float strike = struck(f, on);
            const double level = m.level[c], w = 2 * std::numbers::pi * m.frequency[c];
            const auto harmonic = [&](int h) { return std::sin(w * h * (f / 44100.0) + h) / h; };
            if (m.identical || c == on) {
                return strike;
            }
            const Other kind = m.others[c];
            return kind == hum    ? level * (harmonic(1) + harmonic(2) + harmonic(3) + harmonic(5))
                   : kind == hiss ? level * noise(random)
                   : kind == offset ? level
                   : kind == clicks ? (random() % 4000 == 0 ? static_cast<float>(level) : 0.0f)
                   : kind == weaker ? static_cast<float>(level) *
                                          struck(f - static_cast<std::int64_t>(m.delay[c]), on)
                                    : 0.0;
        };
        std::vector<ReplayReading> readings;
        std::vector<float> firstChannel;
        for (std::uint32_t first = 0; first + kBlock <= kFrames; first += kBlock) {
            for (std::uint32_t i = 0; i < kBlock * m.channels; ++i) {
                input.first[i] = static_cast<float>(frame(first + i / m.channels, i % m.channels));
            }
            for (std::uint32_t i = 0; i < kBlock; ++i) {
                firstChannel.push_back(input.left(i));
            }
            const double time = first + kBlock;
            const bool gap = first >= m.gapAt && first < m.gapAt + m.gapBlocks * kBlock;
            port->muteInput(gap && m.muted);
            if (!gap || m.muted) {
                fake::call(kInputId, InputIOProc, time, input.list);
            }
            output(time + behind);
            if (view->takeNeedsDisplay()) {
                readings.push_back(readingOf(*view, time / 44100.0));
            }
        }
        return {readings, firstChannel, port->health(0.0).heardChannel & 0xFFFFFFFFu};
    }

    std::vector<float> e4;
    ReplayRanges ranges;
    std::vector<ReplayReading> oneChannel;
    double attack = 0.0; // the frame of a strike by which one channel alone finds its attack
};

} // namespace

TEST(SoundPort, DiscoveryFillsTheRecordAndReportsIt) {
    const std::string kDev = " error: 560227702 (!dev)\n";
    // A change of an interleaved input at -6 dB, what is said before the input report, and a
    // piece of the reports.
    const std::tuple<std::function<void(fake::Device&)>, std::string, std::string> cases[] = {
        {[](fake::Device&) {}, "",
         "\n\nInput Device:\n\nDevice Name(ID): Fake Device (7)\ninitialized: 1\n\n"
         "DeviceFormat:\nLinearPCM = 1\nFloat = 1\nInterleaved = 1\n\nmSampleRate = 44100\n"
         "mFormatFlags = 00000009\nmBytesPerPacket = 8\nmFramesPerPacket = 1\n"
         "mChannelsPerFrame = 2\nmBytesPerFrame = 8\nmBitsPerChannel = 32\n\nbufferSize = 4096\n"
         "safetyOffset = 20\nframesPerBuffer = 512\n\n\n"
         "kAudioDevicePropertyVolumeDecibels error: 1970171760 (unop)\n\n\nOutput Device:\n\n"
         "Device Name(ID): Fake Device (9)\n"},
        {[](fake::Device& d) { d.format.mFormatFlags = 0x2C; }, "ERROR: Device format not float.\n",
         "initialized: 0\n\nDeviceFormat:\nLinearPCM = 1\nFloat = 0\nInterleaved = 0\n\n"
         "mSampleRate = 44100\nmFormatFlags = 0000002C\n"},
        {[](fake::Device& d) { d.format.mFormatID = 0; }, "ERROR: Device format not LinearPCM\n",
         "initialized: 0\n\nDeviceFormat:\nLinearPCM = 0\nFloat = 1\n"},
        {[](fake::Device& d) { d.name = std::string(300, 'x'), d.terminateName = false; }, "",
         "Device Name(ID): " + std::string(254, 'x') + " (7)\n"},
        {[](fake::Device& d) { d.name = "Short", d.terminateName = false; }, "",
         "Device Name(ID): Short (7)\n"},
        // Every query is made and reported; the name query leaves what the record held.
        {[](fake::Device& d) { d.id = 0; },
         "kAudioHardwarePropertyDefault(IN|OUT)Device" + kDev + "kAudioDevicePropertyDeviceName" +
             kDev + "kAudioDevicePropertyBufferSize" + kDev + "kAudioDevicePropertyStreamFormat" +
             kDev + "kAudioDevicePropertyVolumeDecibels" + kDev +
             "kAudioDevicePropertySafetyOffset" + kDev + "ERROR: Device format not LinearPCM\n",
         "Device Name(ID): " + std::string(254, 'y') + " (0)\ninitialized: 0\n"},
    };
    for (const auto& [change, said, piece] : cases) {
        SCOPED_TRACE(piece);
        fake::Device in = fake::device(kInputId);
        in.volumeDecibels = -6.0f;
        change(in);
        MySoundPort port;
        std::memset(port.mInputDevice.name, 'y', sizeof port.mInputDevice.name);
        const std::string text = discover(port, in, fake::device(kOutputId));
        EXPECT_EQ(text.substr(0, text.find("\n\nInput Device:")), said);
        EXPECT_NE(text.find(piece), std::string::npos) << text;
        // -6 dB, or the gain of 1 a missing device keeps.
        EXPECT_NEAR(port.maxInputValue(), in.id != 0 ? 0.501187f : 1.0f, 1e-5f);
    }
}

TEST(SoundPort, StartChecksTheDevicesSizesTheBuffersAndReports) {
    using fake::device; // the handshake measures 100 frames between the devices
    const auto unsupported = [](const std::string& what, bool input) {
        const std::string rest = " stream not supported: " + what + "; the tuner needs ";
        const std::string channels = " 32-bit float channels, interleaved or in a buffer each.\n";
        return (input ? "Error - input" + rest + "1 to 32 (2 in a buffer each)" + channels : "") +
               "Error - output" + rest + "two" + channels;
    };
    const std::string report = "LATENCY REPORT:\nthru latency: 1074 frames\ninToOutOffset: "
                               "5270 frames\nlatency in seconds: ";
    const auto mismatch = [](const std::string& bytes, const std::string& channels = "2 / 2") {
        return "Error - format mismatch: " + channels + " channels, " + bytes +
               " bytes per frame\nIt is really much better if you use the same device for input "
               "and output, or devices that have a similar format.\nThis program will try to get "
               "things to work out, but it is known that with some devices things are picky.\nFor "
               "instance going between Jack and another device will probably work at first, but "
               "break if you try to change the conncections in jack pilot.\nBasicly, I'll give it "
               "a shot, but no one is promising anything.\n\n";
    };
    const std::string later = "; the tuner starts when there is one.\n";
    const fake::Device in = device(kInputId), out = device(kOutputId), none;
    fake::Device noClock = in, intIn = in, intOut = out;
    noClock.currentTimeStatus = kAudioHardwareNotRunningError;
    intIn.format.mFormatFlags = intOut.format.mFormatFlags = 0xC; // packed signed integers
    // The devices, what start says, whether it runs, and the bytes of its temporary buffer.
    const std::tuple<fake::Device, fake::Device, std::string, bool, std::uint32_t> cases[] = {
        {none, out, "Error - no default input device" + later, false, 0},
        {in, none, "Error - no default output device" + later, false, 0},
        {none, none, "Error - no default input device and no default output device" + later, false,
         0},
        {in, device(kOutputId, true, 48000.0),
         "Error - sample rate mismatch: 44100.000000 / 48000.000000\n", false, 0},
        {device(kInputId, true, 44100.0, 1), device(kOutputId, true, 44100.0, 1),
         unsupported("1 channels, 4 bytes per frame, format flags 00000009", false), false, 0},
        {intIn, intOut, unsupported("2 channels, 8 bytes per frame, format flags 0000000C", true),
         false, 0},
        // An interface of eight channels, one of which the view hears.
        {device(kInputId, true, 44100.0, 8), out,
         mismatch("32 / 8", "8 / 2") + report + "0.024354\n\n", true, 16384},
        {noClock, out,
         "AudioDeviceGetCurrentTime-inputTime error: 1937010544 (stop)\n" + report + "0.024354\n\n",
         true, 8192},
        {device(kInputId, true, 48000.0), device(kOutputId, true, 48000.0), report + "0.022375\n\n",
         true, 8192},
        {in, device(kOutputId, false), mismatch("8 / 4") + report + "0.024354\n\n", true, 4096},
        {device(kInputId, false), out, mismatch("4 / 8") + report + "0.024354\n\n", true, 0},
    };
    for (const auto& [input, output, said, runs, tempBytes] : cases) {
        SCOPED_TRACE(said);
        auto port = std::make_unique<MySoundPort>();
        discover(*port, input, output);
        CaptureStderr();
        EXPECT_EQ(startByHand(*port, 1000.0, 1100.0), runs);
        EXPECT_FALSE(runs && port->start()) << "a running port starts once, saying nothing";
        EXPECT_EQ(GetCapturedStderr(), said);
        EXPECT_EQ(port->mRunning, runs);
        EXPECT_EQ(port->mInputProcState.load(),
                  runs ? MySoundPort::kProcRunning : MySoundPort::kProcIdle);
        EXPECT_EQ(port->mInToOutSampleOffset.load(),
                  runs ? 1174.0 + MySoundPort::kReadSlackFrames : 0.0);
        // Two seconds of input, in a ring for each buffer of the input.
        for (const MyRingBuffer* ring : {port->inputBuffer(), port->inputBuffer2()}) {
            const bool held =
                runs && (ring == port->inputBuffer() || input.format.mBytesPerFrame == 4);
            EXPECT_EQ(ring->capacityFrames(), held ? 2 * input.format.mSampleRate : 0u);
            EXPECT_EQ(ring->bytesPerFrame(), held ? input.format.mBytesPerFrame : 0u);
        }
        EXPECT_EQ(port->channelBufferBytes(), runs ? 2048u : 0u);
        EXPECT_EQ(port->tempBufferBytes(), tempBytes);
        // Nothing fetched yet: every work buffer reads as zero.
        for (const auto* work : {&port->mLeftInput, &port->mRightInput, &port->mLeftOutput,
                                 &port->mRightOutput, &port->mTempBuffer}) {
            const std::uint32_t bytes = work == &port->mTempBuffer ? tempBytes : 2048u;
            const std::uint32_t floats = runs ? bytes / 4 : 0;
            EXPECT_EQ(*work != nullptr, floats != 0);
            EXPECT_TRUE(std::all_of(work->get(), work->get() + floats, [](float v) { return !v; }));
        }
    }
}

TEST(SoundPort, FailedInstallAndStartCallsAreReportedWithTheirStatusBytes) {
    fake::Device in = fake::device(kInputId), out = fake::device(kOutputId);
    in.startStatus = 0x00414243; // no characters: the first byte is 0
    out.addStatus = -50;         // its bytes, FF FF FF CE, as they are
    MySoundPort port;
    port.mStopBound = std::chrono::milliseconds(20);
    discover(port, in, out);
    CaptureStderr();
    EXPECT_FALSE(port.start());
    EXPECT_EQ(GetCapturedStderr(), "AudioDeviceStart-input error: 4276803 ()\n"
                                   "AudioDeviceAddIOProc-output error: -50 (\xFF\xFF\xFF\xCE)\n"
                                   "AudioDeviceStart-output error: 1852797029 (nope)\n");
    // What was added goes again, so that a later start can add it anew.
    port.stop();
    EXPECT_EQ(fake::procRecord(kInputId, true).removes, 1);
    EXPECT_EQ(port.mRunning, 0);
}

TEST_F(IOProcTest, HandshakeMeasuresTheClockDifferenceAndAStopRequestStopsTheProcedures) {
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
    // burst, so nothing is measured until the input has moved on by the settling distance;
    // the largest lead seen meanwhile counts (a bursty input leads by less after a burst).
    output(5000.0);
    output(25000.0);
    input(1000.9 + 21504.0, 1000 + 21504);
    output(25512.0);
    EXPECT_EQ(port->mOutputProcState.load(), MySoundPort::kProcArmed) << "measured in the burst";

    // Once the input has moved on by half a second the handshake completes, writing nothing;
    // the view meanwhile heard silence.
    input(1000.9 + 22050.0, 1000 + 22050);
    const fake::Buffers handshake = output(27050.0);
    EXPECT_EQ(handshake.first[0] + handshake.first[1023], 14.0f);
    EXPECT_EQ(view->mCurrentStep.load(), 5 % view->mStepsPerBuffer.load());
    EXPECT_DOUBLE_EQ(port->mIODeltaSampleCount.load(), 25000.0 - 1000.9);
    EXPECT_EQ(port->mOutputProcState.load(), MySoundPort::kProcRunning);
    // The output reads behind from its next call on, before the main thread reports, with
    // a margin for the input's bursts and jitter.
    EXPECT_DOUBLE_EQ(port->mInToOutSampleOffset.load(),
                     1074.0 + 25000.0 - 1000.9 + MySoundPort::kReadSlackFrames);

    // Asked to stop, each procedure stops its own device and touches no data.
    const std::int32_t step = view->mCurrentStep.load();
    port->mInputProcState = port->mOutputProcState = MySoundPort::kProcStopRequested;
    input(1000.9 + 22562.0, 1000 + 22562);
    EXPECT_EQ(output(27562.0).first[0], 7.0f);
    EXPECT_EQ(port->mInputProcState.load() + port->mOutputProcState.load(), 0); // both idle
    EXPECT_EQ(fake::procRecord(kInputId, true).stopsInside, 1);
    EXPECT_EQ(fake::procRecord(kOutputId, false).stopsInside, 1);
    EXPECT_EQ(port->inputBuffer()->endFrame(), 1000 + 22562) << "a block stored";
    EXPECT_EQ(view->mCurrentStep.load(), step) << "the view got a block";
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
        std::iota(port->mRightOutput.get(), port->mRightOutput.get() + 512, 1.0f);
        port->mInToOutSampleOffset = 1300.5; // k31 + 500 less 1300.5: frame k31 - 801
        fake::Buffers out = output(k31 + 500.0);
        const std::int64_t first = k31 - 801;
        for (std::uint32_t i = 0; i < 512; ++i) {
            ASSERT_EQ(port->mLeftInput[i], ramp(first + i)) << i;
            ASSERT_EQ(port->mRightInput[i], -ramp(first + i)) << i;
            ASSERT_EQ(out.left(i), 0.0f) << i;
            ASSERT_EQ(out.right(i), static_cast<float>(i + 1)) << i;
        }
        // The view's intake received the left channel, a block of 512 samples, after the
        // silence it heard during the handshake.
        const std::int32_t slot = 512 * ((view->mCurrentStep.load() + 3) % 4);
        EXPECT_EQ(view->mSampleBuffer[slot].load(), ramp(first));
        EXPECT_EQ(view->mSampleBuffer[slot + 511].load(), ramp(first + 511));
        // A list that holds less than the stream needs is not read: one buffer of 4 bytes.
        fake::Buffers single(512, true);
        single.list.mBuffers[0].mDataByteSize = 4;
        fake::call(kInputId, InputIOProc, k31 + 536.0, single.list);
        EXPECT_EQ(port->inputBuffer()->endFrame(), k31 + 536);
    }
}

TEST_F(IOProcTest, MissedOrLateFetchesGiveWayToANewHandshake) {
    // Past everything stored: silence, never the block before again, and no new handshake
    // while nothing says the offset is wrong (the input may have stopped); but input that
    // keeps coming for frames already passed, for longer than a loss takes to be counted,
    // does. Further behind the input than the margin and its slack allow: the old input is
    // still analysed, until a new handshake; further behind than the ring holds: silence,
    // until a new handshake.
    for (const double offset : {-100000.0, 50000.0, 150000.0}) {
        SCOPED_TRACE(offset);
        startPort(true, true);
        double t = 0.0;
        for (; t < 60000.0; t += 512.0) {
            input(t, static_cast<std::int64_t>(t));
        }
        port->mInToOutSampleOffset = offset;
        const auto blocks = static_cast<std::uint32_t>(
            offset < 0 ? MySoundPort::kLateArrivalFrames / 512.0 + 2 : MySoundPort::kResyncBlocks);
        for (std::uint32_t k = 0; k < blocks; ++k) {
            const double time = 60000.0 + 512.0 * k;
            EXPECT_EQ(port->mOutputProcState.load(), MySoundPort::kProcRunning) << "block " << k;
            output(time);
            const float expected =
                offset > 0 && time >= offset ? ramp(static_cast<std::int64_t>(time - offset)) : 0;
            ASSERT_EQ(port->mLeftInput[0], expected) << "block " << k;
            if (offset < 0) {
                input(t, static_cast<std::int64_t>(t));
                t += 512.0;
            }
        }
        output(60000.0 + 512.0 * blocks);
        EXPECT_EQ(port->mOutputProcState.load(), MySoundPort::kProcArmed);
        EXPECT_EQ(port->health(0.0).resyncs, 1u);
        // The input runs on; the output measures again and reads a thru latency and the
        // margin behind.
        for (const double settle : {0.0, port->mHandshakeSettleFrames}) {
            input(t + settle, 0);
            output(t + 20000.0 + settle);
        }
        EXPECT_EQ(port->mOutputProcState.load(), MySoundPort::kProcRunning);
        EXPECT_DOUBLE_EQ(port->mInToOutSampleOffset.load(),
                         port->mActualThruLatency.load() + 20000.0 + MySoundPort::kReadSlackFrames);
    }
}

TEST_F(InputChannelChoiceTest, FindsTheGuitarOnAnyChannelAndOnlyBySomethingStruckOnIt) {
    ASSERT_GT(ranges.inTune.lowest, 0.0f);
    std::mt19937 random(2812);
    int changes = 0, readInFirstStrike = 0;
    // First two that mute, then lose, the input over the third strike's pluck until it sounds
    // loud, on two channels with hum on the second; then drawn ones.
    for (int member = 0; member < 34; ++member) {
        const Member m = member < 2 ? Member{.channels = 2,
                                             .guitar = {0, 0, 0, 0},
                                             .others = {silence, hum},
                                             .level = {0.0, 0.05},
                                             .frequency = {50.0, 50.0},
                                             .delay = {0, 0},
                                             .gapAt = kLeadIn + 2 * kStrike + kPluck - 2048,
                                             .gapBlocks = 40,
                                             .muted = member == 0}
                                    : draw(random);
        // What a failure names: the channels (from 0) the strikes are on, and what each carries.
        SCOPED_TRACE(testing::Message()
                     << m.channels << (m.identical ? " channels, all alike" : " channels")
                     << ", strikes on " << testing::PrintToString(m.guitar)
                     << ", others (silence hum hiss offset clicks weaker) "
                     << testing::PrintToString(m.others) << ", a gap of " << m.gapBlocks
                     << (m.muted ? " blocks muted at " : " blocks missing at ") << m.gapAt);
        const auto [readings, first, channel] = hear(m);
        const bool firstThroughout = m.identical || (m.guitar[0] == 0 && m.guitar[2] == 0);
        EXPECT_EQ(channel, firstThroughout ? 0u : m.guitar.back());
        if (firstThroughout && m.gapBlocks == 0) {
            // The first channel throughout: what it alone gives, bit for bit.
            const std::vector<ReplayReading> alone = replayed(first);
            const auto [a, b] = std::ranges::mismatch(readings, alone, {}, key, key);
            EXPECT_TRUE(a == readings.end() && b == alone.end())
                << "analysis " << a - readings.begin() << " of " << alone.size();
            continue;
        }
        // Whether a strike gives the E4 reading in tune.
        const auto reads = [&](const std::vector<ReplayReading>& of, std::size_t s) {
            const double begin = static_cast<double>(kLeadIn + s * kStrike) / 44100.0;
            return std::ranges::any_of(of, [&](const ReplayReading& r) {
                return r.time > begin && r.time < begin + kStrike / 44100.0 &&
                       r.mFrequencyStable == 1.0f && r.mInTune == 1.0f &&
                       r.selectedFrequency == 5 && r.mDisplayFrequency >= ranges.inTune.lowest &&
                       r.mDisplayFrequency <= ranges.inTune.highest;
            });
        };
        // From the first strike's first reading on, a reading shown at full strength is one
        // the strikes give on one channel (what the first channel carried before is read as
        // it sounds).
        const double struck = static_cast<double>(kLeadIn + kStrike / 2) / 44100.0;
        for (const ReplayReading& r : readings) {
            if (r.mFrequencyStable == 1.0f && r.time > struck) {
                EXPECT_GE(r.mDisplayFrequency, ranges.shown.lowest) << r.time;
                EXPECT_LE(r.mDisplayFrequency, ranges.shown.highest) << r.time;
            }
        }
        // A muted input's note is over, and a strike heard first after the mute is heard from
        // its middle: from a window into the mute until the next attack no note starts (its
        // first reading would be none the strikes give from their attack), and from a window
        // after the mute nothing is shown at full strength. A hole shorter than a window away
        // from an attack leaves the readout as it stood. After any gap, the strike whose attack
        // comes three windows or more after it reads in tune wherever the strikes alone on one
        // channel, at the same alignment, give it.
        const auto attackAfter = [&](double frame) {
            std::size_t s = 0;
            while (s < 4 && kLeadIn + s * kStrike + attack < frame) {
                ++s;
            }
            return s;
        };
        const double end = m.gapAt + m.gapBlocks * kBlock, window = 4 * kBlock;
        const std::size_t next = attackAfter(end), sure = attackAfter(end + 3 * window);
        const double nextAttack = kLeadIn + next * kStrike + attack;
        float before = 0.0f;
        for (const ReplayReading& r : readings) {
            const double at = r.time * 44100.0;
            before = at <= m.gapAt ? r.mFrequencyStable : before;
            if (m.muted && at >= m.gapAt + window && at < nextAttack - window) {
                EXPECT_NE(r.mSinceAttack, 0) << r.time;
                EXPECT_TRUE(at < end + window || r.mFrequencyStable == 0.0f) << r.time;
            }
            if (m.gapBlocks > 0 && m.gapBlocks < 4 && at >= end + 2 * window &&
                at < end + 3 * window && attackAfter(m.gapAt - 2 * window) == sure) {
                EXPECT_EQ(r.mFrequencyStable, before) << r.time;
            }
        }
        if (m.gapBlocks > 0 && sure < 4 && reads(oneChannel, sure)) {
            EXPECT_TRUE(reads(readings, sure)) << "no reading after the gap";
        }
        // After each strike on a new channel, the E4 reading in tune in that strike or the
        // next wherever the strikes alone on one channel, heard at the same alignment, give it.
        for (std::size_t s = 0; s + 1 < m.guitar.size(); ++s) {
            if (m.guitar[s] == (s == 0 ? 0 : m.guitar[s - 1])) {
                continue;
            }
            ++changes;
            if (reads(oneChannel, s) || reads(oneChannel, s + 1)) {
                EXPECT_TRUE(reads(readings, s) || reads(readings, s + 1))
                    << "no reading after the strike on channel " << m.guitar[s];
            }
            readInFirstStrike += reads(readings, s);
        }
    }
    std::printf("%d strikes on a new channel, %d of them read within that strike\n", changes,
                readInFirstStrike);
    EXPECT_GT(changes, 12);
}

// The view alone, hearing three strikes with a gap in the last that the engine marks: a hole
// at the moment the string is struck, a mute over it that ends while it still sounds loud
// (the engine ends the note), a hole while it does, a gap late in the strike, and one from
// the strike before that ends when the string has faded. Readings stay within what the
// strikes give, and no note starts after a gap but at the string struck in the first hole:
// after the mute nothing is shown, and the hole and the late gap leave the readout as it
// stood (0, 1; -1: not judged).
TEST_F(InputChannelChoiceTest, AGapKeepsTheNoteOrEndsItAsWhatComesBackSays) {
    const std::tuple<std::int64_t, std::int64_t, int> gaps[] = {
        {-1752, 1, -1}, {-2048, 40, 0}, {8000, 1, 1}, {60000, 40, 1}, {-29400, 121, -1}};
    for (const auto& [from, blocks, after] : gaps) {
        SCOPED_TRACE(testing::Message() << blocks << " blocks from " << from);
        SoundView listener(NSMakeRect(0, 0, 700, 300));
        const std::int64_t at = kLeadIn + 2 * kStrike + kPluck + from, end = at + blocks * kBlock;
        std::vector<float> block(kBlock);
        float before = 0.0f;
        for (std::int64_t first = 0; first + kBlock <= kLeadIn + 3 * kStrike; first += kBlock) {
            const bool gap = first >= at / kBlock * kBlock && first < end;
            for (std::uint32_t i = 0; i < kBlock; ++i) {
                const std::int64_t f = first + i - kLeadIn;
                block[i] = gap || f < 0 ? 0.0f : e4[static_cast<std::size_t>(f % kStrike)];
            }
            if (gap) {
                listener.noteGap();
            }
            if (gap && after == 0) {
                listener.endNote();
            }
            const std::int32_t step = listener.mCurrentStep;
            listener.filterInput(block.data(), block.data(), kBlock, 0);
            const ReplayReading r = readingOf(listener, (first + kBlock) / 44100.0);
            if (listener.mCurrentStep != 0 || step == 0) {
                continue;
            }
            if (r.mFrequencyStable == 1.0f && first > kLeadIn + kStrike / 2) {
                EXPECT_GE(r.mDisplayFrequency, ranges.shown.lowest) << r.time;
                EXPECT_LE(r.mDisplayFrequency, ranges.shown.highest) << r.time;
            }
            before = first < at ? r.mFrequencyStable : before;
            if (first > end + 8 * kBlock) {
                EXPECT_NE(r.mSinceAttack, 0) << r.time;
            }
            if (after >= 0 && first > end + 8 * kBlock &&
                (after == 0 || first < end + 16 * kBlock)) {
                EXPECT_EQ(r.mFrequencyStable, after == 0 ? 0.0f : before) << r.time;
            }
        }
    }
}

// A guitarist who goes from one interface to another and back finds the guitar where it was.
TEST(InputChannelChoice, RemembersTheChannelOfEachOfItsLastDevices) {
    using C = InputChannelChoice;
    C choice;
    // Windows of silence on a 4-channel stream, then one with a note on channel `on`.
    const auto strike = [&](std::uint32_t on) {
        std::vector<float> frames(4 * 4 * C::kSliceFrames);
        for (std::uint32_t w = 0; w < C::kHistoryWindows + 3; ++w) {
            for (std::size_t i = 0; i < frames.size(); ++i) {
                const bool note = w == C::kHistoryWindows + 2 && i % 4 == on;
                frames[i] = note ? 0.5f * std::sin(0.1f * static_cast<float>(i)) : 0.0f;
            }
            choice.noteInterleaved(frames.data(), 4 * C::kSliceFrames);
            choice.endBlock(4 * C::kSliceFrames);
            choice.endWindow();
        }
        return choice.channel();
    };
    // Channels and device of each visit, the channel it finds, and where a note then is (9:
    // none).
    const std::tuple<std::uint32_t, std::uint64_t, std::uint32_t, std::uint32_t> visits[] = {
        {4, 1, 0, 2}, {2, 2, 0, 9}, {4, 2, 0, 3}, {4, 1, 2, 9}, {4, 2, 3, 9}};
    for (const auto& [channels, device, found, on] : visits) {
        choice.reset(channels, device);
        EXPECT_EQ(choice.channel(), found) << channels << " channels of device " << device;
        if (on < channels) {
            ASSERT_EQ(strike(on), on);
        }
    }
    for (std::uint64_t device = 10; device < 10 + C::kRemembered; ++device) {
        choice.reset(4, device);
    }
    choice.reset(4, 1);
    EXPECT_EQ(choice.channel(), 0u) << "remembered past " << C::kRemembered << " other devices";
}

TEST(InputHealth, FailingWhenFramesGoMissingAllAlongNeverForBurstsJitterDriftOrOneStall) {
    std::mt19937 random(2812);
    auto pick = [&](double low, double high) { return uniform(random, low, high); };
    std::vector<std::pair<Delivery, bool>> cases; // and whether it is failing
    // Eight rounds of members, and the burstiest, latest healthy input.
    cases.push_back({{.what = "healthy", .burst = 8192, .jitter = 0.05}, false});
    for (int i = 0; i < 24; ++i) {
        cases.push_back({healthyDelivery(random), false});
        cases.push_back(
            {{.what = "one stall", .stallAt = pick(0.5, 1.5), .stallFor = pick(0.01, 0.9)}, false});
    }
    // Losing and starving from the start, or from a moment after two seconds of health.
    auto from = [&] { return pick(0, 1) < 0.5 ? 0.0 : pick(2.5, 4.0); };
    for (int i = 0; i < 8; ++i) {
        for (int k : {2, static_cast<int>(pick(3, 16)), 16}) {
            cases.push_back(
                {{.what = "one block in k lost", .loseEvery = k, .failingFrom = from()}, true});
        }
        cases.push_back({{.what = "starving",
                          .keepEvery = static_cast<int>(86.0 / pick(1, 20)),
                          .failingFrom = from()},
                         true});
        cases.push_back({{.what = "slow", .rate = pick(0.5, 0.95)}, true});
    }
    cases.push_back({{.what = "starving", .keepEvery = 86, .failingFrom = 3.0}, true});
    cases.push_back(
        {{.what = "stalling", .stallAt = 0.3, .stallFor = 0.9, .stallEvery = 1.0}, true});
    for (const auto& [d, failing] : cases) {
        SCOPED_TRACE(testing::Message()
                     << d.what << ": bursts " << d.burst << ", jitter " << d.jitter << ", rate "
                     << d.rate << ", stall " << d.stallFor << ", k " << d.loseEvery << "/"
                     << d.keepEvery << " from " << d.failingFrom);
        // Judged as soon as two seconds of windows are known (windows close on arrivals: by
        // three seconds, for a stream that starves to one block a second from its start), or
        // two seconds after an input began to fail (it is named within them); and at the end
        // of eight; a healthy input also after every arrival in between (a burst half taken).
        InputHealth health;
        std::vector<InputHealth::Assessment> judged;
        bool first = true;
        const double namedBy = d.failingFrom + 2.0;
        simulateDelivery(d, random, [&](double handed, int) {
            if (d.failingFrom > 0.0 && judged.empty() && handed >= namedBy) {
                judged.push_back(health.assess(100.0 + namedBy));
            }
            health.note(100.0 + handed, 512, std::exchange(first, false));
            const InputHealth::Assessment now = health.assess(100.0 + handed);
            if ((judged.empty() || !failing) && d.failingFrom == 0.0 && handed >= 2.0 &&
                (now.known || handed >= 3.0)) {
                judged.push_back(now);
            }
            return true;
        });
        judged.push_back(health.assess(100.0 + d.seconds));
        for (const InputHealth::Assessment& assessment : judged) {
            EXPECT_TRUE(assessment.known);
            EXPECT_EQ(assessment.failing, failing) << "delivered " << assessment.delivered;
        }
        EXPECT_EQ(judged.back().clean, !failing);
    }
}
