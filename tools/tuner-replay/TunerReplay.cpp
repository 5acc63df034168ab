// tuner-replay: a recording through the tuner's analysis, one line of readings per
// analysis on the standard output.
#include "DisplayLayout.h"
#include "Replay.h"
#include "ReplayTable.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr int kRefused = 2;
constexpr int kNoReadout = 3;

void printUsage(std::FILE* stream) {
    std::fprintf(stream,
                 "Usage: tuner-replay [--block N] [--range [--in-tune]] RECORDING\n"
                 "Feeds the first channel of a 44100 Hz WAV or FLAC recording through the\n"
                 "tuner's analysis in blocks of N frames (default 512, at most %u) and prints\n"
                 "one tab-separated line of readings per analysis after a header line.\n"
                 "  --block N   frames per block, as an audio device would deliver them\n"
                 "  --range     print only LOWEST HIGHEST: the readouts the window would show\n"
                 "              at full strength, the recording fed at every alignment of\n"
                 "              the analysis window (after 0 to 4N-1 frames of silence)\n"
                 "  --in-tune   with --range: only the readouts shown with the string in tune\n"
                 "  --help      show this text\n"
                 "  -           as RECORDING: read standard input (WAV; FLAC needs a file)\n"
                 "Exit status: 0 done, 2 refused (bad option, unreadable file, wrong format),\n"
                 "3 with --range: no such readout at any alignment.\n",
                 kReplayMaxBlock);
}

int refuse(const std::string& reason) {
    std::fprintf(stderr, "tuner-replay: %s\n", reason.c_str());
    return kRefused;
}

// A whole number of frames, digits only, within the replay's limit.
bool parseBlock(std::string_view text, std::uint32_t& block) {
    if (text.empty() || text.size() > 10) {
        return false;
    }
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value < 1 || value > kReplayMaxBlock) {
        return false;
    }
    block = static_cast<std::uint32_t>(value);
    return true;
}

// The recording is decoded once and fed from memory at each alignment.
int printRange(const std::string& path, std::uint32_t block, bool inTune) {
    std::vector<float> samples;
    const std::string failure = readRecording(path, samples);
    if (!failure.empty()) {
        return refuse(failure);
    }
    const ReplayRanges ranges = replayShownRanges(samples, block);
    const ReplayRange& range = inTune ? ranges.inTune : ranges.shown;
    if (range.lowest < 0.0f) {
        std::fprintf(stderr, "tuner-replay: no readout shown at full strength%s at any alignment\n",
                     inTune ? " in tune" : "");
        return kNoReadout;
    }
    std::printf("%s %s\n", display_layout::readoutText(range.lowest).c_str(),
                display_layout::readoutText(range.highest).c_str());
    return std::fflush(stdout) == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    std::uint32_t block = 512;
    std::string path;
    bool havePath = false;
    bool range = false;
    bool inTune = false;
    const std::string badBlock =
        "--block needs a whole number of frames from 1 to " + std::to_string(kReplayMaxBlock);

    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            printUsage(stdout);
            return 0;
        }
        if (arg == "--block") {
            if (i + 1 >= argc || !parseBlock(argv[i + 1], block)) {
                return refuse(badBlock);
            }
            ++i;
        } else if (arg.starts_with("--block=")) {
            if (!parseBlock(arg.substr(8), block)) {
                return refuse(badBlock);
            }
        } else if (arg == "--range") {
            range = true;
        } else if (arg == "--in-tune") {
            inTune = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return refuse("unknown option " + std::string(arg) + " (try --help)");
        } else if (havePath) {
            return refuse("one recording at a time (try --help)");
        } else {
            path = arg;
            havePath = true;
        }
    }
    if (!havePath) {
        return refuse("no recording named (try --help)");
    }

    if (inTune && !range) {
        return refuse("--in-tune goes with --range (try --help)");
    }
    if (range) {
        return printRange(path, block, inTune);
    }

    // Output goes out in large writes; nothing is printed until the recording has
    // been accepted, so a refusal leaves the standard output empty.
    std::string out;
    out.reserve(1 << 17);
    bool started = false;
    const std::string failure = replayRecording(path, block, [&](const ReplayReading& reading) {
        if (!started) {
            out += replayHeader();
            started = true;
        }
        appendReplayLine(out, reading);
        if (out.size() >= (1 << 16)) {
            std::fwrite(out.data(), 1, out.size(), stdout);
            out.clear();
        }
    });
    if (!failure.empty()) {
        std::fwrite(out.data(), 1, out.size(), stdout);
        std::fflush(stdout);
        return refuse(failure);
    }
    if (!started) {
        out += replayHeader();
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
