// The hub's local recording: with or without a stream, through the local saver, optionally moved
// into the photo library when finished.
#include <utility>

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
    bool running = false;
    {
        std::lock_guard lock(mutex_);
        running = recordingRequested_;
        if (!running) {
            recordingRequested_ = true;
            writeFailureReported_ = false;
            saverStart_ = SaverStart::NotArmed;
        }
    }
    if (running) {
        if (completion) completion(false, KNError::errorWithCodesMessage({110003}, "Local saver already started"));
        return;
    }
    if (auto session = captureSession(); session && !session->isRunning()) session->startRunning();
    const bool encodersWereRunning = encodersRunning_.load();
    startEncoders();
    // The file's sound and picture share the encoders' time origin: restarting the sound's alone
    // while the picture runs on would put the picture late by the time streamed so far.
    if (!encodersWereRunning) nAACEncoder_->setFirstAudioPacket(true);
    localSaver_->setSavingEnabled(true, nullptr);
    localSaver_->setSavingAudioAndVideo(isSendingAudio_, isSendingVideo_, nullptr);
    {
        // Only now may the audio encoder's "configured" report start the saver: before, the saver
        // would ignore the start.
        std::lock_guard lock(mutex_);
        if (recordingRequested_ && saverStart_ == SaverStart::NotArmed) saverStart_ = SaverStart::Armed;
    }
    if (!isSendingAudio_ || nAACEncoder_->isConfigured()) {
        // Answered once, by the saver's outcome, whichever of this call and the encoder's report
        // started it.
        startLocalSaving(std::move(completion));
        return;
    }
    // The audio track needs the encoder's magic cookie: the file starts when it is configured,
    // and a failure then is reported as an error.
    if (completion) completion(true, nullptr);
}

void KNInternalRecorder::startLocalSaving(Completion completion) {
    bool writing = false;
    {
        std::lock_guard lock(mutex_);
        if (saverStart_ == SaverStart::Starting) {
            // One start is on its way: a second would rename its file; its outcome answers both.
            saverStartWaiters_.push_back(std::move(completion));
            return;
        }
        writing = saverStart_ == SaverStart::Started;
        if (!writing) {
            saverStart_ = SaverStart::Starting;
            saverStartWaiters_.push_back(std::move(completion));
        }
    }
    if (writing) {
        if (completion) completion(true, nullptr);
        return;
    }
    localSaver_->setFilename(components_->nameForLocalFile());
    localSaver_->startSavingStream([weak = weak_from_this()](std::shared_ptr<KNError> error) {
        auto self = weak.lock();
        if (!self) return;
        std::vector<Completion> waiters;
        {
            std::lock_guard lock(self->mutex_);
            if (self->saverStart_ == SaverStart::Starting) {
                self->saverStart_ = error ? SaverStart::Failed : SaverStart::Started;
            }
            waiters = std::exchange(self->saverStartWaiters_, {});
        }
        bool answered = false;
        for (auto& waiter : waiters) {
            if (!waiter) continue;
            answered = true;
            waiter(error == nullptr, error);
        }
        if (error && !answered) self->forwardError(saverFailure(error));
    });
}

void KNInternalRecorder::AACEncoderDidFinishConfiguring(KNAACEncoderBase*) {
    if (!localSaver_) return;
    localSaver_->setMagicCookie(nAACEncoder_->magicCookie());
    localSaver_->setAudioDecoderDelay(nAACEncoder_->decoderDelay());
    bool start = false;
    {
        // Only a recording that was asked for and whose saver waits for this.
        std::lock_guard lock(mutex_);
        start = recordingRequested_ && saverStart_ == SaverStart::Armed;
    }
    if (start) startLocalSaving(nullptr);
}

void KNInternalRecorder::stopRecordingWithCompletion(StopRecordingCompletion completion) {
    bool saverStarted = false;
    {
        std::lock_guard lock(mutex_);
        recordingRequested_ = false;
        saverStarted = saverStart_ == SaverStart::Starting || saverStart_ == SaverStart::Started;
        saverStart_ = SaverStart::NotArmed;
    }
    // Without a stream the encoders stop, whether or not a file was being written.
    const bool encodersStopped = stopEncodersUnlessNeeded();
    if (!saverStarted) {
        if (localSaver_) localSaver_->setSavingEnabled(false, nullptr);
        if (completion) completion(false, KNError::errorWithCodesMessage({110003}, "Local saver not running"), {});
        return;
    }
    auto finish = [self = shared_from_this(), completion = std::move(completion)]() mutable {
        self->finishLocalSaving(std::move(completion));
    };
    // The file is finished after the encoders' last output has reached it.
    if (encodersStopped) return afterEncodersDrained(std::move(finish));
    finish();
}

void KNInternalRecorder::finishLocalSaving(StopRecordingCompletion completion) {
    localSaver_->stopSavingStream([self = shared_from_this(), completion = std::move(completion)](
                                      std::optional<std::filesystem::path> file, std::shared_ptr<KNError> error) {
        self->localSaver_->setSavingEnabled(false, nullptr);
        if (error || !file) {
            if (!error) error = KNError::errorWithCodesMessage({110003}, "Local saver not running");
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
            return;
        }
        if (!error) error = KNError::errorWithCodesMessage({100001}, "Could not post video in photos app");
        completion(false, error, {});
    });
}

void KNInternalRecorder::localSaverDidFailWriting(const std::shared_ptr<KNError>& error) {
    {
        // Every packet behind a failed one fails as well: one report per recording.
        std::lock_guard lock(mutex_);
        if (!recordingRequested_ || writeFailureReported_) return;
        writeFailureReported_ = true;
        recordingRequested_ = false;
        saverStart_ = SaverStart::NotArmed;
    }
    stopLocalSavingAndReportError(error);
    // Nothing needs the encoders once the file is gone and no stream runs.
    stopEncodersUnlessNeeded();
}

void KNInternalRecorder::stopLocalSavingAndReportError(const std::shared_ptr<KNError>& error) {
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
