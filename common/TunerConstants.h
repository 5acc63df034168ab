#pragma once

#include <cstdint>

// The tuner's fixed numbers, one home for all who need them: the streams, the analysis, the
// picture and the tools.
namespace tuner {

// Frames per second of every stream and of the analysis.
inline constexpr double kSampleRate = 44100.0;

// The six strings of a guitar in standard tuning, lowest first: E2, A2, D3, G3, B3, E4.
inline constexpr int kStringCount = 6;
inline constexpr float kStringFrequencies[kStringCount] = {82.41f, 110.0f,  146.83f,
                                                           196.0f, 246.94f, 329.63f};

// Samples of the analysis window spread across the picture's width.
inline constexpr std::int32_t kSamplesPerView = 700;

} // namespace tuner
