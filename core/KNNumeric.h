#pragma once
// Floating point to integer without undefined behaviour: truncation toward zero, values beyond the
// type's range saturate to its bounds and NaN gives 0.
#include <cmath>
#include <limits>
#include <type_traits>

template <class Int>
Int KNSaturatingCast(double value) {
    static_assert(std::is_integral_v<Int>);
    using Limits = std::numeric_limits<Int>;
    if (std::isnan(value)) return 0;
    // 2^digits is one past the largest value and exact as a double.
    const double upper = std::ldexp(1.0, Limits::digits);
    if (value >= upper) return Limits::max();
    if constexpr (std::is_signed_v<Int>) {
        if (value <= -upper) return Limits::min();
    } else {
        if (value <= 0) return 0;
    }
    return static_cast<Int>(value);
}
