#include "support/worker_pool.hpp"

#include <algorithm>
#include <chrono>
#include <utility>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <sched.h>
#include <unistd.h>

namespace kelvara {
namespace {

// True while this thread runs a pool task: parallel work nested inside a
// task (the Jacobian of one fit in a batch of fits) runs inline, since
// every thread is already busy.
thread_local bool inside_task = false;

struct Job {
    std::size_t count;
    FunctionRef<void(std::size_t)> task;
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> finished{0};
    std::mutex done_mutex;
    std::condition_variable done;
    // The first exception a task threw (std::bad_alloc, in practice): a
    // worker thread must not end with it, so it is carried to the caller.
    std::mutex error_mutex;
    std::exception_ptr error;

    Job(std::size_t n, FunctionRef<void(std::size_t)> t) : count(n), task(t) {}

    // Runs tasks until none are left to claim; true when this call finished the last one.
    bool work() {
        const bool was_inside = std::exchange(inside_task, true);
        std::size_t ran = 0;
        for (std::size_t i = next.fetch_add(1); i < count; i = next.fetch_add(1)) {
            try {
                task(i);
            } catch (...) {
                std::lock_guard lock(error_mutex);
                if (!error) error = std::current_exception();
            }
            ++ran;
        }
        inside_task = was_inside;
        if (ran == 0) return false;
        return finished.fetch_add(ran) + ran == count;
    }
};

class WorkerPool {
public:
    explicit WorkerPool(std::size_t workers) {
        for (std::size_t i = 0; i < workers; ++i) std::thread([this] { serve(); }).detach();
    }

    // With a watcher the caller leaves the tasks to the workers and calls
    // watch() every `interval` until they are done.
    void run(std::size_t count, FunctionRef<void(std::size_t)> task, FunctionRef<void()>* watch = nullptr,
             std::chrono::milliseconds interval = {}) {
        Job job(count, task);
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(&job);
        }
        wake_.notify_all();
        if (watch == nullptr && job.work()) signal_done(job);
        {
            std::unique_lock lock(job.done_mutex);
            if (watch == nullptr) {
                job.done.wait(lock, [&] { return job.finished.load() == job.count; });
            } else {
                while (!job.done.wait_for(lock, interval, [&] { return job.finished.load() == job.count; })) {
                    lock.unlock();
                    (*watch)();
                    lock.lock();
                }
            }
        }
        // Workers may still hold the pointer until they see the job exhausted;
        // take it out of the queue and wait for them to let go.
        std::unique_lock lock(mutex_);
        queue_.erase(std::remove(queue_.begin(), queue_.end(), &job), queue_.end());
        released_.wait(lock, [&] { return users_of(&job) == 0; });
        lock.unlock();
        if (job.error) std::rethrow_exception(job.error);
    }

private:
    static void signal_done(Job& job) {
        std::lock_guard lock(job.done_mutex);
        job.done.notify_all();
    }

    std::size_t users_of(const Job* job) const {
        return static_cast<std::size_t>(std::count(active_.begin(), active_.end(), job));
    }

    void serve() {
        std::unique_lock lock(mutex_);
        while (true) {
            wake_.wait(lock, [&] { return !queue_.empty(); });
            Job* job = queue_.front();
            if (job->next.load() >= job->count) {
                // Exhausted: its owner removes it; look at the rest meanwhile.
                queue_.pop_front();
                continue;
            }
            active_.push_back(job);
            lock.unlock();
            const bool last = job->work();
            if (last) signal_done(*job);
            lock.lock();
            active_.erase(std::find(active_.begin(), active_.end(), job));
            released_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable released_;
    std::deque<Job*> queue_;
    std::vector<Job*> active_;
};

// The processors this process may run on (CPU affinity, as set by taskset,
// cgroups or a scheduler), not all the machine has: more threads than that
// only contend.
std::size_t usable_processors() {
    static const std::size_t count = [] {
        cpu_set_t set;
        if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max<std::size_t>(1, CPU_COUNT(&set));
        return std::max<std::size_t>(1, std::thread::hardware_concurrency());
    }();
    return count;
}

WorkerPool& pool() {
    // Deliberately never destroyed: the detached workers wait on its members
    // until the process ends, after static destructors have run.
    //
    // A child made by fork() inherits the pool object but none of its
    // threads, so waiting on it would hang forever (Python's multiprocessing
    // forks by default on Linux). A process that did not create the current
    // pool starts one of its own and abandons the inherited one untouched.
    static std::mutex guard;
    static WorkerPool* instance = nullptr;
    static pid_t owner = 0;
    std::lock_guard lock(guard);
    if (instance == nullptr || owner != getpid()) {
        instance = std::make_unique<WorkerPool>(usable_processors()).release();
        owner = getpid();
    }
    return *instance;
}

}  // namespace

std::size_t parallel_width() { return usable_processors(); }

void run_parallel(std::size_t count, FunctionRef<void(std::size_t)> task) {
    if (count == 0) return;
    if (count == 1 || inside_task) {
        for (std::size_t i = 0; i < count; ++i) task(i);
        return;
    }
    pool().run(count, task);
}

void run_watched(std::size_t count, FunctionRef<void(std::size_t)> task, FunctionRef<void()> watch,
                 std::chrono::milliseconds interval) {
    if (count == 0) return;
    pool().run(count, task, &watch, interval);
}

void run_chunked(std::size_t n, std::size_t min_chunk, FunctionRef<void(std::size_t, std::size_t)> chunk) {
    if (n == 0) return;
    const std::size_t by_size = std::max<std::size_t>(1, n / std::max<std::size_t>(1, min_chunk));
    const std::size_t chunks = std::min(parallel_width(), by_size);
    if (chunks <= 1) {
        chunk(0, n);
        return;
    }
    run_parallel(chunks, [&](std::size_t c) { chunk(c * n / chunks, (c + 1) * n / chunks); });
}

}  // namespace kelvara
