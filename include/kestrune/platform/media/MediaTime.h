#pragma once
// A rational media time (value / timeScale seconds) with the platform's invalid and infinite forms.
#include <compare>
#include <cstdint>

namespace platform {

struct MediaTime {
    enum Flags : uint32_t {
        kValid = 1u << 0,
        kHasBeenRounded = 1u << 1,
        kPositiveInfinity = 1u << 2,
        kNegativeInfinity = 1u << 3,
        kIndefinite = 1u << 4,
    };

    int64_t value = 0;
    int32_t timeScale = 0;
    uint32_t flags = 0;  // a default MediaTime is invalid
    int64_t epoch = 0;

    static MediaTime make(int64_t value, int32_t timeScale);
    // Rounded to the nearest tick of the preferred time scale.
    static MediaTime makeWithSeconds(double seconds, int32_t preferredTimeScale);
    static MediaTime invalid() { return {}; }
    static MediaTime zero() { return make(0, 1); }
    static MediaTime positiveInfinity();
    static MediaTime negativeInfinity();
    static MediaTime indefinite();

    bool isValid() const { return (flags & kValid) != 0; }
    bool isNumeric() const;
    double seconds() const;
    // Rounds half away from zero; an out-of-range result becomes the matching infinity.
    MediaTime convertScale(int32_t newTimeScale) const;

    friend MediaTime operator+(const MediaTime& a, const MediaTime& b);
    friend MediaTime operator-(const MediaTime& a, const MediaTime& b);
    // Invalid sorts below everything, as the platform compares; equal means same instant.
    friend std::strong_ordering operator<=>(const MediaTime& a, const MediaTime& b);
    friend bool operator==(const MediaTime& a, const MediaTime& b) { return (a <=> b) == 0; }
};

}  // namespace platform
