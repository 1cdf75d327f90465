#include "kestrune/KNRecordingUtils.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/media/PixelBuffer.h"

// Video-range BT.601 patches in a frame whose rows are wider than the picture.
TEST(KNRecordingUtils, FramesBecomeFullSizeImagesInTheirColours) {
    struct Row {
        std::string name;
        uint8_t y, u, v;
        uint8_t r, g, b;
    };
    const std::vector<Row> rows = {
        {"black", 16, 128, 128, 0, 0, 0},     {"white", 235, 128, 128, 255, 255, 255},
        {"red", 81, 90, 240, 255, 0, 0},      {"green", 145, 54, 34, 0, 255, 0},
        {"blue", 41, 240, 110, 0, 0, 255},    {"below black", 0, 128, 128, 0, 0, 0},
    };
    for (const auto& row : rows) {
        auto frame = platform::PixelBuffer::create(34, 6, platform::PixelFormat::NV12VideoRange);
        for (int line = 0; line < 6; ++line) std::memset(frame->planeData(0) + line * frame->bytesPerRow(0), row.y, 34);
        for (int line = 0; line < 3; ++line) {
            uint8_t* chroma = frame->planeData(1) + line * frame->bytesPerRow(1);
            for (int x = 0; x < 17; ++x) {
                chroma[2 * x] = row.u;
                chroma[2 * x + 1] = row.v;
            }
        }
        const auto image = KNRecordingUtils::recordingUtils()->screenshotOfVideoStream(frame);
        ASSERT_TRUE(image) << row.name;
        EXPECT_EQ(image->width, 34) << row.name;
        EXPECT_EQ(image->height, 6) << row.name;
        const uint8_t* corner = image->pixel(33, 5);
        EXPECT_NEAR(corner[0], row.r, 2) << row.name;
        EXPECT_NEAR(corner[1], row.g, 2) << row.name;
        EXPECT_NEAR(corner[2], row.b, 2) << row.name;
        EXPECT_EQ(corner[3], 255) << row.name;
    }
}
