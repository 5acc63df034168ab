// tuner-replay as a whole program: what it refuses and how, and what it prints.
#include "Replay.h"
#include "ReplayTable.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

fs::path scratch() {
    const fs::path dir =
        fs::path(testing::TempDir()) / ("tuner-replay-" + std::to_string(getpid()));
    fs::create_directories(dir);
    return dir;
}

// Runs the program with arguments already quoted for the shell.
ToolRun runTool(const std::string& arguments) {
    const fs::path dir = scratch();
    const std::string command = std::string("'") + TUNER_REPLAY_PROGRAM + "' " + arguments + " >'" +
                                (dir / "out").string() + "' 2>'" + (dir / "err").string() + "'";
    const int raw = std::system(command.c_str());
    ToolRun run;
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.out = slurp(dir / "out");
    run.err = slurp(dir / "err");
    return run;
}

std::string quoted(const fs::path& path) {
    return "'" + path.string() + "'";
}

// A float WAV whose sample (frame, channel) comes from sample().
fs::path writeWav(const std::string& name, int rate, int channels, sf_count_t frames,
                  const std::function<float(sf_count_t, int)>& sample) {
    const fs::path path = scratch() / name;
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    EXPECT_NE(file, nullptr) << sf_strerror(nullptr);
    std::vector<float> data(static_cast<std::size_t>(frames) * channels);
    for (sf_count_t f = 0; f < frames; ++f) {
        for (int c = 0; c < channels; ++c) {
            data[static_cast<std::size_t>(f) * channels + c] = sample(f, c);
        }
    }
    sf_writef_float(file, data.data(), frames);
    sf_close(file);
    return path;
}

fs::path writeBytes(const std::string& name, const std::string& bytes) {
    const fs::path path = scratch() / name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

// A 16-bit PCM WAV header that claims zero channels, with some data behind it.
std::string zeroChannelWav() {
    auto u32 = [](std::uint32_t v) {
        return std::string{static_cast<char>(v), static_cast<char>(v >> 8),
                           static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
    };
    auto u16 = [](std::uint16_t v) {
        return std::string{static_cast<char>(v), static_cast<char>(v >> 8)};
    };
    const std::string data(400, '\0');
    const std::string fmt = u16(1) + u16(0) + u32(44100) + u32(0) + u16(0) + u16(16);
    const std::string body = "WAVEfmt " + u32(16) + fmt + "data" + u32(400) + data;
    return "RIFF" + u32(static_cast<std::uint32_t>(body.size())) + body;
}

int lineCount(const std::string& text) {
    int lines = 0;
    for (char c : text) {
        lines += c == '\n';
    }
    return lines;
}

std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> out;
    std::stringstream in(line);
    std::string field;
    while (std::getline(in, field, '\t')) {
        out.push_back(field);
    }
    return out;
}

} // namespace

// Every refusal: exit status 2, nothing on the standard output, one line on the standard
// error that names the program and the reason.
TEST(TunerReplay, RefusesWithStatusTwoAndOneLine) {
    const fs::path dir = scratch();
    const fs::path good =
        writeWav("good.wav", 44100, 1, 4096, [](sf_count_t, int) { return 0.0f; });
    const fs::path rate48 =
        writeWav("r48.wav", 48000, 2, 4096, [](sf_count_t, int) { return 0.0f; });
    const fs::path junk = writeBytes("junk.wav", "this is not a recording\n");
    const fs::path empty = writeBytes("empty.flac", "");
    const fs::path zero = writeBytes("zero.wav", zeroChannelWav());

    struct Case {
        std::string arguments;
        std::string reason; // a word the message must hold
    };
    const Case cases[] = {
        {"", "no recording"},
        {quoted(dir / "missing.wav"), "missing.wav"},
        {quoted(junk), "cannot read"},
        {quoted(empty), "cannot read"},
        {quoted(dir), "is a directory"},
        {quoted(rate48), "48000"},
        {quoted(zero), "cannot read"},
        {"--block", "--block"},
        {"--block 0 " + quoted(good), "--block"},
        {"--block 12x " + quoted(good), "--block"},
        {"--block -5 " + quoted(good), "--block"},
        {"--block=1048577 " + quoted(good), "--block"},
        {"--block 99999999999999999999 " + quoted(good), "--block"},
        {"--frobnicate " + quoted(good), "unknown option"},
        {quoted(good) + " " + quoted(good), "one recording"},
    };
    for (const Case& c : cases) {
        const ToolRun run = runTool(c.arguments);
        EXPECT_EQ(run.status, 2) << c.arguments;
        EXPECT_EQ(run.out, "") << c.arguments;
        EXPECT_EQ(lineCount(run.err), 1) << c.arguments << ": " << run.err;
        EXPECT_EQ(run.err.rfind("tuner-replay: ", 0), 0u) << run.err;
        EXPECT_NE(run.err.find(c.reason), std::string::npos) << c.arguments << ": " << run.err;
    }

    // Permissions mean nothing to root, who reads every file.
    if (geteuid() != 0) {
        const fs::path locked =
            writeWav("locked.wav", 44100, 1, 4096, [](sf_count_t, int) { return 0.0f; });
        fs::permissions(locked, fs::perms::none);
        const ToolRun run = runTool(quoted(locked));
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(lineCount(run.err), 1);
    }
}

// A recording cut off in the middle of its stream is not passed off as read whole.
TEST(TunerReplay, RefusesCutOffRecording) {
    const fs::path corpus = fs::path(TUNER_CORPUS_DIR) / "public" / "fluidr3_steel_E4_+00c.flac";
    if (!fs::exists(corpus)) {
        GTEST_SKIP() << "corpus file " << corpus << " is absent";
    }
    const std::string whole = slurp(corpus);
    const fs::path cut = writeBytes("cut.flac", whole.substr(0, whole.size() / 2));
    const ToolRun run = runTool(quoted(cut));
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(lineCount(run.err), 1) << run.err;
    EXPECT_NE(run.err.find("damaged"), std::string::npos) << run.err;

    const ToolRun full = runTool(quoted(corpus));
    EXPECT_EQ(full.status, 0) << full.err;
}

TEST(TunerReplay, HelpAndHeaderOnlyForShortRecording) {
    const ToolRun help = runTool("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: tuner-replay"), std::string::npos);
    EXPECT_NE(help.out.find("-           as RECORDING: read standard input"), std::string::npos);
    EXPECT_EQ(help.err, "");

    // Fewer frames than one window: the header and no reading.
    const fs::path shortFile =
        writeWav("short.wav", 44100, 2, 2047, [](sf_count_t, int) { return 0.5f; });
    const ToolRun run = runTool(quoted(shortFile));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "time\tmCurrentVolume\tmSamplePeriod\tmCurrentFrequency\tmFrequency\t"
              "mDisplayFrequency\tmFrequencyStable\tmInTune\tselectedFrequency\tmSinceAttack\n");
}

// The left channel goes through the intake in whole blocks; a final part block is dropped.
// The right channel here is loud noise that would ruin any reading taken from it.
TEST(TunerReplay, FeedsLeftChannelInWholeBlocks) {
    constexpr double kPi = 3.141592653589793;
    const sf_count_t frames = 3 * 2048 + 2047; // three windows of 512-frame blocks and a bit
    unsigned noise = 12345;
    const fs::path path = writeWav("e4.wav", 44100, 2, frames, [&](sf_count_t f, int c) {
        if (c == 1) {
            noise = noise * 1103515245u + 12345u;
            return static_cast<float>((noise >> 16) % 2000) / 1000.0f - 1.0f;
        }
        return static_cast<float>(0.8 *
                                  std::sin(2 * kPi * 329.63 * static_cast<double>(f) / 44100.0));
    });

    const ToolRun run = runTool(quoted(path));
    ASSERT_EQ(run.status, 0) << run.err;
    std::stringstream lines(run.out);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line + "\n", replayHeader());
    std::vector<std::vector<std::string>> rows;
    while (std::getline(lines, line)) {
        rows.push_back(fields(line));
    }
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0][0], "0.046440");
    EXPECT_EQ(rows[1][0], "0.092880");
    EXPECT_EQ(rows[2][0], "0.139320");
    for (const auto& row : rows) {
        ASSERT_EQ(row.size(), 10u);
        // A clean sine: every window is measured close to its pitch.
        EXPECT_NEAR(std::stod(row[3]), 329.63, 3.0) << row[3];
    }
    EXPECT_EQ(rows[2][8], "5"); // the first reading chose E4

    // The program prints exactly what the library reads.
    std::string expected = replayHeader();
    const std::string failure = replayRecording(
        path.string(), 512, [&](const ReplayReading& r) { appendReplayLine(expected, r); });
    EXPECT_EQ(failure, "");
    EXPECT_EQ(run.out, expected);

    // Blocks of 700: 8191 frames make 11 whole blocks, two windows and three blocks over.
    const ToolRun other = runTool("--block 700 " + quoted(path));
    ASSERT_EQ(other.status, 0) << other.err;
    EXPECT_EQ(lineCount(other.out), 1 + 2);
    EXPECT_NE(other.out.find("\n0.063492\t"), std::string::npos) << other.out;
}
