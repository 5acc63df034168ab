#pragma once

// The device model of the PortAudio backend: identifiers, the one stream format every
// device offers, and the mapping of PortAudio's errors to the boundary's statuses.

#include "AudioHardware.h"
#include "TunerConstants.h"

#include <cstdint>
#include <portaudio.h>

inline constexpr double kBackendSampleRate = tuner::kSampleRate;
inline constexpr std::uint32_t kBackendChannels = 2;
inline constexpr std::uint32_t kBackendFramesPerBuffer = 512;
inline constexpr std::uint32_t kBackendBytesPerFrame = kBackendChannels * sizeof(float);

// Identifier of a PortAudio device: its index + 1, so that 0 stays "no device".
AudioDeviceID deviceIdentifier(PaDeviceIndex index);

// The PortAudio device of an identifier, or paNoDevice when there is none. Needs a
// running session.
PaDeviceIndex deviceIndex(AudioDeviceID device);

// Whether the device has at least one channel in that direction.
bool hasChannels(PaDeviceIndex index, bool isInput);

// Frames the device's default low latency amounts to in that direction; known from
// PortAudio's device list, before any stream opens.
std::uint32_t safetyOffsetFrames(PaDeviceIndex index, bool isInput);

// 0 for paNoError; a readable failure status otherwise.
OSStatus statusFromPortAudio(PaError error);
