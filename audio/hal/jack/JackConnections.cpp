// What this implements: the input port's connections. The first client connects its port
// to the first physical capture port; from then on the backend remembers what the port is
// connected to, as the user changes it (a patchbay, jack_connect), and every later client
// (after the server stopped and started again) connects to those ports again, as soon as
// each exists. A connection the user removes is forgotten; one that goes because its port
// or the server went is not.
// What it does not: connect anything the user did not have connected, disconnect anything,
// or connect an output port (there is none).

#include "JackBackend.h"

#include "Diagnostics.h"

#include <chrono>
#include <cstdio>

namespace {

// How long after a disconnection the port must still be there, with the server, for the
// disconnection to count as the user's: a server that stops drops every connection first.
constexpr std::chrono::milliseconds kDisconnectionSettles{300};

std::string listNames(const std::vector<std::string>& names) {
    std::string list;
    for (const std::string& name : names) {
        list += (list.empty() ? "" : ", ") + name;
    }
    return list;
}

} // namespace

// Control thread, right after activation; says where the input comes from.
std::string JackBackend::connectAtStart() {
    const std::string ours = jack_port_name(mInputPort);
    std::vector<std::string> wanted;
    bool first = false;
    {
        const std::lock_guard<std::mutex> lock(mConnectionsLock);
        first = !mRemembering;
        mRemembering = true;
        wanted.assign(mRemembered.begin(), mRemembered.end());
    }
    if (first) {
        const char** physical = jack_get_ports(mClient, nullptr, JACK_DEFAULT_AUDIO_TYPE,
                                               JackPortIsPhysical | JackPortIsOutput);
        if (physical != nullptr && physical[0] != nullptr) {
            wanted.emplace_back(physical[0]);
            const std::lock_guard<std::mutex> lock(mConnectionsLock);
            mRemembered.insert(physical[0]);
        }
        jack_free(physical);
    }
    restoreConnections(wanted);
    std::vector<std::string> connected;
    for (const std::string& name : wanted) {
        if (jack_port_connected_to(mInputPort, name.c_str()) != 0) {
            connected.push_back(name);
        }
    }
    if (!connected.empty()) {
        return ours + " is connected to " + listNames(connected);
    }
    if (wanted.empty() && first) {
        return ours + " is not connected: the server has no physical capture port";
    }
    return ours + (wanted.empty() ? " is not connected"
                                  : " connects to " + listNames(wanted) + " once they appear");
}

std::vector<std::string> JackBackend::restoreConnections(const std::vector<std::string>& names) {
    const char* const ours = jack_port_name(mInputPort);
    std::vector<std::string> made;
    for (const std::string& name : names) {
        if (jack_port_by_name(mClient, name.c_str()) != nullptr &&
            jack_port_connected_to(mInputPort, name.c_str()) == 0 &&
            jack_connect(mClient, name.c_str(), ours) == 0) {
            made.push_back(name);
        }
    }
    return made;
}

void JackBackend::startKeepingConnections() {
    {
        // A port may have come since the connections at start: one pass to see.
        const std::lock_guard<std::mutex> lock(mConnectionsLock);
        mKeeperStop = false;
        mPortsAppeared = true;
    }
    mKeeper = std::thread([this] { keepConnections(); });
}

void JackBackend::stopKeepingConnections() {
    {
        const std::lock_guard<std::mutex> lock(mConnectionsLock);
        mKeeperStop = true;
    }
    mConnectionsWake.notify_all();
    if (mKeeper.joinable()) {
        mKeeper.join();
    }
    const std::lock_guard<std::mutex> lock(mConnectionsLock);
    mDisconnected.clear();
}

// The keeper's thread: connects remembered ports as they appear, and forgets the ports the
// user disconnected. Talks to the server, which libjack's notification thread must not.
void JackBackend::keepConnections() {
    std::unique_lock<std::mutex> lock(mConnectionsLock);
    for (;;) {
        mConnectionsWake.wait(
            lock, [this] { return mKeeperStop || mPortsAppeared || !mDisconnected.empty(); });
        if (mKeeperStop) {
            return;
        }
        if (mPortsAppeared) {
            mPortsAppeared = false;
            const std::vector<std::string> wanted(mRemembered.begin(), mRemembered.end());
            lock.unlock();
            for (const std::string& name : restoreConnections(wanted)) {
                std::fprintf(diagnostics(), "JACK: %s is connected to %s again.\n",
                             jack_port_name(mInputPort), name.c_str());
            }
            lock.lock();
        }
        if (!mDisconnected.empty()) {
            if (mConnectionsWake.wait_for(lock, kDisconnectionSettles,
                                          [this] { return mKeeperStop; })) {
                return;
            }
            const std::vector<std::string> names = std::move(mDisconnected);
            mDisconnected.clear();
            lock.unlock();
            std::vector<std::string> forgotten;
            for (const std::string& name : names) {
                if (!mServerGone.load(std::memory_order_acquire) &&
                    jack_port_by_name(mClient, name.c_str()) != nullptr &&
                    jack_port_connected_to(mInputPort, name.c_str()) == 0) {
                    forgotten.push_back(name);
                }
            }
            lock.lock();
            for (const std::string& name : forgotten) {
                mRemembered.erase(name);
            }
        }
    }
}

// libjack's notification thread: may lock, must not talk to the server.
void JackBackend::onPortConnect(jack_port_id_t a, jack_port_id_t b, int connected, void* arg) {
    auto* const self = static_cast<JackBackend*>(arg);
    if (!self->mFollowing.load(std::memory_order_acquire)) {
        return;
    }
    const jack_port_t* const first = jack_port_by_id(self->mClient, a);
    const jack_port_t* const second = jack_port_by_id(self->mClient, b);
    const jack_port_t* other = nullptr;
    if (first == self->mInputPort) {
        other = second;
    } else if (second == self->mInputPort) {
        other = first;
    }
    if (other == nullptr || self->mServerGone.load(std::memory_order_acquire)) {
        return;
    }
    std::string name = jack_port_name(other);
    {
        const std::lock_guard<std::mutex> lock(self->mConnectionsLock);
        if (connected != 0) {
            self->mRemembered.insert(std::move(name));
            return;
        }
        self->mDisconnected.push_back(std::move(name));
    }
    self->mConnectionsWake.notify_all();
}

void JackBackend::onPortRegistration(jack_port_id_t, int registered, void* arg) {
    auto* const self = static_cast<JackBackend*>(arg);
    if (registered == 0 || !self->mFollowing.load(std::memory_order_acquire)) {
        return;
    }
    {
        const std::lock_guard<std::mutex> lock(self->mConnectionsLock);
        self->mPortsAppeared = true;
    }
    self->mConnectionsWake.notify_all();
}
