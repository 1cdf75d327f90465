// The hub's local recording: with or without a stream, through the local saver, optionally moved
// into the photo library when finished.
#include "kestrune/KNError.h"
#include "kestrune/KNRecorderSettings.h"
#include "recorder/KNInternalRecorder.h"

namespace {

std::shared_ptr<KNError> saverFailure(const std::shared_ptr<KNError>& cause) {
    return KNError::errorWithCodesMessage({90001}, cause ? cause->message() : std::nullopt);
}

}  // namespace

void KNInternalRecorder::startRecordingWithCompletion(Completion completion) {
    if (!localSaver_) {
        if (completion) completion(false, KNError::errorWithCodesMessage({90001}, "No local saver on this machine"));
        return;
    }
    if (auto session = captureSession(); session && !session->isRunning()) session->startRunning();
    startEncoders();
    localSaver_->setSavingEnabled(true, nullptr);
    localSaver_->setSavingAudioAndVideo(isSendingAudio_, isSendingVideo_, nullptr);
    if (!isSendingAudio_ || nAACEncoder_->isConfigured()) {
        // Answered once, by the saver's own outcome.
        startLocalSaving(std::move(completion));
        return;
    }
    // The audio track needs the encoder's magic cookie: the file starts when it is configured,
    // and a failure then is reported as an error.
    if (completion) completion(true, nullptr);
}

void KNInternalRecorder::startLocalSaving(Completion completion) {
    if (localSavingRequested_.exchange(true)) {
        // One start is on its way: a second would rename its file or fail on it.
        if (completion) completion(false, KNError::errorWithCodesMessage({110003}, "Local saver already started"));
        return;
    }
    writeFailureReported_ = false;
    localSaver_->setFilename(components_->nameForLocalFile());
    localSaver_->startSavingStream([weak = weak_from_this(), completion = std::move(completion)](
                                       std::shared_ptr<KNError> error) {
        auto self = weak.lock();
        if (error && self) self->localSavingRequested_ = false;
        if (completion) {
            completion(error == nullptr, error);
        } else if (error && self) {
            self->forwardError(saverFailure(error));
        }
    });
}

void KNInternalRecorder::AACEncoderDidFinishConfiguring(KNAACEncoderBase*) {
    if (!localSaver_) return;
    localSaver_->setMagicCookie(nAACEncoder_->magicCookie());
    localSaver_->setAudioDecoderDelay(nAACEncoder_->decoderDelay());
    // Only a recording that was asked for and not yet started; the saver ignores the start otherwise.
    if (localSaver_->savingEnabled() && !localSavingRequested_) startLocalSaving(nullptr);
}

void KNInternalRecorder::stopRecordingWithCompletion(StopRecordingCompletion completion) {
    if (!localSaver_ || (!localSaver_->savingEnabled() && !localSavingRequested_)) {
        if (completion) completion(false, KNError::errorWithCodesMessage({110003}, "Local saver not running"), {});
        return;
    }
    auto finish = [self = shared_from_this(), completion = std::move(completion)]() mutable {
        self->finishLocalSaving(std::move(completion));
    };
    if (recordingState_ == KNRecorderStateIdle) {
        // The saver finishes after the encoders' last output has reached it.
        stopEncodersThen(std::move(finish));
    } else {
        finish();
    }
}

void KNInternalRecorder::stopEncodersThen(std::function<void()> then) {
    nH264Encoder_->stopEncoding();
    nAACEncoder_->stopEncoding();
    auto audioQueue = nAACEncoder_->encoderQueue();
    nH264Encoder_->encodingQueue()->async([audioQueue, then = std::move(then)]() mutable {
        audioQueue->async(std::move(then));
    });
}

void KNInternalRecorder::finishLocalSaving(StopRecordingCompletion completion) {
    localSavingRequested_ = false;
    localSaver_->stopSavingStream([self = shared_from_this(), completion = std::move(completion)](
                                      std::optional<std::filesystem::path> file, std::shared_ptr<KNError> error) {
        self->localSaver_->setSavingEnabled(false, nullptr);
        if (error || !file) {
            if (completion) completion(false, error, {});
            return;
        }
        const auto settings = self->settings();
        if (settings && settings->exportLocalVideoToAssetLibrary()) {
            self->exportRecording(*file, completion);
        } else if (completion) {
            completion(true, nullptr, file);
        }
    });
}

void KNInternalRecorder::exportRecording(const std::filesystem::path& file, StopRecordingCompletion completion) {
    components_->addVideoToLibrary(file, [file, completion](bool success, std::shared_ptr<KNError> error) {
        if (!completion) return;
        if (success) {
            completion(true, nullptr, file);
        } else {
            completion(false, error, {});
        }
    });
}

void KNInternalRecorder::localSaverDidFailWriting(const std::shared_ptr<KNError>& error) {
    // Every packet behind a failed one fails as well: one report per recording.
    if (writeFailureReported_.exchange(true)) return;
    stopLocalSavingAndReportError(error);
}

void KNInternalRecorder::stopLocalSavingAndReportError(const std::shared_ptr<KNError>& error) {
    localSavingRequested_ = false;
    localSaver_->stopSavingStream([saver = localSaver_](std::optional<std::filesystem::path>, std::shared_ptr<KNError>) {
        saver->setSavingEnabled(false, nullptr);
    });
    forwardError(saverFailure(error));
}

void KNInternalRecorder::enableLocalSaving(std::shared_ptr<KNError>* error) {
    if (isActive() && error) {
        *error = KNError::errorWithCodesMessage({11005}, "Cannot enable local saving while streaming");
    }
}

void KNInternalRecorder::disableLocalSaving(std::shared_ptr<KNError>* error) {
    if (isActive()) {
        if (error) *error = KNError::errorWithCodesMessage({11005}, "Cannot disable local saving while streaming");
        return;
    }
    if (!localSaver_) return;
    std::shared_ptr<KNError> refusal;
    if (!localSaver_->setSavingEnabled(false, &refusal) && error) *error = saverFailure(refusal);
}
