#pragma once
// What a host may do with the push streamer's local saver. Only the library's saver implements it.
#include <cstdint>
#include <memory>
#include <string>

class KNError;
class KNLocalSaver;

class KNLocalSaverControls {
public:
    virtual ~KNLocalSaverControls() = default;
    KNLocalSaverControls(const KNLocalSaverControls&) = delete;
    KNLocalSaverControls& operator=(const KNLocalSaverControls&) = delete;

    // The next file's name, without folder or extension.
    virtual std::string filename() const = 0;
    virtual uint64_t width() const = 0;
    virtual uint64_t height() const = 0;
    virtual uint64_t audioSampleRate() const = 0;
    virtual bool savingEnabled() const = 0;
    virtual bool savingAudio() const = 0;
    virtual bool savingVideo() const = 0;
    // Refused while started (110004); both off is refused too (110006). A refusal changes nothing.
    virtual void setSavingAudioAndVideoError(bool audio, bool video, std::shared_ptr<KNError>* error) = 0;
    // A file is being written.
    virtual bool started() const = 0;

private:
    friend class KNLocalSaver;
    KNLocalSaverControls() = default;
};
