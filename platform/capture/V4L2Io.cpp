#include "platform/capture/V4L2Io.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

namespace platform {

std::shared_ptr<V4L2Io> V4L2Io::system() {
    static const auto io = std::make_shared<V4L2Io>();
    return io;
}

std::vector<std::string> V4L2Io::candidateNodes() {
    std::vector<std::string> nodes;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/dev", error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("video", 0) == 0) nodes.push_back(entry.path().string());
    }
    std::sort(nodes.begin(), nodes.end());
    return nodes;
}

int V4L2Io::open(const std::string& path) { return ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC); }

int V4L2Io::close(int fd) { return ::close(fd); }

int V4L2Io::ioctl(int fd, unsigned long request, void* argument) {
    int result = -1;
    // A signal may interrupt a driver call; the call itself is safe to repeat.
    for (int attempt = 0; attempt < 100; ++attempt) {
        result = ::ioctl(fd, request, argument);
        if (result != -1 || errno != EINTR) break;
    }
    return result;
}

void* V4L2Io::mmap(size_t length, int fd, off_t offset) {
    void* address = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, offset);
    return address == MAP_FAILED ? nullptr : address;
}

int V4L2Io::munmap(void* address, size_t length) { return ::munmap(address, length); }

int V4L2Io::poll(int fd, int timeoutMs) {
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, timeoutMs);
}

}  // namespace platform
