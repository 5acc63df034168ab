#pragma once

// A failure-injecting backend of the audio boundary, installed by the engine's tests in
// place of the program's: devices the test describes, install, start and current-time calls
// made to fail or to hang, and procedures called either by the test on its own thread
// (call) or, on a device that runs, by a clock thread per started procedure every 400 µs of
// the steady clock, as a real device would but faster. The registry's mutex is never held
// while a procedure runs, so procedures may stop themselves.

#include "AudioHardware.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// The ids the tests give the input and the output device.
constexpr AudioDeviceID kInputId = 7, kOutputId = 9;

namespace fake {

// The buffers of one IO call: one interleaved buffer of two channels, or one per channel.
struct Buffers {
    Buffers(std::uint32_t frames, bool interleaved, float fill = 0.0f);
    float& left(std::uint32_t i) { return second.empty() ? first[2 * i] : first[i]; }
    float& right(std::uint32_t i) { return second.empty() ? first[2 * i + 1] : second[i]; }
    std::vector<float> first, second;
    AudioBufferList list;
};

struct Device {
    AudioDeviceID id = 0;
    std::string name = "Fake Device";
    bool terminateName = true; // false: the name query writes only the name's bytes
    std::uint32_t bufferSize = 0;
    AudioStreamBasicDescription format{};
    std::optional<float> volumeDecibels{}; // absent: the volume query fails ("unop")
    std::uint32_t safetyOffset = 0;
    double nominalRate = 0.0; // the device's own rate (0: the query fails)
    OSStatus addStatus = 0, startStatus = 0, currentTimeStatus = 0;
    bool startHangs = false; // a start does not return until releaseHangs()
    // Started procedures are called by clock threads; while stalled, those call nothing and
    // their sample times run on.
    bool runs = false, stalled = false;
    std::function<float(std::int64_t frame, int channel)> source{}; // what they capture
    std::chrono::milliseconds stopDelay{0}; // stopping a running procedure from outside
};

// 32-bit float channels at rate, 512 frames per buffer.
Device device(AudioDeviceID id, bool interleaved, double rate = 44100.0,
              std::uint32_t channels = 2);

// Forgets every device and procedure, once every clock thread has ended, and installs the
// fake as the process's audio backend.
void reset();
// Lets the starts that hang return.
void releaseHangs();
// Adds (or changes) the two devices, which may be one, as the defaults; a device of id 0 is
// none, and the query for it fails (!dev). Running clock threads keep their copy of a
// device, but for stalled.
void plugIn(const Device& input, const Device& output);

// How often the input or output procedure of a device was stopped from inside a call of its
// own, and removed.
struct ProcRecord {
    int stopsInside = 0, removes = 0;
};
ProcRecord procRecord(AudioDeviceID device, bool isInput);

// Calls a running procedure on this thread with the list as its device's input or output.
OSStatus call(AudioDeviceID device, AudioDeviceIOProc proc, double sampleTime,
              AudioBufferList& list);

} // namespace fake
