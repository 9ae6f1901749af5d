// The process-wide worker pool of the batch functions.
//
// One task arena, created on first use, sized by RAYON_NUM_THREADS, else
// RAYON_RS_NUM_CPUS, else the number of online processors. parallel_map runs an
// indexed map on it: results come back in input order, and when items fail the one
// reported is the failing item with the lowest index, so a run reports the same
// error whatever the worker count.
#pragma once

#include <cstddef>
#include <exception>
#include <optional>
#include <type_traits>
#include <vector>

#include "base/result.h"

namespace tarnwick::base::pool {

// Worker count the environment asks for (always >= 1).
std::size_t configured_workers();

// Runs fn(i) for i in [0, n) on the pool and waits for all of them.
void run_indexed(std::size_t n, void (*fn)(void*, std::size_t), void* ctx);

// Hands tasks to the pool while a producer runs (see run_alongside).
class Starter;
void start_task(Starter& starter, std::size_t index);
void run_alongside(void (*produce)(void*, Starter&), void* produce_ctx, void (*task)(void*, std::size_t),
                   void* task_ctx);

// Runs produce(start) on the calling thread inside the pool, where each start(i) lets
// task(i) run on the pool's other workers while produce goes on (or on this thread once
// produce has returned, when no other worker is free). Returns when produce and every
// started task have finished; an exception from any of them is rethrown then.
template <class Produce, class Task>
void run_alongside(Produce&& produce, Task&& task) {
    auto produce_entry = [](void* p, Starter& starter) {
        (*static_cast<std::remove_reference_t<Produce>*>(p))([&starter](std::size_t i) { start_task(starter, i); });
    };
    auto task_entry = [](void* t, std::size_t i) { (*static_cast<std::remove_reference_t<Task>*>(t))(i); };
    run_alongside(produce_entry, &produce, task_entry, &task);
}

// Runs fn(i) for i in [0, n): on the pool, or in index order on the calling thread when
// `on_pool` is false (work too small to be worth the hand-over, or a test pinning it).
template <class Fn>
void for_each_index(std::size_t n, bool on_pool, Fn&& fn) {
    if (!on_pool || n < 2) {
        for (std::size_t i = 0; i < n; ++i) fn(i);
        return;
    }
    using F = std::remove_reference_t<Fn>;
    run_indexed(
        n, [](void* ctx, std::size_t i) { (*static_cast<F*>(ctx))(i); }, const_cast<void*>(static_cast<const void*>(&fn)));
}

// fn: (std::size_t index) -> Result<R, E>. Every item runs; faults thrown by an item are
// carried back and rethrown on the calling thread (again the lowest index first).
template <class R, class E, class Fn>
Result<std::vector<R>, std::pair<std::size_t, E>> parallel_map(std::size_t n, Fn&& fn) {
    std::vector<std::optional<Result<R, E>>> slots(n);
    std::vector<std::exception_ptr> faults(n);
    struct Ctx {
        Fn* fn;
        std::vector<std::optional<Result<R, E>>>* slots;
        std::vector<std::exception_ptr>* faults;
    } ctx{&fn, &slots, &faults};
    run_indexed(
        n,
        [](void* p, std::size_t i) {
            auto* c = static_cast<Ctx*>(p);
            try {
                (*c->slots)[i].emplace((*c->fn)(i));
            } catch (...) {
                (*c->faults)[i] = std::current_exception();
            }
        },
        &ctx);
    std::vector<R> out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (faults[i]) std::rethrow_exception(faults[i]);
        Result<R, E>& r = *slots[i];
        if (!r.ok()) return err(std::pair<std::size_t, E>{i, std::move(r).error()});
        out.push_back(std::move(r).value());
    }
    return out;
}

}  // namespace tarnwick::base::pool
