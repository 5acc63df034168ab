// What this implements: the PortAudio session, begun on first use and begun again, while no
// stream is open, to see devices that came or went (PortAudio lists the devices once, when
// it begins); the audio libraries' own diagnostics kept off the standard error stream; the
// guard against ALSA configurations that PortAudio cannot list; the clean end at exit.
// What it does not: notice devices coming or going while streams are open.

#include "PortAudioSession.h"

#include "Diagnostics.h"
#include "IOProcStreams.h"

#include <alsa/asoundlib.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <portaudio.h>

namespace {

// A device list younger than this is not looked at again: a discovery asks for both
// default devices in a row.
constexpr std::chrono::milliseconds kFreshList{500};

bool gRunning = false;
std::chrono::steady_clock::time_point gBegun;

void ignoreAlsaError(const char*, int, const char*, int, const char*, ...) {}

// PortAudio's ALSA device list asserts when the configuration defines no default PCM
// (an empty or foreign ALSA_CONFIG_PATH); such a configuration offers no default device
// anyway. ALSA reads a changed configuration file again here.
bool alsaHasDefaultDevice() {
    if (snd_config_update() < 0 || snd_config == nullptr) {
        snd_config_update_free_global();
        return false;
    }
    snd_config_t* node = nullptr;
    if (snd_config_search(snd_config, "pcm.default", &node) < 0) {
        snd_config_update_free_global();
        return false;
    }
    return true;
}

void endPortAudio() {
    if (gRunning) {
        closeAllStreams();
        Pa_Terminate();
        gRunning = false;
    }
}

void prepareProcess() {
    // PortAudio, ALSA and the JACK client print to stderr from any thread, the callback
    // threads included; the program's own lines keep the real standard error.
    keepLibraryChatterOff();
    snd_lib_error_set_handler(ignoreAlsaError);
    // A sound server's socket or a device pipe that closes under a stream must fail the
    // stream, not end the program.
    std::signal(SIGPIPE, SIG_IGN);
    std::atexit(endPortAudio);
}

bool beginPortAudio() {
    static const bool prepared = (prepareProcess(), true);
    (void)prepared;
    gBegun = std::chrono::steady_clock::now();
    gRunning = alsaHasDefaultDevice() && Pa_Initialize() == paNoError;
    return gRunning;
}

} // namespace

bool portAudioReady() {
    return gRunning || beginPortAudio();
}

bool portAudioRefreshed() {
    if (gRunning && !anyStreamOpen() && std::chrono::steady_clock::now() - gBegun >= kFreshList) {
        Pa_Terminate();
        gRunning = false;
    }
    return portAudioReady();
}
