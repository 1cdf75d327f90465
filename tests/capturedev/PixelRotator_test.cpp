#include "platform/capture/PixelRotator.h"

#include <gtest/gtest.h>

using namespace platform;

namespace {

// Every luma sample and every chroma pair of a 6x4 frame tells where it came from.
std::shared_ptr<PixelBuffer> numberedFrame() {
    auto frame = PixelBuffer::create(6, 4, PixelFormat::NV12VideoRange);
    for (int32_t y = 0; y < 4; ++y) {
        for (int32_t x = 0; x < 6; ++x) frame->planeData(0)[frame->bytesPerRow(0) * y + x] = static_cast<uint8_t>(10 * y + x);
    }
    for (int32_t y = 0; y < 2; ++y) {
        for (int32_t x = 0; x < 3; ++x) {
            uint8_t* pair = frame->planeData(1) + frame->bytesPerRow(1) * y + 2 * x;
            pair[0] = static_cast<uint8_t>(100 + 10 * y + x);
            pair[1] = static_cast<uint8_t>(200 + 10 * y + x);
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

}  // namespace

TEST(PixelRotator, EveryTurnAndMirrorMovesLumaAndChromaAlike) {
    auto source = numberedFrame();
    for (int turns = 0; turns < 4; ++turns) {
        for (bool mirrored : {false, true}) {
            auto out = PixelRotator::rotate(*source, turns, mirrored);
            ASSERT_NE(out, nullptr);
            SCOPED_TRACE(testing::Message() << turns << " turns, mirrored " << mirrored);
            EXPECT_EQ(out->width(), turns % 2 ? 4 : 6);
            EXPECT_EQ(out->height(), turns % 2 ? 6 : 4);
            for (int32_t y = 0; y < out->height(); ++y) {
                for (int32_t x = 0; x < out->width(); ++x) {
                    const auto [sx, sy] = sourceOf(x, y, 6, 4, turns, mirrored);
                    EXPECT_EQ(out->planeData(0)[out->bytesPerRow(0) * y + x], 10 * sy + sx);
                }
            }
            for (int32_t y = 0; y < out->planeHeight(1); ++y) {
                for (int32_t x = 0; x < out->planeWidth(1); ++x) {
                    const auto [sx, sy] = sourceOf(x, y, 3, 2, turns, mirrored);
                    const uint8_t* pair = out->planeData(1) + out->bytesPerRow(1) * y + 2 * x;
                    EXPECT_EQ(pair[0], 100 + 10 * sy + sx);
                    EXPECT_EQ(pair[1], 200 + 10 * sy + sx);
                }
            }
        }
    }
    EXPECT_EQ(PixelRotator::rotate(*PixelBuffer::create(4, 4, PixelFormat::BGRA), 1, false), nullptr);
}
