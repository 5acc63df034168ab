#pragma once

#include <cstdint>

// A filter for one channel of float samples with two parameters. As the tuner stands it
// writes silence: the parameters are kept for the filter it may grow into, and nothing
// reads them yet.
class MyFilter {
public:
    MyFilter() = default;

    // Writes positive zero to output[0 .. sampleCount). Reads neither the input nor the
    // parameters, so output may be the input block; channel is not looked at either.
    void filterInput(const float* input, float* output, std::uint32_t sampleCount,
                     std::uint32_t channel);

    float slider1 = 1.0f;
    float slider2 = 1.0f;
};
