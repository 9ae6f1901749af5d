// The process-wide worker pool of the batch functions.
//
// One task arena, created on first use, sized by RAYON_NUM_THREADS, else
// RAYON_RS_NUM_CPUS, else the number of online processors, and never above the CPUs
// the process may run on. parallel_map runs an indexed map on it: results come back in
// input order, and when items fail the one reported is the failing item with the lowest
// index, so a run reports the same error whatever the worker count.
//
// A failure stops the work: once an item has failed, no item with a higher index is
// started. Nothing on that path allocates (memory may be what ran out): a failed item
// is held as one index and at most one exception, never one per item.
#pragma once

#include <cstddef>
#include <optional>
#include <type_traits>
#include <vector>

#include "base/result.h"

namespace tarnwick::base::pool {

// Worker count the environment asks for, at most the CPUs the process may run on (a
// larger count makes the pool library complain on stderr and run no more workers
// anyway); always >= 1.
std::size_t configured_workers();

// Runs fn(i) for i in [0, n) on the pool and waits for all that started. An item fails
// when fn returns false or throws; items above the lowest failure are not started.
// Returns the lowest failed index, or n when every item succeeded; when that item threw,
// its exception is rethrown here instead.
std::size_t run_indexed(std::size_t n, bool (*fn)(void*, std::size_t), void* ctx);

// Hands tasks to the pool while a producer runs (see run_alongside).
class Starter;
void start_task(Starter& starter, std::size_t index);
void run_alongside(void (*produce)(void*, Starter&), void* produce_ctx, void (*task)(void*, std::size_t),
                   void* task_ctx);

// Runs produce(start) on the calling thread inside the pool, where each start(i) lets
// task(i) run on the pool's other workers while produce goes on (or on this thread once
// produce has returned, when no other worker is free). Returns when produce and every
// started task have finished; an exception from any of them is rethrown then (produce's
// first, else the task's with the lowest index), and once a task has thrown, tasks
// with a higher index no longer run.
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
        n,
        [](void* ctx, std::size_t i) {
            (*static_cast<F*>(ctx))(i);
            return true;
        },
        const_cast<void*>(static_cast<const void*>(&fn)));
}

// fn: (std::size_t index) -> Result<R, E>. Items run until one fails (an error value or
// a fault), then only those below it; the lowest failure is reported, a fault rethrown
// on the calling thread.
template <class R, class E, class Fn>
Result<std::vector<R>, std::pair<std::size_t, E>> parallel_map(std::size_t n, Fn&& fn) {
    std::vector<std::optional<Result<R, E>>> slots(n);
    struct Ctx {
        std::remove_reference_t<Fn>* fn;
        std::vector<std::optional<Result<R, E>>>* slots;
    } ctx{&fn, &slots};
    const std::size_t failed = run_indexed(
        n,
        [](void* p, std::size_t i) {
            auto* c = static_cast<Ctx*>(p);
            return (*c->slots)[i].emplace((*c->fn)(i)).ok();
        },
        &ctx);
    if (failed < n) return err(std::pair<std::size_t, E>{failed, std::move(*slots[failed]).error()});
    std::vector<R> out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) out.push_back(std::move(*slots[i]).value());
    return out;
}

}  // namespace tarnwick::base::pool
