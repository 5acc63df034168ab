// tuner-replay as a whole program: what it refuses and how, what it prints, and the blocks
// it feeds.
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

TEST(TunerReplay, RefusesWithOneLineOrPrintsAReadingAWindow) {
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
        std::string reason;    // a word of the one-line refusal; none: accepted
        int readings = 0;      // lines after the header; -1: not looked at
        std::string last = {}; // how the last line begins: time and volume
    };
    const Case cases[] = {
        {"", "no recording"},
        {quoted(kScratch / "missing.wav"), "missing.wav"},
        {quoted(kScratch / "junk.wav"), "cannot read"},
        {quoted(kScratch / "empty.flac"), "cannot read"},
        {quoted(kScratch), "is a directory"},
        {quoted(r48), "48000"},
        {quoted(kScratch / "cut.flac"), "damaged", -1}, // not passed off as read whole
        {"--block", "--block"},
        {"--block 0 " + quoted(e4), "--block"},
        {"--block 12x " + quoted(e4), "--block"},
        {"--block -5 " + quoted(e4), "--block"},
        {"--block=1048577 " + quoted(e4), "--block"},
        {"--block 99999999999999999999 " + quoted(e4), "--block"},
        {"--frobnicate " + quoted(e4), "unknown option"},
        {quoted(e4) + " " + quoted(e4), "one recording"},
        // The left channel (the right is noise at full scale) in whole blocks of 512, a part
        // block left out: a reading when 2048 frames are in, the next after 2048 more.
        {quoted(e4), "", 3, "0.139320\t0.7999992\t"},
        {"--block 700 " + quoted(e4), "", 2, "0.126984\t0.7999992\t"},
        {"- <" + quoted(e4), "", 3, "0.139320\t0.7999992\t"}, // standard input
        {quoted(brief), "", 0, "time\t"},
        {"--block=1 " + quoted(brief), "", -1},
        {"--block 1048576 " + quoted(e4), "", 0, "time\t"},
        {quoted(kScratch / "whole.flac"), "", 21, "0.975238\t0.7999878\t"},
    };
    for (const Case& c : cases) {
        const std::string command = std::string("'") + TUNER_REPLAY_PROGRAM + "' " + c.arguments +
                                    " >" + quoted(kScratch / "out") + " 2>" +
                                    quoted(kScratch / "err");
        const int status = WEXITSTATUS(std::system(command.c_str()));
        const std::string out = slurp(kScratch / "out");
        const std::string err = slurp(kScratch / "err");
        EXPECT_EQ(status, c.reason.empty() ? 0 : 2) << c.arguments << ": " << err;
        if (c.reason.empty()) {
            EXPECT_EQ(err, "") << c.arguments;
            EXPECT_TRUE(out.starts_with(replayHeader())) << out;
            const auto lines = std::count(out.begin(), out.end(), '\n');
            EXPECT_TRUE(c.readings < 0 || lines == 1 + c.readings) << out;
            EXPECT_TRUE(out.substr(out.rfind('\n', out.size() - 2) + 1).starts_with(c.last)) << out;
        } else {
            EXPECT_TRUE(out.empty() || c.readings < 0) << c.arguments << ": " << out;
            EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << c.arguments << ": " << err;
            EXPECT_TRUE(err.starts_with("tuner-replay: ")) << err;
            EXPECT_NE(err.find(c.reason), std::string::npos) << c.arguments << ": " << err;
        }
    }
    fs::remove_all(kScratch);
}

} // namespace
