#pragma once
// The system calls the V4L2 camera makes, behind one interface so that tests can stand in for a
// device. The system's own answers -1 with errno set, as the calls do.
#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace platform {

class V4L2Io {
public:
    virtual ~V4L2Io() = default;
    static std::shared_ptr<V4L2Io> system();

    // The device nodes that may be cameras (/dev/video*), in name order.
    virtual std::vector<std::string> candidateNodes();
    virtual int open(const std::string& path);
    virtual int close(int fd);
    virtual int ioctl(int fd, unsigned long request, void* argument);
    virtual void* mmap(size_t length, int fd, off_t offset);
    virtual int munmap(void* address, size_t length);
    // Waits for a frame; > 0 when one is ready, 0 on time-out.
    virtual int poll(int fd, int timeoutMs);
};

}  // namespace platform
