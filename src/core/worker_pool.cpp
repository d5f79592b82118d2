// The process-wide worker pool: a oneTBB arena served by exactly N worker threads.
//
// The pool is one tbb::task_arena with N slots, none of them reserved for a master
// thread, so only TBB worker threads ever run its tasks. A process-lifetime
// global_control lifts TBB's worker limit to N (+1 for the master TBB counts), which lets
// N exceed the number of cores. The caller enqueues its work into the arena and sleeps
// on a condition variable until the work is done; nested TBB algorithms started by the
// work run inside the arena, on the same N workers.
#include "core/worker_pool.hpp"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <utility>

#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/task_arena.h>
#include <oneapi/tbb/task_scheduler_observer.h>

#include "core/fault.hpp"
#include "core/pool_size.hpp"

namespace quorvel {
namespace {

constexpr const char* not_initialized = "The global thread pool has not been initialized.";

// How long the start of the pool may take for all workers to come up. Generous: on a
// loaded machine thread creation can be slow, and a pool that never fills is a fault.
constexpr auto start_timeout = std::chrono::seconds(60);

// True on a thread while it is a worker inside the pool's arena. run_on_pool called
// from such a thread (work that itself calls a routine using the pool) runs the work in
// place: it is then ordinary nested parallelism, and waiting for the arena from one of
// its own workers could deadlock a pool of one thread.
thread_local bool inside_pool = false;

class WorkerMarker final : public tbb::task_scheduler_observer {
public:
    explicit WorkerMarker(tbb::task_arena& arena) : tbb::task_scheduler_observer(arena) {
        observe(true);
    }
    void on_scheduler_entry(bool) override { inside_pool = true; }
    void on_scheduler_exit(bool) override { inside_pool = false; }
};

// The start barrier: each of the N start tasks holds its worker until all N have
// arrived, so the start cannot finish before N distinct worker threads exist.
struct StartGate {
    explicit StartGate(std::size_t expected) : expected(expected) {}

    void arrive_and_wait(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock lock(mutex);
        if (++arrived == expected) changed.notify_all();
        changed.wait_until(lock, deadline, [this] { return arrived == expected; });
    }

    bool wait_all(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock lock(mutex);
        return changed.wait_until(lock, deadline, [this] { return arrived == expected; });
    }

    std::size_t arrivals() {
        std::lock_guard lock(mutex);
        return arrived;
    }

    const std::size_t expected;
    std::size_t arrived = 0;
    std::mutex mutex;
    std::condition_variable changed;
};

// The pool's TBB objects. They are never destroyed at exit: the pool lives until the
// process ends, and tearing TBB down during static destruction (while workers may still
// be parked in the arena) can deadlock. They are taken down only around fork() (below).
struct Pool {
    std::size_t threads;
    tbb::global_control* control;
    tbb::task_arena* arena;
    WorkerMarker* marker;
    tbb::task_scheduler_handle* handle;
};

void register_fork_handlers();

// Creates the pool and waits until all of its workers run.
Pool* start_pool() {
    register_fork_handlers();
    const std::size_t threads = configured_pool_size();
    if (threads == 0 || threads > static_cast<std::size_t>(INT_MAX - 1))
        fault(std::string(not_initialized) + " Unsupported thread count " + std::to_string(threads) + ".");
    try {
        auto* handle = new tbb::task_scheduler_handle(tbb::attach{});
        auto* control = new tbb::global_control(tbb::global_control::max_allowed_parallelism, threads + 1);
        auto* arena = new tbb::task_arena(static_cast<int>(threads), 0);
        arena->initialize();
        auto* marker = new WorkerMarker(*arena);

        const auto deadline = std::chrono::steady_clock::now() + start_timeout;
        auto gate = std::make_shared<StartGate>(threads);
        for (std::size_t i = 0; i < threads; ++i)
            arena->enqueue([gate, deadline] { gate->arrive_and_wait(deadline); });
        if (!gate->wait_all(deadline)) {
            fault(std::string(not_initialized) + " Only " + std::to_string(gate->arrivals()) +
                  " of " + std::to_string(threads) + " worker threads started.");
        }
        return new Pool{threads, control, arena, marker, handle};
    } catch (const InternalFault&) {
        throw;
    } catch (const std::exception& e) {
        fault(std::string(not_initialized) + " " + e.what());
    }
}

std::mutex pool_mutex;
Pool* current_pool = nullptr;             // guarded by pool_mutex
std::atomic<std::size_t> work_in_flight{0};  // enqueued tasks not yet finished

Pool& pool() {
    // Lazy start; a start that throws is retried by the next call.
    std::lock_guard lock(pool_mutex);
    if (current_pool == nullptr) current_pool = start_pool();
    return *current_pool;
}

// fork() copies only the calling thread, so a child would wait forever for pool
// workers that do not exist in it. Before a fork the pool is taken down completely (its
// workers exit) once the work in flight has finished: that work never needs the
// interpreter, so it finishes while the forking thread waits. Parent and child each start
// a new pool on their next use.
void before_fork() {
    for (;;) {
        // Wait without the mutex: a caller counts its work before it takes the mutex.
        while (work_in_flight.load() != 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
        pool_mutex.lock();  // held across fork(): nobody starts or uses a pool meanwhile
        if (work_in_flight.load() == 0) break;
        pool_mutex.unlock();
    }
    Pool* p = current_pool;
    if (p == nullptr) return;
    delete p->marker;
    delete p->arena;
    delete p->control;
    tbb::finalize(*p->handle, std::nothrow);
    delete p->handle;
    delete p;
    current_pool = nullptr;
}

void after_fork_in_parent() { pool_mutex.unlock(); }

void after_fork_in_child() {
    current_pool = nullptr;  // whatever was left belongs to threads this process lacks
    work_in_flight = 0;
    pool_mutex.unlock();
}

void register_fork_handlers() {
    static const int registered = pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
    (void)registered;
}

// Counts a task from its enqueueing to its end, so a fork never tears down a busy pool.
struct InFlight {
    InFlight() { ++work_in_flight; }
    ~InFlight() { --work_in_flight; }
    InFlight(const InFlight&) = delete;
    InFlight& operator=(const InFlight&) = delete;
};

// Rethrows an exception caught from the work: internal faults and memory exhaustion keep
// their type, anything else becomes an internal fault carrying its text.
[[noreturn]] void rethrow_from_work(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const InternalFault&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        fault(e.what());
    } catch (...) {
        fault("A worker task failed with an exception of unknown type.");
    }
}

// One run_on_pool call: the worker that runs the work reports completion here.
struct Completion {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::exception_ptr error;
};

}  // namespace

void run_on_pool(const std::function<void()>& work) {
    const InFlight counted;  // before the lookup, so a fork cannot take the pool down under us
    Pool& p = pool();
    if (inside_pool) {
        try {
            work();
        } catch (...) {
            rethrow_from_work(std::current_exception());
        }
        return;
    }

    Completion completion;
    p.arena->enqueue([&completion, &work] {
        std::exception_ptr error;
        try {
            work();
        } catch (...) {
            error = std::current_exception();
        }
        // Notify while holding the lock: once the caller sees `done` it destroys
        // `completion`, so the worker must be finished with it by then.
        std::lock_guard lock(completion.mutex);
        completion.error = std::move(error);
        completion.done = true;
        completion.finished.notify_one();
    });
    std::unique_lock lock(completion.mutex);
    completion.finished.wait(lock, [&completion] { return completion.done; });
    if (completion.error) rethrow_from_work(completion.error);
}

struct TaskBatch::State {
    std::mutex mutex;
    std::condition_variable finished;
    std::size_t running = 0;
    std::exception_ptr error;  // the first failure of any task
};

TaskBatch::TaskBatch() : state_(std::make_shared<State>()) {}

TaskBatch::~TaskBatch() {
    std::unique_lock lock(state_->mutex);
    state_->finished.wait(lock, [this] { return state_->running == 0; });
}

void TaskBatch::submit(std::function<void()> task) {
    const InFlight counted;  // as in run_on_pool; the enqueued task counts itself as well
    Pool& p = pool();
    if (inside_pool) {  // nested use from pool work: run in place, as run_on_pool does
        try {
            task();
        } catch (...) {
            std::lock_guard lock(state_->mutex);
            if (!state_->error) state_->error = std::current_exception();
        }
        return;
    }
    {
        std::lock_guard lock(state_->mutex);
        ++state_->running;
    }
    ++work_in_flight;
    p.arena->enqueue([state = state_, task = std::move(task)] {
        std::exception_ptr error;
        try {
            task();
        } catch (...) {
            error = std::current_exception();
        }
        {
            std::lock_guard lock(state->mutex);
            if (error && !state->error) state->error = std::move(error);
            if (--state->running == 0) state->finished.notify_all();
        }
        --work_in_flight;  // last: a fork may follow at once, with nothing held
    });
}

void TaskBatch::wait() {
    std::exception_ptr error;
    {
        std::unique_lock lock(state_->mutex);
        state_->finished.wait(lock, [this] { return state_->running == 0; });
        error = std::exchange(state_->error, nullptr);
    }
    if (error) rethrow_from_work(error);
}

std::size_t pool_thread_count() { return pool().threads; }

}  // namespace quorvel
