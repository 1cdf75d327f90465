#pragma once
// A contiguous, immutable run of bytes shared by every sample buffer that refers to it.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "kestrune/platform/media/MediaStatus.h"

namespace platform {

class BlockBuffer {
public:
    static std::shared_ptr<BlockBuffer> createWithBytes(std::vector<uint8_t> bytes);
    static std::shared_ptr<BlockBuffer> createCopying(const void* data, size_t sizeBytes);
    // Refers to `bytes` without copying and keeps them alive while the buffer lives. Null for null.
    static std::shared_ptr<BlockBuffer> createSharing(std::shared_ptr<const std::vector<uint8_t>> bytes);

    const uint8_t* data() const { return bytes_->data(); }
    size_t size() const { return bytes_->size(); }
    bool empty() const { return bytes_->empty(); }
    const std::vector<uint8_t>& bytes() const { return *bytes_; }

    // The bytes from `offset` on. Any out-parameter may be null. Fails for an offset past the end
    // (an empty buffer has no byte at offset 0 either).
    MediaStatus dataPointer(size_t offset, size_t* lengthAtOffset, size_t* totalLength,
                            const uint8_t** pointer) const;
    MediaStatus copyDataBytes(size_t offset, size_t length, void* destination) const;

private:
    explicit BlockBuffer(std::shared_ptr<const std::vector<uint8_t>> bytes) : bytes_(std::move(bytes)) {}
    const std::shared_ptr<const std::vector<uint8_t>> bytes_;
};

}  // namespace platform
