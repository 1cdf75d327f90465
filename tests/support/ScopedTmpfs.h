#pragma once
// A small tmpfs mounted for one test, in a private mount namespace so no other process sees it.
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

namespace kntest {

class ScopedTmpfs {
public:
    ScopedTmpfs(const std::string& dir, size_t sizeBytes) : dir_(dir) {
        std::filesystem::create_directories(dir);
        if (!inPrivateNamespace() && (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)) {
            reason_ = std::string("no private mount namespace: ") + std::strerror(errno);
            return;
        }
        const std::string options = "size=" + std::to_string(sizeBytes) + ",mode=0755";
        if (mount("tmpfs", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
            reason_ = "cannot mount a tmpfs on " + dir + ": " + std::strerror(errno);
            return;
        }
        mounted_ = true;
    }
    ~ScopedTmpfs() {
        if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
    }
    ScopedTmpfs(const ScopedTmpfs&) = delete;
    ScopedTmpfs& operator=(const ScopedTmpfs&) = delete;

    bool mounted() const { return mounted_; }
    const std::string& reason() const { return reason_; }

private:
    // The e2e launcher runs tests in a namespace of their own, with private propagation.
    static bool inPrivateNamespace() {
        std::error_code ec;
        const auto self = std::filesystem::read_symlink("/proc/self/ns/mnt", ec);
        const auto init = std::filesystem::read_symlink("/proc/1/ns/mnt", ec);
        return !ec && self != init;
    }

    std::string dir_;
    bool mounted_ = false;
    std::string reason_;
};

}  // namespace kntest
