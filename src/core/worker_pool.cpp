// The process-wide worker pool: a oneTBB arena served by exactly N worker threads.
//
// The pool is one tbb::task_arena with N slots, none of them reserved for a master
// thread, so only TBB worker threads ever run its tasks. A process-lifetime
// global_control lifts TBB's worker limit to N (+1 for the master TBB counts), which lets
// N exceed the number of cores. The caller hands its work to the arena and sleeps on a
// condition variable until the work is done; nested TBB algorithms started by the work
// run inside the arena, on the same N workers.
//
// Calling threads touch oneTBB only to start the pool. A thread that enqueues work into
// an arena gets oneTBB state of its own, which lives until that thread ends and keeps oneTBB's
// scheduler alive; in any idle thread it would stop the take-down before fork() (below)
// from completing, and a forked child would inherit a scheduler whose workers it lacks.
// So callers post their work at a door (class Door), where one pool worker waits while
// the pool is idle and moves it into the arena; the thread that starts the pool drops its
// oneTBB state once the pool runs.
#include "core/worker_pool.hpp"

#include <pthread.h>

#include <cerrno>
#include <cstring>

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
#include <vector>

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

// Where callers post work for the pool, without calling oneTBB (see the top of this
// file). While the pool is idle one worker, the doorman, waits here; posted work wakes it,
// and it enqueues the work into the arena from inside, then returns to oneTBB to help run
// it. Whoever finishes the last piece of work in the arena posts a new doorman. Work posted
// while other work runs is picked up by the next piece of work that finishes.
class Door {
public:
    using Job = std::function<void()>;  // must not throw

    explicit Door(tbb::task_arena& arena) : arena_(arena) {}

    // From a thread outside the pool, after open().
    void post(Job job) {
        std::lock_guard lock(mutex_);
        pending_.push_back(std::move(job));
        changed_.notify_all();
    }

    // Posts the first doorman (this touches oneTBB from the calling thread). The doorman
    // clears the flag only once work or close() woke it, which comes after this returns.
    void open() {
        arena_.enqueue([this] { doorman(); });
        std::lock_guard lock(mutex_);
        doorman_posted_ = true;
    }

    // Sends the doorman away and waits until nothing in the arena uses the door. No work
    // may be pending or running and no more may be posted.
    void close() {
        std::unique_lock lock(mutex_);
        closing_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return !doorman_posted_ && running_ == 0; });
    }

private:
    void doorman() {
        std::vector<Job> jobs;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return !pending_.empty() || closing_; });
            doorman_posted_ = false;
            if (closing_) {
                changed_.notify_all();  // the last use of the door: close() may free it
                return;
            }
            jobs.swap(pending_);
            running_ += jobs.size();
        }
        enqueue(jobs);
    }

    void run(const Job& job) {
        job();
        std::vector<Job> jobs;
        bool post_doorman = false;
        {
            std::lock_guard lock(mutex_);
            --running_;
            if (!pending_.empty()) {
                jobs.swap(pending_);
                running_ += jobs.size();
            } else if (running_ == 0 && !doorman_posted_ && !closing_) {
                doorman_posted_ = post_doorman = true;
            }
            if (closing_) changed_.notify_all();  // the last use of the door: close() may free it
        }
        if (!jobs.empty()) enqueue(jobs);
        if (post_doorman) {
            try {
                arena_.enqueue([this] { doorman(); });
            } catch (...) {
                doorman();  // without room for a task, keep the door here
            }
        }
    }

    // Moves jobs into the arena, from inside it. A job that cannot be enqueued (no memory
    // for the task) runs here instead.
    void enqueue(std::vector<Job>& jobs) {
        for (Job& job : jobs) {
            try {
                arena_.enqueue([this, job = std::move(job)] { run(job); });
            } catch (...) {
                run(job);
            }
        }
    }

    tbb::task_arena& arena_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Job> pending_;      // posted, not yet in the arena
    std::size_t running_ = 0;       // in the arena, not yet finished
    bool doorman_posted_ = false;   // a doorman task is enqueued or waiting
    bool closing_ = false;
};

// The pool's TBB objects. The pool lives until the process ends and is never destroyed
// at exit: tearing TBB down during static destruction (while workers may still be parked
// in the arena) can deadlock. It is taken down only around fork() and after a failed start.
struct Pool {
    std::size_t threads = 0;
    std::unique_ptr<tbb::task_scheduler_handle> handle;  // keeps oneTBB's scheduler alive
    std::unique_ptr<tbb::global_control> control;
    std::unique_ptr<tbb::task_arena> arena;
    std::unique_ptr<WorkerMarker> marker;
    std::unique_ptr<Door> door;
};

// Takes a pool down: its arena goes, and oneTBB's scheduler ends with all of its worker
// threads joined. Returns false when the scheduler could not end because some other
// thread of the process still holds oneTBB state; the pool's own objects are gone anyway.
// The calling thread's own oneTBB state ends with it.
bool take_down(std::unique_ptr<Pool> p) {
    if (p->door) p->door->close();
    p->door.reset();
    p->marker.reset();
    p->arena.reset();
    p->control.reset();
    return p->handle == nullptr || tbb::finalize(*p->handle, std::nothrow);
}

// Ends the calling thread's oneTBB state while the pool goes on. Finalizing an extra
// handle while the pool's own handle lives ends only the caller's registration, and
// oneTBB answers false since its scheduler rightly goes on.
void forget_caller() {
    tbb::task_scheduler_handle handle{tbb::attach{}};
    (void)tbb::finalize(handle, std::nothrow);
}

// The stack size oneTBB gives its worker threads.
std::size_t worker_stack_size() {
    return tbb::global_control::active_value(tbb::global_control::thread_stack_size);
}

// What the threads of a room check wait for.
struct RoomCheck {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
};

void* wait_in_room_check(void* arg) {
    auto& check = *static_cast<RoomCheck*>(arg);
    std::unique_lock lock(check.mutex);
    check.ended.wait(lock, [&check] { return check.done; });
    return nullptr;
}

// oneTBB starts its workers itself, most of them from inside its own threads, where a
// failed pthread_create ends the process (std::terminate). So before asking oneTBB for
// `count` workers, the pool makes sure the process has room for that many threads with
// oneTBB's stack size alive at once: it starts them itself (they only wait), then ends
// and joins all that started. Returns an empty text when all started, else why not.
std::string check_room_for_threads(std::size_t count, std::size_t stack_size) {
    RoomCheck check;
    std::vector<pthread_t> started;
    int error = 0;
    pthread_attr_t attr;
    if ((error = pthread_attr_init(&attr)) != 0) return std::strerror(error);
    if (stack_size != 0) (void)pthread_attr_setstacksize(&attr, stack_size);
    try {
        while (started.size() < count) {
            pthread_t thread;
            if ((error = pthread_create(&thread, &attr, wait_in_room_check, &check)) != 0) break;
            try {
                started.push_back(thread);
            } catch (...) {
                pthread_detach(thread);  // it ends on its own once the check is done
                throw;
            }
        }
    } catch (const std::bad_alloc&) {
        error = ENOMEM;
    }
    pthread_attr_destroy(&attr);
    {
        std::lock_guard lock(check.mutex);
        check.done = true;
    }
    check.ended.notify_all();
    for (const pthread_t thread : started) pthread_join(thread, nullptr);
    if (error == 0) return {};
    return "Only " + std::to_string(started.size()) + " of " + std::to_string(count) +
           " worker threads could be created: " + std::strerror(error) + ".";
}

void register_fork_handlers();

// Creates the pool and waits until all of its workers run. On failure whatever started
// is taken down again, so a later call can try afresh. The calling thread keeps no
// oneTBB state either way.
std::unique_ptr<Pool> start_pool() {
    register_fork_handlers();
    const std::size_t threads = configured_pool_size();
    if (threads == 0 || threads > static_cast<std::size_t>(INT_MAX - 1))
        fault(std::string(not_initialized) + " Unsupported thread count " + std::to_string(threads) + ".");
    if (const std::string why_not = check_room_for_threads(threads, worker_stack_size()); !why_not.empty())
        fault(std::string(not_initialized) + " " + why_not);

    auto p = std::make_unique<Pool>();
    p->threads = threads;
    std::string failure;
    try {
        p->handle = std::make_unique<tbb::task_scheduler_handle>(tbb::attach{});
        p->control = std::make_unique<tbb::global_control>(tbb::global_control::max_allowed_parallelism, threads + 1);
        p->arena = std::make_unique<tbb::task_arena>(static_cast<int>(threads), 0);
        p->arena->initialize();
        p->marker = std::make_unique<WorkerMarker>(*p->arena);

        const auto deadline = std::chrono::steady_clock::now() + start_timeout;
        auto gate = std::make_shared<StartGate>(threads);
        for (std::size_t i = 0; i < threads; ++i)
            p->arena->enqueue([gate, deadline] { gate->arrive_and_wait(deadline); });
        if (gate->wait_all(deadline)) {
            p->door = std::make_unique<Door>(*p->arena);
            p->door->open();
            forget_caller();
            return p;
        }
        failure = "Only " + std::to_string(gate->arrivals()) + " of " + std::to_string(threads) +
                  " worker threads started.";
    } catch (const std::exception& e) {
        failure = e.what();
    }
    (void)take_down(std::move(p));
    fault(std::string(not_initialized) + " " + failure);
}

std::mutex pool_mutex;
Pool* current_pool = nullptr;                // guarded by pool_mutex; never freed at exit
bool scheduler_outlived_fork = false;        // guarded by pool_mutex; see before_fork
std::atomic<std::size_t> work_in_flight{0};  // posted tasks not yet finished

Pool& pool() {
    // Lazy start; a start that throws is retried by the next call.
    std::lock_guard lock(pool_mutex);
    if (current_pool == nullptr) {
        if (scheduler_outlived_fork)
            fault(std::string(not_initialized) +
                  " Another part of the parent process still used oneTBB when it forked,"
                  " so this process cannot start worker threads.");
        current_pool = start_pool().release();
    }
    return *current_pool;
}

// fork() copies only the calling thread, so a child would wait forever for pool
// workers that do not exist in it. Before a fork the pool is taken down completely (its
// workers exit) once the work in flight has finished: that work never needs the
// interpreter, so it finishes while the forking thread waits. Parent and child each start
// a new pool on their next use. oneTBB's scheduler ends only when no other thread holds
// oneTBB state; callers never do (see Door), so this fails only if something else in the
// process uses oneTBB. Then the child must not touch oneTBB at all.
void before_fork() {
    for (;;) {
        // Wait without the mutex: a caller counts its work before it takes the mutex.
        while (work_in_flight.load() != 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
        pool_mutex.lock();  // held across fork(): nobody starts or uses a pool meanwhile
        if (work_in_flight.load() == 0) break;
        pool_mutex.unlock();
    }
    if (current_pool == nullptr) return;
    if (!take_down(std::unique_ptr<Pool>(std::exchange(current_pool, nullptr)))) scheduler_outlived_fork = true;
}

void after_fork_in_parent() {
    scheduler_outlived_fork = false;  // the parent's own scheduler and workers are intact
    pool_mutex.unlock();
}

void after_fork_in_child() {
    current_pool = nullptr;  // whatever was left belongs to threads this process lacks
    work_in_flight = 0;
    pool_mutex.unlock();
}

void register_fork_handlers() {
    static const int registered = pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
    (void)registered;
}

// Counts a task from its posting to its end, so a fork never tears down a busy pool.
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
    p.door->post([&completion, &work] {
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
    const InFlight counted;  // as in run_on_pool; the posted task counts itself as well
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
    try {
        p.door->post([state = state_, task = std::move(task)] {
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
    } catch (...) {  // never posted, so it will not count itself down
        --work_in_flight;
        std::lock_guard lock(state_->mutex);
        if (--state_->running == 0) state_->finished.notify_all();
        throw;
    }
}

void TaskBatch::run_here(const std::function<void()>& task) {
    try {
        task();
    } catch (...) {
        std::lock_guard lock(state_->mutex);
        if (!state_->error) state_->error = std::current_exception();
    }
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
