// What this implements: the hardware property (the server's default source for the input,
// its default sink for the output), looked at afresh while no procedure is added, and the
// device properties as the server gives them: the description the desktop shows, the
// source's own channel count (1-32) for the input and two channels for the output, both
// 32-bit float at 44100 Hz in 512-frame buffers, the device's latency, its own rate and
// the volume of its first channel. A device keeps its identifier from one look to the next
// while it stays the default with the same channels on the same connection; otherwise it
// gets a new one, and the old one is refused.
// What it does not: devices other than the defaults, property setters, or other formats.

#include "PropertyAnswers.h"
#include "PulseBackend.h"

#include "Diagnostics.h"
#include "SaturatingCast.h"
#include "TunerConstants.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// What one look hears from the server.
struct Defaults {
    bool answered = false;
    char source[256] = {};
    char sink[256] = {};
    char server[128] = {};
};

struct Found {
    bool answered = false; // the list has ended (found or not)
    bool found = false;
    std::uint32_t index = PA_INVALID_INDEX;
    char description[256] = {};
    pa_channel_map map{};
    std::uint32_t rate = 0;
    pa_usec_t latency = 0;
    pa_cvolume volume{};
};

void copyName(char (&to)[256], const char* from) {
    std::snprintf(to, sizeof to, "%s", from != nullptr ? from : "");
}

struct Answer {
    pa_threaded_mainloop* loop;
    void* result;
};

void onDefaults(pa_context*, const pa_server_info* info, void* arg) {
    auto* const answer = static_cast<Answer*>(arg);
    auto* const defaults = static_cast<Defaults*>(answer->result);
    if (info != nullptr) {
        copyName(defaults->source, info->default_source_name);
        copyName(defaults->sink, info->default_sink_name);
        std::snprintf(defaults->server, sizeof defaults->server, "%s %s",
                      info->server_name != nullptr ? info->server_name : "?",
                      info->server_version != nullptr ? info->server_version : "");
    }
    defaults->answered = true;
    pa_threaded_mainloop_signal(answer->loop, 0);
}

template <class Info> void takeDevice(const Info* info, int eol, Answer* answer) {
    auto* const found = static_cast<Found*>(answer->result);
    if (info != nullptr) {
        found->found = true;
        found->index = info->index;
        copyName(found->description, info->description != nullptr ? info->description : info->name);
        found->map = info->channel_map;
        found->rate = info->sample_spec.rate;
        found->latency = info->latency; // now, not configured: an idle null sink says 2 s
        found->volume = info->volume;
    }
    if (eol != 0) {
        found->answered = true;
        pa_threaded_mainloop_signal(answer->loop, 0);
    }
}

void onSource(pa_context*, const pa_source_info* info, int eol, void* arg) {
    takeDevice(info, eol, static_cast<Answer*>(arg));
}

void onSink(pa_context*, const pa_sink_info* info, int eol, void* arg) {
    takeDevice(info, eol, static_cast<Answer*>(arg));
}

} // namespace

// Lock held, control thread, no stream open: the defaults and what they are, each answer
// within the bound. The records change only once every answer is in.
OSStatus PulseBackend::lookAtDevices() {
    // An operation that ends unanswered was cancelled: the connection went.
    auto ask = [this](pa_operation* operation, const bool& answered) {
        return awaitOperation(operation) && answered ? 0
               : mTimedOut                           ? kAudioHardwareNotRespondingError
                                                     : kAudioHardwareServerGoneError;
    };
    Defaults defaults;
    Answer answer{mLoop, &defaults};
    if (const OSStatus status =
            ask(pa_context_get_server_info(mContext, onDefaults, &answer), defaults.answered);
        status != 0) {
        return status;
    }
    Found source;
    Found sink;
    Answer sourceAnswer{mLoop, &source};
    Answer sinkAnswer{mLoop, &sink};
    // A server without a source or sink names none, or names one it then does not know.
    if (defaults.source[0] != '\0') {
        const OSStatus status = ask(
            pa_context_get_source_info_by_name(mContext, defaults.source, onSource, &sourceAnswer),
            source.answered);
        if (status != 0) {
            return status;
        }
    }
    if (defaults.sink[0] != '\0') {
        const OSStatus status =
            ask(pa_context_get_sink_info_by_name(mContext, defaults.sink, onSink, &sinkAnswer),
                sink.answered);
        if (status != 0) {
            return status;
        }
    }
    std::snprintf(mServerName, sizeof mServerName, "%s", defaults.server);
    auto take = [this](Device& device, const Found& found, const char* name) {
        const bool same = device.id != 0 && found.found && std::strcmp(device.name, name) == 0 &&
                          device.map.channels == found.map.channels &&
                          !device.replaced.load(std::memory_order_acquire);
        device.replaced.store(false, std::memory_order_relaxed);
        if (!found.found || found.map.channels == 0 || found.map.channels > kMaxChannels) {
            device.id = 0;
            return;
        }
        if (!same) {
            device.id = ++mNextDevice;
            mTold = false;
        }
        device.index = found.index;
        copyName(device.name, name);
        copyName(device.description, found.description);
        device.map = found.map;
        device.rate = found.rate;
        device.latency = found.latency;
        device.hasVolume = found.volume.channels > 0;
        device.volumeDecibels = device.hasVolume ? pa_sw_volume_to_dB(found.volume.values[0]) : 0.0;
    };
    mInput.isInput = true;
    take(mInput, source, defaults.source);
    take(mOutput, sink, defaults.sink);
    tellConnection();
    return 0;
}

// Once for each connection and each new pair of devices.
void PulseBackend::tellConnection() {
    if (mTold || mInput.id == 0 || mOutput.id == 0) {
        return;
    }
    mTold = true;
    char map[PA_CHANNEL_MAP_SNPRINT_MAX];
    pa_channel_map_snprint(map, sizeof map, &mInput.map);
    std::fprintf(diagnostics(),
                 "Sound server: %s; input \"%s\" (%u channel%s: %s, at %u Hz), output \"%s\" (at "
                 "%u Hz), both converted to %.0f Hz.\n",
                 mServerName, mInput.description, static_cast<unsigned>(mInput.map.channels),
                 mInput.map.channels == 1 ? "" : "s", map, static_cast<unsigned>(mInput.rate),
                 mOutput.description, static_cast<unsigned>(mOutput.rate), tuner::kSampleRate);
}

PulseBackend::Device* PulseBackend::findDevice(AudioDeviceID device) {
    if (device == 0) {
        return nullptr;
    }
    return device == mInput.id ? &mInput : device == mOutput.id ? &mOutput : nullptr;
}

OSStatus PulseBackend::getHardwareProperty(AudioHardwarePropertyID property,
                                           std::uint32_t* ioDataSize, void* outData) {
    if (const OSStatus refused = defaultDeviceQuery(property, ioDataSize, outData); refused != 0) {
        return refused;
    }
    OSStatus status = 0;
    AudioDeviceID device = 0;
    if (anyStreamOpen()) {
        // The devices in use stay as they are while their streams are open.
        pa_threaded_mainloop_lock(mLoop);
        device = property == kAudioHardwarePropertyDefaultInputDevice ? mInput.id : mOutput.id;
        pa_threaded_mainloop_unlock(mLoop);
    } else if (!connect()) {
        status = mTimedOut ? kAudioHardwareNotRespondingError : kAudioHardwareServerGoneError;
    } else {
        pa_threaded_mainloop_lock(mLoop);
        status = lookAtDevices();
        if (status == 0) {
            device = property == kAudioHardwarePropertyDefaultInputDevice ? mInput.id : mOutput.id;
            status = device == 0 ? kAudioHardwareBadDeviceError : 0;
        }
        pa_threaded_mainloop_unlock(mLoop);
    }
    answerProperty(device, ioDataSize, outData);
    return status;
}

OSStatus PulseBackend::getDeviceProperty(AudioDeviceID device, std::uint32_t /*channel*/,
                                         std::uint8_t isInput, AudioDevicePropertyID property,
                                         std::uint32_t* ioDataSize, void* outData) {
    if (ioDataSize == nullptr || outData == nullptr) {
        return kAudioHardwareBadPropertySizeError;
    }
    if (mLoop == nullptr) {
        return kAudioHardwareBadDeviceError;
    }
    pa_threaded_mainloop_lock(mLoop);
    const Device* const found = findDevice(device);
    OSStatus status = kAudioHardwareBadDeviceError;
    if (found == nullptr) {
        // refused below
    } else if (property == kAudioDevicePropertyDeviceName) {
        status = answerName(found->description, ioDataSize, outData);
    } else if (property == kAudioDevicePropertyNominalSampleRate) {
        status = answerProperty<double>(found->rate, ioDataSize, outData);
    } else if (property != kAudioDevicePropertyBufferSize &&
               property != kAudioDevicePropertyStreamFormat &&
               property != kAudioDevicePropertySafetyOffset &&
               property != kAudioDevicePropertyVolumeDecibels) {
        status = kAudioHardwareUnknownPropertyError;
    } else if ((isInput != 0) != found->isInput) {
        status = kAudioHardwareBadStreamError; // a source only records, a sink only plays
    } else {
        const std::uint32_t channels = found->isInput ? found->map.channels : kOutputChannels;
        switch (property) {
        case kAudioDevicePropertyBufferSize:
            status = answerProperty<std::uint32_t>(kFramesPerBuffer * channels *
                                                       static_cast<std::uint32_t>(sizeof(float)),
                                                   ioDataSize, outData);
            break;
        case kAudioDevicePropertyStreamFormat:
            status = answerProperty(floatStreamFormat(tuner::kSampleRate, channels), ioDataSize,
                                    outData);
            break;
        case kAudioDevicePropertySafetyOffset: {
            // No more than the tuner's streams ask the device for (a fragment recorded, two
            // blocks played): an idle device runs at the latency of its last clients, seconds
            // perhaps, and the streams bring it down as they start.
            const std::uint32_t asked = (found->isInput ? 1 : 2) * kFramesPerBuffer;
            const std::int32_t frames =
                toInt32(static_cast<double>(found->latency) * tuner::kSampleRate / PA_USEC_PER_SEC);
            status = answerProperty<std::uint32_t>(
                std::min(frames > 0 ? static_cast<std::uint32_t>(frames) : 0u, asked), ioDataSize,
                outData);
            break;
        }
        default:
            status = found->hasVolume ? answerProperty(static_cast<float>(found->volumeDecibels),
                                                       ioDataSize, outData)
                                      : kAudioHardwareUnsupportedOperationError;
            break;
        }
    }
    pa_threaded_mainloop_unlock(mLoop);
    return status;
}
