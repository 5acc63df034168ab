#pragma once

// Runs a test program on the paced ALSA test devices (tests/support/paced-alsa.sh: the
// default capture device plays a file, looped, at 44100 frames per second, bit for bit, and
// the default playback device drains at that rate). ALSA reads its configuration once per
// process, so main() writes the input file and runs the program again under the script,
// which sets TUNER_PACED_FOLDER and ends the pacing helpers afterwards:
//
//     if (!onPacedDevices()) { ...write the input file...; runOnPacedDevices(argc, argv, file); }

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

inline bool onPacedDevices() {
    return std::getenv("TUNER_PACED_FOLDER") != nullptr;
}

// The input is raw two-channel float at 44100 Hz.
[[noreturn]] inline void runOnPacedDevices(int argc, char** argv, const std::string& input) {
    std::vector<std::string> words{TUNER_BINARY_DIR "/tests/support/paced-alsa.sh", "--loop", input,
                                   "--", std::filesystem::read_symlink("/proc/self/exe")};
    words.insert(words.end(), argv + 1, argv + argc);
    std::vector<char*> arguments;
    for (std::string& word : words) {
        arguments.push_back(word.data());
    }
    arguments.push_back(nullptr);
    execv(arguments[0], arguments.data());
    std::perror(arguments[0]);
    std::exit(2);
}
