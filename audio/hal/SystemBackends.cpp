// The program's backends, in the order the choice takes them (BackendChoice):
// - JACK, where a JACK server runs (asked without starting one), or has served this process
//   and stopped (the user's audio is JACK's, and ALSA's default device may be the very card
//   the server wants back); not by itself where libjack is PipeWire's (pipewire-jack), under
//   which a JACK server always seems to run while the input the desktop has chosen is the
//   sound server's;
// - the sound server (PulseAudio, or PipeWire through pipewire-pulse), where one answers or
//   has served this process: every channel of the desktop's input;
// - PortAudio, on ALSA's default device.
// Installed as the audio boundary's chooser before main, in every program that links it.

#include "AudioBoundary.h"
#include "BackendChoice.h"
#include "Diagnostics.h"
#include "JackBackend.h"
#include "PortAudioBackend.h"
#include "PulseBackend.h"

#include <cstdlib>
#include <string>

namespace {

// Debian's PortAudio starts its JACK host API inside every Pa_Initialize, with no switch to
// turn it off, and that host API asserts (aborting the process) when its server goes away
// while it starts: PortAudio, begun again at every retry, would abort the tuner whenever a
// server stops at the wrong moment, and would open a client of its own beside the tuner's.
// So PortAudio's JACK host API must never reach a server: JACK_DEFAULT_SERVER names one that
// does not exist for the whole process (set here, before main, while there is one thread),
// and the JACK backend asks for the server the user named, or the default one, by name.
// JACK_NO_START_SERVER keeps libjack from starting a server for anyone in the process.
std::string takeJackServerName() {
    const char* const named = std::getenv("JACK_DEFAULT_SERVER");
    std::string server = named != nullptr && *named != '\0' ? named : "default";
    setenv("JACK_DEFAULT_SERVER", "guitar-tuner-keeps-portaudio-off-jack", 1);
    setenv("JACK_NO_START_SERVER", "1", 1);
    return server;
}

// The audio libraries print from any thread, the callback threads included; the program's
// own lines keep the real standard error. Before main, while nothing else runs.
const bool gChatterOff = (keepLibraryChatterOff(), true);
const std::string gJackServer = takeJackServerName();
PortAudioBackend gPortAudio;
JackBackend gJack{gJackServer};
PulseBackend gPulse;

// At the end of the process, on the dispatch's thread, unless a call is stuck there.
void releaseAll() {
    audioBoundary().release(std::chrono::milliseconds(100));
}

AudioBackend* choose() {
    static const bool prepared = (std::atexit(releaseAll), true);
    static BackendChoice choice(
        {{"jack", &gJack, !JackBackend::libraryIsPipeWire(),
          "JACK here is PipeWire's: the tuner listens to the input the desktop has chosen, "
          "through the sound server.\n"},
         {"pulse", &gPulse},
         {"alsa", &gPortAudio}},
        std::getenv("GUITAR_TUNER_AUDIO"));
    (void)prepared;
    return choice.choose();
}

const bool gInstalled = (useAudioBackends(choose), true);

} // namespace
