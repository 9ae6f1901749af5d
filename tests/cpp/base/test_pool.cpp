#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>
#include <sched.h>
#include <unistd.h>
#include <mutex>
#include <chrono>

#include "base/errors.h"
#include "base/pool.h"

using namespace tarnwick;
using namespace tarnwick::base;

TEST(Pool, ResultsComeBackInInputOrder) {
    constexpr std::size_t n = 10000;
    auto r = pool::parallel_map<std::uint64_t, OwnError>(n, [](std::size_t i) -> Result<std::uint64_t, OwnError> {
        // Uneven work so that items finish out of order.
        std::uint64_t acc = i;
        for (std::size_t k = 0; k < (i % 97) * 50; ++k) acc = acc * 6364136223846793005ULL + 1;
        (void)acc;
        return static_cast<std::uint64_t>(i * i);
    });
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), n);
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ((*r)[i], i * i);
}

TEST(Pool, ReportsTheLowestFailingIndex) {
    for (int round = 0; round < 20; ++round) {
        auto r = pool::parallel_map<int, OwnError>(2000, [](std::size_t i) -> Result<int, OwnError> {
            if (i == 1500 || i == 37 || i == 999) return err(OwnError{"item " + std::to_string(i)});
            return static_cast<int>(i);
        });
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().first, 37u);
        EXPECT_EQ(r.error().second.text, "item 37");
    }
}

TEST(Pool, FaultsAreCarriedBackLowestIndexFirst) {
    std::string caught;
    try {
        (void)pool::parallel_map<int, OwnError>(500, [](std::size_t i) -> Result<int, OwnError> {
            if (i == 400) throw std::runtime_error("late");
            if (i == 3) fault("early");
            return 0;
        });
    } catch (const Fault& f) {
        caught = f.what();
    }
    EXPECT_EQ(caught, "early");
}

TEST(Pool, UsesSeveralWorkersAndEmptyInputIsFine) {
    auto empty = pool::parallel_map<int, OwnError>(0, [](std::size_t) -> Result<int, OwnError> { return 1; });
    ASSERT_TRUE(empty.ok());
    EXPECT_TRUE(empty->empty());

    if (pool::configured_workers() < 2) GTEST_SKIP() << "single worker configured";
    std::mutex m;
    std::set<std::thread::id> ids;
    std::atomic<int> inside{0};
    std::atomic<int> peak{0};
    auto r = pool::parallel_map<int, OwnError>(64, [&](std::size_t) -> Result<int, OwnError> {
        int now = ++inside;
        int p = peak.load();
        while (now > p && !peak.compare_exchange_weak(p, now)) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        {
            std::lock_guard<std::mutex> g(m);
            ids.insert(std::this_thread::get_id());
        }
        --inside;
        return 0;
    });
    ASSERT_TRUE(r.ok());
    EXPECT_GT(ids.size(), 1u);
    EXPECT_LE(static_cast<std::size_t>(peak.load()), pool::configured_workers());
}

// The CPUs this process may run on, counted from its affinity mask.
std::size_t allowed_cpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return static_cast<std::size_t>(sysconf(_SC_NPROCESSORS_ONLN));
    return static_cast<std::size_t>(CPU_COUNT(&set));
}

struct WorkerCase {
    const char* name;
    const char* num_threads;  // RAYON_NUM_THREADS, nullptr for unset
    const char* num_cpus;     // RAYON_RS_NUM_CPUS, nullptr for unset
    std::size_t asked;        // 0: one per online processor
};

class PoolWorkers : public testing::TestWithParam<WorkerCase> {};

// Only the count is read here: the arena itself is sized once, on first use.
TEST_P(PoolWorkers, FollowTheEnvironmentUpToTheAllowedCpus) {
    const WorkerCase& c = GetParam();
    const char* saved1 = std::getenv("RAYON_NUM_THREADS");
    const char* saved2 = std::getenv("RAYON_RS_NUM_CPUS");
    const std::string s1 = saved1 ? saved1 : "", s2 = saved2 ? saved2 : "";
    c.num_threads ? setenv("RAYON_NUM_THREADS", c.num_threads, 1) : unsetenv("RAYON_NUM_THREADS");
    c.num_cpus ? setenv("RAYON_RS_NUM_CPUS", c.num_cpus, 1) : unsetenv("RAYON_RS_NUM_CPUS");
    const std::size_t asked = c.asked > 0 ? c.asked : static_cast<std::size_t>(sysconf(_SC_NPROCESSORS_ONLN));
    EXPECT_EQ(pool::configured_workers(), std::min(asked, allowed_cpus()));
    saved1 ? setenv("RAYON_NUM_THREADS", s1.c_str(), 1) : unsetenv("RAYON_NUM_THREADS");
    saved2 ? setenv("RAYON_RS_NUM_CPUS", s2.c_str(), 1) : unsetenv("RAYON_RS_NUM_CPUS");
}

INSTANTIATE_TEST_SUITE_P(
    Pool, PoolWorkers,
    testing::Values(WorkerCase{"threads_first", "3", "5", 3}, WorkerCase{"one_thread", "1", nullptr, 1},
                    // Zero and junk fall through to the next source.
                    WorkerCase{"zero_threads_falls_to_cpus", "0", "2", 2},
                    WorkerCase{"junk_falls_to_online", "x", nullptr, 0}, WorkerCase{"nothing_set", nullptr, nullptr, 0},
                    // More than any machine here has: the CPUs the process may use.
                    WorkerCase{"threads_past_the_cpus", "100000", nullptr, 100000},
                    WorkerCase{"cpus_past_the_cpus", nullptr, "100000", 100000}),
    [](const auto& info) { return std::string(info.param.name); });

// A fault that counts how many of its kind are alive at once.
struct CountedFault {
    static inline std::atomic<int> alive{0};
    static inline std::atomic<int> peak{0};
    CountedFault() { note(++alive); }
    CountedFault(const CountedFault&) { note(++alive); }
    ~CountedFault() { --alive; }
    static void note(int now) {
        int p = peak.load();
        while (now > p && !peak.compare_exchange_weak(p, now)) {
        }
    }
};

TEST(Pool, AFailureStopsTheItemsAfterIt) {
    // Item 0 fails at once while every other item takes a millisecond: the items above it
    // that start are the few the other workers had in hand.
    constexpr std::size_t n = 4000;
    const std::size_t workers = pool::configured_workers();
    for (const bool throws : {false, true}) {
        std::atomic<std::size_t> started{0};
        auto body = [&](std::size_t i) -> Result<int, OwnError> {
            ++started;
            if (i == 0) {
                if (throws) throw std::bad_alloc();
                return err(OwnError{"item 0"});
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return 0;
        };
        if (throws) {
            EXPECT_THROW(((void)pool::parallel_map<int, OwnError>(n, [&](std::size_t i) { return body(i); })),
                         std::bad_alloc);
        } else {
            auto r = pool::parallel_map<int, OwnError>(n, [&](std::size_t i) { return body(i); });
            ASSERT_FALSE(r.ok());
            EXPECT_EQ(r.error().first, 0u);
        }
        EXPECT_LE(started.load(), 4 * workers + 1) << (throws ? "fault" : "error value");
    }
}

TEST(Pool, FailingItemsHoldOneFaultAtATime) {
    // Every item throws: when memory has run out, every worker's item fails at once, and
    // each fault kept would take room the runtime has little of.
    CountedFault::alive = 0;
    CountedFault::peak = 0;
    EXPECT_THROW(((void)pool::parallel_map<int, OwnError>(
                     20000, [](std::size_t) -> Result<int, OwnError> { throw CountedFault(); })),
                 CountedFault);
    EXPECT_EQ(CountedFault::alive.load(), 0);
    EXPECT_LE(static_cast<std::size_t>(CountedFault::peak.load()), pool::configured_workers() + 1);
}

TEST(Pool, TasksStartedAlongsideAProducerAllRunAfterTheirInput) {
    // Each task reads the slot its start filled in; every task runs exactly once and sees it.
    constexpr std::size_t n = 200;
    std::vector<std::size_t> input(n, 0), output(n, 0);
    std::atomic<std::size_t> runs{0};
    pool::run_alongside(
        [&](auto&& start) {
            for (std::size_t i = 0; i < n; ++i) {
                input[i] = 3 * i + 1;
                start(i);
            }
        },
        [&](std::size_t i) {
            output[i] = input[i] * 2;
            ++runs;
        });
    EXPECT_EQ(runs.load(), n);
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(output[i], (3 * i + 1) * 2) << i;
}

TEST(Pool, AFaultInATaskStartedAlongsideReachesTheCaller) {
    std::atomic<int> finished{0};
    EXPECT_THROW(pool::run_alongside(
                     [&](auto&& start) {
                         for (std::size_t i = 0; i < 8; ++i) start(i);
                     },
                     [&](std::size_t i) {
                         if (i == 5) throw std::runtime_error("task 5");
                         ++finished;
                     }),
                 std::runtime_error);
    EXPECT_THROW(pool::run_alongside([](auto&&) { throw std::runtime_error("producer"); }, [](std::size_t) {}),
                 std::runtime_error);
}
