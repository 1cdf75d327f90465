#include "kestrune/KNAudioResampler.h"

#include "platform/media/AudioConverter.h"
#include "platform/media/SampleBuffer.h"

std::shared_ptr<KNAudioResampler> KNAudioResampler::create() {
    auto resampler = std::shared_ptr<KNAudioResampler>(new KNAudioResampler());
    platform::AudioConverter::create(platform::AudioStreamDescription::pcmInt16(48000, 2),
                                     platform::AudioStreamDescription::pcmInt16(44100, 2), &resampler->audioConverter_);
    return resampler;
}

std::shared_ptr<platform::SampleBuffer> KNAudioResampler::testSample(
    std::shared_ptr<platform::SampleBuffer> sample) const {
    return sample;
}

platform::MediaStatus inInputDataProc(platform::AudioConverter*, uint32_t* ioNumberDataPackets,
                                      platform::AudioBufferList* ioData, void* inUserData) {
    const auto* source = static_cast<const platform::AudioBufferList*>(inUserData);
    ioData->numberBuffers = 1;
    ioData->buffers[0].data = source->buffers[0].data;
    ioData->buffers[0].dataByteSize = source->buffers[0].dataByteSize;
    *ioNumberDataPackets = source->buffers[0].dataByteSize / 2;
    return 0;
}
