#pragma once

// A failure-injecting implementation of the audio hardware boundary, linked into the
// engine's tests instead of a real backend.
//
// What it implements: the six operations over devices that a test describes (name,
// buffer size, stream format, volume, safety offset), with any query, install, start or
// current-time call made to fail with a chosen status; the IO procedures are called either
// by the test itself (callInput/callOutput, on the test's thread) or, for a device set to
// run, by a clock thread of its own per started procedure, as a real device would.
// What it does not: pacing at a real rate (clock threads call as fast as their period),
// more than two buffers per list.
//
// Thread safety: the registry is guarded by a mutex that is never held while a procedure
// runs, so procedures may call AudioDeviceStop from inside.

#include "AudioHardware.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace fake {

// Two 32-bit float channels at rate, interleaved (8 bytes per frame) or in a buffer each
// (4 bytes per frame, the non-interleaved flag set).
AudioStreamBasicDescription stereoFloat(double rate, bool interleaved);

struct Device {
    AudioDeviceID id = 0;
    std::string name = "Fake Device";
    // The name query writes the name and its terminator. When false, it writes only the
    // name's bytes, as many as fit, and reports that many: a misbehaving backend.
    bool terminateName = true;
    std::uint32_t bufferSize = 4096;
    AudioStreamBasicDescription format = stereoFloat(44100.0, true);
    std::optional<float> volumeDecibels; // absent: the volume query fails ("unop")
    std::uint32_t safetyOffset = 0;
    // Properties whose query fails with the status given, writing nothing.
    std::map<AudioDevicePropertyID, OSStatus> failing;
    OSStatus addStatus = 0;
    OSStatus startStatus = 0;
    OSStatus currentTimeStatus = 0;

    // Clock threads: when set, each procedure started on the device is called by a thread
    // of its own every period, with sample times from firstSampleTime on in steps of the
    // device's frames per buffer, until it is stopped.
    bool runs = false;
    std::chrono::microseconds period{500};
    double firstSampleTime = 0.0;
    // Input samples of the clock thread: the value of channel c at frame number f.
    std::function<float(std::int64_t f, int c)> source;
    // How long stopping or removing a procedure from outside it takes (a stream stuck in
    // a stalled device).
    std::chrono::milliseconds stopDelay{0};
};

// Forgets every device and procedure; stops and joins every clock thread first.
void reset();
void addDevice(const Device& device);
// While stalled, a device's clock threads call nothing (its sample times run on).
void setStalled(AudioDeviceID device, bool stalled);
// The default devices; a status other than 0 makes that query fail (writing 0).
void setDefaultDevices(AudioDeviceID input, AudioDeviceID output, OSStatus inputStatus = 0,
                       OSStatus outputStatus = 0);

// What happened to a procedure on a device.
struct ProcRecord {
    int adds = 0;
    int starts = 0;
    int stopsInside = 0;  // AudioDeviceStop from inside the procedure
    int stopsOutside = 0; // AudioDeviceStop from any other place
    int removes = 0;      // removed from its device (a removed procedure may be added again)
    long calls = 0;       // calls made by clock threads and by callInput/callOutput
    bool running = false; // started and not stopped since
};
ProcRecord procRecord(AudioDeviceID device, AudioDeviceIOProc proc);
// Waits up to timeout until the procedure has been started; false on time-out.
bool waitUntilStarted(AudioDeviceID device, AudioDeviceIOProc proc,
                      std::chrono::milliseconds timeout);

// Calls an added procedure on the caller's thread as that device's input or output
// callback would: sample time, and the list as the device fills or receives it. A
// procedure that is not running is not called (kAudioHardwareNotRunningError).
OSStatus callInput(AudioDeviceID device, AudioDeviceIOProc proc, double sampleTime,
                   const AudioBufferList& input);
OSStatus callOutput(AudioDeviceID device, AudioDeviceIOProc proc, double sampleTime,
                    AudioBufferList& output);

} // namespace fake
