#pragma once

// One implementation of the audio hardware boundary (AudioHardware.h): a sound system the
// tuner can be a client of. The boundary's operations go to one backend at a time, chosen
// afresh whenever the default devices are looked up while no procedure is added
// (BackendChoice.cpp); each backend folder opens with what it implements and what it does
// not.
//
// Every operation has the contract of the boundary operation of the same name, threads
// included: the control thread only, but for stop, which a procedure may call on its own
// thread for itself.

#include "AudioHardware.h"

#include <cstdint>

class AudioBackend {
public:
    virtual ~AudioBackend() = default;

    // What the user calls the sound system, as it fills "the ... server" in what the tuner
    // says ("JACK", "sound"). Any thread.
    virtual const char* name() const = 0;

    // Whether the sound system can serve now (for a sound server: it runs). Control
    // thread, while no procedure is added; may take a while, never starts a server.
    virtual bool available() = 0;
    // Whether it keeps the user's audio while its server is away (it has served this
    // process, and its server will be back): the choice waits for it rather than fall back.
    virtual bool holdsOn() const { return false; }
    // Whether any procedure is added: while one is, the choice stays.
    virtual bool anyStreamOpen() const = 0;
    // Closes every stream and lets go of the sound system, so that the other backend can
    // take over, or the process end cleanly. Control thread.
    virtual void release() = 0;

    virtual OSStatus getHardwareProperty(AudioHardwarePropertyID property,
                                         std::uint32_t* ioDataSize, void* outData) = 0;
    virtual OSStatus getDeviceProperty(AudioDeviceID device, std::uint32_t channel,
                                       std::uint8_t isInput, AudioDevicePropertyID property,
                                       std::uint32_t* ioDataSize, void* outData) = 0;
    virtual OSStatus addIOProc(AudioDeviceID device, AudioDeviceIOProc proc, void* clientData) = 0;
    virtual OSStatus removeIOProc(AudioDeviceID device, AudioDeviceIOProc proc) = 0;
    virtual OSStatus start(AudioDeviceID device, AudioDeviceIOProc proc) = 0;
    virtual OSStatus stop(AudioDeviceID device, AudioDeviceIOProc proc) = 0;
    virtual OSStatus currentTime(AudioDeviceID device, AudioTimeStamp* outTime) = 0;
};
