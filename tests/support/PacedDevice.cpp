#include "PacedDevice.h"

#include "PacedClock.h"

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace paced {
namespace {

constexpr std::int64_t kBytesPerFrame = 8; // two 32-bit float channels
constexpr std::int64_t kNormalChunkFrames = 512;
constexpr std::int64_t kForever = INT64_MAX;

class Device {
public:
    Device(Side side, const std::string& folder, const Source& source)
        : mSide(side), mFolder(folder), mName(side == Side::capture ? "capture" : "playback"),
          mSource(source), mChunk(kNormalChunkFrames * kBytesPerFrame) {}

    int run();

private:
    enum class Fault { none, stall, vanish };
    enum class Resume { none, pending, written };
    enum class Wake { time, ready, command };

    bool begin();
    bool appear();
    void disappear();
    void fitChunk();
    void touchConfiguration() const;
    // Waits until `until` or until the device's pipe is ready for `events`; a command that
    // comes first has been applied on return.
    Wake wait(std::int64_t until, short events);
    void readCommands();
    void apply(const std::string& line);
    void endFault();
    void transfer();
    void logResume();
    void log(const std::string& what);

    const Side mSide;
    const std::string mFolder;
    const std::string mName;
    const Source& mSource;
    std::vector<char> mChunk;
    int mData = -1;
    int mControl = -1;
    int mLog = -1;
    std::string mCommandText;
    PacedClock mClock;
    std::int64_t mFrame = 0; // the recording's frame (capture) or the played one that is due
    std::int64_t mChunkFrames = kNormalChunkFrames;
    std::int64_t mBurstFrames = kNormalChunkFrames; // taken up at the next chunk
    bool mPipeFits = false;
    bool mFresh = true; // no chunk has moved through this pipe yet
    Fault mFault = Fault::none;
    std::int64_t mFaultUntil = 0;
    Resume mResume = Resume::none;
    std::int64_t mDropped = 0;
    std::int64_t mResumeFrame = 0;
};

int Device::run() {
    if (!begin()) {
        return 1;
    }
    for (;;) {
        const std::int64_t now = nowNanoseconds();
        if (mFault != Fault::none && now >= mFaultUntil) {
            endFault();
            continue;
        }
        if (mFault != Fault::none && mSide == Side::playback) {
            wait(mFaultUntil, 0);
            continue;
        }
        const std::int64_t due = mClock.dueAt(mFrame);
        if (now < due) {
            const bool watch = mSide == Side::capture && mResume == Resume::written;
            if (wait(mFault != Fault::none ? std::min(due, mFaultUntil) : due,
                     watch ? POLLOUT : 0) == Wake::ready) {
                logResume(); // room again: the reader took the chunk (the pipe holds one)
            }
            continue;
        }
        if (mChunkFrames != mBurstFrames) {
            mChunkFrames = mBurstFrames;
            mChunk.resize(static_cast<std::size_t>(mChunkFrames * kBytesPerFrame));
            mPipeFits = false;
        }
        if (mSide == Side::capture) {
            mSource(mChunk.data(), mChunk.size());
        }
        if (mFault != Fault::none) {
            mDropped += mChunkFrames; // capture only: these frames are never delivered
        } else {
            mClock.restartIfLate(mFrame, now);
            transfer();
        }
        mFrame += mChunkFrames;
    }
}

bool Device::begin() {
    std::signal(SIGPIPE, SIG_IGN);
    prctl(PR_SET_PDEATHSIG, SIGTERM); // never outlive the test that started it
    prctl(PR_SET_TIMERSLACK, 1UL);    // wake on time: the pace is the devices' clock
    const std::string control = mFolder + "/" + mName + ".control";
    if ((mkfifo(control.c_str(), 0600) != 0 && errno != EEXIST) ||
        (mControl = open(control.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) < 0 ||
        (mLog = open((mFolder + "/faults.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC,
                     0644)) < 0) {
        std::perror(mName.c_str());
        return false;
    }
    return appear();
}

// The pipe and the device's name are made in a folder of their own that is renamed into
// place, so that ALSA finds either no folder or a named device whose pipe is held open, never
// a path where it would create a plain file.
bool Device::appear() {
    const std::string fresh = mFolder + "/." + mName + "-new";
    std::error_code ignored;
    std::filesystem::remove_all(fresh, ignored);
    std::FILE* name = nullptr;
    if (mkdir(fresh.c_str(), 0700) != 0 || mkfifo((fresh + "/fifo").c_str(), 0600) != 0 ||
        (mData = open((fresh + "/fifo").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) < 0 ||
        (name = std::fopen((fresh + "/pcm.conf").c_str(), "w")) == nullptr ||
        std::fprintf(name, "pcm.default.%s.pcm { @func refer name \"paced.%s\" }\n", mName.c_str(),
                     mName.c_str()) < 0 ||
        std::fclose(std::exchange(name, nullptr)) != 0 ||
        rename(fresh.c_str(), (mFolder + "/" + mName).c_str()) != 0) {
        std::perror(mName.c_str());
        if (name != nullptr) {
            std::fclose(name);
        }
        return false;
    }
    touchConfiguration();
    mFresh = true;
    mPipeFits = false;
    fitChunk();
    return true;
}

void Device::disappear() {
    const std::string gone = mFolder + "/." + mName + "-gone";
    rename((mFolder + "/" + mName).c_str(), gone.c_str());
    touchConfiguration();
    close(mData);
    mData = -1;
    std::error_code ignored;
    std::filesystem::remove_all(gone, ignored);
}

// ALSA reads its configuration again when a file of it is no longer the one it read (it
// compares device, inode and modification second), so a copy replaces it.
void Device::touchConfiguration() const {
    const std::string configuration = mFolder + "/asound.conf";
    const std::string copy = mFolder + "/." + mName + "-asound.conf";
    std::error_code error;
    if (std::filesystem::copy_file(configuration, copy,
                                   std::filesystem::copy_options::overwrite_existing, error)) {
        rename(copy.c_str(), configuration.c_str());
    }
}

// Shrinking a pipe that holds more than the new size fails, so it is tried again.
void Device::fitChunk() {
    if (!mPipeFits && mData >= 0) {
        mPipeFits = fcntl(mData, F_SETPIPE_SZ, static_cast<int>(mChunk.size())) >= 0;
    }
}

Device::Wake Device::wait(std::int64_t until, short events) {
    pollfd fds[2] = {{mControl, POLLIN, 0}, {mData, events, 0}};
    const nfds_t count = events != 0 && mData >= 0 ? 2 : 1;
    for (;;) {
        timespec timeout{};
        if (until != kForever) {
            const std::int64_t left = until - nowNanoseconds();
            if (left <= 0) {
                return Wake::time;
            }
            timeout = {static_cast<time_t>(left / 1000000000),
                       static_cast<long>(left % 1000000000)};
        }
        const int ready = ppoll(fds, count, until == kForever ? nullptr : &timeout, nullptr);
        if (ready < 0 && errno != EINTR) {
            return Wake::time;
        }
        if (ready > 0 && (fds[0].revents & POLLIN) != 0) {
            readCommands();
            return Wake::command;
        }
        if (ready > 0 && count == 2 && fds[1].revents != 0) {
            return Wake::ready;
        }
    }
}

void Device::readCommands() {
    char text[256];
    for (ssize_t got; (got = read(mControl, text, sizeof text)) > 0;) {
        mCommandText.append(text, static_cast<std::size_t>(got));
    }
    for (std::size_t end; (end = mCommandText.find('\n')) != std::string::npos;) {
        apply(mCommandText.substr(0, end));
        mCommandText.erase(0, end + 1);
    }
}

void Device::apply(const std::string& line) {
    std::istringstream words(line);
    std::string name;
    std::string argument;
    words >> name >> argument;
    char* end = nullptr;
    const double value = std::strtod(argument.c_str(), &end);
    if (argument.empty() || *end != '\0' || std::isnan(value)) {
        log("unknown " + line);
        return;
    }
    if ((name == "stall" || name == "vanish") && value >= 0) {
        const Fault fault = name == "stall" ? Fault::stall : Fault::vanish;
        if (fault == Fault::vanish && mData >= 0) {
            disappear();
        } else if (fault == Fault::stall && mData < 0) {
            if (!appear()) {
                std::exit(1);
            }
            log("back");
        }
        if (mFault == Fault::none) {
            mDropped = 0;
        }
        mFault = fault;
        mResume = Resume::none;
        mFaultUntil = std::isinf(value) ? kForever
                                        : nowNanoseconds() + static_cast<std::int64_t>(value * 1e9);
    } else if (name == "bursts" && mSide == Side::capture && value >= 1 && value <= 65536) {
        mBurstFrames = static_cast<std::int64_t>(value);
    } else if (name == "clock" && std::fabs(value) < 1e5) {
        mClock.setRate(mFrame, value);
    } else {
        log("unknown " + line);
        return;
    }
    log(name + " " + argument);
}

void Device::endFault() {
    if (mFault == Fault::vanish) {
        if (!appear()) {
            std::exit(1);
        }
        log("back");
    }
    if (mSide == Side::playback) {
        mClock.restart(mFrame, nowNanoseconds());
    }
    mFault = Fault::none;
    mResume = Resume::pending;
}

// Moves the chunk through the pipe, waiting for room (capture) or data (playback); a fault
// that starts meanwhile abandons it. The first reader or writer of a new pipe starts a new
// schedule: a device opened just now has nothing to catch up.
void Device::transfer() {
    const bool capture = mSide == Side::capture;
    fitChunk();
    bool waited = false;
    std::size_t done = 0;
    while (done < mChunk.size()) {
        const ssize_t moved = capture ? write(mData, mChunk.data() + done, mChunk.size() - done)
                                      : read(mData, mChunk.data() + done, mChunk.size() - done);
        if (moved > 0) {
            if (done == 0 && mResume == Resume::written) {
                logResume(); // room for this chunk: the reader took the previous one
            } else if (done == 0 && mResume == Resume::pending) {
                mResumeFrame = mFrame;
                mResume = Resume::written;
                if (!capture) {
                    logResume();
                }
            }
            done += static_cast<std::size_t>(moved);
            continue;
        }
        if (moved < 0 && errno != EAGAIN && errno != EINTR) {
            return;
        }
        waited = true;
        if (wait(kForever, capture ? POLLOUT : POLLIN) == Wake::command && mFault != Fault::none) {
            if (capture && done == 0) {
                mDropped += mChunkFrames;
            }
            return;
        }
    }
    if (waited && mFresh) {
        mClock.restart(mFrame, nowNanoseconds());
    }
    mFresh = mFresh && !waited;
}

void Device::logResume() {
    if (mSide == Side::capture) {
        log("resume dropped=" + std::to_string(mDropped) + " next=" + std::to_string(mResumeFrame));
    } else {
        log("resume");
    }
    mResume = Resume::none;
}

void Device::log(const std::string& what) {
    const std::int64_t monotonic = nowNanoseconds();
    const std::int64_t realtime = nowNanoseconds(CLOCK_REALTIME);
    char line[320];
    const int length =
        std::snprintf(line, sizeof line, "%lld.%09lld %lld.%09lld %s %s\n",
                      static_cast<long long>(monotonic / 1000000000),
                      static_cast<long long>(monotonic % 1000000000),
                      static_cast<long long>(realtime / 1000000000),
                      static_cast<long long>(realtime % 1000000000), mName.c_str(), what.c_str());
    if (length > 0 &&
        write(mLog, line,
              std::min<std::size_t>(static_cast<std::size_t>(length), sizeof line - 1)) < 0) {
        std::perror("faults.log");
    }
}

} // namespace

int runDevice(Side side, const std::string& folder, const Source& source) {
    return Device(side, folder, source).run();
}

} // namespace paced
