#include "kestrune/KNRecordingUtils.h"

extern "C" {
#include <libswscale/swscale.h>
}

#include "platform/media/PixelBuffer.h"
#include "platform/media/SampleBuffer.h"

namespace {

AVPixelFormat sourceFormat(platform::PixelFormat format) {
    switch (format) {
        case platform::PixelFormat::NV12VideoRange: return AV_PIX_FMT_NV12;
        case platform::PixelFormat::BGRA: return AV_PIX_FMT_BGRA;
    }
    return AV_PIX_FMT_NONE;
}

}  // namespace

std::shared_ptr<KNImage> KNRecordingUtils::imageFromSampleBuffer(
    const std::shared_ptr<platform::SampleBuffer>& sampleBuffer, int64_t /*orientation*/) const {
    if (!sampleBuffer) return nullptr;
    return screenshotOfVideoStream(sampleBuffer->imageBuffer());
}

std::shared_ptr<KNImage> KNRecordingUtils::screenshotOfVideoStream(
    const std::shared_ptr<platform::PixelBuffer>& pixelBuffer) const {
    if (!pixelBuffer) return nullptr;
    const AVPixelFormat format = sourceFormat(pixelBuffer->pixelFormat());
    const int width = pixelBuffer->width();
    const int height = pixelBuffer->height();
    if (format == AV_PIX_FMT_NONE || width <= 0 || height <= 0) return nullptr;
    SwsContext* context = sws_getContext(width, height, format, width, height, AV_PIX_FMT_RGBA,
                                         SWS_POINT | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr, nullptr);
    if (!context) return nullptr;
    // The camera's frames are BT.601 in video range; the picture is full range.
    const int* coefficients = sws_getCoefficients(SWS_CS_ITU601);
    sws_setColorspaceDetails(context, coefficients, 0, coefficients, 1, 0, 1 << 16, 1 << 16);

    auto image = std::make_shared<KNImage>();
    image->width = width;
    image->height = height;
    image->bytesPerRow = static_cast<size_t>(width) * 4;
    image->rgba.resize(image->bytesPerRow * static_cast<size_t>(height));
    const uint8_t* source[4] = {};
    int sourceStrides[4] = {};
    for (size_t plane = 0; plane < pixelBuffer->planeCount(); ++plane) {
        source[plane] = pixelBuffer->planeData(plane);
        sourceStrides[plane] = static_cast<int>(pixelBuffer->bytesPerRow(plane));
    }
    uint8_t* destination[4] = {image->rgba.data(), nullptr, nullptr, nullptr};
    const int destinationStrides[4] = {static_cast<int>(image->bytesPerRow), 0, 0, 0};
    const int rows = sws_scale(context, source, sourceStrides, 0, height, destination, destinationStrides);
    sws_freeContext(context);
    if (rows != height) return nullptr;
    return image;
}
