#pragma once
// Finds the microphone unit and makes instances of it. The built-in component picks its backend by
// KESTRUNE_AUDIO_BACKEND ("synthetic" or "alsa"), else ALSA when the machine has a sound card and
// the synthetic tone when it has none.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/audio/AudioInputUnit.h"

namespace platform {

struct AudioComponentDescription {
    uint32_t componentType = 0;
    uint32_t componentSubType = 0;
    uint32_t componentManufacturer = 0;
    uint32_t componentFlags = 0;
    uint32_t componentFlagsMask = 0;
};
constexpr uint32_t kAudioUnitTypeOutput = fourCC("auou");
constexpr uint32_t kAudioUnitSubTypeMicrophoneIO = fourCC("rioc");
constexpr uint32_t kAudioUnitManufacturerSystem = fourCC("ksys");

enum class AudioBackend { Synthetic, Alsa };

class AudioComponent {
public:
    using Factory = std::function<MediaStatus(std::shared_ptr<AudioInputUnit>* unit)>;

    // The first component after `previous` (null: from the start) whose type, subtype and maker
    // match the description's non-zero fields; null when none is left.
    static std::shared_ptr<AudioComponent> findNext(const std::shared_ptr<AudioComponent>& previous,
                                                    const AudioComponentDescription& description);
    // A new unit, or a failure status with *unit left null (no device, device busy).
    MediaStatus instanceNew(std::shared_ptr<AudioInputUnit>* unit) const;
    const AudioComponentDescription& description() const { return description_; }

    static AudioBackend selectedBackend();
    // The rate the selected backend's hardware runs at when asked for `preferred` Hz.
    static double hardwareSampleRate(double preferred);

    // Test hook: a component searched before the built-in ones until unregistered.
    static std::shared_ptr<AudioComponent> registerComponent(const AudioComponentDescription& description,
                                                             Factory factory);
    static void unregisterComponent(const std::shared_ptr<AudioComponent>& component);

    AudioComponent(const AudioComponentDescription& description, Factory factory);

private:
    AudioComponentDescription description_;
    Factory factory_;
};

}  // namespace platform
