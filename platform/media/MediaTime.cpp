#include "platform/media/MediaTime.h"

#include <cmath>
#include <limits>
#include <numeric>

namespace platform {

namespace {

using i128 = __int128;

bool fitsInt64(i128 v) {
    return v >= std::numeric_limits<int64_t>::min() && v <= std::numeric_limits<int64_t>::max();
}

// value * to / from, rounded half away from zero.
i128 rescale(int64_t value, int32_t from, int32_t to) {
    i128 num = static_cast<i128>(value) * to;
    i128 half = from / 2;
    return num >= 0 ? (num + half) / from : -((-num + half) / from);
}

MediaTime overflowed(i128 v) {
    return v > 0 ? MediaTime::positiveInfinity() : MediaTime::negativeInfinity();
}

int rank(const MediaTime& t) {
    if (!t.isValid()) return 0;
    if (t.flags & MediaTime::kNegativeInfinity) return 1;
    if (t.flags & MediaTime::kPositiveInfinity) return 3;
    if (t.flags & MediaTime::kIndefinite) return 4;
    return 2;
}

// A common time scale: exact (least common multiple) when it fits, else the larger of the two.
int32_t commonScale(int32_t a, int32_t b) {
    if (a == b) return a;
    int64_t l = std::lcm(static_cast<int64_t>(a), static_cast<int64_t>(b));
    return l <= std::numeric_limits<int32_t>::max() ? static_cast<int32_t>(l) : std::max(a, b);
}

MediaTime combine(const MediaTime& a, const MediaTime& b, bool subtract) {
    if (!a.isValid() || !b.isValid()) return MediaTime::invalid();
    if (!a.isNumeric() || !b.isNumeric()) {
        if ((a.flags | b.flags) & MediaTime::kIndefinite) return MediaTime::indefinite();
        bool aPos = a.flags & MediaTime::kPositiveInfinity, aNeg = a.flags & MediaTime::kNegativeInfinity;
        bool bPos = b.flags & MediaTime::kPositiveInfinity, bNeg = b.flags & MediaTime::kNegativeInfinity;
        if (subtract) std::swap(bPos, bNeg);
        if ((aPos && bNeg) || (aNeg && bPos)) return MediaTime::invalid();
        return (aPos || bPos) ? MediaTime::positiveInfinity() : MediaTime::negativeInfinity();
    }
    int32_t scale = commonScale(a.timeScale, b.timeScale);
    i128 av = rescale(a.value, a.timeScale, scale);
    i128 bv = rescale(b.value, b.timeScale, scale);
    i128 sum = subtract ? av - bv : av + bv;
    if (!fitsInt64(sum)) return overflowed(sum);
    return MediaTime::make(static_cast<int64_t>(sum), scale);
}

}  // namespace

MediaTime MediaTime::make(int64_t value, int32_t timeScale) {
    if (timeScale <= 0) return invalid();
    MediaTime t;
    t.value = value;
    t.timeScale = timeScale;
    t.flags = kValid;
    return t;
}

MediaTime MediaTime::makeWithSeconds(double seconds, int32_t preferredTimeScale) {
    if (preferredTimeScale <= 0 || std::isnan(seconds)) return invalid();
    if (std::isinf(seconds)) return seconds > 0 ? positiveInfinity() : negativeInfinity();
    double v = std::round(seconds * preferredTimeScale);
    if (v >= 9.2e18 || v <= -9.2e18) return v > 0 ? positiveInfinity() : negativeInfinity();
    return make(static_cast<int64_t>(v), preferredTimeScale);
}

MediaTime MediaTime::positiveInfinity() {
    MediaTime t = make(0, 1);
    t.flags |= kPositiveInfinity;
    return t;
}

MediaTime MediaTime::negativeInfinity() {
    MediaTime t = make(0, 1);
    t.flags |= kNegativeInfinity;
    return t;
}

MediaTime MediaTime::indefinite() {
    MediaTime t = make(0, 1);
    t.flags |= kIndefinite;
    return t;
}

bool MediaTime::isNumeric() const {
    return isValid() && (flags & (kPositiveInfinity | kNegativeInfinity | kIndefinite)) == 0;
}

double MediaTime::seconds() const {
    if (!isValid() || (flags & kIndefinite)) return std::numeric_limits<double>::quiet_NaN();
    if (flags & kPositiveInfinity) return std::numeric_limits<double>::infinity();
    if (flags & kNegativeInfinity) return -std::numeric_limits<double>::infinity();
    return static_cast<double>(value) / timeScale;
}

MediaTime MediaTime::convertScale(int32_t newTimeScale) const {
    if (!isValid() || newTimeScale <= 0) return invalid();
    if (!isNumeric()) return *this;
    if (newTimeScale == timeScale) return *this;
    i128 v = rescale(value, timeScale, newTimeScale);
    if (!fitsInt64(v)) return overflowed(v);
    MediaTime t = make(static_cast<int64_t>(v), newTimeScale);
    if (static_cast<i128>(v) * timeScale != static_cast<i128>(value) * newTimeScale) t.flags |= kHasBeenRounded;
    return t;
}

MediaTime operator+(const MediaTime& a, const MediaTime& b) { return combine(a, b, false); }
MediaTime operator-(const MediaTime& a, const MediaTime& b) { return combine(a, b, true); }

std::strong_ordering operator<=>(const MediaTime& a, const MediaTime& b) {
    int ra = rank(a), rb = rank(b);
    if (ra != rb || ra != 2) return ra <=> rb;
    i128 lhs = static_cast<i128>(a.value) * b.timeScale;
    i128 rhs = static_cast<i128>(b.value) * a.timeScale;
    return lhs < rhs ? std::strong_ordering::less
                     : (lhs > rhs ? std::strong_ordering::greater : std::strong_ordering::equal);
}

}  // namespace platform
