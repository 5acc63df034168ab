#pragma once

// The audio boundary's operations as the engine calls them, handed to the backend in use.
//
// A backend's library may not answer: a sound server that hangs, a device stuck in its
// driver, a plugin that deadlocks. So every control call is made on the dispatch's own call
// thread, and the engine waits for it at most mCallBound; a call that takes longer is left
// behind on that thread (set aside, as a stream thread stuck in its device is) and answers
// kAudioHardwareNotRespondingError. Until it returns, every other control call answers the
// same at once, so two calls are never in a backend together and nothing waits on the
// stuck one: the engine can stop, try again and quit as usual.
//
// The engine's procedures are not handed to the backend as they are: each goes through a
// relay of the dispatch's, a procedure of its own that calls the engine's while the engine
// wants it called. A relay closes when the engine stops or removes its procedure, or is
// told that a start failed, whether or not the backend answered; a closed relay calls
// nothing and stops its stream from inside. So a start or add that completes after the
// engine was told it failed never calls into an engine that has moved on, and a removal the
// backend could not take then is made once it answers again (before any other call).
//
// The call thread blocks SIGPIPE: every thread of the audio libraries is started from it
// and inherits that, so a socket or pipe that breaks under a stream fails the stream
// instead of ending the program, while the rest of the process keeps its signals.
//
// Threads: the operations on one control thread at a time (the engine's), but for stop,
// which a procedure may call for itself on its own thread; the relays on the backends'
// threads, real-time: an atomic flag each side, no lock, no allocation.

#include "AudioBackend.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class BackendDispatch {
public:
    // Picks the backend for a look for the default devices. Called on the call thread,
    // only while the engine has no procedure added.
    using Chooser = std::function<AudioBackend*()>;

    explicit BackendDispatch(Chooser choose);
    // Ends the call thread, or leaves it to the end of the process when a call is stuck.
    ~BackendDispatch();
    BackendDispatch(const BackendDispatch&) = delete;
    BackendDispatch& operator=(const BackendDispatch&) = delete;

    OSStatus getHardwareProperty(AudioHardwarePropertyID property, std::uint32_t* ioDataSize,
                                 void* outData);
    OSStatus getDeviceProperty(AudioDeviceID device, std::uint32_t channel, std::uint8_t isInput,
                               AudioDevicePropertyID property, std::uint32_t* ioDataSize,
                               void* outData);
    OSStatus addIOProc(AudioDeviceID device, AudioDeviceIOProc proc, void* clientData);
    OSStatus removeIOProc(AudioDeviceID device, AudioDeviceIOProc proc);
    OSStatus start(AudioDeviceID device, AudioDeviceIOProc proc);
    OSStatus stop(AudioDeviceID device, AudioDeviceIOProc proc);
    OSStatus currentTime(AudioDeviceID device, AudioTimeStamp* outTime);

    // Lets go of the backend in use (at the end of the process), waiting at most bound,
    // unless a call is stuck.
    void release(std::chrono::milliseconds bound);
    // The procedure and client data the backend was given for the engine's procedure on
    // that device (null when it has none): what a test calling procedures by hand calls.
    AudioDeviceIOProc relayedProc(AudioDeviceID device, AudioDeviceIOProc proc) const;

    // How long a control call may take before it counts as not answering: longer than a
    // sound server takes to open a stream, or a device list to be read.
    std::chrono::milliseconds mCallBound{4000};

    static constexpr int kRelays = 8;
    struct Relay;

private:
    struct Call;
    // A call's outcome: whether it was left behind, still running in the backend.
    struct Outcome {
        OSStatus status = 0;
        bool leftBehind = false;
    };

    // Runs work on the call thread, waiting at most mCallBound. A call left behind does
    // late(its status) on the call thread once it returns.
    Outcome bounded(std::function<OSStatus()> work, std::function<void(OSStatus)> late = {},
                    std::chrono::milliseconds bound = std::chrono::milliseconds(0));
    void serve();
    // Control side, under mMutex.
    Relay* findRelay(AudioDeviceID device, AudioDeviceIOProc proc) const;
    void freeRelay(Relay& relay);
    // Call thread: the removals the backend owes since it stopped answering.
    void settleOwed();

    Chooser mChoose;
    AudioBackend* mBackend = nullptr; // call thread; fixed while a relay is in use

    mutable std::mutex mMutex;
    std::condition_variable mChanged;
    std::shared_ptr<Call> mPending; // the call in flight
    bool mStuck = false;            // a call was left behind and has not returned
    bool mEnding = false;
    std::thread mThread;
    std::unique_ptr<Relay[]> mRelays;
};
