#pragma once

// Shared pieces of the engine's tests on the fake boundary: the two devices, input blocks,
// and a start and a teardown whose procedure calls the test makes by hand.

#include "FakeAudioHardware.h"
#include "MySoundPort.h"

#include <atomic>
#include <memory>
#include <thread>

inline constexpr AudioDeviceID kInputId = 7;
inline constexpr AudioDeviceID kOutputId = 9;

// Starts the port and completes the handshake by hand, the last input block at inputTime
// and the measuring output call at outputTime; then computes the offset.
inline bool startByHand(MySoundPort& port, double inputTime, double outputTime) {
    if (!port.start()) {
        return false;
    }
    fake::Buffers input(512, port.mInputDevice.interleaved != 0);
    fake::Buffers output(512, port.mOutputDevice.interleaved != 0);
    const double settle = port.mHandshakeSettleFrames;
    for (const double back : {settle, 0.0}) {
        fake::call(port.mInputDevice.device, InputIOProc, inputTime - back, input.list);
        fake::call(port.mOutputDevice.device, OutputIOProc, outputTime - back, output.list);
    }
    if (!port.handshakeDone()) {
        return false;
    }
    port.computeThruOffset();
    return true;
}

// Destroys a port whose procedures the test calls by hand: the destructor runs on a thread
// of its own while this thread calls both procedures until they have stopped.
inline void destroyByHand(std::unique_ptr<MySoundPort>& port) {
    if (!port) {
        return;
    }
    const AudioDeviceID in = port->mInputDevice.device;
    const AudioDeviceID out = port->mOutputDevice.device;
    fake::Buffers input(512, port->mInputDevice.interleaved != 0);
    fake::Buffers output(512, port->mOutputDevice.interleaved != 0);
    std::atomic<bool> done{false};
    std::thread destroyer([&] {
        port.reset();
        done = true;
    });
    for (double time = 1.0e6; !done; time += 512.0) {
        fake::call(in, InputIOProc, time, input.list);
        fake::call(out, OutputIOProc, time, output.list);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    destroyer.join();
}
