#pragma once
// Bit rates travel as 64-bit settings but 32-bit encoder and stream fields.
#include <cstdint>
#include <limits>

// Saturated into [1, INT32_MAX], never wrapped.
template <class Int>
int32_t KNNarrowBitrate(Int bitsPerSecond) {
    constexpr auto top = static_cast<uint64_t>(std::numeric_limits<int32_t>::max());
    if (bitsPerSecond <= 0) return 1;
    const auto wide = static_cast<uint64_t>(bitsPerSecond);
    return static_cast<int32_t>(wide > top ? top : wide);
}
