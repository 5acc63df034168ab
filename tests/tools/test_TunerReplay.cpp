// tuner-replay as a whole program: what it refuses and how, what it prints, and the blocks
// it feeds.
#include "Replay.h"
#include "ReplayTable.h"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const fs::path kScratch = fs::temp_directory_path() / ("tuner-replay-" + std::to_string(getpid()));

std::string slurp(const fs::path& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

std::string quoted(const fs::path& path) {
    return "'" + path.string() + "'";
}

// The left channel an E4 sine; the right loud noise that would ruin any reading taken from it.
fs::path writeRecording(const std::string& name, int format, int rate, sf_count_t frames) {
    SF_INFO info{0, rate, 2, format, 0, 0};
    SNDFILE* file = sf_open((kScratch / name).c_str(), SFM_WRITE, &info);
    std::vector<float> data(static_cast<std::size_t>(frames) * 2);
    for (std::size_t f = 0; f < data.size() / 2; ++f) {
        data[2 * f] =
            static_cast<float>(0.8 * std::sin(2 * std::numbers::pi * 329.63 * f / 44100.0));
        data[2 * f + 1] = static_cast<float>(std::rand() % 2000) / 1000.0f - 1.0f;
    }
    EXPECT_EQ(sf_writef_float(file, data.data(), frames), frames) << sf_strerror(file);
    sf_close(file);
    return kScratch / name;
}

TEST(TunerReplay, RefusesWithOneLineOrPrintsWhatTheLibraryReads) {
    fs::create_directories(kScratch);
    const int wav = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    const fs::path e4 = writeRecording("e4.wav", wav, 44100, 3 * 2048 + 2047);
    const fs::path brief = writeRecording("brief.wav", wav, 44100, 2047); // less than a window
    const fs::path r48 = writeRecording("r48.wav", wav, 48000, 4096);
    const std::string flac =
        slurp(writeRecording("whole.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 44100));
    std::ofstream(kScratch / "cut.flac") << flac.substr(0, flac.size() / 2);
    std::ofstream(kScratch / "junk.wav") << "this is not a recording\n";
    std::ofstream(kScratch / "empty.flac").flush();

    struct Case {
        std::string arguments;
        std::string reason; // a word of the refusal; none: accepted
        // What was read of it in blocks of this length (the library's reading) goes out.
        std::uint32_t block = 0;
        fs::path recording = {};
    };
    const Case cases[] = {
        {"", "no recording"},
        {quoted(kScratch / "missing.wav"), "missing.wav"},
        {quoted(kScratch / "junk.wav"), "cannot read"},
        {quoted(kScratch / "empty.flac"), "cannot read"},
        {quoted(kScratch), "is a directory"},
        {quoted(r48), "48000"},
        {quoted(kScratch / "cut.flac"), "damaged", 512, kScratch / "cut.flac"}, // not read whole
        {"--block", "--block"},
        {"--block 0 " + quoted(e4), "--block"},
        {"--block 12x " + quoted(e4), "--block"},
        {"--block -5 " + quoted(e4), "--block"},
        {"--block=1048577 " + quoted(e4), "--block"},
        {"--block 99999999999999999999 " + quoted(e4), "--block"},
        {"--frobnicate " + quoted(e4), "unknown option"},
        {quoted(e4) + " " + quoted(e4), "one recording"},
        {quoted(e4), "", 512, e4},
        {"--block 700 " + quoted(e4), "", 700, e4},
        {"--block=1 " + quoted(brief), "", 1, brief},
        {"--block 1048576 " + quoted(e4), "", 1048576, e4},
        {quoted(kScratch / "whole.flac"), "", 512, kScratch / "whole.flac"},
    };
    for (const Case& c : cases) {
        const std::string command = std::string("'") + TUNER_REPLAY_PROGRAM + "' " + c.arguments +
                                    " >" + quoted(kScratch / "out") + " 2>" +
                                    quoted(kScratch / "err");
        const int status = WEXITSTATUS(std::system(command.c_str()));
        const std::string out = slurp(kScratch / "out");
        const std::string err = slurp(kScratch / "err");
        // What the library reads, before a failure too; the header comes with the first line.
        std::string expected;
        if (!c.recording.empty()) {
            const std::string failure =
                replayRecording(c.recording, c.block, [&](const ReplayReading& r) {
                    expected += expected.empty() ? replayHeader() : "";
                    appendReplayLine(expected, r);
                });
            EXPECT_EQ(failure.empty(), c.reason.empty()) << failure;
            expected = c.reason.empty() && expected.empty() ? replayHeader() : expected;
        }
        EXPECT_EQ(out, expected) << c.arguments;
        EXPECT_EQ(status, c.reason.empty() ? 0 : 2) << c.arguments << ": " << err;
        if (c.reason.empty()) {
            EXPECT_EQ(err, "") << c.arguments;
        } else {
            EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << c.arguments << ": " << err;
            EXPECT_TRUE(err.starts_with("tuner-replay: ")) << err;
            EXPECT_NE(err.find(c.reason), std::string::npos) << c.arguments << ": " << err;
        }
    }

    // The library: the left channel, in whole blocks (a final part block is dropped), read
    // when a window is full; each line holds a reading's values exactly.
    const std::pair<std::uint32_t, std::vector<int>> windowEnds[] = {{512, {2048, 4096, 6144}},
                                                                     {700, {2800, 5600}}};
    for (const auto& [block, ends] : windowEnds) {
        std::vector<ReplayReading> readings;
        replayRecording(e4, block, [&](const ReplayReading& r) { readings.push_back(r); });
        ASSERT_EQ(readings.size(), ends.size()) << block;
        EXPECT_EQ(readings.back().selectedFrequency, 5); // E4 chosen
        for (std::size_t i = 0; i < readings.size(); ++i) {
            const ReplayReading& r = readings[i];
            EXPECT_EQ(r.time, ends[i] / 44100.0);
            EXPECT_NEAR(r.mCurrentFrequency, 329.63, 3.0);
            std::string line;
            appendReplayLine(line, r);
            EXPECT_TRUE(line.starts_with(std::to_string(r.time) + "\t")) << line;
            std::istringstream fields(line.substr(line.find('\t')));
            float values[7] = {};
            std::int32_t whole[2] = {-1, -1};
            for (float& value : values) {
                fields >> value;
            }
            fields >> whole[0] >> whole[1];
            EXPECT_EQ(std::vector<float>(values, values + 7),
                      (std::vector<float>{r.mCurrentVolume, r.mSamplePeriod, r.mCurrentFrequency,
                                          r.mFrequency, r.mDisplayFrequency, r.mFrequencyStable,
                                          r.mInTune}));
            EXPECT_EQ(whole[0], r.selectedFrequency);
            EXPECT_EQ(whole[1], r.mSinceAttack);
            EXPECT_TRUE(fields.good() && (fields >> std::ws).eof()) << line;
        }
    }
    fs::remove_all(kScratch);
}

} // namespace
