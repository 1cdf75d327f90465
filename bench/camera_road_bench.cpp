// The camera road against ffmpeg: the synthetic camera and microphone through the recorder
// (public KNRecorder, synthetic capture backends) streaming 1280x720 at 30 fps to one destination on
// a private local nginx, and `ffmpeg -re` doing the same job with libx264 at our encoder's preset,
// tune, profile, bit rate, rate buffer and key-frame interval (one thread, as ours) + AAC.
//
// Like with like:
// - the orientation is the camera_to_servers example's (landscape left): each of our frames is
//   turned half a turn, and ffmpeg's too (hflip,vflip);
// - ffmpeg's picture is the synthetic camera's own (the same background, moving bar, marker and
//   frame-number cells, drawn by lavfi) at the size the camera captures, which a probe run reads off
//   the first frame; when that isn't 1280x720 both sides scale bilinearly;
// - the audio is the synthetic microphone's 440 Hz tone at its own 48 kHz, which the recorder
//   follows (it can't label PCM with another rate);
// - both runs last the same: ours streams as soon as the recorder is prepared.
//
//   camera_road_bench [seconds of media, default 20] [rounds, default 3]
//
// Whole process against whole process, pinned to the same cores (KESTRUNE_BENCH_CPUS), contenders
// alternating. Each side also runs with its sources only (ours: the camera and microphone running
// with nothing streaming; ffmpeg: the same lavfi graph into the null muxer), so the painting of the
// pictures is told apart from the road behind it. Reports CPU seconds per second of media, and the
// medians of the per-round ratios.
//
// After the rounds, one more run of each side measures how long a frame takes from its hand-over
// to the encoder to an unbuffered viewer (a plain RTMP player in this process that stamps each
// video tag on arrival); see latencyOf. Nothing is logged per packet.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <librtmp/log.h>
#include <librtmp/rtmp.h>
}

#include "BenchSupport.h"
#include "kestrune/KNError.h"
#include "kestrune/KNMainLoop.h"
#include "kestrune/KNRecorder.h"
#include "kestrune/KNRecorderSettings.h"
#include "kestrune/KNStreamInfo.h"
#include "kestrune/KNStreamSource.h"
#include "platform/HostClock.h"
#include "platform/media/PixelBuffer.h"
#include "platform/media/SampleBuffer.h"

namespace {

using namespace knbench;
using namespace std::chrono_literals;

constexpr int64_t kWidth = 1280;
constexpr int64_t kHeight = 720;
constexpr int64_t kFps = 30;
constexpr int64_t kVideoBitrate = 2500000;  // bits per second
constexpr int64_t kAudioBitrate = 80000;    // the hub's own AAC rate
constexpr int64_t kSampleRate = 48000;      // the synthetic microphone's
constexpr int64_t kKeyFrameInterval = 45;   // frames; the settings' default

// What the synthetic camera draws (platform/capture/SyntheticCaptureDevice): luma levels and
// layout; chroma stays neutral.
constexpr int kLumaBackground = 64;
constexpr int kLumaBar = 160;
constexpr int kLumaBright = 235;
constexpr int kLumaDark = 16;
constexpr int kMarkerSize = 32;
constexpr int kCellsX = 64;
constexpr int kCellSize = 8;
constexpr int kNumberBits = 32;
// Frame numbers below this many bits change during a run; lavfi toggles only these cells.
constexpr int kLowBits = 16;

std::shared_ptr<KNRecorderSettings> roadSettings() {
    auto settings = KNRecorderSettings::recorderSettings();
    settings->setVideoFrameResolution(kWidth * kHeight);
    settings->setVideoFrameResolutionInverted(false);
    settings->setVideoOrientation(KNVideoOrientationLandscapeLeft);  // as camera_to_servers
    settings->setFrameRate(kFps);
    settings->setVideoBitrate(kVideoBitrate);
    settings->setKeyFrameInterval(kKeyFrameInterval);
    settings->setAudioSampleRate(kSampleRate);
    settings->setExportLocalVideoToAssetLibrary(false);
    return settings;
}

double monotonicMs() { return platform::HostClock::now() * 1000.0; }

// The child's own messages; the library's log lines go nowhere, so the table stays readable.
FILE* report = stderr;

void quietLibrary() {
    const int null = open("/dev/null", O_WRONLY);
    if (null < 0) return;
    const int kept = dup(STDERR_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    close(null);
    if (kept < 0) return;
    if (FILE* saved = fdopen(kept, "w")) report = saved;
}

// The frame number in the cells of a picture whose luma is given, as the camera drew it at
// capW x capH and then turned half a turn and scaled to w x h; -1 when a cell is unclear.
int64_t numberIn(const uint8_t* luma, ptrdiff_t stride, int w, int h, int capW, int capH) {
    uint32_t number = 0;
    for (int bit = 0; bit < kNumberBits; ++bit) {
        const int cx = capW - 1 - (kCellsX + bit * kCellSize + kCellSize / 2);
        const int cy = capH - 1 - kCellSize / 2;
        const int x = static_cast<int>(static_cast<int64_t>(cx) * w / capW);
        const int y = static_cast<int>(static_cast<int64_t>(cy) * h / capH);
        const int value = luma[y * stride + x];
        if (value > 100 && value < 150) return -1;
        number = (number << 1) | (value >= 150 ? 1u : 0u);
    }
    return number;
}

class Host : public KNRecorderDelegate, public KNStreamSourceDelegate {
public:
    void recorderDidReceiveError(KNRecorder&, const std::shared_ptr<KNError>& error) override {
        std::fprintf(report, "error: %s\n", error->description().c_str());
        failed = true;
    }
    void recorderDidDropRtmpPacket(KNRecorder&) override { ++drops; }
    // Frames are handed to the encoder right after this, on the same queue.
    void recorderDidOutputSampleBufferFromCaptureOutput(KNRecorder&, const std::shared_ptr<platform::SampleBuffer>& buffer,
                                                        const void*) override {
        const auto image = buffer ? buffer->imageBuffer() : nullptr;
        if (!image) return;
        const double now = monotonicMs();
        std::lock_guard lock(mutex);
        if (captureWidth == 0) {
            captureWidth = image->width();
            captureHeight = image->height();
        }
        if (!stampFrames) return;
        const int64_t number = numberIn(image->planeData(0), static_cast<ptrdiff_t>(image->bytesPerRow(0)),
                                        image->width(), image->height(), image->width(), image->height());
        if (number >= 0) handedOver.emplace_back(number, now);
    }
    void streamSourceDidCloseConnection(const std::shared_ptr<KNStreamSource>&) override { closed = true; }
    void streamSourceDidFailConnectingWithError(const std::shared_ptr<KNStreamSource>&,
                                                const std::shared_ptr<KNError>& error) override {
        std::fprintf(report, "connection failed: %s\n", error->description().c_str());
        failed = true;
        closed = true;
    }
    std::atomic<int> drops{0};
    std::atomic<bool> closed{false};
    std::atomic<bool> failed{false};
    std::mutex mutex;
    bool stampFrames = false;
    int captureWidth = 0;
    int captureHeight = 0;
    std::vector<std::pair<int64_t, double>> handedOver;  // frame number, ms
};

void runMainFor(double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    KNMainLoop::runUntil([&] { return std::chrono::steady_clock::now() >= end; },
                         std::chrono::seconds(static_cast<int64_t>(seconds) + 5));
}

// Ours, whole process: camera and microphone on, stream `seconds` to `url` (or, without a url,
// stream nothing for as long), close.
int streamRoad(int seconds, const std::string& url, const std::shared_ptr<Host>& host) {
    auto info = KNStreamInfo::create();
    info->setCustomStreamURLString(url.empty() ? "rtmp://127.0.0.1:1/unused/none" : url);
    auto recorder = KNRecorder::recorderWithStreamInfo(info, roadSettings());
    recorder->setRecorderDelegate(host);
    recorder->prepareToRecord();
    if (url.empty()) {
        runMainFor(seconds);
        recorder->endSession();
        return 0;
    }
    for (const auto& source : recorder->streamSources()) source->setDelegate(host);
    // A start that the audio session's first route change stops is made again.
    std::atomic<bool> answered{false};
    std::atomic<bool> started{false};
    for (int attempt = 0; attempt < 5 && !started; ++attempt) {
        answered = false;
        KNMainLoop::async([&] {
            recorder->startStreaming([&](bool success, std::shared_ptr<KNError> error) {
                if (!success) std::fprintf(report, "start: %s\n", error ? error->description().c_str() : "refused");
                started = success;
                answered = true;
            });
        });
        KNMainLoop::runUntil([&] { return answered.load(); }, 30s);
        if (!started) KNMainLoop::runUntil([] { return false; }, 500ms);
    }
    if (started) runMainFor(seconds);
    recorder->stopStreaming();
    for (const auto& source : recorder->streamSources()) source->setOn(false);
    KNMainLoop::runUntil([&] { return host->closed.load(); }, 30s);
    recorder->endSession();
    if (!answered || !host->closed) std::fprintf(report, "%s\n", answered ? "never closed" : "start not answered");
    if (host->drops) std::fprintf(report, "%d packets dropped\n", host->drops.load());
    return started && host->closed && !host->failed ? 0 : 1;
}

int roadChild(int seconds, const std::string& url) {
    quietLibrary();
    return streamRoad(seconds, url, std::make_shared<Host>());
}

// The size of the frames the camera hands over, as "WxH" on standard output.
int probeChild() {
    quietLibrary();
    auto host = std::make_shared<Host>();
    auto recorder = KNRecorder::recorderWithStreamInfo(KNStreamInfo::create(), roadSettings());
    recorder->setRecorderDelegate(host);
    recorder->prepareToRecord();
    KNMainLoop::runUntil(
        [&] {
            std::lock_guard lock(host->mutex);
            return host->captureWidth > 0;
        },
        10s);
    recorder->endSession();
    std::lock_guard lock(host->mutex);
    std::fprintf(report, "%dx%d\n", host->captureWidth, host->captureHeight);
    return host->captureWidth > 0 ? 0 : 1;
}

// Streams like roadChild and writes "number ms" for every frame handed to the encoder to `path`.
int latencyChild(int seconds, const std::string& url, const std::string& path) {
    quietLibrary();
    auto host = std::make_shared<Host>();
    host->stampFrames = true;
    const int status = streamRoad(seconds, url, host);
    FILE* out = std::fopen(path.c_str(), "w");
    if (!out) return 1;
    std::lock_guard lock(host->mutex);
    for (const auto& [number, ms] : host->handedOver) std::fprintf(out, "%lld %.3f\n", static_cast<long long>(number), ms);
    std::fclose(out);
    return status;
}

// The synthetic camera's picture, drawn by lavfi at w x h: background, a bar of w/8 moving 8
// pixels a frame, the marker, and the frame-number cells (the low bits toggled frame by frame).
std::string cameraGraph(int w, int h) {
    const auto gray = [](int luma) {
        // Full-range gray whose limited-range luma is `luma`; chroma stays neutral.
        const int level = static_cast<int>((luma - 16) * 255.0 / 219.0 + 0.5);
        char color[16];
        std::snprintf(color, sizeof color, "0x%02X%02X%02X", level, level, level);
        return std::string(color);
    };
    const std::string size = std::to_string(w) + "x" + std::to_string(h);
    std::string graph = "color=c=" + gray(kLumaBackground) + ":s=" + size + ":r=" + std::to_string(kFps) +
                        ",format=yuv420p[bg];color=c=" + gray(kLumaBar) + ":s=" + std::to_string(std::max(w / 8, 2)) +
                        "x" + std::to_string(h) + ":r=" + std::to_string(kFps) +
                        ",format=yuv420p[bar];[bg][bar]overlay=x='mod(n*8,W)':y=0:eval=frame:format=yuv420";
    graph += ",drawbox=x=0:y=0:w=" + std::to_string(kMarkerSize) + ":h=" + std::to_string(kMarkerSize) + ":c=" +
             gray(kLumaBright) + ":t=fill";
    graph += ",drawbox=x=" + std::to_string(kCellsX) + ":y=0:w=" + std::to_string(kNumberBits * kCellSize) +
             ":h=" + std::to_string(kCellSize) + ":c=" + gray(kLumaDark) + ":t=fill";
    for (int bit = 0; bit < kLowBits; ++bit) {
        const int x = kCellsX + (kNumberBits - 1 - bit) * kCellSize;
        graph += ",drawbox=x=" + std::to_string(x) + ":y=0:w=" + std::to_string(kCellSize) + ":h=" +
                 std::to_string(kCellSize) + ":c=" + gray(kLumaBright) + ":t=fill:enable='mod(floor(n/" +
                 std::to_string(1u << bit) + "),2)'";
    }
    return graph + "[out0]";
}

// The same picture in NV12, for the latency run's pipe.
std::vector<uint8_t> cameraFrame(int w, int h, uint32_t number) {
    std::vector<uint8_t> frame(static_cast<size_t>(w) * h * 3 / 2, 128);
    uint8_t* luma = frame.data();
    const int barWidth = std::max(w / 8, 2);
    const int barX = static_cast<int>((int64_t{number} * 8) % w);
    for (int y = 0; y < h; ++y) {
        std::memset(luma + y * w, kLumaBackground, static_cast<size_t>(w));
        std::memset(luma + y * w + barX, kLumaBar, static_cast<size_t>(std::min(barWidth, w - barX)));
    }
    for (int y = 0; y < kMarkerSize; ++y) std::memset(luma + y * w, kLumaBright, kMarkerSize);
    for (int bit = 0; bit < kNumberBits; ++bit) {
        const bool set = (number >> (kNumberBits - 1 - bit)) & 1u;
        for (int y = 0; y < kCellSize; ++y) {
            std::memset(luma + y * w + kCellsX + bit * kCellSize, set ? kLumaBright : kLumaDark, kCellSize);
        }
    }
    return frame;
}

struct Capture {
    int width = 1920;
    int height = 1080;
};

// ffmpeg's video: the camera's picture from lavfi (or, for the latency run, NV12 on standard
// input and the tone's PCM from `audioFifo`, both written at live rate as the camera and the
// microphone deliver them), turned half a turn and scaled like ours; into `url` as FLV, or into
// the null muxer.
std::vector<std::string> ffmpegArgs(int seconds, const std::string& url, const Capture& capture,
                                    const std::string& audioFifo = "") {
    const bool fromPipe = !audioFifo.empty();
    const std::string size = std::to_string(capture.width) + "x" + std::to_string(capture.height);
    std::vector<std::string> args = {"ffmpeg", "-nostdin", "-v", "error"};
    const std::vector<std::string> video =
        fromPipe ? std::vector<std::string>{"-f", "rawvideo", "-pix_fmt", "nv12", "-s", size, "-r", std::to_string(kFps),
                                            "-i", "pipe:0"}
                 : std::vector<std::string>{"-re", "-f", "lavfi", "-i", cameraGraph(capture.width, capture.height)};
    const std::vector<std::string> audio =
        fromPipe ? std::vector<std::string>{"-f", "s16le", "-ar", std::to_string(kSampleRate), "-ac", "1", "-i", audioFifo,
                                            "-t", std::to_string(seconds)}
                 : std::vector<std::string>{"-re", "-f", "lavfi", "-i",
                                            "sine=frequency=440:sample_rate=" + std::to_string(kSampleRate), "-t",
                                            std::to_string(seconds)};
    // ffmpeg opens its inputs in order and reads from each as it does: the fifo comes first, as
    // the feeder starts both once ffmpeg has opened it.
    if (fromPipe) {
        for (const char* a : {"-probesize", "32", "-analyzeduration", "0"}) args.emplace_back(a);
        args.insert(args.end(), audio.begin(), audio.end() - 2);
        for (const char* a : {"-probesize", "32", "-analyzeduration", "0"}) args.emplace_back(a);
        args.insert(args.end(), video.begin(), video.end());
        args.insert(args.end(), audio.end() - 2, audio.end());
    } else {
        args.insert(args.end(), video.begin(), video.end());
        args.insert(args.end(), audio.begin(), audio.end());
    }
    if (url.empty()) {
        for (const char* a : {"-f", "null", "-"}) args.emplace_back(a);
        return args;
    }
    std::string filter = "hflip,vflip";
    if (capture.width != kWidth || capture.height != kHeight)
        filter += ",scale=" + std::to_string(kWidth) + ":" + std::to_string(kHeight) + ":flags=bilinear";
    const std::string rate = std::to_string(kVideoBitrate / 1000) + "k";
    // The encoder caps its rate at the average with half a second of buffer.
    const std::string buffer = std::to_string(kVideoBitrate / 2000) + "k";
    const std::vector<std::string> encode = {
        "-vf", filter, "-c:v", "libx264", "-preset", "veryfast", "-tune", "zerolatency", "-profile:v", "main",
        "-bf", "0", "-g", std::to_string(kKeyFrameInterval), "-b:v", rate, "-maxrate", rate, "-bufsize", buffer,
        "-x264-params", "threads=1:sliced-threads=0:lookahead-threads=1:scenecut=0", "-c:a", "aac", "-ac", "1",
        "-b:a", std::to_string(kAudioBitrate), "-f", "flv", url};
    args.insert(args.end(), encode.begin(), encode.end());
    return args;
}

// Video frames and audio packets the server recorded, as "frames/packets"; what both sides sent.
std::string recorded(const std::string& recordDir, const std::string& stream) {
    std::string counts;
    for (const char* kind : {"v:0", "a:0"}) {
        const std::string probe = std::string("ffprobe -v error -select_streams ") + kind +
                                  " -count_packets -show_entries stream=nb_read_packets -of csv=p=0 '" + recordDir +
                                  "/" + stream + ".flv'";
        char line[64] = {0};
        FILE* pipe = popen(probe.c_str(), "r");
        if (pipe && !std::fgets(line, sizeof line, pipe)) line[0] = 0;
        if (pipe) pclose(pipe);
        std::string count(line);
        while (!count.empty() && (count.back() == '\n' || count.back() == ',')) count.pop_back();
        if (!counts.empty()) counts.append("/");
        counts.append(count.empty() ? "?" : count);
    }
    return counts;
}

// An RTMP player that asks for no buffer and notes, for every video tag, when it arrived and its
// payload. Runs until its socket is shut down.
class Viewer {
public:
    struct Tag {
        double arrivedMs = 0;
        std::vector<uint8_t> body;
    };

    bool start(const std::string& url) {
        rtmp_ = RTMP_Alloc();
        RTMP_Init(rtmp_);
        url_ = url + " live=1 timeout=30";
        if (!RTMP_SetupURL(rtmp_, url_.data())) return false;
        RTMP_SetBufferMS(rtmp_, 0);
        if (!RTMP_Connect(rtmp_, nullptr) || !RTMP_ConnectStream(rtmp_, 0)) return false;
        thread_ = std::thread([this] { read(); });
        return true;
    }
    // Waits `graceMs` for the last tags, then ends the player.
    std::vector<Tag> finish(int graceMs) {
        std::this_thread::sleep_for(std::chrono::milliseconds(graceMs));
        if (rtmp_ && RTMP_Socket(rtmp_) >= 0) shutdown(RTMP_Socket(rtmp_), SHUT_RDWR);
        if (thread_.joinable()) thread_.join();
        if (rtmp_) {
            RTMP_Close(rtmp_);
            RTMP_Free(rtmp_);
            rtmp_ = nullptr;
        }
        return std::move(tags_);
    }

private:
    void read() {
        RTMPPacket packet{};
        while (RTMP_IsConnected(rtmp_) && RTMP_ReadPacket(rtmp_, &packet)) {
            if (!RTMPPacket_IsReady(&packet)) continue;
            const double now = monotonicMs();
            if (packet.m_packetType == RTMP_PACKET_TYPE_VIDEO && packet.m_nBodySize > 5) {
                const auto* body = reinterpret_cast<const uint8_t*>(packet.m_body);
                tags_.push_back({now, std::vector<uint8_t>(body, body + packet.m_nBodySize)});
            }
            RTMPPacket_Free(&packet);
        }
        RTMPPacket_Free(&packet);
    }

    RTMP* rtmp_ = nullptr;
    std::string url_;
    std::thread thread_;
    std::vector<Tag> tags_;
};

// Decodes the tags and answers, for each picture, its frame number and when it arrived.
std::vector<std::pair<int64_t, double>> picturesOf(const std::vector<Viewer::Tag>& tags, const Capture& capture) {
    std::vector<std::pair<int64_t, double>> pictures;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    AVCodecContext* context = nullptr;
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    for (const auto& tag : tags) {
        if (tag.body[1] == 0) {  // the sequence header: a decoder for its parameter sets
            if (context) avcodec_free_context(&context);
            context = avcodec_alloc_context3(codec);
            context->thread_count = 1;
            context->extradata = static_cast<uint8_t*>(av_mallocz(tag.body.size() - 5 + AV_INPUT_BUFFER_PADDING_SIZE));
            std::memcpy(context->extradata, tag.body.data() + 5, tag.body.size() - 5);
            context->extradata_size = static_cast<int>(tag.body.size() - 5);
            if (avcodec_open2(context, codec, nullptr) < 0) avcodec_free_context(&context);
            continue;
        }
        if (!context || tag.body[1] != 1) continue;
        av_new_packet(packet, static_cast<int>(tag.body.size() - 5));
        std::memcpy(packet->data, tag.body.data() + 5, tag.body.size() - 5);
        if (avcodec_send_packet(context, packet) == 0) {
            while (avcodec_receive_frame(context, frame) == 0) {
                pictures.emplace_back(numberIn(frame->data[0], frame->linesize[0], frame->width, frame->height,
                                               capture.width, capture.height),
                                      tag.arrivedMs);
            }
        }
        av_packet_unref(packet);
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    if (context) avcodec_free_context(&context);
    return pictures;
}

struct Latency {
    size_t frames = 0;
    size_t unread = 0;
    Spread ms;
    double p99 = 0;
};

// Hand-over to arrival for every picture whose number both ends saw.
Latency latencyOf(const std::vector<std::pair<int64_t, double>>& handedOver,
                  const std::vector<std::pair<int64_t, double>>& arrived) {
    std::map<int64_t, double> sent(handedOver.begin(), handedOver.end());
    std::vector<double> ms;
    Latency latency;
    for (const auto& [number, at] : arrived) {
        const auto found = sent.find(number);
        if (number < 0 || found == sent.end()) {
            ++latency.unread;
            continue;
        }
        ms.push_back(at - found->second);
    }
    latency.frames = ms.size();
    if (ms.empty()) return latency;
    latency.ms = spread(ms);
    std::sort(ms.begin(), ms.end());
    latency.p99 = ms[static_cast<size_t>(0.99 * static_cast<double>(ms.size() - 1))];
    return latency;
}

const char* const kSides[] = {"hub road", "hub source only", "ffmpeg road", "ffmpeg source only"};

void printSummary(std::map<std::string, std::vector<double>>& perSecond, int rounds) {
    const auto& ours = perSecond["hub road"];
    const auto& theirs = perSecond["ffmpeg road"];
    const auto oursRoad = minus(ours, perSecond["hub source only"]);
    const auto theirsRoad = minus(theirs, perSecond["ffmpeg source only"]);
    std::printf("median (min-max) over %d rounds, CPU s per s of media:\n", rounds);
    for (const char* side : kSides) std::printf("  %-20s %s\n", side, show(spread(perSecond[side])).c_str());
    std::printf("  hub road without its source    %s\n", show(spread(oursRoad)).c_str());
    std::printf("  ffmpeg road without its source %s\n", show(spread(theirsRoad)).c_str());
    std::printf("hub/ffmpeg per round, with the sources:    %s\n", show(spread(ratio(ours, theirs)), 2).c_str());
    std::printf("hub/ffmpeg per round, without the sources: %s\n", show(spread(ratio(oursRoad, theirsRoad)), 2).c_str());
}

Capture probeCapture() {
    Capture capture;
    FILE* pipe = popen(commandLine({selfPath(), "--probe"}).append(" 2>&1").c_str(), "r");
    char line[64] = {0};
    if (pipe && std::fgets(line, sizeof line, pipe)) std::sscanf(line, "%dx%d", &capture.width, &capture.height);
    if (pipe) pclose(pipe);
    return capture;
}

// One latency run of each side, ours first; prints both and their ratios.
int latencyRuns(int seconds, const std::string& base, const Capture& capture, const fs::path& dir) {
    std::vector<std::pair<std::string, Latency>> results;
    for (const std::string who : {"hub", "ffmpeg"}) {
        const std::string url = base + who + "-latency";
        Viewer viewer;
        if (!viewer.start(url)) {
            std::fprintf(stderr, "the viewer could not play %s\n", url.c_str());
            return 1;
        }
        std::vector<std::pair<int64_t, double>> handedOver;
        ChildRun run;
        if (who == "hub") {
            const std::string stamps = (dir / "handed-over.txt").string();
            const std::vector<std::string> command = {selfPath(), "--latency", std::to_string(seconds), url, stamps};
            std::printf("  %-20s %s\n", "hub latency", commandLine(command).c_str());
            run = runChild(command);
            FILE* in = std::fopen(stamps.c_str(), "r");
            long long number = 0;
            double ms = 0;
            while (in && std::fscanf(in, "%lld %lf", &number, &ms) == 2) handedOver.emplace_back(number, ms);
            if (in) std::fclose(in);
        } else {
            const std::string fifo = (dir / "tone.fifo").string();
            if (mkfifo(fifo.c_str(), 0600) != 0) return 1;
            const auto command = ffmpegArgs(seconds, url, capture, fifo);
            std::printf("  %-20s %s   (the camera's pictures on standard input at 30 a second, the microphone's "
                        "tone in 10 ms periods, as the synthetic microphone)\n",
                        "ffmpeg latency", commandLine(command).c_str());
            // Both start once ffmpeg has opened its inputs, as ours start with the recorder.
            std::promise<std::chrono::steady_clock::time_point> opened;
            auto start = opened.get_future().share();
            std::thread microphone([&, start] {
                const int fd = open(fifo.c_str(), O_WRONLY);
                opened.set_value(std::chrono::steady_clock::now());
                if (fd < 0) return;
                constexpr int64_t kPeriod = kSampleRate / 100;
                std::vector<int16_t> period(kPeriod);
                int64_t frame = 0;
                for (int64_t p = 0; p < seconds * 100; ++p) {
                    for (auto& sample : period) {
                        sample = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440.0 * static_cast<double>(frame++) / kSampleRate));
                    }
                    std::this_thread::sleep_until(start.get() + std::chrono::milliseconds((p + 1) * 10));
                    if (write(fd, period.data(), sizeof(int16_t) * period.size()) <= 0) break;
                }
                close(fd);
            });
            run = runChild(command, [&](int fd) {
                for (uint32_t n = 0; n < static_cast<uint32_t>(seconds * kFps); ++n) {
                    const auto bytes = cameraFrame(capture.width, capture.height, n);
                    std::this_thread::sleep_until(start.get() + std::chrono::microseconds(int64_t{n} * 1'000'000 / kFps));
                    handedOver.emplace_back(n, monotonicMs());
                    for (size_t off = 0; off < bytes.size();) {
                        const ssize_t written = write(fd, bytes.data() + off, bytes.size() - off);
                        if (written <= 0) return;
                        off += static_cast<size_t>(written);
                    }
                }
            });
            microphone.join();
        }
        const auto tags = viewer.finish(1000);
        if (!run.ok) {
            std::fprintf(stderr, "the %s latency run failed\n", who.c_str());
            return 1;
        }
        results.emplace_back(who, latencyOf(handedOver, picturesOf(tags, capture)));
    }
    std::printf("frame handed to the encoder -> unbuffered viewer, ms:\n");
    for (const auto& [who, l] : results) {
        std::printf("  %-7s %4zu frames (%zu unread): median %.1f, p99 %.1f, min %.1f, max %.1f\n", who.c_str(), l.frames,
                    l.unread, l.ms.median, l.p99, l.ms.min, l.ms.max);
    }
    if (results[1].second.frames > 0) {
        std::printf("hub/ffmpeg: median %.2f, p99 %.2f\n", results[0].second.ms.median / results[1].second.ms.median,
                    results[0].second.p99 / results[1].second.p99);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--road") return roadChild(std::atoi(argv[2]), argv[3]);
    if (argc == 5 && std::string(argv[1]) == "--latency") return latencyChild(std::atoi(argv[2]), argv[3], argv[4]);
    if (argc == 3 && std::string(argv[1]) == "--source") return roadChild(std::atoi(argv[2]), "");
    if (argc == 2 && std::string(argv[1]) == "--probe") return probeChild();
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 20;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    setenv("KESTRUNE_CAPTURE_BACKEND", "synthetic", 1);
    setenv("KESTRUNE_AUDIO_BACKEND", "synthetic", 1);
    av_log_set_level(AV_LOG_ERROR);
    signal(SIGPIPE, SIG_IGN);  // the viewer's socket, once the server has let it go
    RTMP_LogSetLevel(RTMP_LOGCRIT);  // nor its notes on the end of the stream

    const fs::path dir = fs::temp_directory_path() / ("kestrune-bench-camera-road-" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::map<std::string, std::string> env;
    if (!startServer(dir, env)) return 1;
    const std::string pinned = pinToBenchCpus();
    const Capture capture = probeCapture();
    const std::string base = "rtmp://127.0.0.1:" + env["RTMP_PORT"] + "/live/";
    const auto command = [&](const std::string& side, const std::string& stream) -> std::vector<std::string> {
        const std::string url = stream.empty() ? "" : base + stream;
        if (side == "hub road") return {selfPath(), "--road", std::to_string(seconds), url};
        if (side == "hub source only") return {selfPath(), "--source", std::to_string(seconds)};
        return ffmpegArgs(seconds, url, capture);
    };
    const auto streamOf = [](const std::string& side, int round) {
        if (side.find("road") == std::string::npos) return std::string();
        return (side[0] == 'h' ? "hub-" : "ff-") + std::to_string(round);
    };

    std::printf("%d s of %ldx%ld@%ld at %.1f Mbit/s (key frame every %ld) + %ld Hz AAC %ld kbit/s per run, landscape "
                "left (half a turn), captured at %dx%d, live rate, %s, %d rounds alternating\n",
                seconds, kWidth, kHeight, kFps, kVideoBitrate / 1e6, kKeyFrameInterval, kSampleRate,
                kAudioBitrate / 1000, capture.width, capture.height, pinned.c_str(), rounds);
    for (const char* side : kSides)
        std::printf("  %-20s KESTRUNE_CAPTURE_BACKEND=synthetic KESTRUNE_AUDIO_BACKEND=synthetic %s\n", side,
                    commandLine(command(side, streamOf(side, 0))).c_str());
    std::printf("%-20s %6s %9s %9s %12s  %s\n", "contender", "round", "seconds", "CPU s", "CPU s per s",
                "recorded video/audio packets");
    std::map<std::string, std::vector<double>> perSecond;
    int status = 0;
    for (int round = 1; round <= rounds && status == 0; ++round) {
        std::vector<std::string> order(std::begin(kSides), std::end(kSides));
        if (round % 2 == 0) std::swap_ranges(order.begin(), order.begin() + 2, order.begin() + 2);
        for (const auto& side : order) {
            const std::string stream = streamOf(side, round);
            const ChildRun run = runChild(command(side, stream));
            if (!stream.empty()) waitForRecordingDone(env["RECORD_DIR"], stream);
            if (!run.ok) {
                std::fprintf(stderr, "%s failed: %s\n", side.c_str(), commandLine(command(side, stream)).c_str());
                status = 1;
                break;
            }
            std::printf("%-20s %6d %9.2f %9.3f %12.4f  %s\n", side.c_str(), round, run.wallSeconds, run.cpuSeconds,
                        run.cpuSeconds / seconds, stream.empty() ? "-" : recorded(env["RECORD_DIR"], stream).c_str());
            std::fflush(stdout);
            perSecond[side].push_back(run.cpuSeconds / seconds);
        }
    }
    if (status == 0) printSummary(perSecond, rounds);
    std::fflush(stdout);
    if (status == 0) status = latencyRuns(seconds, base, capture, dir);
    stopServer(dir);
    fs::remove_all(dir);
    return status;
}
