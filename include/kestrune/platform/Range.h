#pragma once
// A location and a length, both unsigned 64-bit, as the platform's range value carries them.
#include <cstdint>

namespace platform {

struct Range {
    uint64_t location = 0;
    uint64_t length = 0;
    bool operator==(const Range&) const = default;
};

}  // namespace platform
