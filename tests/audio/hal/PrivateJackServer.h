#pragma once

// A private JACK server (the dummy backend) for the tests of the audio boundary beside JACK,
// and waiting for a condition with a bound.

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>

extern char** environ;

// The name of the private server the test's environment gives, or empty (said) where jackd
// is not installed or no name is given: the test is then skipped.
inline std::string testJackServer() {
    const char* const server = std::getenv("TUNER_TEST_JACK_SERVER");
    if (server == nullptr || std::system("command -v jackd >/dev/null") != 0) {
        std::fprintf(stderr, "jackd is not installed (bash tools/install-deps.sh installs it), "
                             "or TUNER_TEST_JACK_SERVER is not set; skipped\n");
        return "";
    }
    return server;
}

// jackd -n NAME at 48000 Hz with that period, its output discarded; 0 when it would not start.
inline pid_t startJackServer(const std::string& name, const char* period) {
    const char* argv[] = {"jackd", "-n",    name.c_str(), "-d",   "dummy",
                          "-r",    "48000", "-p",         period, nullptr};
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int error =
        posix_spawnp(&pid, "jackd", &quiet, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&quiet);
    return error == 0 ? pid : 0;
}

inline void stopJackServer(pid_t pid) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

template <class Condition> bool within(std::chrono::milliseconds bound, Condition condition) {
    const auto until = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}
