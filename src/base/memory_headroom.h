// The memory the process can get now. RAM and swap together say only what no request
// can pass; a process held to an address-space limit or a memory control group, or
// sharing the machine, meets its end long before that: past the limit the allocation
// fails, or the pages are promised and the out-of-memory killer ends the process when
// they are first written. Sizes that can be refused before any work are compared with
// this instead, and the block cache keeps only a small share of it.
#pragma once

#include <cstddef>
#include <optional>

namespace tarnwick::base {

// Bytes the process can still get now: the least of what its address-space limit
// (RLIMIT_AS) leaves beyond the address space it maps, what its memory control groups
// leave (each group's limit less its use, up the hierarchy, cgroup v2 or v1; file pages
// in the cache count as free, since the kernel reclaims them before it refuses), and
// what the system reports available. A limit that is not set or cannot be read is no
// limit. It reads a few small files under /proc and /sys, some tens of microseconds, and
// allocates nothing: made once for a decision, not per allocation.
std::size_t memory_headroom() noexcept;

namespace headroom_detail {

// What the process's memory control groups leave, read from the given copies of
// /proc/self/cgroup and /proc/self/mountinfo (the groups themselves are read where those
// place them); nothing when no group sets a limit that can be read.
std::optional<std::size_t> cgroup_headroom(const char* cgroup_file, const char* mountinfo_file) noexcept;

}  // namespace headroom_detail

}  // namespace tarnwick::base
