#include "EngineTestSupport.h"

#include <thread>

bool startByHand(MySoundPort& port, double inputTime, double outputTime) {
    bool started = false;
    std::thread starter([&] { started = port.start(); });
    const AudioDeviceID in = port.mInputDevice.device;
    const AudioDeviceID out = port.mOutputDevice.device;
    if (fake::waitUntilStarted(out, OutputIOProc, std::chrono::milliseconds(2000))) {
        Buffers input(port.mInputDevice.framesPerBuffer, port.mInputDevice.interleaved != 0);
        fake::callInput(in, InputIOProc, inputTime, input.list);
        Buffers output(port.mOutputDevice.framesPerBuffer, port.mOutputDevice.interleaved != 0);
        fake::callOutput(out, OutputIOProc, outputTime, output.list);
    }
    starter.join();
    return started;
}
