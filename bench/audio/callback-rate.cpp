// Measures how often the backend calls an input and an output procedure, and how far the
// output's sample clock runs ahead of the input's. Run by hand under the paced devices:
//
//   build/tools/test-audio/paced-alsa.sh --loop FILE -- build/bench/audio/hal-callback-rate
#include "AudioHardware.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {

std::atomic<int> gInputCalls{0};
std::atomic<int> gOutputCalls{0};

OSStatus countInput(AudioDeviceID, const AudioTimeStamp*, const AudioBufferList*,
                    const AudioTimeStamp*, AudioBufferList*, const AudioTimeStamp*, void*) {
    gInputCalls.fetch_add(1, std::memory_order_relaxed);
    return 0;
}
OSStatus countOutput(AudioDeviceID, const AudioTimeStamp*, const AudioBufferList*,
                     const AudioTimeStamp*, AudioBufferList*, const AudioTimeStamp*, void*) {
    gOutputCalls.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

} // namespace

int main() {
    AudioDeviceID in = 0;
    AudioDeviceID out = 0;
    std::uint32_t size = sizeof in;
    AudioHardwareGetProperty(kAudioHardwarePropertyDefaultInputDevice, &size, &in);
    size = sizeof out;
    AudioHardwareGetProperty(kAudioHardwarePropertyDefaultOutputDevice, &size, &out);
    if (AudioDeviceAddIOProc(in, countInput, nullptr) != 0 ||
        AudioDeviceStart(in, countInput) != 0 ||
        AudioDeviceAddIOProc(out, countOutput, nullptr) != 0 ||
        AudioDeviceStart(out, countOutput) != 0) {
        std::fprintf(stderr, "hal-callback-rate: the default devices did not start\n");
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1)); // past the start-up
    const int in0 = gInputCalls;
    const int out0 = gOutputCalls;
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const int in1 = gInputCalls;
    const int out1 = gOutputCalls;
    AudioDeviceStop(in, countInput);
    AudioDeviceStop(out, countOutput);
    std::printf("input %.2f calls/s, output %.2f calls/s (512 frames at 44100 Hz: 86.13); output "
                "leads by %d blocks\n",
                (in1 - in0) / seconds, (out1 - out0) / seconds, out1 - in1);
    return 0;
}
