#pragma once

// The audio boundary on PortAudio: ALSA's default devices, and whatever sound server
// stands behind them (PipeWire, PulseAudio). One object owns the PortAudio session and
// every stream; PortAudioSession.cpp begins and ends the session, PortAudioProperties.cpp
// answers the device queries, PortAudioStreams.cpp runs the procedures.

#include "AudioBackend.h"
#include "PortAudioDevices.h"
#include "ProcSlots.h"
#include "StreamClock.h"

#include <atomic>
#include <chrono>
#include <portaudio.h>
#include <thread>

class PortAudioBackend final : public AudioBackend {
public:
    PortAudioBackend() = default;
    ~PortAudioBackend() override = default;
    PortAudioBackend(const PortAudioBackend&) = delete;
    PortAudioBackend& operator=(const PortAudioBackend&) = delete;

    bool available() override;
    const char* name() const override { return "ALSA"; }
    bool anyStreamOpen() const override;
    void release() override;

    OSStatus getHardwareProperty(AudioHardwarePropertyID property, std::uint32_t* ioDataSize,
                                 void* outData) override;
    OSStatus getDeviceProperty(AudioDeviceID device, std::uint32_t channel, std::uint8_t isInput,
                               AudioDevicePropertyID property, std::uint32_t* ioDataSize,
                               void* outData) override;
    OSStatus addIOProc(AudioDeviceID device, AudioDeviceIOProc proc, void* clientData) override;
    OSStatus removeIOProc(AudioDeviceID device, AudioDeviceIOProc proc) override;
    OSStatus start(AudioDeviceID device, AudioDeviceIOProc proc) override;
    OSStatus stop(AudioDeviceID device, AudioDeviceIOProc proc) override;
    OSStatus currentTime(AudioDeviceID device, AudioTimeStamp* outTime) override;

    // One added procedure and its stream, driven by a thread of the backend's own while
    // its life runs.
    struct Stream : ProcSlot {
        PaStream* stream = nullptr; // control thread, and the stream's thread while it runs
        std::thread thread;         // control thread only
        // Set by a stop; the stream's thread then ends after the current block.
        std::atomic<bool> stopRequested{false};
        // Set by the stream's thread when it ends, asked to or not.
        std::atomic<bool> threadEnded{true};
        // The next block's sample time: written by the stream's thread, read by the control
        // thread.
        std::atomic<double> sampleTime{0.0};
        StreamClock clock{kBackendSampleRate}; // the stream thread's own, reset before each start
    };

private:
    static constexpr int kMaxStreams = 8;

    // True when PortAudio runs; begins it when it does not.
    bool ready();
    // Ends and begins PortAudio again when no stream is open and its device list is older
    // than a moment, so that devices (or a sound server) that came or went since are seen;
    // otherwise as ready().
    bool refreshed();
    bool choosesInput(PaDeviceIndex index, AudioDeviceID device) const;
    // Closes every stream whose thread has ended; true when none is left open.
    bool closeAllStreams();
    // Closes the set-aside streams whose threads have ended since.
    void reapAbandoned();

    bool mRunning = false;
    std::chrono::steady_clock::time_point mBegun{};
    ProcSlots<Stream, kMaxStreams> mStreams;
};
