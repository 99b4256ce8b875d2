// The process-wide pool of worker threads, one per processor, started on
// first use. The caller works alongside the pool and returns when every task
// is done; each task writes its own slot, so results never depend on
// scheduling.
#pragma once

#include <chrono>
#include <cstddef>

#include "support/function_ref.hpp"

namespace kelvara {

// Number of threads that run_parallel spreads work over (workers + caller).
std::size_t parallel_width();

// Runs task(i) for every i in [0, count), on the pool and the calling thread;
// inline when called from inside a pool task. A task's exception reaches the
// caller once every task has run.
void run_parallel(std::size_t count, FunctionRef<void(std::size_t)> task);

// Runs task(i) for every i on the pool's workers while the calling thread
// calls watch() every `interval` until they are done (progress reports and
// interrupt checks of long batches).
void run_watched(std::size_t count, FunctionRef<void(std::size_t)> task, FunctionRef<void()> watch,
                 std::chrono::milliseconds interval);

// Splits [0, n) into at most parallel_width() contiguous chunks of at least
// `min_chunk` items and runs chunk(begin, end) for each; runs inline when
// there is only one chunk.
void run_chunked(std::size_t n, std::size_t min_chunk, FunctionRef<void(std::size_t, std::size_t)> chunk);

}  // namespace kelvara
