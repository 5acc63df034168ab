#include "BackendDispatch.h"

#include "PropertyAnswers.h"

#include <algorithm>
#include <array>
#include <csignal>
#include <cstring>
#include <pthread.h>
#include <utility>
#include <vector>

// One engine procedure on one device, as the backend sees it. The control side writes the
// plain fields under mMutex before the backend is given the relay, and the backend calls it
// only after its start, so its threads read them fixed.
struct BackendDispatch::Relay {
    AudioDeviceIOProc relay = nullptr; // the procedure the backend is given (one per relay)
    AudioBackend* backend = nullptr;
    AudioDeviceID device = 0;
    AudioDeviceIOProc proc = nullptr; // the engine's
    void* clientData = nullptr;
    bool inUse = false;
    bool owedRemoval = false; // removed by the engine while the backend did not answer
    // The engine wants its procedure called; and a call is running.
    std::atomic<bool> open{false};
    std::atomic<bool> inCall{false};

    OSStatus call(AudioDeviceID device, const AudioTimeStamp* now, const AudioBufferList* inputData,
                  const AudioTimeStamp* inputTime, AudioBufferList* outputData,
                  const AudioTimeStamp* outputTime);
    // Control side: returns once no call of the engine's procedure runs.
    void close();
};

struct BackendDispatch::Call {
    std::function<OSStatus()> work;
    std::function<void(OSStatus)> late;
    OSStatus result = 0;
    bool taken = false;
    bool done = false;
    bool leftBehind = false;
};

namespace {

using Relay = BackendDispatch::Relay;

// The relay whose engine procedure runs on this thread, so that a procedure stopping
// itself is told apart without a lock.
thread_local Relay* tRelay = nullptr;

template <std::size_t N>
OSStatus relayProc(AudioDeviceID device, const AudioTimeStamp* now,
                   const AudioBufferList* inputData, const AudioTimeStamp* inputTime,
                   AudioBufferList* outputData, const AudioTimeStamp* outputTime,
                   void* clientData) {
    return static_cast<Relay*>(clientData)
        ->call(device, now, inputData, inputTime, outputData, outputTime);
}

// One procedure per relay: a backend knows a procedure by its device and its address.
template <std::size_t... N>
constexpr std::array<AudioDeviceIOProc, sizeof...(N)> relayProcs(std::index_sequence<N...>) {
    return {relayProc<N>...};
}
constexpr auto kRelayProcs =
    relayProcs(std::make_index_sequence<static_cast<std::size_t>(BackendDispatch::kRelays)>());

void silence(AudioBufferList* list) {
    for (std::uint32_t i = 0; list != nullptr && i < list->mNumberBuffers && i < 2; ++i) {
        if (list->mBuffers[i].mData != nullptr) {
            std::memset(list->mBuffers[i].mData, 0, list->mBuffers[i].mDataByteSize);
        }
    }
}

} // namespace

OSStatus Relay::call(AudioDeviceID device, const AudioTimeStamp* now,
                     const AudioBufferList* inputData, const AudioTimeStamp* inputTime,
                     AudioBufferList* outputData, const AudioTimeStamp* outputTime) {
    // Paired with close(): either this sees the relay closed, or close sees the call.
    inCall.store(true, std::memory_order_seq_cst);
    if (open.load(std::memory_order_seq_cst)) {
        Relay* const outer = std::exchange(tRelay, this);
        proc(device, now, inputData, inputTime, outputData, outputTime, clientData);
        tRelay = outer;
    } else {
        silence(outputData);
        backend->stop(device, relay); // from inside: not called again
    }
    inCall.store(false, std::memory_order_release);
    return 0;
}

void Relay::close() {
    open.store(false, std::memory_order_seq_cst);
    // A procedure never waits: this is one call at most.
    while (inCall.load(std::memory_order_seq_cst)) {
        std::this_thread::yield();
    }
}

BackendDispatch::BackendDispatch(Chooser choose)
    : mChoose(std::move(choose)), mRelays(new Relay[kRelays]) {
    for (int i = 0; i < kRelays; ++i) {
        mRelays[i].relay = kRelayProcs[static_cast<std::size_t>(i)];
    }
}

BackendDispatch::~BackendDispatch() {
    bool stuck = false;
    {
        const std::lock_guard<std::mutex> lock(mMutex);
        mEnding = true;
        stuck = mStuck;
    }
    mChanged.notify_all();
    if (!mThread.joinable()) {
        return;
    }
    if (stuck) {
        // The call may still touch the relays: they stay, and so does its thread.
        mThread.detach();
        [[maybe_unused]] Relay* const kept = mRelays.release();
        return;
    }
    mThread.join();
}

BackendDispatch::Outcome BackendDispatch::bounded(std::function<OSStatus()> work,
                                                  std::function<void(OSStatus)> late,
                                                  std::chrono::milliseconds bound) {
    std::unique_lock<std::mutex> lock(mMutex);
    const auto deadline =
        std::chrono::steady_clock::now() + (bound.count() > 0 ? bound : mCallBound);
    if (!mChanged.wait_until(lock, deadline, [this] { return mStuck || mPending == nullptr; }) ||
        mStuck) {
        return {kAudioHardwareNotRespondingError, false};
    }
    if (!mThread.joinable()) {
        mThread = std::thread([this] { serve(); });
    }
    auto call = std::make_shared<Call>();
    call->work = std::move(work);
    call->late = std::move(late);
    mPending = call;
    mChanged.notify_all();
    if (!mChanged.wait_until(lock, deadline, [&call] { return call->done; })) {
        call->leftBehind = true;
        mStuck = true;
        return {kAudioHardwareNotRespondingError, true};
    }
    return {call->result, false};
}

void BackendDispatch::serve() {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    std::unique_lock<std::mutex> lock(mMutex);
    for (;;) {
        mChanged.wait(lock,
                      [this] { return mEnding || (mPending != nullptr && !mPending->taken); });
        if (mEnding) {
            return;
        }
        const std::shared_ptr<Call> call = mPending;
        call->taken = true;
        lock.unlock();
        settleOwed();
        const OSStatus result = call->work();
        lock.lock();
        call->result = result;
        call->done = true;
        if (call->leftBehind) {
            lock.unlock();
            if (call->late) {
                call->late(result);
            }
            settleOwed();
            lock.lock();
            mStuck = false;
        }
        mPending.reset();
        mChanged.notify_all();
    }
}

void BackendDispatch::settleOwed() {
    for (int i = 0; i < kRelays; ++i) {
        Relay& relay = mRelays[i];
        std::unique_lock<std::mutex> lock(mMutex);
        if (!relay.inUse || !relay.owedRemoval) {
            continue;
        }
        lock.unlock();
        relay.backend->removeIOProc(relay.device, relay.relay);
        lock.lock();
        freeRelay(relay);
    }
}

Relay* BackendDispatch::findRelay(AudioDeviceID device, AudioDeviceIOProc proc) const {
    for (int i = 0; i < kRelays; ++i) {
        Relay& relay = mRelays[i];
        if (relay.inUse && !relay.owedRemoval && relay.device == device && relay.proc == proc) {
            return &relay;
        }
    }
    return nullptr;
}

void BackendDispatch::freeRelay(Relay& relay) {
    relay.inUse = false;
    relay.owedRemoval = false;
    relay.backend = nullptr;
    relay.proc = nullptr;
    relay.clientData = nullptr;
}

namespace {

// What a query writes, kept by the call: one left behind must not write into the engine's
// memory when it returns late. It starts as a copy of the destination, so that what the
// backend leaves untouched stays as it was.
struct Answer {
    explicit Answer(const std::uint32_t* ioDataSize, const void* outData)
        : given(ioDataSize != nullptr && outData != nullptr), size(given ? *ioDataSize : 0),
          bytes(size) {
        if (given && size != 0) {
            std::memcpy(bytes.data(), outData, size);
        }
    }
    std::uint32_t* sizePointer() { return given ? &size : nullptr; }
    void* data() { return given ? bytes.data() : nullptr; }
    // Into the engine's destination, once the call has returned in time.
    void copyTo(std::uint32_t* ioDataSize, void* outData) const {
        if (given) {
            std::memcpy(outData, bytes.data(), std::min<std::size_t>(size, bytes.size()));
            *ioDataSize = size;
        }
    }
    bool given;
    std::uint32_t size;
    std::vector<unsigned char> bytes;
};

} // namespace

OSStatus BackendDispatch::getHardwareProperty(AudioHardwarePropertyID property,
                                              std::uint32_t* ioDataSize, void* outData) {
    auto answer = std::make_shared<Answer>(ioDataSize, outData);
    const Outcome outcome = bounded([=, this] {
        if (property == kAudioHardwarePropertySoundSystemName) {
            return mBackend != nullptr && answer->given
                       ? answerName(mBackend->name(), answer->sizePointer(), answer->data())
                       : kAudioHardwareBadPropertySizeError;
        }
        bool anyInUse = false;
        {
            const std::lock_guard<std::mutex> lock(mMutex);
            for (int i = 0; i < kRelays; ++i) {
                anyInUse = anyInUse || mRelays[i].inUse;
            }
        }
        if (!anyInUse || mBackend == nullptr) {
            mBackend = mChoose();
        }
        return mBackend != nullptr
                   ? mBackend->getHardwareProperty(property, answer->sizePointer(), answer->data())
                   : kAudioHardwareNotRunningError;
    });
    if (outcome.status != kAudioHardwareNotRespondingError) {
        answer->copyTo(ioDataSize, outData);
    } else if (answer->given && *ioDataSize >= sizeof(AudioDeviceID) &&
               property != kAudioHardwarePropertySoundSystemName) {
        // No answer is no device.
        const AudioDeviceID none = 0;
        std::memcpy(outData, &none, sizeof none);
    }
    return outcome.status;
}

OSStatus BackendDispatch::getDeviceProperty(AudioDeviceID device, std::uint32_t channel,
                                            std::uint8_t isInput, AudioDevicePropertyID property,
                                            std::uint32_t* ioDataSize, void* outData) {
    auto answer = std::make_shared<Answer>(ioDataSize, outData);
    const OSStatus status =
        bounded([=, this] {
            return mBackend != nullptr
                       ? mBackend->getDeviceProperty(device, channel, isInput, property,
                                                     answer->sizePointer(), answer->data())
                       : kAudioHardwareBadDeviceError;
        }).status;
    if (status != kAudioHardwareNotRespondingError) {
        answer->copyTo(ioDataSize, outData);
    }
    return status;
}

OSStatus BackendDispatch::addIOProc(AudioDeviceID device, AudioDeviceIOProc proc,
                                    void* clientData) {
    Relay* relay = nullptr;
    {
        const std::lock_guard<std::mutex> lock(mMutex);
        if (proc == nullptr || findRelay(device, proc) != nullptr) {
            return kAudioHardwareIllegalOperationError;
        }
        for (int i = 0; i < kRelays && relay == nullptr; ++i) {
            relay = mRelays[i].inUse ? nullptr : &mRelays[i];
        }
        if (relay == nullptr) {
            return kAudioHardwareIllegalOperationError;
        }
        relay->inUse = true;
        relay->device = device;
        relay->proc = proc;
        relay->clientData = clientData;
        relay->open.store(false, std::memory_order_relaxed);
    }
    const Outcome outcome = bounded(
        [=, this] {
            relay->backend = mBackend;
            return mBackend != nullptr ? mBackend->addIOProc(device, relay->relay, relay)
                                       : kAudioHardwareNotRunningError;
        },
        // The engine was told it failed: whatever the backend added goes again.
        [=, this](OSStatus status) {
            const std::lock_guard<std::mutex> lock(mMutex);
            if (status == 0) {
                relay->owedRemoval = true;
            } else {
                freeRelay(*relay);
            }
        });
    if (outcome.status != 0 && !outcome.leftBehind) {
        const std::lock_guard<std::mutex> lock(mMutex);
        freeRelay(*relay);
    }
    return outcome.status;
}

OSStatus BackendDispatch::removeIOProc(AudioDeviceID device, AudioDeviceIOProc proc) {
    Relay* relay = nullptr;
    {
        const std::lock_guard<std::mutex> lock(mMutex);
        relay = findRelay(device, proc);
        if (relay == nullptr || tRelay != nullptr) {
            return kAudioHardwareIllegalOperationError;
        }
    }
    relay->close();
    const Outcome outcome =
        bounded([=] { return relay->backend->removeIOProc(device, relay->relay); },
                [=, this](OSStatus) {
                    const std::lock_guard<std::mutex> lock(mMutex);
                    freeRelay(*relay);
                });
    if (!outcome.leftBehind) {
        const std::lock_guard<std::mutex> lock(mMutex);
        // Refused at once by a backend that does not answer: removed as soon as it does.
        if (outcome.status == kAudioHardwareNotRespondingError) {
            relay->owedRemoval = true;
        } else {
            freeRelay(*relay);
        }
    }
    return outcome.status;
}

OSStatus BackendDispatch::start(AudioDeviceID device, AudioDeviceIOProc proc) {
    Relay* relay = nullptr;
    {
        const std::lock_guard<std::mutex> lock(mMutex);
        relay = findRelay(device, proc);
    }
    if (relay == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    // Open before the backend starts: its first call may come before the start returns.
    relay->open.store(true, std::memory_order_seq_cst);
    const OSStatus status =
        bounded([=] { return relay->backend->start(device, relay->relay); }).status;
    if (status != 0) {
        relay->close();
    }
    return status;
}

OSStatus BackendDispatch::stop(AudioDeviceID device, AudioDeviceIOProc proc) {
    // From inside the procedure: its own stream, on this thread, without waiting.
    if (Relay* const own = tRelay) {
        if (own->device != device || own->proc != proc) {
            return kAudioHardwareIllegalOperationError;
        }
        own->open.store(false, std::memory_order_relaxed);
        return own->backend->stop(device, own->relay);
    }
    Relay* relay = nullptr;
    {
        const std::lock_guard<std::mutex> lock(mMutex);
        relay = findRelay(device, proc);
    }
    if (relay == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    relay->close();
    return bounded([=] { return relay->backend->stop(device, relay->relay); }).status;
}

OSStatus BackendDispatch::currentTime(AudioDeviceID device, AudioTimeStamp* outTime) {
    auto time = std::make_shared<AudioTimeStamp>();
    const OSStatus status =
        bounded([=, this] {
            return mBackend != nullptr
                       ? mBackend->currentTime(device, outTime != nullptr ? time.get() : nullptr)
                       : kAudioHardwareBadDeviceError;
        }).status;
    if (status != kAudioHardwareNotRespondingError && outTime != nullptr) {
        *outTime = *time;
    }
    return status;
}

void BackendDispatch::release(std::chrono::milliseconds bound) {
    bounded(
        [this] {
            if (mBackend != nullptr) {
                mBackend->release();
            }
            return OSStatus{0};
        },
        {}, bound);
}

AudioDeviceIOProc BackendDispatch::relayedProc(AudioDeviceID device, AudioDeviceIOProc proc) const {
    const std::lock_guard<std::mutex> lock(mMutex);
    const Relay* const relay = findRelay(device, proc);
    return relay != nullptr ? relay->relay : nullptr;
}
