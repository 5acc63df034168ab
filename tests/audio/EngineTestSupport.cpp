#include "EngineTestSupport.h"

#include <atomic>
#include <thread>

bool startByHand(MySoundPort& port, double inputTime, double outputTime) {
    if (!port.start()) {
        return false;
    }
    // The output first sees the input running, then measures once the input has run on by
    // the settling distance: the last input block lands at inputTime.
    const AudioDeviceID in = port.mInputDevice.device;
    const AudioDeviceID out = port.mOutputDevice.device;
    Buffers input(port.mInputDevice.framesPerBuffer, port.mInputDevice.interleaved != 0);
    Buffers output(port.mOutputDevice.framesPerBuffer, port.mOutputDevice.interleaved != 0);
    const double settle = port.mHandshakeSettleFrames;
    fake::callInput(in, InputIOProc, inputTime - settle, input.list);
    fake::callOutput(out, OutputIOProc, outputTime - settle, output.list);
    fake::callInput(in, InputIOProc, inputTime, input.list);
    fake::callOutput(out, OutputIOProc, outputTime, output.list);
    if (!port.handshakeDone()) {
        return false;
    }
    port.computeThruOffset();
    return true;
}

void destroyByHand(std::unique_ptr<MySoundPort>& port) {
    if (!port) {
        return;
    }
    const AudioDeviceID in = port->mInputDevice.device;
    const AudioDeviceID out = port->mOutputDevice.device;
    Buffers input(port->mInputDevice.framesPerBuffer, port->mInputDevice.interleaved != 0);
    Buffers output(port->mOutputDevice.framesPerBuffer, port->mOutputDevice.interleaved != 0);
    std::atomic<bool> done{false};
    std::thread destroyer([&] {
        port.reset();
        done = true;
    });
    double time = 1.0e6;
    while (!done) {
        fake::callInput(in, InputIOProc, time, input.list);
        fake::callOutput(out, OutputIOProc, time, output.list);
        time += 512.0;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    destroyer.join();
}
