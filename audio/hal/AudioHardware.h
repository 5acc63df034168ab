#pragma once

// The audio hardware boundary: the six operations the engine calls, their types and
// their status codes. The engine includes only this header; a backend (portaudio/, or a
// test's own) defines the operations.
//
// Statuses: 0 is success; every failure is a four-character code listed below, so an
// error line shows readable text.

#include <cstdint>

using OSStatus = std::int32_t;
using AudioDeviceID = std::uint32_t; // nonzero; 0 means no device
using AudioHardwarePropertyID = std::uint32_t;
using AudioDevicePropertyID = std::uint32_t;

constexpr std::uint32_t fourCharCode(const char (&code)[5]) {
    return (static_cast<std::uint32_t>(static_cast<unsigned char>(code[0])) << 24) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(code[1])) << 16) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(code[2])) << 8) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(code[3]));
}

// Hardware properties: which default device.
inline constexpr AudioHardwarePropertyID kAudioHardwarePropertyDefaultInputDevice =
    fourCharCode("dIn ");
inline constexpr AudioHardwarePropertyID kAudioHardwarePropertyDefaultOutputDevice =
    fourCharCode("dOut");
// What the user calls the sound system the last default device belongs to (a name, as the
// device name is written), to fill "the ... server" in what the tuner says.
inline constexpr AudioHardwarePropertyID kAudioHardwarePropertySoundSystemName =
    fourCharCode("ssys");

// Device properties.
inline constexpr AudioDevicePropertyID kAudioDevicePropertyDeviceName = fourCharCode("name");
inline constexpr AudioDevicePropertyID kAudioDevicePropertyBufferSize = fourCharCode("bsiz");
inline constexpr AudioDevicePropertyID kAudioDevicePropertyStreamFormat = fourCharCode("sfmt");
inline constexpr AudioDevicePropertyID kAudioDevicePropertyVolumeDecibels = fourCharCode("vold");
inline constexpr AudioDevicePropertyID kAudioDevicePropertySafetyOffset = fourCharCode("saft");
// The rate the device runs at by itself (a double): what it offers when it refuses a format.
inline constexpr AudioDevicePropertyID kAudioDevicePropertyNominalSampleRate = fourCharCode("nsrt");

// Stream format.
inline constexpr std::uint32_t kAudioFormatLinearPCM = fourCharCode("lpcm");
inline constexpr std::uint32_t kAudioFormatFlagIsFloat = 0x1;
inline constexpr std::uint32_t kAudioFormatFlagIsPacked = 0x8;
inline constexpr std::uint32_t kAudioFormatFlagIsNonInterleaved = 0x20;

// Failure statuses (four-character codes).
inline constexpr OSStatus kAudioHardwareBadDeviceError =
    static_cast<OSStatus>(fourCharCode("!dev")); // no such device
inline constexpr OSStatus kAudioHardwareUnknownPropertyError =
    static_cast<OSStatus>(fourCharCode("who?")); // property not known
inline constexpr OSStatus kAudioHardwareBadPropertySizeError =
    static_cast<OSStatus>(fourCharCode("!siz")); // data size too small or null destination
inline constexpr OSStatus kAudioHardwareUnsupportedOperationError =
    static_cast<OSStatus>(fourCharCode("unop")); // the backend cannot tell (e.g. volume)
inline constexpr OSStatus kAudioHardwareIllegalOperationError =
    static_cast<OSStatus>(fourCharCode("nope")); // procedure not added, added twice, or null
inline constexpr OSStatus kAudioHardwareUnspecifiedError =
    static_cast<OSStatus>(fourCharCode("what")); // the backend failed (stream open/start)
inline constexpr OSStatus kAudioHardwareNotRunningError = static_cast<OSStatus>(
    fourCharCode("stop")); // the backend could not start, or the device is not running
inline constexpr OSStatus kAudioHardwareBadStreamError =
    static_cast<OSStatus>(fourCharCode("!str")); // the device has no channels in that direction
inline constexpr OSStatus kAudioDeviceUnsupportedFormatError =
    static_cast<OSStatus>(fourCharCode("!fmt")); // the device cannot take the stream format
inline constexpr OSStatus kAudioDevicePermissionsError =
    static_cast<OSStatus>(fourCharCode("!hog")); // another program holds the device
inline constexpr OSStatus kAudioHardwareServerGoneError = static_cast<OSStatus>(
    fourCharCode("gone")); // the sound server behind the devices is not running (any more)
inline constexpr OSStatus kAudioHardwareNotRespondingError = static_cast<OSStatus>(
    fourCharCode("mute")); // the sound system did not answer in time (a hung server or device)
inline constexpr OSStatus kAudioHardwareDefaultDeviceChangedError = static_cast<OSStatus>(
    fourCharCode("dflt")); // the user chose another default device: look for the devices again

// Which fields of a time stamp are valid (mFlags).
inline constexpr std::uint32_t kAudioTimeStampSampleTimeValid = 0x1;
inline constexpr std::uint32_t kAudioTimeStampHostTimeValid = 0x2;

struct AudioTimeStamp {
    double mSampleTime = 0.0; // frames on the device's own sample clock
    std::uint64_t mHostTime = 0;
    double mRateScalar = 0.0;
    std::uint64_t mWordClockTime = 0;
    std::uint32_t mFlags = 0;
};

struct AudioBuffer {
    std::uint32_t mNumberChannels = 0;
    std::uint32_t mDataByteSize = 0;
    void* mData = nullptr;
};

// One interleaved buffer, or one buffer per channel (at most two here).
struct AudioBufferList {
    std::uint32_t mNumberBuffers = 0;
    AudioBuffer mBuffers[2];
};

// 40 bytes, as the stream-format property delivers it.
struct AudioStreamBasicDescription {
    double mSampleRate;
    std::uint32_t mFormatID;
    std::uint32_t mFormatFlags;
    std::uint32_t mBytesPerPacket;
    std::uint32_t mFramesPerPacket;
    std::uint32_t mBytesPerFrame;
    std::uint32_t mChannelsPerFrame;
    std::uint32_t mBitsPerChannel;
    std::uint32_t mReserved;
};
static_assert(sizeof(AudioStreamBasicDescription) == 40);

// An IO procedure. Called once per IO buffer of the device it was added to, from the
// device's start until its stop, on that device's own callback thread (one per device and
// procedure; or one for both procedures of a device that calls its input procedure and then
// its output procedure in one cycle, as a JACK client does), with the client data given when
// it was added. An input procedure gets inputData and inputTime (its block's first frame on
// the device's clock) and a null outputData; an output procedure gets outputData, to be
// filled, and outputTime, and a null inputData. Each buffer holds the device's frames per
// buffer.
//
// Inside a procedure: no lock, no wait, no allocation, no printing, no toolkit call. The
// one hardware call allowed is AudioDeviceStop of the procedure's own device and itself,
// after which it is not called again. Return 0.
using AudioDeviceIOProc = OSStatus (*)(AudioDeviceID device, const AudioTimeStamp* now,
                                       const AudioBufferList* inputData,
                                       const AudioTimeStamp* inputTime, AudioBufferList* outputData,
                                       const AudioTimeStamp* outputTime, void* clientData);

// The control operations below run on one thread at a time (the engine's control thread:
// the main thread, or a worker of the engine's supervisor), never inside a procedure,
// unless said otherwise. Some may take a while (a sound server that is slow to answer, a
// stream stuck in a stalled device), which is why the engine keeps them off the main loop.

// The default input (dIn ) or output (dOut) device: *ioDataSize must be at least 4; writes
// the identifier, 0 when there is none (with a failing status). While no procedure is
// added, a query may look at the system's devices afresh, so that a device plugged in (or
// a sound server started) after the first query is found by a later one; identifiers
// found before such a query are then stale.
OSStatus AudioHardwareGetProperty(AudioHardwarePropertyID property, std::uint32_t* ioDataSize,
                                  void* outData);

// A device property (table in the engine's device record): writes at most *ioDataSize bytes
// and sets *ioDataSize to the bytes written.
OSStatus AudioDeviceGetProperty(AudioDeviceID device, std::uint32_t channel, std::uint8_t isInput,
                                AudioDevicePropertyID property, std::uint32_t* ioDataSize,
                                void* outData);

// Adds a procedure to a device; from the device's start it is called with clientData.
// Each procedure gets a stream of its own, in one direction: on a device with channels in
// one direction only, that one; on a device with both, the first procedure added to the
// default input device is its input procedure, and every other procedure is an output
// procedure. (So a sound port adds its input procedure first when input and output are the
// same device.) A procedure can be added to a device once.
OSStatus AudioDeviceAddIOProc(AudioDeviceID device, AudioDeviceIOProc proc, void* clientData);

// Removes an added procedure from its device, stopping it first if it runs. A removed
// procedure can be added again.
OSStatus AudioDeviceRemoveIOProc(AudioDeviceID device, AudioDeviceIOProc proc);

// Starts calling an added procedure; its sample clock starts at 0 and counts every frame
// the device has captured or played since, lost ones included: frames lost to an overrun
// or a stall show as a jump of the sample time, never as a clock that falls behind.
// Starting a running procedure does nothing.
OSStatus AudioDeviceStart(AudioDeviceID device, AudioDeviceIOProc proc);

// Stops calling a procedure. Also allowed from inside that procedure, on its own thread:
// it then returns at once, and the procedure is not called again. Stopping a stopped
// procedure does nothing. Not allowed from inside another procedure (it would wait).
OSStatus AudioDeviceStop(AudioDeviceID device, AudioDeviceIOProc proc);

// The device's current time (the sample clock of one of its running procedures). Fails
// with kAudioHardwareNotRunningError when no procedure of the device runs, which is also
// how a stream that ended by itself (the device failed or vanished) shows.
OSStatus AudioDeviceGetCurrentTime(AudioDeviceID device, AudioTimeStamp* outTime);
