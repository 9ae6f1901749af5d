#include <gtest/gtest.h>

#include <unistd.h>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/memory_headroom.h"
#include "test_names.h"

using namespace tarnwick;
using namespace tarnwick::base;
using tarnwick::testing_support::test_name;

namespace {

// ---------------------------------------------------------------------------
// Memory control groups, read from trees laid out like the kernel's

// A tree under a fresh directory: the files, a copy of /proc/self/cgroup and one of
// /proc/self/mountinfo, with "{root}" standing for the directory.
struct GroupCase {
    const char* name;
    std::vector<std::pair<std::string, std::string>> files;  // path under the root, content
    std::string cgroup;
    std::string mountinfo;
    std::optional<std::size_t> headroom;
};

// The kernel's mount lines: the v2 hierarchy, v1's cpu and v1's memory hierarchy.
const std::string kV2Mount = "25 1 0:22 / {root}/v2 rw,nosuid,nodev,noexec,relatime shared:4 - cgroup2 cgroup2 rw\n";
const std::string kCpuMount = "32 31 0:29 / {root}/cpu rw,relatime shared:9 - cgroup cgroup rw,cpu,cpuacct\n";
const std::string kV1Mount = "35 31 0:32 / {root}/v1 rw,relatime shared:12 - cgroup cgroup rw,memory\n";
const std::string kAllMounts = "22 1 8:1 / / rw,relatime - ext4 /dev/vda rw\n" + kV2Mount + kCpuMount + kV1Mount;
// v1's "no limit": 2^63 less a page.
const std::string kV1Unlimited = "9223372036854771712\n";

std::string with_root(std::string text, const std::string& root) {
    for (std::size_t at; (at = text.find("{root}")) != std::string::npos;) text.replace(at, 6, root);
    return text;
}

class CgroupHeadroom : public ::testing::TestWithParam<GroupCase> {};

TEST_P(CgroupHeadroom, IsTheLeastAnyGroupUpTheHierarchyLeaves) {
    const GroupCase& c = GetParam();
    namespace fs = std::filesystem;
    const fs::path root = fs::temp_directory_path() / ("tarnwick_cgroups_" + std::to_string(::getpid()) + "_" + test_name(c.name));
    fs::remove_all(root);
    for (const auto& [path, content] : c.files) {
        fs::create_directories((root / path).parent_path());
        std::ofstream(root / path) << content;
    }
    std::ofstream(root / "cgroup") << c.cgroup;
    std::ofstream(root / "mountinfo") << with_root(c.mountinfo, root.string());
    EXPECT_EQ(headroom_detail::cgroup_headroom((root / "cgroup").c_str(), (root / "mountinfo").c_str()), c.headroom);
    fs::remove_all(root);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CgroupHeadroom,
    ::testing::Values(
        // 1,000,000 - (400,000 used - 150,000 of file pages).
        GroupCase{"v2 limit less use less file pages",
                  {{"v2/a/b/memory.max", "1000000\n"},
                   {"v2/a/b/memory.current", "400000\n"},
                   {"v2/a/b/memory.stat", "anon 250000\nfile 150000\nactive_file 100000\ninactive_file 50000\n"}},
                  "0::/a/b\n", kAllMounts, 750000},
        GroupCase{"v2 a parent leaves less",
                  {{"v2/a/b/memory.max", "max\n"},
                   {"v2/a/b/memory.current", "100\n"},
                   {"v2/a/memory.max", "500000\n"},
                   {"v2/a/memory.current", "450000\n"},
                   {"v2/memory.max", "max\n"}},
                  "0::/a/b\n", kAllMounts, 50000},
        GroupCase{"v2 use past the limit leaves nothing",
                  {{"v2/a/memory.max", "1000\n"}, {"v2/a/memory.current", "5000\n"}},
                  "0::/a\n", kAllMounts, 0},
        GroupCase{"v2 a limit without its use is none",
                  {{"v2/a/memory.max", "1000\n"}},
                  "0::/a\n", kAllMounts, std::nullopt},
        GroupCase{"v2 the top group itself",
                  {{"v2/memory.max", "5000\n"}, {"v2/memory.current", "1000\n"}},
                  "0::/\n", kAllMounts, 4000},
        // 2 GiB - (1.5 GiB used - 0.5 GiB of file pages in the group and below).
        GroupCase{"v1 hierarchical totals",
                  {{"v1/a/memory.limit_in_bytes", "2147483648\n"},
                   {"v1/a/memory.usage_in_bytes", "1610612736\n"},
                   {"v1/a/memory.stat", "cache 600000000\nactive_file 1\ninactive_file 1\n"
                                        "total_active_file 100000000\ntotal_inactive_file 436870912\n"},
                   {"v1/memory.limit_in_bytes", kV1Unlimited},
                   {"v1/memory.usage_in_bytes", "99999999999\n"}},
                  "5:cpu,cpuacct:/x\n4:memory:/a\n1:name=systemd:/\n", kAllMounts, 1073741824},
        GroupCase{"v1 unlimited is no limit",
                  {{"v1/a/memory.limit_in_bytes", kV1Unlimited}, {"v1/a/memory.usage_in_bytes", "100\n"}},
                  "4:memory:/a\n", kAllMounts, std::nullopt},
        GroupCase{"v1 and v2 the lesser",
                  {{"v1/a/memory.limit_in_bytes", "9000\n"},
                   {"v1/a/memory.usage_in_bytes", "1000\n"},
                   {"v2/b/memory.max", "7000\n"},
                   {"v2/b/memory.current", "1000\n"}},
                  "4:memory:/a\n0::/b\n", kAllMounts, 6000},
        GroupCase{"a group outside what is mounted",
                  {{"v2/other/memory.max", "1000\n"}, {"v2/other/memory.current", "0\n"}},
                  "0::/other\n", "25 1 0:22 /sub {root}/v2 rw - cgroup2 cgroup2 rw\n", std::nullopt},
        GroupCase{"a mount of a group below the top",
                  {{"v2/b/memory.max", "1000\n"}, {"v2/b/memory.current", "0\n"}},
                  "0::/sub/b\n", "25 1 0:22 /sub {root}/v2 rw - cgroup2 cgroup2 rw\n", 1000},
        GroupCase{"no mounts", {}, "0::/a\n4:memory:/a\n", "", std::nullopt}),
    [](const auto& info) { return test_name(info.param.name); });

}  // namespace
