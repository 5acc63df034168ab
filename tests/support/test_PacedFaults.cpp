// The faults of the paced test devices, seen from the devices' pipes as ALSA's file plugin
// sees them: lost frames and their log, bursts, vanishing and returning devices.
#include "PacedAlsa.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr std::size_t kChunkBytes = 512 * 8;
std::string gRamp;

// Frame f of the input holds f in its left channel (exact in float below 2^24).
std::int64_t frameAt(const std::vector<char>& chunk, std::size_t frame = 0) {
    float left = 0;
    std::memcpy(&left, chunk.data() + frame * 8, sizeof left);
    return static_cast<std::int64_t>(left);
}

std::vector<char> readChunk(int fd) {
    std::vector<char> chunk(kChunkBytes);
    std::size_t done = 0;
    while (done < chunk.size()) {
        const ssize_t got = read(fd, chunk.data() + done, chunk.size() - done);
        if (got <= 0) {
            return {};
        }
        done += static_cast<std::size_t>(got);
    }
    return chunk;
}

// The first logged event of a side and kind, waiting up to two seconds for it.
PacedAlsa::FaultEvent awaitEvent(const PacedAlsa& alsa, const std::string& side,
                                 const std::string& event) {
    for (int tries = 0; tries < 200; ++tries) {
        for (const PacedAlsa::FaultEvent& logged : alsa.faultLog()) {
            if (logged.side == side && logged.event == event) {
                return logged;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return {};
}

double monotonicSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

TEST(PacedFaults, CaptureStallDropsTheFramesThatFellDueAndLogsThem) {
    PacedAlsa alsa(gRamp);
    ASSERT_TRUE(alsa.ready()) << alsa.error();
    const int fd = open((alsa.folder() + "/capture/fifo").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    for (std::int64_t chunk = 0; chunk < 5; ++chunk) {
        ASSERT_EQ(frameAt(readChunk(fd)), chunk * 512);
    }
    ASSERT_TRUE(alsa.inject("capture stall 0.2"));
    std::int64_t expected = 5 * 512;
    std::vector<char> chunk;
    while (frameAt(chunk = readChunk(fd)) == expected) {
        expected += 512;
    }
    const PacedAlsa::FaultEvent resume = awaitEvent(alsa, "capture", "resume");
    close(fd);
    EXPECT_EQ(resume.detail, "dropped=" + std::to_string(frameAt(chunk) - expected) +
                                 " next=" + std::to_string(frameAt(chunk)));
    EXPECT_NEAR(static_cast<double>(frameAt(chunk) - expected), 0.2 * 44100, 1024);
    EXPECT_EQ(frameAt(chunk, 511), frameAt(chunk) + 511);
}

TEST(PacedFaults, CaptureBurstsReachTheReaderWhole) {
    PacedAlsa alsa(gRamp);
    ASSERT_TRUE(alsa.ready()) << alsa.error();
    ASSERT_TRUE(alsa.inject("capture bursts 4096"));
    const int fd = open((alsa.folder() + "/capture/fifo").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    // Past the change to bursts, which the chunk already in the pipe splits.
    std::int64_t expected = frameAt(readChunk(fd));
    for (int chunk = 0; chunk < 24; ++chunk) {
        ASSERT_EQ(frameAt(readChunk(fd)), expected += 512);
    }
    int pending = 0;
    while (ioctl(fd, FIONREAD, &pending) == 0 && pending > 0) {
        ASSERT_EQ(frameAt(readChunk(fd)), expected += 512);
    }
    ASSERT_EQ(frameAt(readChunk(fd)), expected += 512); // waits for the next burst
    ioctl(fd, FIONREAD, &pending);
    close(fd);
    EXPECT_EQ(pending, 7 * static_cast<int>(kChunkBytes));
}

TEST(PacedFaults, VanishedCaptureEndsItsReadersAndComesBackWhereRealTimeIs) {
    PacedAlsa alsa(gRamp);
    ASSERT_TRUE(alsa.ready()) << alsa.error();
    const std::string path = alsa.folder() + "/capture/fifo";
    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    readChunk(fd);
    ASSERT_TRUE(alsa.inject("capture vanish 0.3"));
    const double gone = monotonicSeconds();
    while (!readChunk(fd).empty()) {
    }
    close(fd);
    EXPECT_LT(open(path.c_str(), O_RDONLY), 0);
    EXPECT_EQ(errno, ENOENT);

    EXPECT_NEAR(awaitEvent(alsa, "capture", "back").monotonic - gone, 0.3, 0.1);
    fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    const std::vector<char> chunk = readChunk(fd);
    close(fd);
    const PacedAlsa::FaultEvent resume = awaitEvent(alsa, "capture", "resume");
    EXPECT_NE(resume.detail.find(" next=" + std::to_string(frameAt(chunk))), std::string::npos)
        << resume.detail;
    EXPECT_GT(frameAt(chunk), 0.3 * 44100);
}

TEST(PacedFaults, VanishedPlaybackBreaksItsWritersAndComesBack) {
    PacedAlsa alsa(gRamp);
    ASSERT_TRUE(alsa.ready()) << alsa.error();
    const std::string path = alsa.folder() + "/playback/fifo";
    const auto previous = std::signal(SIGPIPE, SIG_IGN);
    const std::vector<char> silence(kChunkBytes);
    int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(write(fd, silence.data(), silence.size()), static_cast<ssize_t>(silence.size()));
    ASSERT_TRUE(alsa.inject("playback vanish 0.3"));
    EXPECT_LT(write(fd, silence.data(), silence.size()), 0);
    EXPECT_EQ(errno, EPIPE);
    close(fd);
    EXPECT_LT(open(path.c_str(), O_WRONLY), 0);
    EXPECT_EQ(errno, ENOENT);

    awaitEvent(alsa, "playback", "back");
    fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(write(fd, silence.data(), silence.size()), static_cast<ssize_t>(silence.size()));
    EXPECT_EQ(awaitEvent(alsa, "playback", "resume").event, "resume");
    close(fd);
    std::signal(SIGPIPE, previous);
}

TEST(PacedFaults, UnknownFaultsAreRefused) {
    PacedAlsa alsa(gRamp);
    ASSERT_TRUE(alsa.ready()) << alsa.error();
    EXPECT_FALSE(alsa.inject("playback bursts 4096"));
    EXPECT_FALSE(alsa.inject("capture stall soon"));
    EXPECT_FALSE(alsa.inject("microphone stall 1"));
    EXPECT_TRUE(alsa.inject("capture clock 100"));
}

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    gRamp = std::string(TUNER_BINARY_DIR) + "/paced_faults_ramp.raw";
    std::ofstream file(gRamp, std::ios::binary);
    for (std::int64_t f = 0; f < 44100 * 10; ++f) {
        const float frame[2] = {static_cast<float>(f), -static_cast<float>(f)};
        file.write(reinterpret_cast<const char*>(frame), sizeof frame);
    }
    file.close();
    return RUN_ALL_TESTS();
}
