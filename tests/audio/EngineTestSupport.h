#pragma once

// Shared pieces of the engine's fake-backed tests: standard devices, buffer lists and a
// start whose handshake the test completes by hand.

#include "FakeAudioHardware.h"
#include "MySoundPort.h"

#include <functional>
#include <memory>
#include <vector>

inline constexpr AudioDeviceID kInputId = 7;
inline constexpr AudioDeviceID kOutputId = 9;

// Two-channel float, 512 frames per buffer.
inline fake::Device stereoDevice(AudioDeviceID id, bool interleaved, double rate = 44100.0) {
    fake::Device device;
    device.id = id;
    device.format = fake::stereoFloat(rate, interleaved);
    device.bufferSize = 512 * device.format.mBytesPerFrame;
    return device;
}

// The buffers of one IO call: one interleaved buffer or two channel buffers.
struct Buffers {
    std::vector<float> first;
    std::vector<float> second;
    AudioBufferList list;

    Buffers(std::uint32_t frames, bool interleaved, float fill = 0.0f)
        : first(interleaved ? 2 * frames : frames, fill), second(interleaved ? 0 : frames, fill) {
        list.mNumberBuffers = interleaved ? 1 : 2;
        list.mBuffers[0] = {interleaved ? 2u : 1u, static_cast<std::uint32_t>(first.size() * 4),
                            first.data()};
        if (!interleaved) {
            list.mBuffers[1] = {1u, static_cast<std::uint32_t>(second.size() * 4), second.data()};
        }
    }
    // Left and right of frame i, whichever the layout.
    float& left(std::uint32_t i) { return second.empty() ? first[2 * i] : first[i]; }
    float& right(std::uint32_t i) { return second.empty() ? first[2 * i + 1] : second[i]; }
};

// Input buffers whose frame f (absolute) holds sample(f) on the left, -sample(f) right.
inline Buffers inputBlock(std::uint32_t frames, bool interleaved, std::int64_t firstFrame,
                          const std::function<float(std::int64_t)>& sample) {
    Buffers block(frames, interleaved);
    for (std::uint32_t i = 0; i < frames; ++i) {
        block.left(i) = sample(firstFrame + i);
        block.right(i) = -sample(firstFrame + i);
    }
    return block;
}

// Starts the port and completes the handshake by hand (the last input block at inputTime,
// the measuring output call at outputTime), then computes the offset. Returns whether
// the port started and the handshake completed.
bool startByHand(MySoundPort& port, double inputTime, double outputTime);

// Destroys a port whose procedures are called by hand: the destructor runs on a thread of
// its own while this thread keeps calling both procedures until they have stopped.
void destroyByHand(std::unique_ptr<MySoundPort>& port);
