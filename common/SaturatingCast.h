#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

// The one float-to-int conversion of the tuner: truncates toward zero and saturates at
// the ends of the signed 32-bit range; +inf gives INT32_MAX, -inf and NaN give INT32_MIN.
// A float widens to double exactly, so one double overload serves both widths.
constexpr std::int32_t toInt32(double value) noexcept {
    if (!(value == value)) {
        return std::numeric_limits<std::int32_t>::min();
    }
    if (value >= 2147483647.0) {
        return std::numeric_limits<std::int32_t>::max();
    }
    if (value <= -2147483648.0) {
        return std::numeric_limits<std::int32_t>::min();
    }
    return static_cast<std::int32_t>(value);
}
