#include "platform/audio/AudioComponent.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/audio/AlsaInputUnit.h"
#include "platform/audio/SyntheticInputUnit.h"

namespace platform {

namespace {

bool matches(const AudioComponentDescription& have, const AudioComponentDescription& want) {
    auto field = [](uint32_t mine, uint32_t asked) { return asked == 0 || mine == asked; };
    return field(have.componentType, want.componentType) && field(have.componentSubType, want.componentSubType) &&
           field(have.componentManufacturer, want.componentManufacturer);
}

bool machineHasSoundCard() {
    int card = -1;
    return snd_card_next(&card) == 0 && card >= 0;
}

MediaStatus makeBuiltInUnit(std::shared_ptr<AudioInputUnit>* unit) {
    if (AudioComponent::selectedBackend() == AudioBackend::Alsa) {
        return AlsaInputUnit::create(AlsaInputUnit::deviceFromEnvironment(), unit);
    }
    *unit = std::make_shared<SyntheticInputUnit>();
    return kMediaNoErr;
}

struct Registry {
    std::mutex mutex;
    std::vector<std::shared_ptr<AudioComponent>> components;

    Registry() {
        AudioComponentDescription microphone;
        microphone.componentType = kAudioUnitTypeOutput;
        microphone.componentSubType = kAudioUnitSubTypeMicrophoneIO;
        microphone.componentManufacturer = kAudioUnitManufacturerSystem;
        components.push_back(std::make_shared<AudioComponent>(microphone, makeBuiltInUnit));
    }
};

Registry& registry() {
    static Registry* shared = new Registry;
    return *shared;
}

}  // namespace

AudioComponent::AudioComponent(const AudioComponentDescription& description, Factory factory)
    : description_(description), factory_(std::move(factory)) {}

std::shared_ptr<AudioComponent> AudioComponent::findNext(const std::shared_ptr<AudioComponent>& previous,
                                                         const AudioComponentDescription& description) {
    Registry& shared = registry();
    std::lock_guard lock(shared.mutex);
    auto it = shared.components.begin();
    if (previous) {
        it = std::find(shared.components.begin(), shared.components.end(), previous);
        if (it == shared.components.end()) return nullptr;
        ++it;
    }
    for (; it != shared.components.end(); ++it) {
        if (matches((*it)->description_, description)) return *it;
    }
    return nullptr;
}

MediaStatus AudioComponent::instanceNew(std::shared_ptr<AudioInputUnit>* unit) const {
    if (!unit) return kMediaErrParam;
    unit->reset();
    const MediaStatus status = factory_ ? factory_(unit) : kAudioUnitErrNoDevice;
    if (status != kMediaNoErr) unit->reset();
    if (status == kMediaNoErr && !*unit) return kAudioUnitErrNoDevice;
    return status;
}

AudioBackend AudioComponent::selectedBackend() {
    const char* asked = std::getenv("KESTRUNE_AUDIO_BACKEND");
    if (asked && std::strcmp(asked, "alsa") == 0) return AudioBackend::Alsa;
    if (asked && std::strcmp(asked, "synthetic") == 0) return AudioBackend::Synthetic;
    return machineHasSoundCard() ? AudioBackend::Alsa : AudioBackend::Synthetic;
}

double AudioComponent::hardwareSampleRate(double preferred) {
    if (selectedBackend() == AudioBackend::Alsa) {
        return AlsaInputUnit::probeSampleRate(AlsaInputUnit::deviceFromEnvironment(), preferred);
    }
    return SyntheticInputUnit::nearestSampleRate(preferred);
}

std::shared_ptr<AudioComponent> AudioComponent::registerComponent(const AudioComponentDescription& description,
                                                                  Factory factory) {
    auto component = std::make_shared<AudioComponent>(description, std::move(factory));
    Registry& shared = registry();
    std::lock_guard lock(shared.mutex);
    shared.components.insert(shared.components.begin(), component);
    return component;
}

void AudioComponent::unregisterComponent(const std::shared_ptr<AudioComponent>& component) {
    Registry& shared = registry();
    std::lock_guard lock(shared.mutex);
    std::erase(shared.components, component);
}

}  // namespace platform
