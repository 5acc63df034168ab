// The two helpers behind the paced test devices (paced-alsa.sh sets them up), built from this
// file: tuner-pacer, the capture side, and tuner-pacing-sink, the playback side.
//
//   tuner-pacer [--loop] FOLDER FILE   writes FILE's raw frames (two-channel 32-bit float at
//                                      44100 Hz) into the capture pipe; after its end silence,
//                                      or FILE again with --loop
//   tuner-pacing-sink FOLDER           reads the playback pipe and discards what it reads
//
// The device is the named pipe FOLDER/capture/fifo or FOLDER/playback/fifo, which the helper
// holds open for reading and writing whenever the device is present: ALSA's file plugin then
// opens it without blocking, any number of times, and never sees the other end go away. The
// pipe holds one chunk, so the helper stays at most one chunk ahead of its reader (capture)
// or lets its writer at most one chunk ahead (playback). One chunk of 512 frames moves per
// 512/44100 s on the monotonic clock: frame f falls due at a start time plus f frames, so
// chunks late by a busy machine are caught up rather than drifting the rate. A stream that
// stood still for longer (a device opened long before its stream started, or the other side
// stopped reading or writing) starts a new schedule instead: catching up then would deliver
// a burst. While nobody reads (capture) or writes (playback) the recording waits.
//
// Faults arrive as lines on the named pipe FOLDER/capture.control or FOLDER/playback.control
// (paced-fault.sh writes them):
//   stall SECONDS   capture: nothing is written for that long, and the frames that fall due
//                   meanwhile are never delivered (an overrun); playback: nothing is read for
//                   that long, then reading goes on at real-time pace.
//   vanish SECONDS  the device is gone for that long: the pipe is closed (a running capture
//                   reads end of file, a running playback's writes fail with EPIPE) and its
//                   folder removed, with the pcm.conf there that adds the side to the default
//                   device of FOLDER/asound.conf (paced-alsa.conf.in), so that opening it
//                   fails. Capture loses the frames that fall due meanwhile, as in a stall.
//   bursts FRAMES   capture only: FRAMES frames fall due at once, at the same average rate;
//                   512 is the normal pace. They are written in whole 512-frame periods (the
//                   rest with the next burst): ALSA's file plugin fills a period that a read
//                   finds half there with silence.
//   clock PPM       the side's clock runs PPM parts per million fast (slow when negative):
//                   -50000 delivers 95 % of real time, the recording whole but slower.
//   jitter SECONDS  capture only: each chunk goes out up to SECONDS late, at random (a
//                   late chunk is followed by the next ones at once); 0 ends it.
//   late SECONDS    capture only: nothing is written for that long, then every frame that
//                   fell due meanwhile at once, nothing lost (a slow start).
//   lose K          capture only: one chunk in K is never delivered (0 ends it).
//   starve N        capture only: N chunks a second are delivered, the others never (0
//                   ends it).
// SECONDS may be "inf" (until the next stall or vanish of that side; "stall 0" ends it).
//
// Every fault is logged to FOLDER/faults.log, one line each, written at once:
//   MONOTONIC REALTIME SIDE EVENT [ARGUMENTS]
// with both clocks in seconds (nine decimals) and EVENT one of the faults above (the moment it
// starts), "unknown" (a line refused), "back" (a vanished device is present again) or
// "resume": the first chunk after a stall or vanish moved (capture: the reader took it, seen
// when the next chunk goes in, and "resume dropped=N next=F" says that N frames were never
// delivered and F is the frame of the recording that came next; playback: the sink read it).

#include <cmath>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

constexpr bool kCapture = PACED_CAPTURE;
const std::string kName = kCapture ? "capture" : "playback";
constexpr std::int64_t kBillion = 1000000000;
constexpr std::int64_t kForever = INT64_MAX;
// Lateness that is still caught up: longer than a loaded machine keeps a thread waiting,
// shorter than a stream's stop and start.
constexpr std::int64_t kLatestCatchUp = kBillion / 4;

std::int64_t nanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * kBillion + now.tv_nsec;
}

std::string gFolder;
std::vector<char> gRecording;
std::size_t gPosition = 0; // in gRecording
bool gLoop = false;
int gData = -1; // the pipe, while the device is present
int gControl = -1;
int gLog = -1;
std::string gCommands;
std::vector<char> gChunk(512 * 8);       // two 32-bit float channels a frame
std::size_t gBurstBytes = gChunk.size(); // taken up at the next chunk
std::vector<char> gCarry;                // frames due but short of a whole period
// The schedule: frame gStartFrame falls due at gStart on the monotonic clock.
std::int64_t gStart = nanoseconds();
std::size_t gStartFrame = 0;
double gRate = 44100;
std::size_t gFrame = 0; // the recording's next frame (capture) or the next one played
bool gFresh = true;     // no chunk has moved through this pipe without waiting yet
bool gFault = false;    // a stall or vanish until gFaultUntil
std::int64_t gFaultUntil = kForever;
std::size_t gDropped = 0;
std::size_t gResumeFrame = 0;
int gChunksToResume = 0; // chunks to move after a fault, until the other side has had one
// The capture's irregular deliveries: the current chunk's random delay and the largest one,
// chunks dropped one in gLoseEvery or kept one in gKeepEvery, a hold until gLateUntil whose
// backlog is caught up however late.
std::int64_t gDelay = 0;
std::int64_t gMostDelay = 0;
std::uint64_t gRandom = 88172645463325252ull;
std::size_t gLoseEvery = 0;
std::size_t gKeepEvery = 0;
std::size_t gChunkCount = 0;
std::int64_t gLateUntil = 0;
bool gCatchingUp = false;

std::int64_t nextDelay() {
    gRandom ^= gRandom << 13;
    gRandom ^= gRandom >> 7;
    gRandom ^= gRandom << 17;
    return gMostDelay > 0
               ? static_cast<std::int64_t>(gRandom % static_cast<std::uint64_t>(gMostDelay))
               : 0;
}

std::int64_t dueAt(std::size_t frame) {
    return gStart +
           static_cast<std::int64_t>(static_cast<double>(frame - gStartFrame) * 1e9 / gRate);
}

void restart(std::size_t frame, std::int64_t start) {
    gStartFrame = frame;
    gStart = start;
}

void log(const std::string& what) {
    timespec monotonic{};
    timespec realtime{};
    clock_gettime(CLOCK_MONOTONIC, &monotonic);
    clock_gettime(CLOCK_REALTIME, &realtime);
    dprintf(gLog, "%ld.%09ld %ld.%09ld %s %s\n", monotonic.tv_sec, monotonic.tv_nsec,
            realtime.tv_sec, realtime.tv_nsec, kName.c_str(), what.c_str());
}

// The pipe and the device's name are made in a folder of their own that is renamed into
// place, and renamed out of it again before they are removed, so that ALSA finds either no
// folder or a named device whose pipe is held open, never a path where it would create a
// plain file. ALSA reads its configuration again when a file of it is no longer the one it
// read (it compares device, inode and modification second), so a copy replaces it.
void setPresent(bool present) {
    const std::string place = gFolder + "/" + kName;
    const std::string aside = gFolder + "/." + kName + "-aside";
    std::error_code ignored;
    std::filesystem::remove_all(aside, ignored);
    if (present &&
        (mkdir(aside.c_str(), 0700) != 0 || mkfifo((aside + "/fifo").c_str(), 0600) != 0 ||
         (gData = open((aside + "/fifo").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) < 0 ||
         fcntl(gData, F_SETPIPE_SZ, static_cast<int>(gChunk.size())) < 0 ||
         !(std::ofstream(aside + "/pcm.conf")
           << "pcm.default." << kName << ".pcm { @func refer name \"paced." << kName << "\" }\n") ||
         rename(aside.c_str(), place.c_str()) != 0)) {
        std::perror(kName.c_str());
        std::exit(1);
    }
    if (!present) {
        rename(place.c_str(), aside.c_str());
    }
    std::filesystem::copy_file(gFolder + "/asound.conf", aside + ".conf",
                               std::filesystem::copy_options::overwrite_existing, ignored);
    rename((aside + ".conf").c_str(), (gFolder + "/asound.conf").c_str());
    if (!present) {
        close(std::exchange(gData, -1));
        std::filesystem::remove_all(aside, ignored);
    }
    gFresh = true;
}

void apply(const std::string& line) {
    std::istringstream words(line);
    std::string name;
    std::string argument;
    words >> name >> argument;
    char* end = nullptr;
    const double value = std::strtod(argument.c_str(), &end);
    const bool number = !argument.empty() && *end == '\0' && !std::isnan(value);
    if (number && (name == "stall" || name == "vanish") && value >= 0) {
        if (name == "vanish" && gData >= 0) {
            setPresent(false);
        } else if (name == "stall" && gData < 0) {
            setPresent(true);
            log("back");
        }
        gDropped = gFault ? gDropped : 0;
        gFault = true;
        gChunksToResume = 0;
        gFaultUntil =
            std::isinf(value) ? kForever : nanoseconds() + static_cast<std::int64_t>(value * 1e9);
    } else if (number && name == "bursts" && kCapture && value >= 1 && value <= 65536) {
        gBurstBytes = static_cast<std::size_t>(value) * 8;
    } else if (number && name == "jitter" && kCapture && value >= 0 && value <= 1) {
        gMostDelay = static_cast<std::int64_t>(value * 1e9);
        gDelay = nextDelay();
    } else if (number && name == "late" && kCapture && value >= 0 && value <= 60) {
        gLateUntil = nanoseconds() + static_cast<std::int64_t>(value * 1e9);
        gCatchingUp = true;
    } else if (number && (name == "lose" || name == "starve") && kCapture && value >= 0 &&
               value <= 1000 && value == std::floor(value)) {
        const auto count = static_cast<std::size_t>(value);
        // starve N keeps one chunk in (chunks a second / N).
        (name == "lose" ? gLoseEvery : gKeepEvery) =
            name == "lose" || count == 0
                ? count
                : std::max<std::size_t>(1,
                                        static_cast<std::size_t>(std::lround(gRate / 512 / value)));
        gChunkCount = 0;
    } else if (number && name == "clock" && std::fabs(value) < 1e6) {
        restart(gFrame, dueAt(gFrame)); // no jump: the new rate runs from here
        gRate = 44100 * (1.0 + value * 1e-6);
    } else {
        log("unknown " + line);
        return;
    }
    log(name + " " + argument);
}

// Waits until `until` or until the pipe is ready for `events`, whichever comes first, and
// applies the commands that come meanwhile. True when the pipe is ready.
bool wait(std::int64_t until, short events) {
    pollfd fds[2] = {{gControl, POLLIN, 0}, {events != 0 ? gData : -1, events, 0}};
    const std::int64_t left = std::max<std::int64_t>(until - nanoseconds(), 0);
    const timespec timeout{static_cast<time_t>(left / kBillion), left % kBillion};
    if (ppoll(fds, 2, until == kForever ? nullptr : &timeout, nullptr) <= 0) {
        return false;
    }
    char text[256];
    for (ssize_t got; (got = read(gControl, text, sizeof text)) > 0;) {
        gCommands.append(text, static_cast<std::size_t>(got));
    }
    for (std::size_t end; (end = gCommands.find('\n')) != std::string::npos;
         gCommands.erase(0, end + 1)) {
        apply(gCommands.substr(0, end));
    }
    return fds[1].revents != 0;
}

// Moves the chunk through the pipe, waiting for room (capture) or data (playback); a fault
// that starts meanwhile abandons it. The first reader or writer of a new pipe starts a new
// schedule: a device opened just now has nothing to catch up.
void transfer() {
    // Shrinking a pipe fails while it holds more; the next chunk tries again.
    fcntl(gData, F_SETPIPE_SZ, static_cast<int>(gChunk.size()));
    bool waited = false;
    for (std::size_t done = 0; done < gChunk.size();) {
        const ssize_t moved = kCapture ? write(gData, gChunk.data() + done, gChunk.size() - done)
                                       : read(gData, gChunk.data() + done, gChunk.size() - done);
        if (moved > 0 && done == 0 && gChunksToResume > 0 && --gChunksToResume == 0) {
            log(kCapture ? "resume dropped=" + std::to_string(gDropped) +
                               " next=" + std::to_string(gResumeFrame)
                         : "resume");
        }
        if (moved > 0) {
            done += static_cast<std::size_t>(moved);
        } else if (moved < 0 && errno != EAGAIN && errno != EINTR) {
            return;
        } else if (!wait(kForever, kCapture ? POLLOUT : POLLIN) && gFault) {
            gDropped += kCapture && done == 0 ? gChunk.size() / 8 : 0;
            return;
        } else {
            waited = true;
        }
    }
    if (waited && gFresh) {
        restart(gFrame, nanoseconds());
    }
    gFresh = gFresh && !waited;
}

} // namespace

int main(int argc, char** argv) {
    gLoop = kCapture && argc > 1 && std::string(argv[1]) == "--loop";
    if (argc != (kCapture ? 3 : 2) + (gLoop ? 1 : 0)) {
        std::fprintf(stderr, kCapture ? "usage: tuner-pacer [--loop] FOLDER FILE\n"
                                      : "usage: tuner-pacing-sink FOLDER\n");
        return 2;
    }
    gFolder = argv[gLoop ? 2 : 1];
    std::ifstream input(kCapture ? argv[argc - 1] : "/dev/null", std::ios::binary);
    gRecording.assign(std::istreambuf_iterator<char>(input), {});
    const std::string control = gFolder + "/" + kName + ".control";
    std::signal(SIGPIPE, SIG_IGN);
    prctl(PR_SET_PDEATHSIG, SIGTERM); // never outlive the test that started it
    prctl(PR_SET_TIMERSLACK, 1UL);    // wake on time: the pace is the devices' clock
    // A device keeps its pace on a busy machine, as a sound server's real-time thread does.
    sched_param realTime{};
    realTime.sched_priority = sched_get_priority_min(SCHED_FIFO) + 20;
    sched_setscheduler(0, SCHED_FIFO, &realTime);
    if (!input || (mkfifo(control.c_str(), 0600) != 0 && errno != EEXIST) ||
        (gControl = open(control.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) < 0 ||
        (gLog = open((gFolder + "/faults.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC,
                     0644)) < 0) {
        std::perror(argv[argc - 1]);
        return 1;
    }
    setPresent(true);
    for (;;) {
        const std::int64_t now = nanoseconds();
        const std::int64_t due = dueAt(gFrame) + gDelay;
        gCatchingUp = gCatchingUp && (now < gLateUntil || now >= due);
        // The fault over: the device back; playback starts a new schedule, capture keeps its own.
        if (now >= gFaultUntil) {
            if (gData < 0) {
                setPresent(true);
                log("back");
            }
            restart(gFrame, kCapture ? dueAt(gFrame) : now);
            gFault = false;
            gFaultUntil = kForever;
            gResumeFrame = gFrame;
            gChunksToResume = kCapture ? 2 : 1;
        } else if (now < due || (gFault && !kCapture)) { // playback reads nothing in a fault
            wait(gFault && !kCapture ? gFaultUntil : std::min(due, gFaultUntil), 0);
        } else if (now < gLateUntil) {
            wait(std::min(gLateUntil, gFaultUntil), 0);
        } else { // the next chunk; capture drops it during a fault
            gChunk.resize(gBurstBytes);
            for (char& byte : gChunk) { // the recording, then silence or the recording again
                gPosition = gLoop && gPosition == gRecording.size() ? 0 : gPosition;
                byte = kCapture && gPosition < gRecording.size() ? gRecording[gPosition++] : 0;
            }
            if (!gFault && !gCatchingUp && now - due > kLatestCatchUp) {
                restart(gFrame, now);
            }
            ++gChunkCount;
            const bool lost = (gLoseEvery != 0 && gChunkCount % gLoseEvery == 0) ||
                              (gKeepEvery != 0 && gChunkCount % gKeepEvery != 0);
            const std::size_t due = gChunk.size() / 8;
            if (gFault) {
                gDropped += due;
            } else if (!lost) {
                gCarry.insert(gCarry.end(), gChunk.begin(), gChunk.end());
                const std::size_t whole = gCarry.size() / 4096 * 4096;
                gChunk.assign(gCarry.begin(), gCarry.begin() + static_cast<std::ptrdiff_t>(whole));
                gCarry.erase(gCarry.begin(), gCarry.begin() + static_cast<std::ptrdiff_t>(whole));
                if (!gChunk.empty()) {
                    transfer();
                }
            }
            gFrame += due;
            gDelay = nextDelay();
        }
    }
}
