// tuner-pacer: writes raw samples to standard output at 44100 frames per second, one
// chunk of 512 frames (4096 bytes for two 32-bit float channels) per write, so that a
// reader of a pipe never sees part of a chunk. After the end of the file it writes
// silence, or starts the file again with --loop, until the reader goes away.
//
//   tuner-pacer [--loop] [--channels N] FILE
//
// The reader is the capture side of the paced ALSA configuration (PacedAlsa.h). Standard
// output's pipe is shrunk to one chunk, so the pacer stays at most one chunk ahead.

#include "PacedClock.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::int64_t kFramesPerChunk = 512;

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = write(fd, data, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// Fills `chunk` from the file; past its end with silence, or from its start again.
void readChunk(std::FILE* file, bool loop, std::vector<char>& chunk) {
    std::size_t filled = 0;
    bool rewound = false;
    while (filled < chunk.size()) {
        const std::size_t got = std::fread(chunk.data() + filled, 1, chunk.size() - filled, file);
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
    std::memset(chunk.data() + filled, 0, chunk.size() - filled);
}

} // namespace

int main(int argc, char** argv) {
    bool loop = false;
    long channels = 2;
    const char* path = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--loop") {
            loop = true;
        } else if (argument == "--channels" && i + 1 < argc) {
            channels = std::strtol(argv[++i], nullptr, 10);
        } else {
            path = argv[i];
        }
    }
    if (path == nullptr || channels < 1 || channels > 8) {
        std::fprintf(stderr, "usage: tuner-pacer [--loop] [--channels N] FILE\n");
        return 2;
    }
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        std::fprintf(stderr, "tuner-pacer: cannot open %s: %s\n", path, std::strerror(errno));
        return 1;
    }
    std::signal(SIGPIPE, SIG_IGN); // a gone reader ends the loop through EPIPE
    const std::size_t chunkBytes = static_cast<std::size_t>(kFramesPerChunk * channels) * 4;
    fcntl(STDOUT_FILENO, F_SETPIPE_SZ, static_cast<int>(chunkBytes));

    std::vector<char> chunk(chunkBytes);
    paced::PacedClock clock(kFramesPerChunk);
    for (std::int64_t index = 0;; ++index) {
        readChunk(file, loop, chunk);
        clock.waitFor(index);
        if (!writeAll(STDOUT_FILENO, chunk.data(), chunk.size())) {
            break;
        }
    }
    std::fclose(file);
    return 0;
}
