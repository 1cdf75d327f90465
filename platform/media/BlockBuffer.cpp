#include "platform/media/BlockBuffer.h"

#include <cstring>

namespace platform {

std::shared_ptr<BlockBuffer> BlockBuffer::createWithBytes(std::vector<uint8_t> bytes) {
    return std::shared_ptr<BlockBuffer>(new BlockBuffer(std::make_shared<const std::vector<uint8_t>>(std::move(bytes))));
}

std::shared_ptr<BlockBuffer> BlockBuffer::createSharing(std::shared_ptr<const std::vector<uint8_t>> bytes) {
    if (!bytes) return nullptr;
    return std::shared_ptr<BlockBuffer>(new BlockBuffer(std::move(bytes)));
}

std::shared_ptr<BlockBuffer> BlockBuffer::createCopying(const void* data, size_t sizeBytes) {
    if (!data && sizeBytes > 0) return nullptr;
    const auto* p = static_cast<const uint8_t*>(data);
    return createWithBytes(std::vector<uint8_t>(p, p + sizeBytes));
}

MediaStatus BlockBuffer::dataPointer(size_t offset, size_t* lengthAtOffset, size_t* totalLength,
                                     const uint8_t** pointer) const {
    if (offset >= size()) return kMediaErrParam;
    if (lengthAtOffset) *lengthAtOffset = size() - offset;
    if (totalLength) *totalLength = size();
    if (pointer) *pointer = data() + offset;
    return kMediaNoErr;
}

MediaStatus BlockBuffer::copyDataBytes(size_t offset, size_t length, void* destination) const {
    if (offset > size() || length > size() - offset || (!destination && length > 0)) {
        return kMediaErrParam;
    }
    if (length > 0) std::memcpy(destination, data() + offset, length);
    return kMediaNoErr;
}

}  // namespace platform
