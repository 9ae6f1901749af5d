#include "base/pool.h"

#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>
#include <oneapi/tbb/task_group.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <utility>

namespace tarnwick::base::pool {
namespace {

std::optional<std::size_t> env_count(const char* name) {
    const char* v = std::getenv(name);
    if (v == nullptr) return std::nullopt;
    std::size_t n = 0;
    const char* end = v + std::strlen(v);
    auto res = std::from_chars(v, end, n);
    if (res.ec != std::errc() || res.ptr != end || n == 0) return std::nullopt;
    return n;
}

tbb::task_arena& arena() {
    static std::once_flag once;
    static std::unique_ptr<tbb::task_arena> instance;
    std::call_once(once, [] {
        const auto workers = configured_workers();
        const int capped = workers > 4096 ? 4096 : static_cast<int>(workers);
        instance = std::make_unique<tbb::task_arena>(capped);
    });
    return *instance;
}

// The lowest failed index among items run side by side, with the exception that item
// threw, if it threw. Only one exception is ever held: when memory runs out every
// worker's item fails, and the runtime has room for only a few exceptions in flight.
class FirstFailure {
public:
    explicit FirstFailure(std::size_t n) noexcept : lowest_(n) {}

    // Whether item i may still be started: no item below it has failed.
    bool admits(std::size_t i) const noexcept { return i < lowest_.load(std::memory_order_relaxed); }

    // Item i failed, with `fault` when it threw.
    void fail(std::size_t i, std::exception_ptr fault = nullptr) noexcept {
        std::exception_ptr dropped;  // released after the lock, whichever one loses
        {
            std::lock_guard lock(mutex_);
            if (i < lowest_.load(std::memory_order_relaxed)) {
                lowest_.store(i, std::memory_order_relaxed);
                dropped = std::exchange(fault_, std::move(fault));
            } else {
                dropped = std::move(fault);
            }
        }
    }

    // After every item has ended: the lowest failed index (none when nothing failed),
    // its exception rethrown when it threw.
    std::size_t settle() const {
        if (fault_) std::rethrow_exception(fault_);
        return lowest_.load(std::memory_order_relaxed);
    }

private:
    std::mutex mutex_;
    std::atomic<std::size_t> lowest_;
    std::exception_ptr fault_;
};

}  // namespace

std::size_t configured_workers() {
    std::size_t asked = 0;
    if (auto n = env_count("RAYON_NUM_THREADS")) {
        asked = *n;
    } else if (auto m = env_count("RAYON_RS_NUM_CPUS")) {
        asked = *m;
    } else {
        const long online = sysconf(_SC_NPROCESSORS_ONLN);
        asked = online > 0 ? static_cast<std::size_t>(online) : 1;
    }
    // The pool library's own count of the CPUs the process may use (its affinity mask),
    // which is where it stops adding workers.
    const std::size_t allowed = tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism);
    return std::max<std::size_t>(1, std::min(asked, allowed));
}

std::size_t run_indexed(std::size_t n, bool (*fn)(void*, std::size_t), void* ctx) {
    if (n == 0) return 0;
    FirstFailure failure(n);
    // Every fault is caught in the item itself: none passes through the pool library,
    // which would copy it on its way out.
    arena().execute([&] {
        tbb::parallel_for(std::size_t{0}, n, [&](std::size_t i) {
            if (!failure.admits(i)) return;
            try {
                if (!fn(ctx, i)) failure.fail(i);
            } catch (...) {
                failure.fail(i, std::current_exception());
            }
        });
    });
    return failure.settle();
}

class Starter {
public:
    Starter(tbb::task_group& group, FirstFailure& failure, void (*task)(void*, std::size_t), void* ctx)
        : group_(group), failure_(failure), task_(task), ctx_(ctx) {}
    void start(std::size_t i) {
        group_.run([this, i] {
            if (!failure_.admits(i)) return;
            try {
                task_(ctx_, i);
            } catch (...) {
                failure_.fail(i, std::current_exception());
            }
        });
    }

private:
    tbb::task_group& group_;
    FirstFailure& failure_;
    void (*task_)(void*, std::size_t);
    void* ctx_;
};

void start_task(Starter& starter, std::size_t index) { starter.start(index); }

void run_alongside(void (*produce)(void*, Starter&), void* produce_ctx, void (*task)(void*, std::size_t),
                   void* task_ctx) {
    FirstFailure failure(static_cast<std::size_t>(-1));
    arena().execute([&] {
        tbb::task_group group;
        Starter starter(group, failure, task, task_ctx);
        try {
            produce(produce_ctx, starter);
        } catch (...) {
            group.wait();
            throw;
        }
        group.wait();
    });
    failure.settle();
}

}  // namespace tarnwick::base::pool
