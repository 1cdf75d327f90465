#include "platform/capture/MJPEGDecoder.h"

#include <algorithm>
#include <climits>
#include <utility>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
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

SwsContext* MJPEGDecoder::makeScaler(const ScalerKey& key) {
    SwsContext* scaler = sws_alloc_context();
    if (!scaler) return nullptr;
    const std::pair<const char*, int64_t> options[] = {
        {"srcw", key.sourceWidth}, {"srch", key.sourceHeight}, {"src_format", key.sourceFormat},
        {"dstw", key.width},       {"dsth", key.height},       {"dst_format", AV_PIX_FMT_NV12},
        {"sws_flags", SWS_BILINEAR}, {"src_range", key.fullRange ? 1 : 0}, {"dst_range", 0},
    };
    bool set = true;
    for (const auto& [name, value] : options) set = set && av_opt_set_int(scaler, name, value, 0) >= 0;
    if (!set || sws_init_context(scaler, nullptr, nullptr) < 0) {
        sws_freeContext(scaler);
        return nullptr;
    }
    return scaler;
}

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
    // Some cameras send images of another size than the format they run: those are scaled.
    if (frame_->width > 0 && frame_->height > 0) {
        output = PixelBuffer::create(width, height, PixelFormat::NV12VideoRange);
    }
    if (output) {
        bool fullRange = false;
        const AVPixelFormat source = plainFormat(frame_->format, &fullRange);
        // Newer decoders give the plain layouts and say the range beside them.
        fullRange = fullRange || frame_->color_range == AVCOL_RANGE_JPEG;
        // The range goes in before the scaler is set up: one that needs no scaling would copy
        // full-range samples unchanged otherwise.
        const ScalerKey key{frame_->width, frame_->height, source, width, height, fullRange};
        if (!scaler_ || !(key == scalerKey_)) {
            sws_freeContext(scaler_);
            scaler_ = makeScaler(key);
            scalerKey_ = key;
        }
        if (!scaler_) {
            output = nullptr;
        } else {
            uint8_t* planes[4] = {output->planeData(0), output->planeData(1), nullptr, nullptr};
            const int strides[4] = {static_cast<int>(output->bytesPerRow(0)), static_cast<int>(output->bytesPerRow(1)),
                                    0, 0};
            if (sws_scale(scaler_, frame_->data, frame_->linesize, 0, frame_->height, planes, strides) != height) {
                output = nullptr;
            }
        }
    }
    av_frame_unref(frame_);
    return output;
}

}  // namespace platform
