#pragma once
// The camera recorder's streaming state. Its numbering differs from the push streamer's state:
// here 1 is streaming and 2 starting.
#include <cstdint>

enum KNRecorderState : int64_t {
    KNRecorderStateIdle = 0,
    KNRecorderStateStreaming = 1,
    KNRecorderStateStarting = 2,
    KNRecorderStateStopping = 3,
};
