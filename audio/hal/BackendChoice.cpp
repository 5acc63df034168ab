// The program's backends, and the one place where the choice between them is made: afresh
// at each look for the default devices while no procedure is added (the dispatch asks), so a
// stream that flows is never abandoned. In this order:
// - GUITAR_TUNER_AUDIO=jack, =pulse or =alsa decides, where it is set;
// - where libjack is PipeWire's (pipewire-jack), a JACK server always seems to run, and the
//   input the desktop has chosen is the sound server's: JACK is passed over;
// - a JACK server that runs (asked without starting one): the JACK client;
// - a JACK server that has served this process and stopped: JACK still, waiting for the
//   server to come back (the user's audio is JACK's, and ALSA's default device may be the
//   very card the server wants back when it restarts);
// - a sound server that answers (PulseAudio, or PipeWire through pipewire-pulse), or that
//   has served this process and stopped: the sound server, every channel of the desktop's
//   input, waiting for it to come back (ALSA's default device leads to it anyway);
// - otherwise PortAudio, on ALSA's default device.

#include "AudioBoundary.h"
#include "Diagnostics.h"
#include "JackBackend.h"
#include "PortAudioBackend.h"
#include "PulseBackend.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

enum class Preference { automatic, jack, pulse, portAudio, unknown };

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

Preference readPreference() {
    const char* const value = std::getenv("GUITAR_TUNER_AUDIO");
    if (value == nullptr || *value == '\0') {
        return Preference::automatic;
    }
    if (std::strcmp(value, "jack") == 0) {
        return Preference::jack;
    }
    if (std::strcmp(value, "pulse") == 0) {
        return Preference::pulse;
    }
    if (std::strcmp(value, "alsa") == 0) {
        return Preference::portAudio;
    }
    return Preference::unknown;
}

// The audio libraries print from any thread, the callback threads included; the program's
// own lines keep the real standard error. Before main, while nothing else runs.
const bool gChatterOff = (keepLibraryChatterOff(), true);
const std::string gJackServer = takeJackServerName();
const Preference gPreference = readPreference();
PortAudioBackend gPortAudio;
JackBackend gJack{gJackServer};
PulseBackend gPulse;
AudioBackend* gChosen = nullptr; // control thread; fixed while a procedure is added

// At the end of the process, on the dispatch's thread, unless a call is stuck there.
void releaseAll() {
    audioBoundary().release(std::chrono::milliseconds(100));
}

void prepareOnce() {
    static const bool prepared = (std::atexit(releaseAll), true);
    (void)prepared;
}

// Says once what the choice rests on, where it is not the usual.
void tellChoiceOnce(Preference preference, bool jackIsPipeWire) {
    static bool told = false;
    if (told) {
        return;
    }
    told = true;
    if (preference == Preference::unknown) {
        std::fprintf(diagnostics(),
                     "GUITAR_TUNER_AUDIO=%s is neither jack, pulse nor alsa; the tuner "
                     "chooses by itself.\n",
                     std::getenv("GUITAR_TUNER_AUDIO"));
    } else if (preference == Preference::automatic && jackIsPipeWire) {
        std::fprintf(diagnostics(), "JACK here is PipeWire's: the tuner listens to the input "
                                    "the desktop has chosen, through the sound server.\n");
    }
}

AudioBackend& choose() {
    prepareOnce();
    if (gChosen != nullptr && gChosen->anyStreamOpen()) {
        return *gChosen;
    }
    static const bool jackIsPipeWire = JackBackend::libraryIsPipeWire();
    tellChoiceOnce(gPreference, jackIsPipeWire);
    AudioBackend* next = &gPortAudio;
    switch (gPreference) {
    case Preference::jack:
        next = &gJack;
        break;
    case Preference::pulse:
        next = &gPulse;
        break;
    case Preference::portAudio:
        break;
    case Preference::automatic:
    case Preference::unknown:
        if (!jackIsPipeWire && (gJack.available() || gJack.hasServed())) {
            next = &gJack;
        } else if (gPulse.hasServed() || gPulse.available()) {
            next = &gPulse;
        }
        break;
    }
    if (gChosen != nullptr && gChosen != next) {
        gChosen->release();
    }
    gChosen = next;
    return *gChosen;
}

// Installed before main: every program that links the backends uses them.
const bool gInstalled = (useAudioBackends([] { return &choose(); }), true);

} // namespace
