// What this implements: the connection's life on libpulse's threaded main loop. The loop
// starts on first use; a connection is made (PA_CONTEXT_NOAUTOSPAWN: no server is ever
// started) when none is ready and no stream is open, and kept while the server keeps it.
// The context's state tells that the server went (it fails or ends); the server's change
// events tell that the user made another source or sink the default. Every wait for the
// server ends within kAnswerBound. The end lets go of every stream and of the connection
// without waiting for the server.
// What it does not: start a server, ask for more than the default devices' changes, or
// survive a connection that is lost under open streams (they end, and the next look for
// the devices connects again).

#include "PulseBackend.h"

#include <cstring>
#include <pulse/rtclock.h>

namespace {

// A bound passed while the control thread waited.
struct Deadline {
    pa_threaded_mainloop* loop;
    bool passed;
};

void onDeadline(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* arg) {
    auto* const deadline = static_cast<Deadline*>(arg);
    deadline->passed = true;
    pa_threaded_mainloop_signal(deadline->loop, 0);
}

} // namespace

PulseBackend::~PulseBackend() {
    release();
}

bool PulseBackend::ensureLoop() {
    if (mLoop != nullptr) {
        return true;
    }
    mLoop = pa_threaded_mainloop_new();
    if (mLoop == nullptr) {
        return false;
    }
    pa_threaded_mainloop_set_name(mLoop, "sound-server");
    if (pa_threaded_mainloop_start(mLoop) < 0) {
        pa_threaded_mainloop_free(mLoop);
        mLoop = nullptr;
        return false;
    }
    for (Slot& slot : mSlots) {
        slot.owner = this;
    }
    return true;
}

bool PulseBackend::awaitAnswer(const std::function<bool()>& done) {
    Deadline deadline{mLoop, false};
    pa_time_event* const timer =
        pa_context_rttime_new(mContext, pa_rtclock_now() + kAnswerBound, onDeadline, &deadline);
    while (!done() && !deadline.passed) {
        pa_threaded_mainloop_wait(mLoop);
    }
    if (timer != nullptr) {
        pa_threaded_mainloop_get_api(mLoop)->time_free(timer);
    }
    mTimedOut = !done();
    return !mTimedOut;
}

bool PulseBackend::awaitOperation(pa_operation* operation) {
    if (operation == nullptr) {
        mTimedOut = false;
        return false;
    }
    const bool answered = awaitAnswer(
        [operation] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; });
    if (!answered) {
        pa_operation_cancel(operation);
    }
    pa_operation_unref(operation);
    return answered;
}

bool PulseBackend::connectionReady() const {
    return mContext != nullptr && pa_context_get_state(mContext) == PA_CONTEXT_READY &&
           !mServerGone.load(std::memory_order_acquire);
}

void PulseBackend::onContextState(pa_context* context, void* arg) {
    auto* const self = static_cast<PulseBackend*>(arg);
    const pa_context_state_t state = pa_context_get_state(context);
    if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) {
        self->mServerGone.store(true, std::memory_order_release);
    }
    pa_threaded_mainloop_signal(self->mLoop, 0);
}

bool PulseBackend::connect() {
    if (connectionReady()) {
        return true;
    }
    if (anyStreamOpen() || !ensureLoop()) {
        return false; // the streams of the old connection go first
    }
    pa_threaded_mainloop_lock(mLoop);
    disconnect();
    pa_proplist* const properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "Guitar Tuner");
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ICON_NAME, "guitar-tuner");
    pa_proplist_sets(properties, PA_PROP_MEDIA_ROLE, "production");
    mContext = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(mLoop), "Guitar Tuner",
                                            properties);
    pa_proplist_free(properties);
    bool ready = false;
    mTimedOut = false; // a connection refused at once is a server that is not there
    if (mContext != nullptr) {
        mServerGone.store(false, std::memory_order_relaxed);
        pa_context_set_state_callback(mContext, onContextState, this);
        if (pa_context_connect(mContext, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
            awaitAnswer([this] {
                return !PA_CONTEXT_IS_GOOD(pa_context_get_state(mContext)) ||
                       pa_context_get_state(mContext) == PA_CONTEXT_READY;
            });
        }
        ready = pa_context_get_state(mContext) == PA_CONTEXT_READY;
    }
    if (ready) {
        ++mConnections;
        mTold = false;
        pa_context_set_subscribe_callback(mContext, onServerEvent, this);
        pa_operation* const subscribed =
            pa_context_subscribe(mContext,
                                 static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SERVER |
                                                                     PA_SUBSCRIPTION_MASK_SOURCE |
                                                                     PA_SUBSCRIPTION_MASK_SINK),
                                 nullptr, nullptr);
        if (subscribed != nullptr) {
            pa_operation_unref(subscribed);
        }
    } else {
        disconnect();
    }
    pa_threaded_mainloop_unlock(mLoop);
    return ready;
}

// Lock held.
void PulseBackend::disconnect() {
    if (mContext == nullptr) {
        return;
    }
    pa_context_set_state_callback(mContext, nullptr, nullptr);
    pa_context_set_subscribe_callback(mContext, nullptr, nullptr);
    pa_context_disconnect(mContext);
    pa_context_unref(mContext);
    mContext = nullptr;
    mInput.id = 0;
    mOutput.id = 0;
}

bool PulseBackend::available() {
    return connect();
}

// The main loop's thread. A change of the server is where the defaults change: the
// defaults are asked for (the answer comes on this thread too) and compared with the
// devices in use. A device that goes is replaced at once.
void PulseBackend::onServerEvent(pa_context* context, pa_subscription_event_type_t type,
                                 std::uint32_t index, void* arg) {
    auto* const self = static_cast<PulseBackend*>(arg);
    const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
        pa_operation* const asked = pa_context_get_server_info(context, onDefaultsAnswer, self);
        if (asked != nullptr) {
            pa_operation_unref(asked);
        }
    } else if (kind == PA_SUBSCRIPTION_EVENT_REMOVE) {
        Device& device = facility == PA_SUBSCRIPTION_EVENT_SOURCE ? self->mInput : self->mOutput;
        if (device.id != 0 && device.index == index) {
            device.replaced.store(true, std::memory_order_release);
        }
    }
}

void PulseBackend::onDefaultsAnswer(pa_context*, const pa_server_info* info, void* arg) {
    auto* const self = static_cast<PulseBackend*>(arg);
    if (info == nullptr) {
        return;
    }
    auto differs = [](const Device& device, const char* name) {
        return device.id != 0 && std::strcmp(device.name, name != nullptr ? name : "") != 0;
    };
    if (differs(self->mInput, info->default_source_name)) {
        self->mInput.replaced.store(true, std::memory_order_release);
    }
    if (differs(self->mOutput, info->default_sink_name)) {
        self->mOutput.replaced.store(true, std::memory_order_release);
    }
}

void PulseBackend::release() {
    if (mLoop == nullptr) {
        return;
    }
    pa_threaded_mainloop_lock(mLoop);
    for (Slot& slot : mSlots) {
        if (slot.inUse()) {
            closeStream(slot);
            moveLife(slot, ProcLife::added, ProcLife::free);
        }
    }
    disconnect();
    pa_threaded_mainloop_unlock(mLoop);
    // The loop's thread waits for nobody: it ends at once, however the server is.
    pa_threaded_mainloop_stop(mLoop);
    pa_threaded_mainloop_free(mLoop);
    mLoop = nullptr;
}
