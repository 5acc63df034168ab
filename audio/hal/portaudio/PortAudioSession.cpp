// What this implements: the PortAudio session, begun on first use and begun again, while no
// stream is open, to see devices that came or went (PortAudio lists the devices once, when
// it begins); the guard against ALSA configurations that PortAudio cannot list; the end
// that lets go of every stream.
// What it does not: notice devices coming or going while streams are open.

#include "PortAudioBackend.h"

#include <alsa/asoundlib.h>

namespace {

// A device list younger than this is not looked at again: a discovery asks for both
// default devices in a row.
constexpr std::chrono::milliseconds kFreshList{500};

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

} // namespace

bool PortAudioBackend::ready() {
    if (!mRunning) {
        // ALSA and its plugins print from any thread; their lines mean nothing to a user.
        snd_lib_error_set_handler(ignoreAlsaError);
        mBegun = std::chrono::steady_clock::now();
        mRunning = alsaHasDefaultDevice() && Pa_Initialize() == paNoError;
    }
    return mRunning;
}

bool PortAudioBackend::refreshed() {
    reapAbandoned();
    if (mRunning && !anyStreamOpen() && std::chrono::steady_clock::now() - mBegun >= kFreshList) {
        Pa_Terminate();
        mRunning = false;
    }
    return ready();
}

bool PortAudioBackend::available() {
    return refreshed();
}

void PortAudioBackend::release() {
    // PortAudio is not ended under a thread still stuck in it.
    if (mRunning && closeAllStreams()) {
        Pa_Terminate();
        mRunning = false;
    }
}
