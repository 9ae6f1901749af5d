#include "base/pool.h"

#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_group.h>
#include <oneapi/tbb/task_arena.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

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

}  // namespace

std::size_t configured_workers() {
    if (auto n = env_count("RAYON_NUM_THREADS")) return *n;
    if (auto n = env_count("RAYON_RS_NUM_CPUS")) return *n;
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<std::size_t>(online) : 1;
}

void run_indexed(std::size_t n, void (*fn)(void*, std::size_t), void* ctx) {
    if (n == 0) return;
    arena().execute([&] {
        tbb::parallel_for(std::size_t{0}, n, [&](std::size_t i) { fn(ctx, i); });
    });
}

class Starter {
public:
    Starter(tbb::task_group& group, void (*task)(void*, std::size_t), void* ctx) : group_(group), task_(task), ctx_(ctx) {}
    void start(std::size_t i) {
        group_.run([this, i] { task_(ctx_, i); });
    }

private:
    tbb::task_group& group_;
    void (*task_)(void*, std::size_t);
    void* ctx_;
};

void start_task(Starter& starter, std::size_t index) { starter.start(index); }

void run_alongside(void (*produce)(void*, Starter&), void* produce_ctx, void (*task)(void*, std::size_t),
                   void* task_ctx) {
    arena().execute([&] {
        tbb::task_group group;
        Starter starter(group, task, task_ctx);
        try {
            produce(produce_ctx, starter);
        } catch (...) {
            group.wait();
            throw;
        }
        group.wait();
    });
}

}  // namespace tarnwick::base::pool
