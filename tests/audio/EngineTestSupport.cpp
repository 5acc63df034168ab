#include "EngineTestSupport.h"

#include <atomic>
#include <thread>

bool startByHand(MySoundPort& port, double inputTime, double outputTime) {
    bool started = false;
    std::thread starter([&] { started = port.start(); });
    const AudioDeviceID in = port.mInputDevice.device;
    const AudioDeviceID out = port.mOutputDevice.device;
    if (fake::waitUntilStarted(out, OutputIOProc, std::chrono::milliseconds(2000))) {
        // The output first sees the input running, then measures once the input has run
        // on by the settling distance: the last input block lands at inputTime.
        Buffers input(port.mInputDevice.framesPerBuffer, port.mInputDevice.interleaved != 0);
        Buffers output(port.mOutputDevice.framesPerBuffer, port.mOutputDevice.interleaved != 0);
        fake::callInput(in, InputIOProc, inputTime - MySoundPort::kHandshakeSettleFrames,
                        input.list);
        fake::callOutput(out, OutputIOProc, outputTime - MySoundPort::kHandshakeSettleFrames,
                         output.list);
        fake::callInput(in, InputIOProc, inputTime, input.list);
        fake::callOutput(out, OutputIOProc, outputTime, output.list);
    }
    starter.join();
    return started;
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
