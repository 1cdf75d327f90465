#include "platform/media/CompressionSession.h"

#include <pthread.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>

extern "C" {
#include <x264.h>
}

#include "platform/media/CodecLog.h"
#include "platform/media/FrameScaler.h"

namespace platform {

namespace {

constexpr int32_t kMaxDimension = 8192;
constexpr int32_t kTimeBase = 90000;               // x264 timestamps, in ticks per second
constexpr int kNominalFps = 30;  // what the encoder is told; the real rate is measured
constexpr int64_t kNominalFrameTicks = kTimeBase / kNominalFps;
// Bounds of a frame's duration as it enters the frame-rate estimate (240 to 1 frames per second).
constexpr int64_t kMinFrameTicks = kTimeBase / 240;
constexpr int64_t kMaxFrameTicks = kTimeBase;
// Relative drift of the measured frame rate that makes the rate control follow it.
constexpr double kFrameRateDrift = 0.1;
constexpr int kNalTypeSps = 7;
constexpr int kNalTypePps = 8;
// A length-prefixed access unit delimiter announcing an I picture.
constexpr uint8_t kAccessUnitDelimiter[] = {0, 0, 0, 2, 0x09, 0x10};

struct FrameInfo {
    void* context;
    MediaTime pts;
    MediaTime duration;
};

struct Job {
    enum class Kind { Frame, Flush } kind = Kind::Frame;
    std::shared_ptr<PixelBuffer> image;
    MediaTime pts;
    MediaTime duration;
    void* context = nullptr;
    bool dropped = false;
    uint64_t flushId = 0;
};

}  // namespace

struct CompressionSession::Impl {
    enum class State { Configuring, Prepared, Failed, Invalid };

    Impl(int32_t w, int32_t h, CompressionOutputCallback cb, void* ctx)
        : width(w), height(h), callback(cb), outputContext(ctx) {}

    const int32_t width;
    const int32_t height;
    const CompressionOutputCallback callback;
    void* const outputContext;

    std::mutex mutex;
    std::condition_variable jobsChanged;
    std::condition_variable flushed;
    std::condition_variable roomMade;
    State state = State::Configuring;
    std::deque<Job> jobs;
    size_t waitingFrames = 0;
    uint64_t flushRequested = 0;
    uint64_t flushDone = 0;
    std::thread worker;
    std::thread::id workerId;

    // Settings, under `mutex`.
    bool realTime = false;
    bool allowReordering = true;
    std::string profile = "main";
    bool cabac = true;
    int32_t averageBitRate = 3000000;
    std::vector<double> dataRateLimits;
    bool trim = false;
    int32_t maxKeyFrameInterval = 0;
    bool rateChanged = false;

    // Worker-owned after prepare.
    x264_t* encoder = nullptr;
    x264_param_t baseParam{};  // as built at prepare; reopening starts from it
    bool baseParamSet = false;
    x264_param_t param{};      // the open encoder's, for reconfiguring it
    std::shared_ptr<const FormatDescription> format;
    FrameScaler scaler{width, height};
    std::unordered_map<uintptr_t, FrameInfo> inFlight;
    uintptr_t nextFrameId = 1;
    int64_t lastPts = INT64_MIN;
    bool streamEnded = false;  // a flush drained x264's delayed frames; it takes no more input
    double meanFrameTicks = kNominalFrameTicks;
    double rateScale = 1.0;  // real frame duration / nominal; the encoder's budget per frame follows it

    static int vbvBufferKbit(int kbps, const std::vector<double>& limits);
    void applyRate(x264_param_t& p) const;
    MediaStatus prepareLocked();
    void run();
    void deliver(void* frameContext, MediaStatus status, uint32_t flags, std::shared_ptr<SampleBuffer> buffer);
    void encode(Job& job);
    void emit(x264_nal_t* nals, int count, const x264_picture_t& out);
    void flushDelayed();
    bool fillPicture(const PixelBuffer& image, x264_picture_t& pic);
    int64_t timestampTicks(const MediaTime& pts, const MediaTime& duration);
    void followFrameRate(int64_t frameTicks);
    void closeEncoder();
    bool openEncoder(const x264_param_t& p);
};

// The VBV holds what the data-rate limit allows above the average: with the peak rate equal to
// the average, any window of P seconds carries at most average * P + buffer bits.
int CompressionSession::Impl::vbvBufferKbit(int kbps, const std::vector<double>& limits) {
    double buffer = kbps;  // one second's worth until a limit is given
    for (size_t i = 0; i + 1 < limits.size(); i += 2) {
        double allowedKbit = limits[i] * 8.0 / 1000.0;
        buffer = std::min(buffer, allowedKbit - kbps * limits[i + 1]);
    }
    return static_cast<int>(std::max(buffer, kbps / 4.0));
}

void CompressionSession::Impl::applyRate(x264_param_t& p) const {
    int kbps = std::max(1, averageBitRate / 1000);
    // x264 budgets bits per frame from its nominal frame rate; frames that really come slower or
    // faster get a budget scaled so that the rate per second stays the one asked for.
    int scaledKbps = std::max(1, static_cast<int>(kbps * rateScale));
    p.rc.i_rc_method = X264_RC_ABR;
    p.rc.i_bitrate = scaledKbps;
    // x264 only follows a new average at run time when VBV is on from the open and its peak rate
    // is the average itself.
    p.rc.i_vbv_max_bitrate = scaledKbps;
    p.rc.i_vbv_buffer_size = vbvBufferKbit(kbps, dataRateLimits);
}

void CompressionSession::Impl::followFrameRate(int64_t frameTicks) {
    frameTicks = std::clamp(frameTicks, kMinFrameTicks, kMaxFrameTicks);
    meanFrameTicks = 0.9 * meanFrameTicks + 0.1 * static_cast<double>(frameTicks);
    double scale = meanFrameTicks / kNominalFrameTicks;
    if (std::abs(scale - rateScale) <= kFrameRateDrift * rateScale) return;
    {
        std::lock_guard<std::mutex> lock(mutex);
        rateScale = scale;
        applyRate(param);
    }
    x264_encoder_reconfig(encoder, &param);
}

MediaStatus CompressionSession::Impl::prepareLocked() {
    switch (state) {
        case State::Prepared: return kMediaNoErr;
        case State::Failed: return kMediaErrEncoderFailed;
        case State::Invalid: return kMediaErrInvalidSession;
        case State::Configuring: break;
    }
    x264_param_t p;
    if (x264_param_default_preset(&p, "veryfast", realTime ? "zerolatency" : nullptr) < 0) {
        state = State::Failed;
        return kMediaErrEncoderFailed;
    }
    p.i_width = width;
    p.i_height = height;
    p.i_csp = X264_CSP_NV12;
    // Its lines follow the library's log settings, like the other codecs'.
    p.i_log_level = X264_LOG_INFO;
    p.pf_log = CodecLog::relayX264;
    // One slice per picture, so that each frame is one picture unit downstream.
    p.i_threads = 1;
    p.i_lookahead_threads = 1;
    p.b_sliced_threads = 0;
    p.i_slice_count = 0;
    p.i_slice_max_size = 0;
    p.i_slice_max_mbs = 0;
    if (!allowReordering) {
        p.i_bframe = 0;
        p.i_bframe_pyramid = 0;
    }
    p.b_cabac = cabac ? 1 : 0;
    p.i_keyint_max = maxKeyFrameInterval > 0 ? maxKeyFrameInterval : X264_KEYINT_MAX_INFINITE;
    // Key frames come at the interval only: regular groups for the servers that segment the stream.
    p.i_scenecut_threshold = 0;
    p.b_open_gop = 0;
    p.b_intra_refresh = 0;
    // Timestamps pass through, but rate control by timestamps would hold every frame back until
    // the next one arrives.
    p.b_vfr_input = 0;
    p.i_timebase_num = 1;
    p.i_timebase_den = kTimeBase;
    p.i_fps_num = kNominalFps;
    p.i_fps_den = 1;
    p.b_annexb = 0;  // 4-byte big-endian lengths instead of start codes
    p.b_repeat_headers = 0;
    p.b_aud = 0;
    applyRate(p);
    if (x264_param_apply_profile(&p, profile.c_str()) < 0 || !openEncoder(p)) {
        x264_param_cleanup(&p);
        state = State::Failed;
        return kMediaErrEncoderFailed;
    }
    baseParam = p;
    baseParamSet = true;
    state = State::Prepared;
    rateChanged = false;
    return kMediaNoErr;
}

bool CompressionSession::Impl::openEncoder(const x264_param_t& p) {
    x264_param_t copy = p;
    encoder = x264_encoder_open(&copy);
    if (!encoder) return false;
    x264_encoder_parameters(encoder, &param);
    x264_nal_t* nals = nullptr;
    int count = 0;
    std::vector<uint8_t> sps, pps;
    if (x264_encoder_headers(encoder, &nals, &count) >= 0) {
        for (int i = 0; i < count; ++i) {
            if (nals[i].i_payload <= 4) continue;
            std::vector<uint8_t> unit(nals[i].p_payload + 4, nals[i].p_payload + nals[i].i_payload);
            if (nals[i].i_type == kNalTypeSps) sps = std::move(unit);
            if (nals[i].i_type == kNalTypePps) pps = std::move(unit);
        }
    }
    format = FormatDescription::createH264(width, height, {std::move(sps), std::move(pps)});
    if (!format) {
        x264_encoder_close(encoder);
        encoder = nullptr;
        return false;
    }
    streamEnded = false;
    return true;
}

void CompressionSession::Impl::deliver(void* frameContext, MediaStatus status, uint32_t flags,
                                       std::shared_ptr<SampleBuffer> buffer) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (state == State::Invalid) return;
    }
    callback(outputContext, frameContext, status, flags, std::move(buffer));
}

void CompressionSession::Impl::run() {
    pthread_setname_np(pthread_self(), "kn.compression");
    for (;;) {
        std::unique_lock<std::mutex> lock(mutex);
        jobsChanged.wait(lock, [&] { return state == State::Invalid || !jobs.empty(); });
        if (state == State::Invalid) break;
        Job job = std::move(jobs.front());
        jobs.pop_front();
        if (job.kind == Job::Kind::Frame && !job.dropped) {
            --waitingFrames;
            roomMade.notify_all();
        }
        bool reconfigure = rateChanged;
        rateChanged = false;
        if (reconfigure) applyRate(param);
        lock.unlock();

        if (reconfigure && encoder) x264_encoder_reconfig(encoder, &param);
        if (job.kind == Job::Kind::Flush) {
            flushDelayed();
            lock.lock();
            flushDone = job.flushId;
            flushed.notify_all();
        } else if (job.dropped) {
            deliver(job.context, kMediaNoErr, kEncodeInfoAsynchronous | kEncodeInfoFrameDropped, nullptr);
        } else {
            encode(job);
        }
    }
    closeEncoder();
}

void CompressionSession::Impl::closeEncoder() {
    if (encoder) x264_encoder_close(encoder);
    encoder = nullptr;
    if (baseParamSet) x264_param_cleanup(&baseParam);
    baseParamSet = false;
    inFlight.clear();
}

int64_t CompressionSession::Impl::timestampTicks(const MediaTime& pts, const MediaTime& duration) {
    int64_t ticks;
    MediaTime converted = pts.convertScale(kTimeBase);
    if (converted.isNumeric()) {
        ticks = converted.value;
    } else {
        MediaTime step = duration.convertScale(kTimeBase);
        ticks = lastPts == INT64_MIN ? 0 : lastPts + (step.isNumeric() && step.value > 0 ? step.value : kNominalFrameTicks);
    }
    // x264 needs strictly increasing timestamps.
    if (lastPts != INT64_MIN && ticks <= lastPts) ticks = lastPts + 1;
    if (lastPts != INT64_MIN) {
        followFrameRate(static_cast<int64_t>(std::min<__int128>(static_cast<__int128>(ticks) - lastPts, kMaxFrameTicks)));
    }
    lastPts = ticks;
    return ticks;
}

bool CompressionSession::Impl::fillPicture(const PixelBuffer& image, x264_picture_t& pic) {
    FrameScaler::Planes planes;
    if (!scaler.scale(image, trim, planes)) return false;
    // Either layout becomes the encoder's own NV12 on input.
    pic.img.i_csp = planes.count == 2 ? X264_CSP_NV12 : X264_CSP_I420;
    pic.img.i_plane = planes.count;
    for (int plane = 0; plane < planes.count; ++plane) {
        // x264 only reads the input picture.
        pic.img.plane[plane] = const_cast<uint8_t*>(planes.data[plane]);
        pic.img.i_stride[plane] = planes.stride[plane];
    }
    return true;
}

void CompressionSession::Impl::encode(Job& job) {
    if (streamEnded) {
        // Frames after a flush start a new stream, with a key frame.
        x264_encoder_close(encoder);
        encoder = nullptr;
        inFlight.clear();
        x264_param_t p = baseParam;
        {
            std::lock_guard<std::mutex> lock(mutex);
            rateChanged = false;
            applyRate(p);
        }
        if (!openEncoder(p)) {
            deliver(job.context, kMediaErrEncoderFailed, kEncodeInfoAsynchronous, nullptr);
            return;
        }
    }
    if (!encoder) {
        deliver(job.context, kMediaErrEncoderFailed, kEncodeInfoAsynchronous, nullptr);
        return;
    }
    x264_picture_t pic;
    x264_picture_init(&pic);
    if (!fillPicture(*job.image, pic)) {
        deliver(job.context, kMediaErrEncoderFailed, kEncodeInfoAsynchronous, nullptr);
        return;
    }
    uintptr_t id = nextFrameId++;
    inFlight[id] = FrameInfo{job.context, job.pts, job.duration};
    pic.i_pts = timestampTicks(job.pts, job.duration);
    pic.opaque = reinterpret_cast<void*>(id);

    x264_nal_t* nals = nullptr;
    int count = 0;
    x264_picture_t out;
    int size = x264_encoder_encode(encoder, &nals, &count, &pic, &out);
    job.image.reset();
    if (size < 0) {
        inFlight.erase(id);
        deliver(job.context, kMediaErrEncoderFailed, kEncodeInfoAsynchronous, nullptr);
    } else if (size > 0) {
        emit(nals, count, out);
    }
}

void CompressionSession::Impl::flushDelayed() {
    if (!encoder || streamEnded) return;
    while (x264_encoder_delayed_frames(encoder) > 0) {
        streamEnded = true;
        x264_nal_t* nals = nullptr;
        int count = 0;
        x264_picture_t out;
        int size = x264_encoder_encode(encoder, &nals, &count, nullptr, &out);
        if (size < 0) break;
        if (size > 0) emit(nals, count, out);
    }
}

void CompressionSession::Impl::emit(x264_nal_t* nals, int count, const x264_picture_t& out) {
    auto it = inFlight.find(reinterpret_cast<uintptr_t>(out.opaque));
    if (it == inFlight.end()) return;
    FrameInfo info = it->second;
    inFlight.erase(it);

    bool keyFrame = out.b_keyframe != 0;
    size_t total = keyFrame ? sizeof(kAccessUnitDelimiter) : 0;
    for (int i = 0; i < count; ++i) total += static_cast<size_t>(nals[i].i_payload);
    std::vector<uint8_t> bytes;
    bytes.reserve(total);
    // A leading non-picture unit on key frames: consumers that drop a key frame's first unit (where
    // the parameter sets would sit) then never drop the picture.
    if (keyFrame) bytes.insert(bytes.end(), std::begin(kAccessUnitDelimiter), std::end(kAccessUnitDelimiter));
    for (int i = 0; i < count; ++i) {
        if (nals[i].i_type == kNalTypeSps || nals[i].i_type == kNalTypePps) continue;
        bytes.insert(bytes.end(), nals[i].p_payload, nals[i].p_payload + nals[i].i_payload);
    }
    SampleTiming timing;
    timing.presentationTimeStamp = info.pts;
    timing.duration = info.duration;
    timing.decodeTimeStamp = allowReordering ? MediaTime::make(out.i_dts, kTimeBase) : info.pts;
    size_t size = bytes.size();
    auto buffer = SampleBuffer::createWithData(BlockBuffer::createWithBytes(std::move(bytes)), format, 1, timing,
                                               {size});
    if (!keyFrame) {
        buffer->setSampleAttachment(0, kSampleAttachmentNotSync, true);
        buffer->setSampleAttachment(0, kSampleAttachmentDependsOnOthers, true);
    }
    deliver(info.context, kMediaNoErr, kEncodeInfoAsynchronous, std::move(buffer));
}

std::shared_ptr<CompressionSession> CompressionSession::create(int32_t width, int32_t height,
                                                               CompressionOutputCallback callback, void* outputContext,
                                                               MediaStatus* status) {
    MediaStatus result = kMediaNoErr;
    if (!callback || width < 16 || height < 16 || width > kMaxDimension || height > kMaxDimension ||
        width % 2 != 0 || height % 2 != 0) {
        result = kMediaErrParam;
    }
    if (status) *status = result;
    if (result != kMediaNoErr) return nullptr;
    return std::shared_ptr<CompressionSession>(
        new CompressionSession(std::make_shared<Impl>(width, height, callback, outputContext)));
}

CompressionSession::CompressionSession(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

CompressionSession::~CompressionSession() { invalidate(); }

int32_t CompressionSession::width() const { return impl_->width; }
int32_t CompressionSession::height() const { return impl_->height; }

int32_t CompressionSession::averageBitRate() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->averageBitRate;
}

MediaStatus CompressionSession::setProperty(CompressionProperty key, const CompressionPropertyValue& value) {
    Impl& s = *impl_;
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.state == Impl::State::Invalid) return kMediaErrInvalidSession;
    bool live = s.state != Impl::State::Configuring;
    const bool* flag = std::get_if<bool>(&value);
    const int32_t* number = std::get_if<int32_t>(&value);
    const std::string* text = std::get_if<std::string>(&value);
    switch (key) {
        case CompressionProperty::AverageBitRate:
            if (!number) return kMediaErrParam;
            if (*number <= 0) return kMediaErrPropertyValueRejected;
            s.averageBitRate = *number;
            s.rateChanged = live;
            return kMediaNoErr;
        case CompressionProperty::DataRateLimits: {
            const auto* limits = std::get_if<std::vector<double>>(&value);
            if (!limits) return kMediaErrParam;
            if (limits->empty() || limits->size() % 2 != 0) return kMediaErrPropertyValueRejected;
            for (double v : *limits) {
                if (!(v > 0)) return kMediaErrPropertyValueRejected;
            }
            s.dataRateLimits = *limits;
            s.rateChanged = live;
            return kMediaNoErr;
        }
        default: break;
    }
    if (live) return kMediaErrPropertyNotSupported;
    switch (key) {
        case CompressionProperty::RealTime:
            if (!flag) return kMediaErrParam;
            s.realTime = *flag;
            return kMediaNoErr;
        case CompressionProperty::AllowFrameReordering:
            if (!flag) return kMediaErrParam;
            s.allowReordering = *flag;
            return kMediaNoErr;
        case CompressionProperty::ProfileLevel:
            if (!text) return kMediaErrParam;
            if (*text == kProfileLevelH264MainAutoLevel) s.profile = "main";
            else if (*text == "H264_Baseline_AutoLevel") s.profile = "baseline";
            else if (*text == "H264_High_AutoLevel") s.profile = "high";
            else return kMediaErrPropertyValueRejected;
            return kMediaNoErr;
        case CompressionProperty::H264EntropyMode:
            if (!text) return kMediaErrParam;
            if (*text != kH264EntropyModeCABAC && *text != kH264EntropyModeCAVLC) return kMediaErrPropertyValueRejected;
            s.cabac = *text == kH264EntropyModeCABAC;
            return kMediaNoErr;
        case CompressionProperty::PixelTransferProperties: {
            const auto* dict = std::get_if<std::map<std::string, std::string>>(&value);
            if (!dict) return kMediaErrParam;
            auto it = dict->find(kPixelTransferScalingMode);
            s.trim = it != dict->end() && it->second == kScalingModeTrim;
            return kMediaNoErr;
        }
        case CompressionProperty::MaxKeyFrameInterval:
            if (!number) return kMediaErrParam;
            if (*number < 0) return kMediaErrPropertyValueRejected;
            s.maxKeyFrameInterval = *number;
            return kMediaNoErr;
        default:
            return kMediaErrPropertyNotSupported;
    }
}

MediaStatus CompressionSession::prepareToEncodeFrames() {
    Impl& s = *impl_;
    std::lock_guard<std::mutex> lock(s.mutex);
    bool wasConfiguring = s.state == Impl::State::Configuring;
    MediaStatus status = s.prepareLocked();
    if (status == kMediaNoErr && wasConfiguring) {
        s.worker = std::thread([impl = impl_] { impl->run(); });
        s.workerId = s.worker.get_id();
    }
    return status;
}

MediaStatus CompressionSession::encodeFrame(std::shared_ptr<PixelBuffer> image, MediaTime presentationTimeStamp,
                                            MediaTime duration, void* frameContext) {
    if (!image) return kMediaErrParam;
    MediaStatus status = prepareToEncodeFrames();
    if (status != kMediaNoErr) return status;
    Impl& s = *impl_;
    std::unique_lock<std::mutex> lock(s.mutex);
    if (!s.realTime && std::this_thread::get_id() != s.workerId) {
        // Without real time nothing is dropped: the caller waits for room instead.
        s.roomMade.wait(lock, [&] { return s.waitingFrames < kMaxWaitingFrames || s.state != Impl::State::Prepared; });
    }
    if (s.state != Impl::State::Prepared) return kMediaErrInvalidSession;
    Job job;
    job.image = std::move(image);
    job.pts = presentationTimeStamp;
    job.duration = duration;
    job.context = frameContext;
    s.jobs.push_back(std::move(job));
    if (++s.waitingFrames > kMaxWaitingFrames) {
        for (Job& waiting : s.jobs) {
            if (waiting.kind == Job::Kind::Frame && !waiting.dropped) {
                waiting.dropped = true;
                waiting.image.reset();
                --s.waitingFrames;
                break;
            }
        }
    }
    s.jobsChanged.notify_one();
    return kMediaNoErr;
}

MediaStatus CompressionSession::completeFrames() {
    Impl& s = *impl_;
    std::unique_lock<std::mutex> lock(s.mutex);
    if (s.state == Impl::State::Invalid) return kMediaErrInvalidSession;
    if (s.state != Impl::State::Prepared) return kMediaNoErr;  // nothing was ever queued
    if (std::this_thread::get_id() == s.workerId) return kMediaErrParam;  // would wait for itself
    Job job;
    job.kind = Job::Kind::Flush;
    job.flushId = ++s.flushRequested;
    uint64_t id = job.flushId;
    s.jobs.push_back(std::move(job));
    s.jobsChanged.notify_one();
    s.flushed.wait(lock, [&] { return s.flushDone >= id || s.state == Impl::State::Invalid; });
    return s.flushDone >= id ? kMediaNoErr : kMediaErrInvalidSession;
}

void CompressionSession::invalidate() {
    Impl& s = *impl_;
    std::thread worker;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.state == Impl::State::Invalid) return;
        s.state = Impl::State::Invalid;
        s.jobs.clear();
        s.waitingFrames = 0;
        s.jobsChanged.notify_all();
        s.flushed.notify_all();
        s.roomMade.notify_all();
        worker = std::move(s.worker);
    }
    if (!worker.joinable()) return;
    // From the output callback the worker can't wait for itself; it ends once the callback returns.
    if (worker.get_id() == std::this_thread::get_id()) {
        worker.detach();
    } else {
        worker.join();
    }
}

}  // namespace platform
