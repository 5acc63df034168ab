// The audio boundary's operations, each handed to the backend chosen for the devices in use,
// and the one place where that choice is made: afresh at each look for the default devices
// while no procedure is added, so a stream that flows is never abandoned.

#include "AudioBackend.h"
#include "AudioHardware.h"
#include "Diagnostics.h"
#include "PortAudioBackend.h"

#include <csignal>
#include <cstdlib>

namespace {

PortAudioBackend gPortAudio;
AudioBackend* gChosen = nullptr; // control thread; fixed while a procedure is added

void releaseAll() {
    gPortAudio.release();
}

// Once, before any audio library runs.
void prepareProcess() {
    // The audio libraries print from any thread, the callback threads included; the
    // program's own lines keep the real standard error.
    keepLibraryChatterOff();
    // A sound server's socket or a device pipe that closes under a stream must fail the
    // stream, not end the program.
    std::signal(SIGPIPE, SIG_IGN);
    std::atexit(releaseAll);
}

AudioBackend& chosen() {
    static const bool prepared = (prepareProcess(), true);
    (void)prepared;
    if (gChosen == nullptr) {
        gChosen = &gPortAudio;
    }
    return *gChosen;
}

} // namespace

OSStatus AudioHardwareGetProperty(AudioHardwarePropertyID property, std::uint32_t* ioDataSize,
                                  void* outData) {
    return chosen().getHardwareProperty(property, ioDataSize, outData);
}

OSStatus AudioDeviceGetProperty(AudioDeviceID device, std::uint32_t channel, std::uint8_t isInput,
                                AudioDevicePropertyID property, std::uint32_t* ioDataSize,
                                void* outData) {
    return chosen().getDeviceProperty(device, channel, isInput, property, ioDataSize, outData);
}

OSStatus AudioDeviceAddIOProc(AudioDeviceID device, AudioDeviceIOProc proc, void* clientData) {
    return chosen().addIOProc(device, proc, clientData);
}

OSStatus AudioDeviceRemoveIOProc(AudioDeviceID device, AudioDeviceIOProc proc) {
    return chosen().removeIOProc(device, proc);
}

OSStatus AudioDeviceStart(AudioDeviceID device, AudioDeviceIOProc proc) {
    return chosen().start(device, proc);
}

OSStatus AudioDeviceStop(AudioDeviceID device, AudioDeviceIOProc proc) {
    return chosen().stop(device, proc);
}

OSStatus AudioDeviceGetCurrentTime(AudioDeviceID device, AudioTimeStamp* outTime) {
    return chosen().currentTime(device, outTime);
}
