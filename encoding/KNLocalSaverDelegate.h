#pragma once
// What a KNLocalSaver tells its owner about writes. Every operation is optional and comes on the
// saver's queue.
#include <memory>

#include "kestrune/KNError.h"

class KNLocalSaver;

class KNLocalSaverDelegate {
public:
    virtual ~KNLocalSaverDelegate() = default;

    // After a video buffer was appended, refused or dropped (also after its failure report).
    virtual void localSaverDidWriteEncodedVideo(KNLocalSaver* /*saver*/) {}
    // After an audio packet was appended or dropped; not after a failure.
    virtual void localSaverDidWriteEncodedAudio(KNLocalSaver* /*saver*/) {}
    virtual void localSaverDidFailWritingEncodedVideoWithError(KNLocalSaver* /*saver*/,
                                                               std::shared_ptr<KNError> /*error*/) {}
    virtual void localSaverDidFailWritingEncodedAudioWithError(KNLocalSaver* /*saver*/,
                                                               std::shared_ptr<KNError> /*error*/) {}
};
