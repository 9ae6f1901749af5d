#include "base/memory_headroom.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

namespace tarnwick::base {

namespace {

constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max();
// Longest path kept for a control group's directory; a longer one is not read.
constexpr std::size_t kPathBytes = 512;
// A cgroup v1 limit at or above this is the kernel's "unlimited" (2^63 less a page).
constexpr std::uint64_t kV1Unlimited = std::uint64_t{1} << 62;

// The lines of a file, read through a fixed buffer: nothing here may allocate, as the
// block cache asks while memory is short. A line longer than the buffer is skipped.
class Lines {
public:
    explicit Lines(const char* path) noexcept : fd_(::open(path, O_RDONLY | O_CLOEXEC)) {}
    ~Lines() {
        if (fd_ >= 0) ::close(fd_);
    }
    Lines(const Lines&) = delete;
    Lines& operator=(const Lines&) = delete;

    // The next line without its newline, or false at the end of the file.
    bool next(std::string_view& line) noexcept {
        for (bool skipping = false;;) {
            const char* nl = static_cast<const char*>(std::memchr(buf_ + begin_, '\n', end_ - begin_));
            if (nl != nullptr) {
                const std::size_t at = static_cast<std::size_t>(nl - buf_);
                line = std::string_view(buf_ + begin_, at - begin_);
                begin_ = at + 1;
                if (!skipping) return true;
                skipping = false;
                continue;
            }
            if (begin_ == 0 && end_ == sizeof(buf_)) {  // a line longer than the buffer
                end_ = 0;
                skipping = true;
            }
            std::memmove(buf_, buf_ + begin_, end_ - begin_);
            end_ -= begin_;
            begin_ = 0;
            const ssize_t got = fd_ < 0 ? 0 : read_some();
            if (got <= 0) {  // the end: a last line without a newline still counts
                if (end_ == 0 || skipping) return false;
                line = std::string_view(buf_, end_);
                begin_ = end_;
                return true;
            }
            end_ += static_cast<std::size_t>(got);
        }
    }

private:
    ssize_t read_some() noexcept {
        for (;;) {
            const ssize_t got = ::read(fd_, buf_ + end_, sizeof(buf_) - end_);
            if (got >= 0 || errno != EINTR) return got;
        }
    }

    int fd_;
    char buf_[4096];
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};

// A whole decimal number (saturating), or nothing.
std::optional<std::uint64_t> parse_count(std::string_view text) noexcept {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\n')) text.remove_suffix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        v = v > (std::numeric_limits<std::uint64_t>::max() - digit) / 10 ? std::numeric_limits<std::uint64_t>::max()
                                                                            : v * 10 + digit;
    }
    return v;
}

// The first line of a file as a number: "max" is no limit (nothing), as is a file that
// cannot be read or holds anything else.
std::optional<std::uint64_t> read_count(const char* path) noexcept {
    Lines lines(path);
    std::string_view line;
    if (!lines.next(line)) return std::nullopt;
    return parse_count(line);
}

// The number after `key` on the line that starts with "key " in a file of such lines
// (memory.stat, /proc/meminfo), or nothing.
std::optional<std::uint64_t> read_keyed(const char* path, std::string_view key) noexcept {
    Lines lines(path);
    std::string_view line;
    while (lines.next(line)) {
        if (line.size() <= key.size() || line.substr(0, key.size()) != key) continue;
        std::string_view rest = line.substr(key.size());
        if (rest.front() != ' ' && rest.front() != ':') continue;
        rest.remove_prefix(1);
        while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
        if (rest.size() >= 3 && rest.substr(rest.size() - 3) == " kB") {
            const std::optional<std::uint64_t> kib = parse_count(rest.substr(0, rest.size() - 3));
            if (!kib) return std::nullopt;
            return *kib > std::numeric_limits<std::uint64_t>::max() / 1024 ? std::numeric_limits<std::uint64_t>::max()
                                                                          : *kib * 1024;
        }
        return parse_count(rest);
    }
    return std::nullopt;
}

// Field `index` of a line of fields separated by `sep`.
std::string_view field(std::string_view line, std::size_t index, char sep) noexcept {
    for (std::size_t i = 0; i < index; ++i) {
        const std::size_t at = line.find(sep);
        if (at == std::string_view::npos) return {};
        line.remove_prefix(at + 1);
    }
    return line.substr(0, line.find(sep));
}

bool has_token(std::string_view list, std::string_view token) noexcept {
    while (!list.empty()) {
        const std::size_t at = list.find(',');
        if (list.substr(0, at) == token) return true;
        if (at == std::string_view::npos) break;
        list.remove_prefix(at + 1);
    }
    return false;
}

// A path held in a fixed buffer.
struct Path {
    char text[kPathBytes] = {};
    std::size_t size = 0;

    bool assign(std::string_view s) noexcept {
        size = 0;
        return append(s);
    }
    bool append(std::string_view s) noexcept {
        if (size + s.size() >= kPathBytes) return false;
        if (!s.empty()) std::memcpy(text + size, s.data(), s.size());
        size += s.size();
        text[size] = '\0';
        return true;
    }
    std::string_view view() const noexcept { return {text, size}; }
};

// The two forms of control group: v1's memory hierarchy and the v2 hierarchy.
enum class Form { V1, V2 };

// Where a hierarchy is mounted, and which of its groups that mount shows at its top.
struct Mount {
    bool found = false;
    Path point;
    Path root;
};
struct Mounts {
    Mount v1, v2;
};

Mounts find_mounts(const char* mountinfo_file) noexcept {
    Mounts out;
    Lines lines(mountinfo_file);
    std::string_view line;
    while (lines.next(line)) {
        // "id parent major:minor root mount-point options [optional...] - fstype source super-options"
        const std::size_t dash = line.find(" - ");
        if (dash == std::string_view::npos) continue;
        const std::string_view tail = line.substr(dash + 3);
        const std::string_view fstype = field(tail, 0, ' ');
        Mount* m = nullptr;
        if (fstype == "cgroup2") {
            m = &out.v2;
        } else if (fstype == "cgroup" && has_token(field(tail, 2, ' '), "memory")) {
            m = &out.v1;
        }
        if (m == nullptr || m->found) continue;
        m->found = m->root.assign(field(line, 3, ' ')) && m->point.assign(field(line, 4, ' '));
    }
    return out;
}

// The directory of the process's group in one hierarchy: its mount point followed by the
// group's path below the mount's root. False when the group lies outside what is mounted.
bool group_directory(const Mount& mount, std::string_view group, Path& dir) noexcept {
    std::string_view root = mount.root.view();
    if (root == "/") root = {};
    if (group.substr(0, root.size()) != root) return false;
    group.remove_prefix(root.size());
    if (!group.empty() && group.front() != '/') return false;
    if (group == "/") group = {};
    return dir.assign(mount.point.view()) && dir.append(group);
}

// What one group leaves: its limit less its use, the file pages it holds counting as
// free. Nothing when it sets no limit.
std::optional<std::size_t> group_headroom(Form form, const Path& dir) noexcept {
    const bool v2 = form == Form::V2;
    // The group's file `name`; a path too long to hold opens nothing.
    Path path;
    auto file = [&](const char* name) {
        if (!path.assign(dir.view()) || !path.append(name)) path.assign({});
        return path.text;
    };
    std::optional<std::uint64_t> limit = read_count(file(v2 ? "/memory.max" : "/memory.limit_in_bytes"));
    if (limit && !v2 && *limit >= kV1Unlimited) limit.reset();
    if (!limit) return std::nullopt;
    const std::optional<std::uint64_t> used = read_count(file(v2 ? "/memory.current" : "/memory.usage_in_bytes"));
    if (!used) return std::nullopt;
    std::uint64_t files = 0;
    const char* stat = file("/memory.stat");
    for (const char* key : {v2 ? "active_file" : "total_active_file", v2 ? "inactive_file" : "total_inactive_file"}) {
        files += read_keyed(stat, key).value_or(0);
    }
    const std::uint64_t held = *used - std::min(*used, files);
    return static_cast<std::size_t>(*limit > held ? *limit - held : 0);
}

// The least that the groups from `dir` up to the mount's top leave.
std::size_t hierarchy_headroom(Form form, const Mount& mount, Path dir) noexcept {
    std::size_t least = kNoLimit;
    for (;;) {
        if (const std::optional<std::size_t> h = group_headroom(form, dir)) least = std::min(least, *h);
        if (dir.size <= mount.point.size) return least;
        const std::size_t slash = dir.view().rfind('/');
        dir.size = std::max(slash, mount.point.size);
        dir.text[dir.size] = '\0';
    }
}

std::size_t cgroups_headroom(const Mounts& mounts, const char* cgroup_file) noexcept {
    std::size_t least = kNoLimit;
    Lines lines(cgroup_file);
    std::string_view line;
    while (lines.next(line)) {
        // "hierarchy-id:controllers:path"; v2 has id 0 and no controllers.
        const std::string_view controllers = field(line, 1, ':');
        const std::size_t second = line.find(':', line.find(':') + 1);
        if (second == std::string_view::npos) continue;
        const std::string_view group = line.substr(second + 1);
        const bool v2 = field(line, 0, ':') == "0" && controllers.empty();
        const Mount& mount = v2 ? mounts.v2 : mounts.v1;
        if (!mount.found || (!v2 && !has_token(controllers, "memory"))) continue;
        Path dir;
        if (!group_directory(mount, group, dir)) continue;
        least = std::min(least, hierarchy_headroom(v2 ? Form::V2 : Form::V1, mount, dir));
    }
    return least;
}

// What the address-space limit leaves beyond the address space already mapped.
std::size_t address_space_headroom() noexcept {
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kNoLimit;
    Lines statm("/proc/self/statm");
    std::string_view line;
    if (!statm.next(line)) return kNoLimit;
    const std::optional<std::uint64_t> pages = parse_count(field(line, 0, ' '));
    const long page = ::sysconf(_SC_PAGESIZE);
    if (!pages || page <= 0) return kNoLimit;
    const unsigned __int128 mapped = static_cast<unsigned __int128>(*pages) * static_cast<unsigned long>(page);
    return mapped >= limit.rlim_cur ? 0 : static_cast<std::size_t>(limit.rlim_cur - mapped);
}

// What the system reports available; on a kernel that does not say, RAM and swap
// together, which no request can pass.
std::size_t system_headroom() noexcept {
    if (const std::optional<std::uint64_t> available = read_keyed("/proc/meminfo", "MemAvailable")) {
        return static_cast<std::size_t>(*available);
    }
    struct sysinfo info {};
    if (::sysinfo(&info) != 0) return kNoLimit;
    const unsigned __int128 total =
        (static_cast<unsigned __int128>(info.totalram) + info.totalswap) * std::max<unsigned>(info.mem_unit, 1);
    return static_cast<std::size_t>(std::min<unsigned __int128>(total, kNoLimit));
}

}  // namespace

namespace headroom_detail {

std::optional<std::size_t> cgroup_headroom(const char* cgroup_file, const char* mountinfo_file) noexcept {
    const std::size_t h = cgroups_headroom(find_mounts(mountinfo_file), cgroup_file);
    if (h == kNoLimit) return std::nullopt;
    return h;
}

}  // namespace headroom_detail

std::size_t memory_headroom() noexcept {
    // Mounts stay where they are; the process's groups may change, and are read each time.
    static const Mounts mounts = find_mounts("/proc/self/mountinfo");
    return std::min({address_space_headroom(), cgroups_headroom(mounts, "/proc/self/cgroup"), system_headroom()});
}

}  // namespace tarnwick::base
