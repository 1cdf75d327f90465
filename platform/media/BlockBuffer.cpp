#include "platform/media/BlockBuffer.h"

#include <cstring>

namespace platform {

std::shared_ptr<BlockBuffer> BlockBuffer::createWithBytes(std::vector<uint8_t> bytes) {
    return std::shared_ptr<BlockBuffer>(new BlockBuffer(std::move(bytes)));
}

std::shared_ptr<BlockBuffer> BlockBuffer::createCopying(const void* data, size_t sizeBytes) {
    if (!data && sizeBytes > 0) return nullptr;
    const auto* p = static_cast<const uint8_t*>(data);
    return createWithBytes(std::vector<uint8_t>(p, p + sizeBytes));
}

MediaStatus BlockBuffer::dataPointer(size_t offset, size_t* lengthAtOffset, size_t* totalLength,
                                     const uint8_t** pointer) const {
    if (offset >= bytes_.size()) return kMediaErrParam;
    if (lengthAtOffset) *lengthAtOffset = bytes_.size() - offset;
    if (totalLength) *totalLength = bytes_.size();
    if (pointer) *pointer = bytes_.data() + offset;
    return kMediaNoErr;
}

MediaStatus BlockBuffer::copyDataBytes(size_t offset, size_t length, void* destination) const {
    if (offset > bytes_.size() || length > bytes_.size() - offset || (!destination && length > 0)) {
        return kMediaErrParam;
    }
    if (length > 0) std::memcpy(destination, bytes_.data() + offset, length);
    return kMediaNoErr;
}

}  // namespace platform
