// tuner-pacing-sink: the playback side of the paced ALSA devices (PacedDevice.h). Reads the
// playback pipe in FOLDER at 44100 frames per second and discards what it reads, until it is
// ended. ALSA's file plugin writes the played frames into the pipe; because the sink takes
// them no faster than real time, the playback stream is paced.
//
//   tuner-pacing-sink FOLDER

#include "PacedDevice.h"

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: tuner-pacing-sink FOLDER\n");
        return 2;
    }
    return paced::runDevice(paced::Side::playback, argv[1], {});
}
