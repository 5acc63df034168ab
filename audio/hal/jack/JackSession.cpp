// What this implements: the client's life. It is opened when a server runs (asked with
// JackNoStartServer, so no server is ever started), activated with its input port and the
// port's connections, and kept while the server keeps it; the server's shutdown marks it
// gone, a change of its rate or its dropping the client marks it lost, and the next look
// for the devices (with no procedure added) closes it and opens a new one. The end that
// lets go of every procedure and of the client.
// What it does not: wait for a server, or open a client from a thread that may not block
// (opening can take seconds: the engine's supervisor does it on a worker thread).

#include "JackBackend.h"

#include "Diagnostics.h"
#include "TunerConstants.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>

namespace {

// libjack's own lines (a server that is not running, the ones it prints while a server
// stops) say nothing to a guitarist; the program says what matters in its own words.
void ignoreJackMessage(const char*) {}

} // namespace

JackBackend::JackBackend(std::string serverName)
    : mServerName(std::move(serverName)), mAssembler(tuner::kSampleRate) {}

JackBackend::~JackBackend() {
    release();
}

bool JackBackend::libraryIsPipeWire() {
    // The file the loaded libjack came from: PipeWire's lies in its own folder, whether the
    // loader was pointed at it (pw-jack) or the system's configuration prefers it.
    void* const symbol = dlsym(RTLD_DEFAULT, "jack_client_open");
    Dl_info info{};
    if (symbol == nullptr || dladdr(symbol, &info) == 0 || info.dli_fname == nullptr) {
        return false;
    }
    char resolved[PATH_MAX];
    const char* path = realpath(info.dli_fname, resolved) != nullptr ? resolved : info.dli_fname;
    return std::strstr(path, "pipewire") != nullptr;
}

bool JackBackend::clientUsable() const {
    return mClient != nullptr && !mServerGone.load(std::memory_order_acquire) &&
           !mClientLost.load(std::memory_order_acquire);
}

bool JackBackend::available() {
    if (clientUsable()) {
        return true;
    }
    if (anyStreamOpen()) {
        return false; // the procedures of the old client go first
    }
    closeClient(false);
    return openClient();
}

bool JackBackend::openClient() {
    jack_set_error_function(ignoreJackMessage);
    jack_set_info_function(ignoreJackMessage);
    jack_status_t status{};
    jack_client_t* const client = jack_client_open(
        kClientName, static_cast<jack_options_t>(JackNoStartServer | JackServerName), &status,
        mServerName.c_str());
    mServerAnswered = client != nullptr || (status & JackServerFailed) == 0;
    if (client == nullptr) {
        if (mServerAnswered) {
            std::fprintf(diagnostics(),
                         "Error - the JACK server \"%s\" refused the client %s (status 0x%x).\n",
                         mServerName.c_str(), kClientName, static_cast<unsigned>(status));
        }
        return false;
    }
    mClient = client;
    mServerGone.store(false, std::memory_order_relaxed);
    mClientLost.store(false, std::memory_order_relaxed);
    mXruns.store(0, std::memory_order_relaxed);
    mLongestCycleNanos.store(0, std::memory_order_relaxed);
    const jack_nframes_t rate = jack_get_sample_rate(client);
    mServerRate.store(rate, std::memory_order_relaxed);
    mOpenPeriod = jack_get_buffer_size(client);
    mPeriod.store(mOpenPeriod, std::memory_order_relaxed);
    // The cycle does not run before activation: the converter is the control thread's.
    mConvertible = mAssembler.prepare(static_cast<double>(rate));
    mIdle = true;

    jack_set_process_callback(client, onProcess, this);
    jack_on_info_shutdown(client, onShutdown, this);
    jack_set_sample_rate_callback(client, onSampleRate, this);
    jack_set_xrun_callback(client, onXrun, this);
    jack_set_port_connect_callback(client, onPortConnect, this);
    jack_set_port_registration_callback(client, onPortRegistration, this);
    mInputPort = jack_port_register(client, kPortName, JACK_DEFAULT_AUDIO_TYPE,
                                    JackPortIsInput | JackPortIsTerminal, 0);
    const bool active = mInputPort != nullptr && jack_activate(client) == 0;
    if (!active) {
        std::fprintf(diagnostics(), "Error - the JACK server \"%s\" would not %s %s.\n",
                     mServerName.c_str(),
                     mInputPort == nullptr ? "register the input port of" : "activate the client",
                     kClientName);
        jack_client_close(client);
        mClient = nullptr;
        mInputPort = nullptr;
        return false;
    }
    mDevice = ++mGeneration;
    mFollowing.store(true, std::memory_order_release);
    const std::string source = connectAtStart();
    startKeepingConnections();
    std::fprintf(diagnostics(),
                 "JACK: client %s on the server \"%s\" at %u Hz, %u frames a period; its input "
                 "%s.\n",
                 jack_get_client_name(client), mServerName.c_str(), static_cast<unsigned>(rate),
                 static_cast<unsigned>(mOpenPeriod), source.c_str());
    return true;
}

void JackBackend::closeClient(bool tell) {
    if (mClient == nullptr) {
        return;
    }
    mFollowing.store(false, std::memory_order_release);
    stopKeepingConnections();
    const bool gone = mServerGone.load(std::memory_order_acquire);
    if (!gone) {
        jack_deactivate(mClient);
    }
    const double period = 1000.0 * mPeriod.load(std::memory_order_relaxed) /
                          static_cast<double>(mServerRate.load(std::memory_order_relaxed));
    if (tell) {
        std::fprintf(diagnostics(),
                     "JACK: client %s closed%s; its longest process cycle took %.3f ms (period "
                     "%.3f ms), %u xruns reported.\n",
                     kClientName, gone ? " after its server stopped" : "",
                     static_cast<double>(mLongestCycleNanos.load(std::memory_order_relaxed)) / 1e6,
                     period, static_cast<unsigned>(mXruns.load(std::memory_order_relaxed)));
    }
    jack_client_close(mClient);
    mClient = nullptr;
    mInputPort = nullptr;
    mDevice = 0;
}

void JackBackend::release() {
    for (Slot& slot : mSlots) {
        if (slot.inUse()) {
            stopSlot(slot);
            moveLife(slot, ProcLife::added, ProcLife::free);
        }
    }
    closeClient(true);
}

void JackBackend::onShutdown(jack_status_t code, const char*, void* arg) {
    auto* const self = static_cast<JackBackend*>(arg);
    // A server that drops a client it finds too slow runs on: only this client is done.
    if ((code & JackClientZombie) != 0) {
        self->mClientLost.store(true, std::memory_order_release);
    } else {
        self->mServerGone.store(true, std::memory_order_release);
    }
}

int JackBackend::onSampleRate(jack_nframes_t rate, void* arg) {
    auto* const self = static_cast<JackBackend*>(arg);
    // The converter was made for the rate at the open; a new client takes the new one.
    if (rate != self->mServerRate.load(std::memory_order_relaxed)) {
        self->mClientLost.store(true, std::memory_order_release);
    }
    return 0;
}

int JackBackend::onXrun(void* arg) {
    static_cast<JackBackend*>(arg)->mXruns.fetch_add(1, std::memory_order_relaxed);
    return 0;
}
