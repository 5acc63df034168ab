// tuner-pacer: the capture side of the paced ALSA devices (PacedDevice.h). Writes the raw
// frames of FILE (two-channel 32-bit float at 44100 Hz) into the capture pipe in FOLDER at
// 44100 frames per second, one chunk of 512 frames per write, so that its reader never sees
// part of a chunk. After the end of the file it writes silence, or starts the file again
// with --loop, until it is ended.
//
//   tuner-pacer [--loop] FOLDER FILE

#include "PacedDevice.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Fills `bytes` from the file; past its end with silence, or from its start again.
void readChunk(std::FILE* file, bool loop, char* data, std::size_t bytes) {
    std::size_t filled = 0;
    bool rewound = false;
    while (filled < bytes) {
        const std::size_t got = std::fread(data + filled, 1, bytes - filled, file);
        filled += got;
        if (got == 0) {
            if (!loop || rewound) {
                break;
            }
            std::rewind(file);
            rewound = true;
        } else {
            rewound = false;
        }
    }
    std::memset(data + filled, 0, bytes - filled);
}

} // namespace

int main(int argc, char** argv) {
    const bool loop = argc == 4 && std::string(argv[1]) == "--loop";
    if (argc != 3 + (loop ? 1 : 0)) {
        std::fprintf(stderr, "usage: tuner-pacer [--loop] FOLDER FILE\n");
        return 2;
    }
    const char* path = argv[argc - 1];
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        std::fprintf(stderr, "tuner-pacer: cannot open %s: %s\n", path, std::strerror(errno));
        return 1;
    }
    return paced::runDevice(
        paced::Side::capture, argv[argc - 2],
        [&](char* data, std::size_t bytes) { readChunk(file, loop, data, bytes); });
}
