#include "platform/capture/MJPEGDecoder.h"

#include <algorithm>
#include <climits>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include "platform/media/CodecLog.h"

namespace platform {

namespace {

// The full-range JPEG layouts as their plain twins; the range is given to the scaler instead.
AVPixelFormat plainFormat(int format, bool* fullRange) {
    *fullRange = true;
    switch (format) {
    case AV_PIX_FMT_YUVJ420P:
        return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P:
        return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P:
        return AV_PIX_FMT_YUV444P;
    default:
        *fullRange = false;
        return static_cast<AVPixelFormat>(format);
    }
}

}  // namespace

MJPEGDecoder::MJPEGDecoder() {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
    if (!codec) return;
    CodecLog::install();
    context_ = avcodec_alloc_context3(codec);
    if (context_ && avcodec_open2(context_, codec, nullptr) < 0) avcodec_free_context(&context_);
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
}

MJPEGDecoder::~MJPEGDecoder() {
    sws_freeContext(scaler_);
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    avcodec_free_context(&context_);
}

std::shared_ptr<PixelBuffer> MJPEGDecoder::decode(const uint8_t* data, size_t bytes, int32_t width, int32_t height) {
    if (!context_ || !frame_ || !packet_ || bytes == 0 || bytes > INT_MAX) return nullptr;
    // The decoder may read a little past the image: give it a padded copy.
    if (av_new_packet(packet_, static_cast<int>(bytes)) < 0) return nullptr;
    std::copy(data, data + bytes, packet_->data);
    const int sent = avcodec_send_packet(context_, packet_);
    av_packet_unref(packet_);
    if (sent < 0 || avcodec_receive_frame(context_, frame_) < 0) return nullptr;
    std::shared_ptr<PixelBuffer> output;
    if (frame_->width == width && frame_->height == height) {
        output = PixelBuffer::create(width, height, PixelFormat::NV12VideoRange);
    }
    if (output) {
        bool fullRange = false;
        const AVPixelFormat source = plainFormat(frame_->format, &fullRange);
        scaler_ = sws_getCachedContext(scaler_, width, height, source, width, height, AV_PIX_FMT_NV12, SWS_BILINEAR,
                                       nullptr, nullptr, nullptr);
        if (!scaler_) {
            output = nullptr;
        } else {
            const int* coefficients = sws_getCoefficients(SWS_CS_ITU601);
            sws_setColorspaceDetails(scaler_, coefficients, fullRange ? 1 : 0, coefficients, 0, 0, 1 << 16, 1 << 16);
            uint8_t* planes[4] = {output->planeData(0), output->planeData(1), nullptr, nullptr};
            const int strides[4] = {static_cast<int>(output->bytesPerRow(0)), static_cast<int>(output->bytesPerRow(1)),
                                    0, 0};
            if (sws_scale(scaler_, frame_->data, frame_->linesize, 0, height, planes, strides) != height) {
                output = nullptr;
            }
        }
    }
    av_frame_unref(frame_);
    return output;
}

}  // namespace platform
