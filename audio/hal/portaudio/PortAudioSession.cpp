// What this implements: the lazily begun PortAudio session, silencing of ALSA's error
// handler, the guard against ALSA configurations that PortAudio cannot enumerate, and the
// clean end at exit (streams aborted and closed, then Pa_Terminate).
// What it does not: re-initialising after the end, or noticing devices that appear later
// (PortAudio enumerates once, at initialisation).

#include "PortAudioSession.h"

#include "IOProcStreams.h"
#include "QuietStandardError.h"

#include <alsa/asoundlib.h>
#include <cstdlib>
#include <portaudio.h>

namespace {

void ignoreAlsaError(const char*, int, const char*, int, const char*, ...) {}

// PortAudio's ALSA device list asserts when the configuration defines no default PCM
// (an empty or foreign ALSA_CONFIG_PATH); such a configuration offers no default device
// anyway.
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
    QuietStandardError quiet;
    closeAllStreams();
    Pa_Terminate();
}

bool beginPortAudio() {
    snd_lib_error_set_handler(ignoreAlsaError);
    if (!alsaHasDefaultDevice()) {
        return false;
    }
    QuietStandardError quiet;
    if (Pa_Initialize() != paNoError) {
        return false;
    }
    std::atexit(endPortAudio);
    return true;
}

} // namespace

bool portAudioReady() {
    static const bool ready = beginPortAudio();
    return ready;
}
