#include "platform/capture/PixelRotator.h"

#include <gtest/gtest.h>

using namespace platform;

namespace {

// Every luma sample and every chroma pair tells where it came from (as far as 8 bits allow).
uint8_t lumaAt(int32_t x, int32_t y) { return static_cast<uint8_t>(x * 7 + y * 131); }
uint8_t uAt(int32_t x, int32_t y) { return static_cast<uint8_t>(x * 11 + y * 53 + 1); }
uint8_t vAt(int32_t x, int32_t y) { return static_cast<uint8_t>(x * 29 + y * 17 + 2); }

std::shared_ptr<PixelBuffer> numberedFrame(int32_t width, int32_t height) {
    auto frame = PixelBuffer::create(width, height, PixelFormat::NV12VideoRange);
    for (int32_t y = 0; y < frame->planeHeight(0); ++y) {
        for (int32_t x = 0; x < frame->planeWidth(0); ++x) frame->planeData(0)[frame->bytesPerRow(0) * y + x] = lumaAt(x, y);
    }
    for (int32_t y = 0; y < frame->planeHeight(1); ++y) {
        for (int32_t x = 0; x < frame->planeWidth(1); ++x) {
            uint8_t* pair = frame->planeData(1) + frame->bytesPerRow(1) * y + 2 * x;
            pair[0] = uAt(x, y);
            pair[1] = vAt(x, y);
        }
    }
    return frame;
}

// Where output (x, y) of a plane w x h (source size) comes from, for clockwise quarter turns and
// a mirror applied after them.
std::pair<int32_t, int32_t> sourceOf(int32_t x, int32_t y, int32_t w, int32_t h, int turns, bool mirrored) {
    const int32_t outWidth = (turns % 2) ? h : w;
    if (mirrored) x = outWidth - 1 - x;
    switch (turns) {
    case 1:
        return {y, h - 1 - x};
    case 2:
        return {w - 1 - x, h - 1 - y};
    case 3:
        return {w - 1 - y, x};
    default:
        return {x, y};
    }
}

// Counts the samples that differ from the reference, so that a failure prints one line.
int mismatches(const PixelBuffer& out, int32_t width, int32_t height, int turns, bool mirrored) {
    int wrong = 0;
    for (int32_t y = 0; y < out.planeHeight(0); ++y) {
        for (int32_t x = 0; x < out.planeWidth(0); ++x) {
            const auto [sx, sy] = sourceOf(x, y, width, height, turns, mirrored);
            if (out.planeData(0)[out.bytesPerRow(0) * y + x] != lumaAt(sx, sy)) ++wrong;
        }
    }
    for (int32_t y = 0; y < out.planeHeight(1); ++y) {
        for (int32_t x = 0; x < out.planeWidth(1); ++x) {
            const auto [sx, sy] = sourceOf(x, y, width / 2, height / 2, turns, mirrored);
            const uint8_t* pair = out.planeData(1) + out.bytesPerRow(1) * y + 2 * x;
            if (pair[0] != uAt(sx, sy) || pair[1] != vAt(sx, sy)) ++wrong;
        }
    }
    return wrong;
}

}  // namespace

// Sizes whose chroma planes are odd, and sizes that leave partial blocks for SIMD turns (neither
// side a multiple of 8 or 16), beside round ones.
TEST(PixelRotator, EveryTurnAndMirrorMatchesTheReferenceOnOddAndEvenSizes) {
    const std::pair<int32_t, int32_t> sizes[] = {{6, 4}, {2, 2}, {34, 18}, {130, 74}, {64, 48}, {322, 182}};
    for (const auto& [width, height] : sizes) {
        auto source = numberedFrame(width, height);
        for (int turns = 0; turns < 4; ++turns) {
            for (bool mirrored : {false, true}) {
                SCOPED_TRACE(testing::Message() << width << "x" << height << ", " << turns << " turns, mirrored "
                                                << mirrored);
                auto out = PixelRotator::rotate(*source, turns, mirrored);
                ASSERT_NE(out, nullptr);
                EXPECT_EQ(out->width(), turns % 2 ? height : width);
                EXPECT_EQ(out->height(), turns % 2 ? width : height);
                EXPECT_EQ(mismatches(*out, width, height, turns, mirrored), 0);
            }
        }
    }
}

TEST(PixelRotator, RefusesFormatsOtherThanNV12) {
    EXPECT_EQ(PixelRotator::rotate(*PixelBuffer::create(4, 4, PixelFormat::BGRA), 1, false), nullptr);
}
