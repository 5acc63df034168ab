#pragma once

// What the tests of the audio boundary on real backends share: the default devices and their
// properties, a procedure that does nothing, waiting for a condition with a bound, a private
// JACK server (the dummy backend), and a main() for a test's own environment.

#include "AudioHardware.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <span>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals; // the bounds the tests wait for

constexpr AudioHardwarePropertyID kIn = kAudioHardwarePropertyDefaultInputDevice;
constexpr AudioHardwarePropertyID kOut = kAudioHardwarePropertyDefaultOutputDevice;

// A status to expect that stands for any failure.
constexpr OSStatus kFailing = -1;

// The default device `property` names, found with the status `expected`.
inline AudioDeviceID lookUp(AudioHardwarePropertyID property, OSStatus expected = 0) {
    AudioDeviceID device = 99; // no backend's: a failing look writes 0
    std::uint32_t size = sizeof device;
    const OSStatus status = AudioHardwareGetProperty(property, &size, &device);
    EXPECT_TRUE(expected == kFailing ? status != 0 : status == expected)
        << "looking up: " << status << ", not " << expected;
    return device;
}

// A property of type T, queried with the status `expected`.
template <class T>
T propertyOf(AudioDeviceID device, std::uint8_t isInput, AudioDevicePropertyID property,
             OSStatus expected = 0, std::uint32_t channel = 0) {
    T value{};
    std::uint32_t size = sizeof value;
    EXPECT_EQ(AudioDeviceGetProperty(device, channel, isInput, property, &size, &value), expected)
        << "property " << std::hex << property;
    return value;
}

// Whether the device's stream format is `channels` interleaved 32-bit float channels at
// 44100 Hz, every field as the engine reads it.
inline bool floatAt44100(AudioDeviceID device, std::uint8_t isInput, std::uint32_t channels) {
    const auto format =
        propertyOf<AudioStreamBasicDescription>(device, isInput, kAudioDevicePropertyStreamFormat);
    const AudioStreamBasicDescription expected{
        44100.0, kAudioFormatLinearPCM, 9, 4 * channels, 1, 4 * channels, channels, 32, 0};
    return std::memcmp(&format, &expected, sizeof format) == 0;
}

// The device's name, queried with the status `expected`.
inline std::string nameOf(AudioDeviceID device, std::uint8_t isInput, OSStatus expected = 0) {
    using Name = std::array<char, 256>;
    return propertyOf<Name>(device, isInput, kAudioDevicePropertyDeviceName, expected).data();
}

// The status of a query of the device's current time (given `now`, into it).
inline OSStatus currentTime(AudioDeviceID device, AudioTimeStamp* now = nullptr) {
    AudioTimeStamp time;
    return AudioDeviceGetCurrentTime(device, now != nullptr ? now : &time);
}

inline OSStatus silentProc(AudioDeviceID, const AudioTimeStamp*, const AudioBufferList*,
                           const AudioTimeStamp*, AudioBufferList*, const AudioTimeStamp*, void*) {
    return 0;
}

// How long a call takes, in milliseconds.
template <class Call> double millisecondsOf(Call call) {
    const auto start = std::chrono::steady_clock::now();
    call();
    return (std::chrono::steady_clock::now() - start) / 1.0ms;
}

// A procedure's calls as it saw them, for the test to look at once it is stopped: how many,
// and of the first kKept each one's thread, sample time, place among the calls of every
// probe (in a cycle that calls two, one right after the other), buffer and first samples.
// It stops itself after `stopAfter` calls (0: never), and keeps what that stop returned.
struct Probe {
    static constexpr int kKept = 512;
    struct Call {
        std::thread::id thread;
        double time;
        int order;
        AudioBuffer buffer;
        float samples[512 * 32]; // a block of as many channels as a stream can have
    };
    AudioDeviceID device = 0;
    int stopAfter = 0;
    std::atomic<int> calls{0};
    std::atomic<OSStatus> stoppedInside{-1};
    Call kept[kKept];
    // The calls it kept.
    std::span<const Call> seen() const { return {kept, std::min<std::size_t>(calls, kKept)}; }
};
inline std::atomic<int> gProbeCalls{0};

template <Probe& P>
OSStatus probe(AudioDeviceID, const AudioTimeStamp*, const AudioBufferList* in,
               const AudioTimeStamp* inTime, AudioBufferList* out, const AudioTimeStamp* outTime,
               void*) {
    const int n = P.calls.load(std::memory_order_relaxed);
    if (n < Probe::kKept) {
        Probe::Call& call = P.kept[n];
        call.thread = std::this_thread::get_id();
        call.time = (in != nullptr ? inTime : outTime)->mSampleTime;
        call.order = gProbeCalls++;
        call.buffer = (in != nullptr ? in : out)->mBuffers[0];
        if (in != nullptr) {
            std::memcpy(call.samples, call.buffer.mData,
                        std::min<std::size_t>(call.buffer.mDataByteSize, sizeof call.samples));
        }
    }
    P.calls.store(n + 1, std::memory_order_release);
    if (n + 1 == P.stopAfter) {
        P.stoppedInside = AudioDeviceStop(P.device, probe<P>);
    }
    return 0;
}

// A test's input and output procedures, each with its probe.
inline Probe gIn, gOut;
inline constexpr AudioDeviceIOProc input = probe<gIn>, output = probe<gOut>;

// Both procedures added, input first, and started, the output's stopping itself after
// `stopAfter` calls.
inline void startBoth(AudioDeviceID in, AudioDeviceID out, int stopAfter) {
    gOut.device = out;
    gOut.stopAfter = stopAfter;
    ASSERT_EQ(AudioDeviceAddIOProc(in, input, nullptr), 0);
    ASSERT_EQ(AudioDeviceAddIOProc(out, output, nullptr), 0);
    ASSERT_EQ(AudioDeviceStart(in, input) + AudioDeviceStart(out, output), 0);
}

template <class Condition> bool within(std::chrono::milliseconds bound, Condition condition) {
    const auto until = std::chrono::steady_clock::now() + bound;
    bool met = condition();
    for (; !met && std::chrono::steady_clock::now() <= until; met = condition()) {
        std::this_thread::sleep_for(10ms);
    }
    return met;
}

// The default input device once a look finds one; 0 when none did within the bound.
inline AudioDeviceID inputWithin(std::chrono::milliseconds bound) {
    AudioDeviceID device = 0;
    std::uint32_t size = sizeof device;
    within(bound, [&] { return AudioHardwareGetProperty(kIn, &size, &device) == 0; });
    return device;
}

// jackd -n NAME at 48000 Hz with that period, its output discarded (pid -1 when it would not
// start), stopped at the latest on leaving the scope: one that a failed assertion left running
// would hold its name against the next run, and every later run would fail.
struct JackServer {
    pid_t pid = 0;
    JackServer(const char* name, const char* period) { start(name, period); }
    ~JackServer() { stop(); }
    void start(const char* name, const char* period) {
        pid = fork();
        if (pid == 0) { // only what is safe between fork and exec in a process with threads
            prctl(PR_SET_PDEATHSIG, SIGTERM); // ends with the test, even one killed or crashed
            dup2(open("/dev/null", O_WRONLY), 1);
            dup2(1, 2);
            execlp("jackd", "jackd", "-n", name, "-d", "dummy", "-r", "48000", "-p", period,
                   nullptr);
            _exit(127);
        }
    }
    void stop() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        pid = 0;
    }
};

// Runs the tests where the test's environment sets every variable `needed` (and where it
// names a private JACK server, where jackd is installed), with ALSA's configuration `alsa` if
// given (ALSA reads it once, at the first look for the devices); else 77: skipped.
inline int runTests(int argc, char** argv, std::initializer_list<const char*> needed,
                    const char* alsa = nullptr) {
    testing::InitGoogleTest(&argc, argv);
    for (const char* variable : needed) {
        if (std::getenv(variable) == nullptr) {
            std::fprintf(stderr, "%s is not set (see CMakeLists.txt); skipped\n", variable);
            return 77;
        }
    }
    if (std::getenv("TUNER_TEST_JACK_SERVER") != nullptr &&
        std::system("command -v jackd >/dev/null") != 0) {
        std::fprintf(stderr, "jackd is not installed (tools/install-deps.sh); skipped\n");
        return 77;
    }
    if (alsa != nullptr) {
        const std::string file = TUNER_BINARY_DIR "/" + std::string(program_invocation_short_name);
        std::ofstream(file + ".alsa.conf") << alsa;
        setenv("ALSA_CONFIG_PATH", (file + ".alsa.conf").c_str(), 1);
    }
    return RUN_ALL_TESTS();
}
