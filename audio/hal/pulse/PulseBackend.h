#pragma once

// The audio boundary on the desktop's sound server, through libpulse: PulseAudio, or
// PipeWire through pipewire-pulse. Two devices: the server's default source (input) and
// default sink (output). The input carries every channel of the source as the server has
// it (1-32 channels, its own channel map, no fold-down), the output two; both interleaved
// 32-bit float at 44100 Hz (the server converts the rate) in blocks of 512 frames. One
// object owns libpulse's threaded main loop, the connection and every stream:
// PulseSession.cpp connects, follows the server and lets go of it, PulseDevices.cpp finds
// the default devices and answers their queries, PulseStreams.cpp runs the procedures on
// the main loop's thread.
//
// Threads: every libpulse call and every field the main loop's callbacks touch is guarded
// by the main loop's lock, which libpulse holds around each callback; so once the control
// thread holds it, no procedure is being called. What currentTime reads is atomic, so the
// supervisor's polls take no lock. No control operation waits for the server longer than
// kAnswerBound; release() waits for it not at all.

#include "AudioBackend.h"
#include "ProcSlots.h"
#include "StreamClock.h"
#include "TunerConstants.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <pulse/pulseaudio.h>

class PulseBackend final : public AudioBackend {
public:
    PulseBackend() = default;
    ~PulseBackend() override;
    PulseBackend(const PulseBackend&) = delete;
    PulseBackend& operator=(const PulseBackend&) = delete;

    // Whether a connection of this backend has been ready in this process (its server may
    // have stopped since).
    bool hasServed() const { return mConnections != 0; }

    // A server answers, connected now if need be (never starting one), within kAnswerBound.
    bool available() override;
    const char* name() const override { return "sound"; }
    bool holdsOn() const override { return hasServed(); }
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

    static constexpr std::uint32_t kFramesPerBuffer = 512;
    static constexpr std::uint32_t kMaxChannels = PA_CHANNELS_MAX;
    static constexpr std::uint32_t kOutputChannels = 2;
    // The longest wait for the server's answer to one request.
    static constexpr pa_usec_t kAnswerBound = 1000 * PA_USEC_PER_MSEC;

    // A default device as the last look found it. Control thread, under the lock.
    struct Device {
        AudioDeviceID id = 0; // 0: none found
        bool isInput = false;
        std::uint32_t index = PA_INVALID_INDEX; // the server's
        char name[256] = {};                    // the server's name for it
        char description[256] = {};             // what the desktop calls it
        pa_channel_map map{};
        std::uint32_t rate = 0;
        pa_usec_t latency = 0;
        bool hasVolume = false;
        double volumeDecibels = 0.0;
        // Set on the main loop's thread when the user makes another device the default or
        // this one goes away; cleared by the next look.
        std::atomic<bool> replaced{false};
    };

    // One added procedure and its stream; its life runs while the main loop calls it. The
    // fields above `stream` are set by the control thread, under the lock, while the slot
    // is free.
    struct Slot : ProcSlot {
        PulseBackend* owner = nullptr;
        std::uint32_t channels = 0;
        std::uint32_t deviceIndex = PA_INVALID_INDEX;
        pa_stream* stream = nullptr;

        // The stream ended by itself (failed, or the server ended it), and then whether its
        // device is still there: set on the main loop's thread.
        std::atomic<bool> ended{false};
        std::atomic<bool> endExplained{false};
        pa_operation* explaining = nullptr; // the question whether the device is still there
        // The sample time of the next block: the main loop writes, currentTime reads.
        std::atomic<double> nextTime{0.0};

        // The main loop's own.
        StreamClock clock{tuner::kSampleRate};
        bool lossReported = false; // an underflow since the last block
        bool deviceSeen = false;   // the answer to `explaining` found the device
        std::size_t filled = 0;    // bytes in `block` so far
        float block[kFramesPerBuffer * kMaxChannels] = {};
    };

private:
    static constexpr int kMaxProcs = 4;

    // Session (PulseSession.cpp).
    bool ensureLoop();
    bool connectionReady() const;
    // Connects anew when the connection is not ready and no stream is open.
    bool connect();
    void disconnect();
    // Lock held: waits until done() or the bound; false when the bound passed first.
    bool awaitAnswer(const std::function<bool()>& done);
    // Lock held: waits for an operation to finish, within the bound; cancels it when the
    // bound passed.
    bool awaitOperation(pa_operation* operation);
    static void onContextState(pa_context* context, void* arg);
    static void onServerEvent(pa_context* context, pa_subscription_event_type_t type,
                              std::uint32_t index, void* arg);
    static void onDefaultsAnswer(pa_context* context, const pa_server_info* info, void* arg);

    // Devices (PulseDevices.cpp).
    OSStatus lookAtDevices();
    Device* findDevice(AudioDeviceID device);
    void tellConnection();

    // Procedures (PulseStreams.cpp).
    OSStatus openStream(Slot& slot, const Device& device);
    void closeStream(Slot& slot);
    static void onStreamState(pa_stream* stream, void* arg);
    template <class Info>
    static void onDeviceAnswer(pa_context*, const Info* info, int eol, void* arg);
    static void onRead(pa_stream* stream, std::size_t bytes, void* arg);
    static void onWrite(pa_stream* stream, std::size_t bytes, void* arg);
    static void onUnderflow(pa_stream* stream, void* arg);
    static void take(Slot& slot, const std::uint8_t* samples, std::size_t bytes);
    static void deliver(Slot& slot);

    pa_threaded_mainloop* mLoop = nullptr;
    pa_context* mContext = nullptr; // under the lock
    std::uint32_t mConnections = 0; // connections that became ready so far
    std::uint32_t mNextDevice = 0;  // the last identifier given
    bool mTold = false;             // the connection has been described on the standard error
    // The connection failed or the server went, as the context's state says.
    std::atomic<bool> mServerGone{false};
    // The last request's bound passed with no answer (a hung server).
    bool mTimedOut = false;
    char mServerName[128] = {};

    Device mInput;
    Device mOutput;
    ProcSlots<Slot, kMaxProcs> mSlots;
};
