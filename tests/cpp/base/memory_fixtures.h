// The test process's memory as the kernel reports it, and limits on it for the length of
// a scope, read and set here without the engine's help.
#pragma once

#include <sys/resource.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>

namespace tarnwick::testing_support {

// The address space the process maps now (the first field of /proc/self/statm, in pages).
inline std::size_t mapped_bytes() {
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0;
    statm >> pages;
    return pages * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

// The memory the process holds resident now (the second field of /proc/self/statm).
inline std::size_t resident_bytes() {
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0;
    statm >> pages >> pages;
    return pages * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

// MemAvailable of /proc/meminfo, in bytes.
inline std::size_t available_bytes() {
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    std::size_t kib = 0;
    std::string unit;
    while (meminfo >> key >> kib >> unit) {
        if (key == "MemAvailable:") return kib * 1024;
    }
    return 0;
}

// RLIMIT_AS held at `extra` bytes beyond the address space mapped when the scope begins;
// the limit before it comes back at its end.
class AddressSpaceLimit {
public:
    explicit AddressSpaceLimit(std::size_t extra) {
        ::getrlimit(RLIMIT_AS, &saved_);
        rlimit held = saved_;
        held.rlim_cur = mapped_bytes() + extra;
        set_ = ::setrlimit(RLIMIT_AS, &held) == 0;
    }
    ~AddressSpaceLimit() { ::setrlimit(RLIMIT_AS, &saved_); }
    AddressSpaceLimit(const AddressSpaceLimit&) = delete;
    AddressSpaceLimit& operator=(const AddressSpaceLimit&) = delete;

    bool set() const { return set_; }

private:
    rlimit saved_{};
    bool set_ = false;
};

}  // namespace tarnwick::testing_support
