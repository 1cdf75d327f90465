// A push-streamer host built against the installed package only: it works each part of the
// pipeline the streamer owns through the public headers, and hands one streamer's saver to another.
#include <cstdio>
#include <memory>
#include <vector>

#include "kestrune/KNError.h"
#include "kestrune/KNStreamInfo.h"
#include "kestrune/KNStreamSource.h"
#include "kestrune/KNStreamer.h"
#include "kestrune/KNStreamerAudioSettings.h"
#include "kestrune/KNStreamerVideoSettings.h"

namespace {

int fail(const char* what) {
    std::fprintf(stderr, "streamer host: %s\n", what);
    return 1;
}

}  // namespace

int main() {
    auto streamer = KNStreamer::create();
    streamer->videoSettings()->setResolutionWithError(KNVideoFrameResolution640x360);
    auto info = KNStreamInfo::create();
    info->setCustomStreamURLString("rtmp://127.0.0.1:1/live/streamer-host");
    auto source = streamer->addStreamSourceWithInfo(info);
    const auto sources = streamer->streamSources();
    if (sources->streamSources().size() != 1) return fail("the added destination isn't among the sources");
    sources->setRtmpTimeout(3);
    if (source->rtmpTimeout() != 3 || sources->rtmpTimeout() != 3) return fail("the time-out didn't reach the destination");

    std::shared_ptr<KNError> refusal;
    streamer->localSaver()->setSavingAudioAndVideoError(false, false, &refusal);
    if (!refusal || refusal->errorCodes() != std::vector<int64_t>{110006}) return fail("the saver took both tracks off");

    streamer->startStreamingWithCompletion();
    if (streamer->localSaver()->width() != 640 || streamer->localSaver()->height() != 360) {
        return fail("the saver wasn't given the frame size");
    }
    streamer->videoEncoder()->updateBitrate(1200000);
    if (streamer->videoEncoder()->bitrate() != 1200000) return fail("the video bit rate didn't change");
    streamer->audioEncoder()->setBitRate(96000);
    if (streamer->audioEncoder()->bitRate() != 96000) return fail("the audio bit rate didn't change");
    if (streamer->audioEncoder()->sampleRate() != streamer->audioSettings()->sampleRate()) {
        return fail("the audio encoder didn't take the settings' rate");
    }
    streamer->stopStreaming();

    auto other = KNStreamer::create();
    streamer->setLocalSaver(other->localSaver());
    if (streamer->localSaver() != other->localSaver()) return fail("the saver wasn't replaced");
    streamer->removeStreamSource(source);
    if (!streamer->streamSources()->streamSources().empty()) return fail("the destination wasn't removed");
    std::printf("kestrune streamer host: ok\n");
    return 0;
}
