#include "MyFilter.h"

void MyFilter::filterInput(const float* /*input*/, float* output, std::uint32_t sampleCount,
                           std::uint32_t /*channel*/) {
    for (std::uint32_t i = 0; i < sampleCount; ++i) {
        output[i] = 0.0f;
    }
}
