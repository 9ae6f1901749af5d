// Transparent huge pages for large buffers about to be written for the first time.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tarnwick::base {

// Asks for transparent huge pages behind a large buffer that has not been written yet.
// A fresh output of a million values is otherwise faulted in 4 KiB at a time, which costs
// more than computing most indicators or stepping a cheap run; NumPy gives its own large
// arrays the same advice. Only whole 2 MiB pages inside the buffer are advised, and a
// refusal changes nothing but speed.
inline void advise_huge_pages([[maybe_unused]] const void* data, [[maybe_unused]] std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::size_t kMinBytes = std::size_t{4} << 20;
    constexpr std::uintptr_t kHuge = std::uintptr_t{1} << 21;
    if (bytes < kMinBytes) return;
    const auto start = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t begin = (start + kHuge - 1) & ~(kHuge - 1);
    const std::uintptr_t end = (start + bytes) & ~(kHuge - 1);
    if (end > begin) (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#endif
}

}  // namespace tarnwick::base
