#include "MyFilter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

TEST(MyFilter, WritesPositiveZeroToExactlyCountSamples) {
    MyFilter filter;
    EXPECT_EQ(filter.slider1, 1.0f);
    EXPECT_EQ(filter.slider2, 1.0f);

    const std::vector<float> input(8, std::numeric_limits<float>::quiet_NaN());
    std::vector<float> output(8, -7.0f);
    filter.filterInput(input.data(), output.data(), 0, 0);
    EXPECT_EQ(output, std::vector<float>(8, -7.0f));

    for (const std::uint32_t channel : {0u, 1u, 99u}) {
        output.assign(8, -7.0f);
        filter.filterInput(input.data(), output.data(), 5, channel);
        for (int i = 0; i < 5; ++i) {
            std::uint32_t bits = 1;
            std::memcpy(&bits, &output[i], sizeof bits);
            EXPECT_EQ(bits, 0u) << "sample " << i << " channel " << channel;
        }
        EXPECT_EQ(output[5], -7.0f);
        EXPECT_EQ(output[7], -7.0f);
    }

    // In place: the input is never read, so the block ends up silent.
    std::vector<float> block{0.5f, -0.25f, 1.0f};
    filter.filterInput(block.data(), block.data(), 3, 1);
    EXPECT_EQ(block, std::vector<float>(3, 0.0f));
    EXPECT_FALSE(std::signbit(block[1]));

    EXPECT_EQ(filter.slider1, 1.0f);
    EXPECT_EQ(filter.slider2, 1.0f);
}
