#include "PacedAlsa.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sndfile.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

std::string makeFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                          "/tuner-paced-alsa-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    return mkdtemp(buffer.data()) != nullptr ? std::string(buffer.data()) : std::string();
}

} // namespace

PacedAlsa::PacedAlsa(const std::string& rawFile, AfterEnd afterEnd) {
    if (const char* previous = std::getenv("ALSA_CONFIG_PATH")) {
        mHadConfigPath = true;
        mPreviousConfigPath = previous;
    }
    mFolder = makeFolder();
    if (mFolder.empty()) {
        mError = std::string("cannot make a temporary folder: ") + std::strerror(errno);
        return;
    }
    if (rawFile.empty() || access(rawFile.c_str(), R_OK) != 0) {
        mError = "cannot read the input file '" + rawFile + "'";
        return;
    }
    if (startPacer(rawFile, afterEnd) && writeConfiguration()) {
        setenv("ALSA_CONFIG_PATH", mConfiguration.c_str(), 1);
    }
}

PacedAlsa::~PacedAlsa() {
    if (mPacer > 0) {
        kill(mPacer, SIGTERM);
        waitpid(mPacer, nullptr, 0);
    }
    if (mInputDescriptor >= 0) {
        close(mInputDescriptor);
    }
    if (!mConfiguration.empty()) {
        unlink(mConfiguration.c_str());
    }
    if (!mFolder.empty()) {
        rmdir(mFolder.c_str());
    }
    if (mHadConfigPath) {
        setenv("ALSA_CONFIG_PATH", mPreviousConfigPath.c_str(), 1);
    } else {
        unsetenv("ALSA_CONFIG_PATH");
    }
}

// The read end stays in this process, close-on-exec, for ALSA's file plugin to read by
// number; the write end becomes the pacer's standard output.
bool PacedAlsa::startPacer(const std::string& rawFile, AfterEnd afterEnd) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        mError = std::string("cannot make a pipe: ") + std::strerror(errno);
        return false;
    }
    mInputDescriptor = ends[0];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    std::vector<std::string> arguments{TUNER_PACER_PROGRAM};
    if (afterEnd == AfterEnd::loop) {
        arguments.emplace_back("--loop");
    }
    arguments.push_back(rawFile);
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    const int result =
        posix_spawn(&mPacer, TUNER_PACER_PROGRAM, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(ends[1]);
    if (result != 0) {
        mPacer = -1;
        mError = std::string("cannot start " TUNER_PACER_PROGRAM ": ") + std::strerror(result);
        return false;
    }
    return true;
}

bool PacedAlsa::writeConfiguration() {
    std::ifstream in(TUNER_PACED_ALSA_TEMPLATE);
    std::stringstream text;
    text << in.rdbuf();
    std::string configuration = text.str();
    if (!in || configuration.empty()) {
        mError = "cannot read " TUNER_PACED_ALSA_TEMPLATE;
        return false;
    }
    replaceAll(configuration, "@INPUT_FD@", std::to_string(mInputDescriptor));
    replaceAll(configuration, "@SINK@", TUNER_PACING_SINK_PROGRAM);
    mConfiguration = mFolder + "/asound.conf";
    std::ofstream out(mConfiguration);
    out << configuration;
    out.close();
    if (!out) {
        mError = "cannot write " + mConfiguration;
        return false;
    }
    return true;
}

std::string PacedAlsa::rawStereoFrom(const std::string& soundFile, const std::string& rawFile) {
    SF_INFO info{};
    SNDFILE* in = sf_open(soundFile.c_str(), SFM_READ, &info);
    if (in == nullptr || info.channels < 1) {
        if (in != nullptr) {
            sf_close(in);
        }
        return {};
    }
    std::FILE* out = std::fopen(rawFile.c_str(), "wb");
    if (out == nullptr) {
        sf_close(in);
        return {};
    }
    constexpr sf_count_t kFrames = 4096;
    std::vector<float> frames(static_cast<std::size_t>(kFrames * info.channels));
    std::vector<float> stereo(static_cast<std::size_t>(kFrames * 2));
    bool written = true;
    for (sf_count_t got; written && (got = sf_readf_float(in, frames.data(), kFrames)) > 0;) {
        for (sf_count_t i = 0; i < got; ++i) {
            const float* frame = &frames[static_cast<std::size_t>(i * info.channels)];
            stereo[static_cast<std::size_t>(2 * i)] = frame[0];
            stereo[static_cast<std::size_t>(2 * i + 1)] = info.channels > 1 ? frame[1] : frame[0];
        }
        const std::size_t count = static_cast<std::size_t>(got * 2);
        written = std::fwrite(stereo.data(), sizeof(float), count, out) == count;
    }
    sf_close(in);
    written = std::fclose(out) == 0 && written;
    return written ? rawFile : std::string();
}
