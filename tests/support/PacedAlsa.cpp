#include "PacedAlsa.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
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
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/tuner-paced-alsa-XXXXXX";
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
    std::vector<std::string> pacer{TUNER_PACER_PROGRAM, mFolder, rawFile};
    if (afterEnd == AfterEnd::loop) {
        pacer.insert(pacer.begin() + 1, "--loop");
    }
    mPacer = start(pacer);
    mSink = start({TUNER_PACING_SINK_PROGRAM, mFolder});
    if (mPacer < 0 || mSink < 0) {
        return;
    }
    // Each helper renames its pipe into place once it holds it open.
    for (int tries = 0; access((mFolder + "/capture/fifo").c_str(), F_OK) != 0 ||
                        access((mFolder + "/playback/fifo").c_str(), F_OK) != 0;
         ++tries) {
        if (tries == 5000) {
            mError = "the pacing helpers did not start";
            return;
        }
        usleep(1000);
    }
    if (writeConfiguration()) {
        setenv("ALSA_CONFIG_PATH", mConfiguration.c_str(), 1);
    }
}

PacedAlsa::~PacedAlsa() {
    for (const pid_t helper : {mPacer, mSink}) {
        if (helper > 0) {
            kill(helper, SIGTERM);
            waitpid(helper, nullptr, 0);
        }
    }
    if (!mFolder.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(mFolder, ignored);
    }
    if (mHadConfigPath) {
        setenv("ALSA_CONFIG_PATH", mPreviousConfigPath.c_str(), 1);
    } else {
        unsetenv("ALSA_CONFIG_PATH");
    }
}

pid_t PacedAlsa::start(std::vector<std::string> arguments) {
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    pid_t helper = -1;
    const int result = posix_spawn(&helper, argv[0], nullptr, nullptr, argv.data(), environ);
    if (result != 0) {
        mError = "cannot start " + arguments[0] + ": " + std::strerror(result);
        return -1;
    }
    return helper;
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
    replaceAll(configuration, "@FOLDER@", mFolder);
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

bool PacedAlsa::inject(const std::string& fault) {
    std::istringstream words(fault);
    std::string side;
    std::string name;
    words >> side >> name;
    const std::string command = fault.substr(fault.find(name)) + "\n";
    const std::size_t before = faultLog().size();
    // Opened without blocking: a helper that is gone has no reader on its control pipe.
    const int control = open((mFolder + "/" + side + ".control").c_str(), O_WRONLY | O_NONBLOCK);
    if (name.empty() || control < 0) {
        if (control >= 0) {
            close(control);
        }
        return false;
    }
    const bool sent =
        write(control, command.data(), command.size()) == static_cast<ssize_t>(command.size());
    close(control);
    for (int tries = 0; sent && tries < 1000; ++tries) {
        const std::vector<FaultEvent> log = faultLog();
        for (std::size_t i = before; i < log.size(); ++i) {
            if (log[i].side == side && (log[i].event == name || log[i].event == "unknown")) {
                return log[i].event == name;
            }
        }
        usleep(1000);
    }
    return false;
}

std::vector<PacedAlsa::FaultEvent> PacedAlsa::faultLog() const {
    std::vector<FaultEvent> events;
    std::ifstream in(mFolder + "/faults.log");
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        FaultEvent event;
        words >> event.monotonic >> event.realtime >> event.side >> event.event >> std::ws;
        std::getline(words, event.detail);
        events.push_back(event);
    }
    return events;
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
