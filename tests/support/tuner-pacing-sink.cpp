// tuner-pacing-sink: reads standard input at 44100 frames per second and discards it,
// until end of file. It is the playback side of the paced ALSA configuration
// (PacedAlsa.h): ALSA's file plugin writes the played frames into its pipe, and because
// the sink takes them no faster than real time, the playback stream is paced.
//
//   tuner-pacing-sink [--channels N]

#include "PacedClock.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

int main(int argc, char** argv) {
    long channels = 2;
    if (argc == 3 && std::string(argv[1]) == "--channels") {
        channels = std::strtol(argv[2], nullptr, 10);
    }
    if (channels < 1 || channels > 8) {
        return 2;
    }
    constexpr std::int64_t kFramesPerChunk = 512;
    const std::size_t chunkBytes = static_cast<std::size_t>(kFramesPerChunk * channels) * 4;
    fcntl(STDIN_FILENO, F_SETPIPE_SZ, static_cast<int>(chunkBytes));

    std::vector<char> chunk(chunkBytes);
    paced::PacedClock clock(kFramesPerChunk);
    for (std::int64_t index = 0;; ++index) {
        clock.waitFor(index);
        std::size_t taken = 0;
        while (taken < chunkBytes) {
            const ssize_t got = read(STDIN_FILENO, chunk.data() + taken, chunkBytes - taken);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                return 0;
            }
            taken += static_cast<std::size_t>(got);
        }
    }
}
