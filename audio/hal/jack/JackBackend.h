#pragma once

// The audio boundary on a JACK server, through libjack: one device, the tuner's own client
// `guitar-tuner` with one input port, seen by the engine as two interleaved 32-bit float
// channels at 44100 Hz in blocks of 512 frames whatever the server's rate and period. The
// process cycle runs both procedures: each block that the server's input completes goes to
// the input procedure and then to the output procedure, whose output (silence) goes nowhere,
// so the client needs no output port. One object owns the client and every procedure:
// JackSession.cpp opens and closes the client and follows the server, JackProperties.cpp
// answers the device queries, JackStreams.cpp runs the procedures in the process cycle, and
// JackConnections.cpp keeps the input port's connections.

#include "AudioBackend.h"
#include "BlockAssembler.h"
#include "ProcSlots.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <jack/jack.h>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

class JackBackend final : public AudioBackend {
public:
    // A client of the server named `serverName` ("default" where the user named none).
    explicit JackBackend(std::string serverName);
    ~JackBackend() override;
    JackBackend(const JackBackend&) = delete;
    JackBackend& operator=(const JackBackend&) = delete;

    // Whether the libjack this process runs with is PipeWire's, under which a JACK server
    // always seems to run.
    static bool libraryIsPipeWire();
    // Whether a client of this backend has been open in this process (its server may have
    // stopped since).
    bool hasServed() const { return mGeneration != 0; }

    // A server runs and the client is open (opened now if need be, never starting a server).
    bool available() override;
    const char* name() const override { return "JACK"; }
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

    static constexpr const char* kClientName = "guitar-tuner";
    static constexpr const char* kPortName = "in";
    static constexpr std::uint32_t kChannels = 2;
    static constexpr std::uint32_t kFramesPerBuffer = BlockAssembler::kBlockFrames;

    // One added procedure: its life runs while the cycle calls it.
    struct Slot : ProcSlot {
        // Set by the cycle around each look at the life and the call that follows, so that
        // stop knows when no call runs any more.
        std::atomic<bool> inCall{false};
        // Set by start: the cycle takes the next block as the procedure's sample time 0.
        std::atomic<bool> fresh{false};
        double origin = 0.0; // the cycle's own
        // The sample time of the procedure's next block: the cycle writes, the control
        // thread reads.
        std::atomic<double> nextTime{0.0};
    };

private:
    static constexpr int kMaxProcs = 4;

    // Session (JackSession.cpp).
    bool clientUsable() const;
    bool openClient();
    // `tell`: say on the standard error what the client cost the server's cycle.
    void closeClient(bool tell);
    static void onShutdown(jack_status_t code, const char* reason, void* arg);
    static int onSampleRate(jack_nframes_t rate, void* arg);
    static int onXrun(void* arg);

    // Procedures and the process cycle (JackStreams.cpp).
    static int onProcess(jack_nframes_t frames, void* arg);
    void runCycle(jack_nframes_t frames);
    void deliverBlock(const float* block, double sampleTime);
    void callProcs(bool inputs, double sampleTime);
    void stopSlot(Slot& slot);

    // Connections of the input port (JackConnections.cpp).
    std::string connectAtStart();
    void startKeepingConnections();
    void stopKeepingConnections();
    void keepConnections();
    // Connects the port to each of `names` that exists and is not connected to it yet;
    // the names it connected.
    std::vector<std::string> restoreConnections(const std::vector<std::string>& names);
    static void onPortConnect(jack_port_id_t a, jack_port_id_t b, int connected, void* arg);
    static void onPortRegistration(jack_port_id_t port, int registered, void* arg);

    const std::string mServerName;

    // The client: control thread; fixed while it is open, so the cycle and libjack's
    // notification thread read it freely.
    jack_client_t* mClient = nullptr;
    jack_port_t* mInputPort = nullptr;
    AudioDeviceID mDevice = 0;      // the open client's identifier; 0 while none is open
    std::uint32_t mGeneration = 0;  // clients opened so far: each gets a new identifier
    jack_nframes_t mOpenPeriod = 0; // the period when the client opened, for its name
    bool mConvertible = false;      // the server's rate converts to the engine's
    bool mServerAnswered = false;   // the last open reached a server (which then refused)
    std::atomic<jack_nframes_t> mServerRate{0};

    // Set by libjack's threads: the server went away; or it runs on without this client
    // (it dropped the client, or changed its rate).
    std::atomic<bool> mServerGone{false};
    std::atomic<bool> mClientLost{false};
    std::atomic<std::uint32_t> mXruns{0};

    // The cycle's own.
    BlockAssembler mAssembler;
    bool mIdle = true; // no procedure ran in the cycle before
    jack_nframes_t mExpectedFrameTime = 0;
    jack_nframes_t mLastPeriod = 0;
    float mInputBlock[kFramesPerBuffer * kChannels] = {};
    float mOutputBlock[kFramesPerBuffer * kChannels] = {};
    // The longest cycle so far, for what the tuner costs the server's other clients.
    std::atomic<std::int64_t> mLongestCycleNanos{0};
    std::atomic<jack_nframes_t> mPeriod{0};

    ProcSlots<Slot, kMaxProcs> mSlots;

    // Connections: what the user's input port is connected to, kept across server restarts.
    // Guarded by mConnectionsLock; the keeper thread makes the connections that libjack's
    // notification thread must not make itself.
    std::mutex mConnectionsLock;
    std::condition_variable mConnectionsWake;
    std::thread mKeeper;
    bool mKeeperStop = false;
    bool mPortsAppeared = false;
    std::vector<std::string> mDisconnected; // since the keeper last looked
    std::set<std::string> mRemembered;
    bool mRemembering = false; // a first client made the connection at start
    // Set once the client is active, cleared before it closes: libjack's notification thread
    // looks at the client and its port only in between.
    std::atomic<bool> mFollowing{false};
};
