#pragma once

#include "TunerConstants.h"

#include <algorithm>
#include <cstdint>
#include <string>

// The fixed layout of the tuner's picture, in pixels, and the rates it assumes.
namespace display_layout {

// Rows 0 to 199 of the bitmap hold the wave; row 200 parts it from the lower band.
inline constexpr std::int32_t kWaveBottom = 200;
// Samples per second, in single precision, when a frequency becomes a period in samples.
inline constexpr float kSampleRate = static_cast<float>(tuner::kSampleRate);
// Distance from a period mark to the readout beside it.
inline constexpr float kReadoutOffset = 4.0f;
// Bottom lines of the frequency readout and of the selected-string readout (y up).
inline constexpr std::int32_t kFrequencyReadoutY = 59;
inline constexpr std::int32_t kSelectedReadoutY = 38;
inline constexpr float kUnselectedButtonAlpha = 0.6f;

// selectedFrequency as an index into the six-entry string tables. The analysis and the
// clicks only ever store 0 to 5; a stray value must still not index outside the tables.
inline int stringIndex(std::int32_t selected) {
    return std::clamp<std::int32_t>(selected, 0, tuner::kStringCount - 1);
}

// The characters the pen sets for a readout of value, one glyph each: up to four digits
// before the point with leading zeros left out, the point, and the tenths, truncated.
std::string readoutText(float value);

} // namespace display_layout
