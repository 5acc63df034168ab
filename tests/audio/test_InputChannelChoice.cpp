// The input channel the guitar is played on, found by the engine itself: seeded random
// interfaces of 1 to 32 channels through the real procedures, rings and intake, the E4 strikes
// on one channel (or moving to another), the other channels silent, humming, hissing, offset,
// clicking or hearing the string more weakly and later, or all carrying the same sound. Where
// the first channel stays the one analysed, the readings are bit for bit those of the first
// channel alone; elsewhere each is judged against what the strikes give on one channel at
// every alignment of the analysis windows (the replay's ranges).
#include "FakeAudioHardware.h"
#include "MySoundPort.h"
#include "Replay.h"
#include "SoundView.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr AudioDeviceID kInputId = 7;
constexpr AudioDeviceID kOutputId = 9;
constexpr std::uint32_t kBlock = 512;
constexpr std::uint32_t kStrike = 109912; // one strike of the recording, as the e2e runs loop it
constexpr std::uint32_t kLeadIn = 44100;  // the tuner listens a second before the first strike

struct Strikes {
    std::vector<float> strike;
    ReplayRanges ranges; // of two strikes in a row, at every alignment
};

const Strikes& e4() {
    static const Strikes strikes = [] {
        Strikes s;
        const std::string error =
            readRecording(TUNER_CORPUS_DIR "/public/fluidr3_steel_E4_+00c.flac", s.strike);
        EXPECT_EQ(error, "");
        s.strike.resize(kStrike);
        std::vector<float> two = s.strike;
        two.insert(two.end(), s.strike.begin(), s.strike.end());
        s.ranges = replayShownRanges(two, kBlock);
        return s;
    }();
    return strikes;
}

enum class Other { silence, hum, hiss, offset, clicks, weaker };

// One member of the table: the channel of each strike, and what every channel carries.
struct Member {
    std::uint32_t channels = 1;
    std::vector<std::uint32_t> guitar; // channel of each strike
    bool identical = false;            // every channel carries the strikes
    std::vector<Other> others;
    std::vector<double> level, frequency, delay; // per channel, as its kind needs
    std::uint32_t seed = 0;
};

std::string describe(const Member& m) {
    static const char* const kNames[] = {"silence", "hum", "hiss", "offset", "clicks", "weaker"};
    std::string text = std::to_string(m.channels) + " channels, strikes on";
    for (const std::uint32_t g : m.guitar) {
        text += " " + std::to_string(g + 1);
    }
    text += m.identical ? ", all alike" : ", others:";
    for (std::uint32_t c = 0; !m.identical && c < m.channels; ++c) {
        text += std::string(" ") + kNames[static_cast<int>(m.others[c])];
    }
    return text;
}

Member draw(std::mt19937& random) {
    static const std::uint32_t kCounts[] = {1, 2, 2, 2, 2, 3, 4, 6, 8, 8, 16, 32};
    auto uniform = [&](double a, double b) {
        return std::uniform_real_distribution<double>(a, b)(random);
    };
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
    for (std::uint32_t c = 0; c < m.channels; ++c) {
        // A channel the strikes are on carries nothing else.
        const bool struck = std::find(m.guitar.begin(), m.guitar.end(), c) != m.guitar.end();
        const auto kind = struck ? Other::silence : static_cast<Other>(random() % 6);
        m.others.push_back(kind);
        // Hum above the strike's tail (RMS 0.01) and well below its attack (0.12); hiss at
        // -60 to -40 dBFS; offsets to a half; clicks to 0.9; the string 6-20 dB down.
        switch (kind) {
        case Other::hum:
            m.level.push_back(uniform(0.025, 0.07));
            break;
        case Other::hiss:
            m.level.push_back(std::pow(10.0, uniform(-3.0, -2.0)));
            break;
        case Other::offset:
            m.level.push_back(uniform(0.05, 0.5) * (random() % 2 == 0 ? 1 : -1));
            break;
        case Other::clicks:
            m.level.push_back(uniform(0.3, 0.9));
            break;
        case Other::weaker:
            m.level.push_back(std::pow(10.0, -uniform(6.0, 20.0) / 20.0));
            break;
        case Other::silence:
            m.level.push_back(0.0);
            break;
        }
        m.frequency.push_back(random() % 2 == 0 ? 50.0 : 60.0);
        m.delay.push_back(std::round(uniform(0.001, 0.005) * 44100.0));
    }
    return m;
}

// The interface's frames, one block at a time.
class Interface {
public:
    explicit Interface(const Member& m) : mMember(m), mRandom(m.seed) {}

    // The strikes' sound at frame f (0 before and after), and the channel they are on.
    float strikes(std::int64_t f, std::uint32_t& channel) const {
        const std::int64_t at = f - kLeadIn;
        if (at < 0 || at >= static_cast<std::int64_t>(kStrike * mMember.guitar.size())) {
            channel = mMember.guitar.front();
            return 0.0f;
        }
        channel = mMember.guitar[static_cast<std::size_t>(at / kStrike)];
        return e4().strike[static_cast<std::size_t>(at % kStrike)];
    }

    void block(std::int64_t first, std::vector<float>& frames) {
        const std::uint32_t n = mMember.channels;
        frames.assign(static_cast<std::size_t>(kBlock) * n, 0.0f);
        for (std::uint32_t i = 0; i < kBlock; ++i) {
            const std::int64_t f = first + i;
            std::uint32_t on = 0;
            const float strike = strikes(f, on);
            for (std::uint32_t c = 0; c < n; ++c) {
                frames[static_cast<std::size_t>(i) * n + c] =
                    mMember.identical || c == on ? strike : other(c, f);
            }
        }
    }

    // The strikes alone, on one channel.
    std::vector<float> strikesAlone() const {
        std::vector<float> alone(kLeadIn, 0.0f);
        for (std::size_t s = 0; s < mMember.guitar.size(); ++s) {
            alone.insert(alone.end(), e4().strike.begin(), e4().strike.end());
        }
        alone.resize(alone.size() + kStrike / 2, 0.0f);
        return alone;
    }

    const std::vector<float>& firstChannel() {
        if (mFirst.empty()) {
            const std::int64_t frames = kLeadIn + kStrike * mMember.guitar.size() + kStrike / 2;
            for (std::int64_t f = 0; f < frames; ++f) {
                std::uint32_t on = 0;
                const float strike = strikes(f, on);
                mFirst.push_back(mMember.identical || on == 0 ? strike : other(0, f));
            }
        }
        return mFirst;
    }

private:
    float other(std::uint32_t c, std::int64_t f) {
        const double level = mMember.level[c];
        const double t = static_cast<double>(f) / 44100.0;
        switch (mMember.others[c]) {
        case Other::hum: {
            double sum = 0.0;
            for (const int harmonic : {1, 2, 3, 5}) {
                sum += std::sin(2 * std::numbers::pi * mMember.frequency[c] * harmonic * t +
                                harmonic) /
                       harmonic;
            }
            return static_cast<float>(level * sum);
        }
        case Other::hiss:
            return static_cast<float>(level * mNoise(mRandom));
        case Other::offset:
            return static_cast<float>(level);
        case Other::clicks:
            return mRandom() % 4000 == 0 ? static_cast<float>(level) : 0.0f;
        case Other::weaker: {
            std::uint32_t on = 0;
            return static_cast<float>(level) *
                   strikes(f - static_cast<std::int64_t>(mMember.delay[c]), on);
        }
        case Other::silence:
            break;
        }
        return 0.0f;
    }

    const Member& mMember;
    std::mt19937 mRandom;
    std::normal_distribution<double> mNoise;
    std::vector<float> mFirst;
};

// A device of the member's channels, interleaved.
fake::Device interfaceDevice(std::uint32_t channels) {
    fake::Device device = fake::stereoDevice(kInputId, true);
    const std::uint32_t bytes = 4 * channels;
    device.format.mBytesPerPacket = device.format.mBytesPerFrame = bytes;
    device.format.mChannelsPerFrame = channels;
    device.bufferSize = kBlock * bytes;
    device.name = "Interface";
    return device;
}

bool same(const ReplayReading& a, const ReplayReading& b) {
    return a.mCurrentVolume == b.mCurrentVolume && a.mSamplePeriod == b.mSamplePeriod &&
           a.mFrequency == b.mFrequency && a.mDisplayFrequency == b.mDisplayFrequency &&
           a.mFrequencyStable == b.mFrequencyStable && a.mInTune == b.mInTune &&
           a.selectedFrequency == b.selectedFrequency && a.mSinceAttack == b.mSinceAttack;
}

// The member through a started port, block by block, as a device delivers it; the readings
// of every analysis, timed from the member's first frame.
struct Heard {
    std::vector<ReplayReading> readings;
    std::uint32_t channel = 0; // the one analysed at the end
};

Heard hear(const Member& m, Interface& interface) {
    fake::reset();
    fake::plugIn(interfaceDevice(m.channels), fake::stereoDevice(kOutputId, true));
    SoundView view(NSMakeRect(0, 0, 700, 300));
    MySoundPort port;
    port.setSoundView(&view);
    testing::internal::CaptureStderr();
    port.setup();
    port.mStopBound = std::chrono::milliseconds(0);
    port.mHandshakeSettleFrames = 0;
    EXPECT_TRUE(port.start());
    testing::internal::GetCapturedStderr();
    std::vector<float> frames(static_cast<std::size_t>(kBlock) * m.channels, 0.0f);
    AudioBufferList input{1,
                          {{m.channels, static_cast<std::uint32_t>(frames.size() * 4), nullptr}}};
    fake::Buffers output(kBlock, true);
    // The handshake: its two output calls give the view two blocks of silence.
    for (const double time : {0.0, 0.0}) {
        input.mBuffers[0].mData = frames.data();
        fake::call(kInputId, InputIOProc, time, input);
        fake::call(kOutputId, OutputIOProc, time, output.list);
    }
    EXPECT_TRUE(port.handshakeDone());
    const double offset = port.mInToOutSampleOffset.load();
    view.takeNeedsDisplay();
    Heard heard;
    const auto total = static_cast<std::int64_t>(interface.firstChannel().size());
    for (std::int64_t first = 0; first + kBlock <= total; first += kBlock) {
        interface.block(first, frames);
        input.mBuffers[0].mData = frames.data();
        const double time = static_cast<double>(first + kBlock);
        fake::call(kInputId, InputIOProc, time, input);
        fake::call(kOutputId, OutputIOProc, time + offset, output.list);
        if (view.takeNeedsDisplay()) {
            heard.readings.push_back(
                readingOf(view, static_cast<double>(first + kBlock) / 44100.0));
        }
    }
    heard.channel = static_cast<std::uint32_t>(port.health(0.0).heardChannel & 0xFFFFFFFFu);
    port.stop();
    return heard;
}

} // namespace

TEST(InputChannelChoice, FindsTheGuitarOnAnyChannelAndOnlyBySomethingStruckOnIt) {
    const Strikes& strikes = e4();
    ASSERT_GT(strikes.ranges.inTune.lowest, 0.0f);
    std::mt19937 random(2812);
    int changes = 0, readInFirstStrike = 0;
    for (int member = 0; member < 32; ++member) {
        const Member m = draw(random);
        SCOPED_TRACE(describe(m));
        Interface interface(m);
        const Heard heard = hear(m, interface);
        const bool onFirst = m.identical || (m.guitar[0] == 0 && m.guitar[2] == 0);
        if (onFirst) {
            // The first channel throughout: what it alone gives, bit for bit.
            std::vector<ReplayReading> alone;
            replaySamples(interface.firstChannel(), 2 * kBlock, kBlock,
                          [&](const ReplayReading& r) { alone.push_back(r); });
            ASSERT_EQ(heard.readings.size(), alone.size());
            for (std::size_t i = 0; i < alone.size(); ++i) {
                ASSERT_TRUE(same(heard.readings[i], alone[i])) << "analysis " << i;
            }
            EXPECT_EQ(heard.channel, 0u);
            continue;
        }
        EXPECT_EQ(heard.channel, m.guitar.back());
        std::vector<ReplayReading> alone;
        replaySamples(interface.strikesAlone(), 2 * kBlock, kBlock,
                      [&](const ReplayReading& r) { alone.push_back(r); });

        // From the first strike's first reading on, a reading shown at full strength is one
        // the strikes give on one channel (what the first channel carried before is read as
        // it sounds).
        const double struck = static_cast<double>(kLeadIn + kStrike / 2) / 44100.0;
        for (const ReplayReading& r : heard.readings) {
            if (r.mFrequencyStable == 1.0f && r.time > struck) {
                EXPECT_GE(r.mDisplayFrequency, strikes.ranges.shown.lowest) << r.time;
                EXPECT_LE(r.mDisplayFrequency, strikes.ranges.shown.highest) << r.time;
            }
        }
        // After each strike on a new channel, the E4 reading in tune in that strike or the
        // next wherever the strikes alone on one channel, heard at the same alignment, give it.
        const auto reads = [&](const std::vector<ReplayReading>& readings, std::size_t s) {
            const double begin = static_cast<double>(kLeadIn + s * kStrike) / 44100.0;
            return std::any_of(readings.begin(), readings.end(), [&](const ReplayReading& r) {
                return r.time > begin && r.time < begin + kStrike / 44100.0 &&
                       r.mFrequencyStable == 1.0f && r.mInTune == 1.0f &&
                       r.selectedFrequency == 5 &&
                       r.mDisplayFrequency >= strikes.ranges.inTune.lowest &&
                       r.mDisplayFrequency <= strikes.ranges.inTune.highest;
            });
        };
        for (std::size_t s = 0; s + 1 < m.guitar.size(); ++s) {
            if (m.guitar[s] == (s == 0 ? 0 : m.guitar[s - 1])) {
                continue;
            }
            ++changes;
            if (reads(alone, s) || reads(alone, s + 1)) {
                EXPECT_TRUE(reads(heard.readings, s) || reads(heard.readings, s + 1))
                    << "no reading after the strike on channel " << m.guitar[s] + 1;
            }
            readInFirstStrike += reads(heard.readings, s);
        }
    }
    std::printf("%d strikes on a new channel, %d of them read within that strike\n", changes,
                readInFirstStrike);
    EXPECT_GT(changes, 12);
}
