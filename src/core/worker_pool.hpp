// The process-wide worker pool: exactly N worker threads; the calling thread waits.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

namespace quorvel {

/// Runs `work` on the process-wide pool and blocks the calling thread until it and all
/// parallel work nested in it (tbb::parallel_for, tbb::parallel_sort, ...) have finished.
/// The calling thread runs no task itself. The pool starts on the first call, with all
/// of its configured_pool_size() workers running, and lives until the process ends.
/// An exception thrown by the work is rethrown here; an InternalFault stays one, any
/// other exception becomes an InternalFault with its what() text. Failing to start the
/// pool is the InternalFault "The global thread pool has not been initialized." (+ detail).
/// Must not be called from inside a pool task (nested work uses TBB algorithms directly).
/// The calling thread itself never calls oneTBB here (except to start the pool), so it
/// holds no oneTBB state that would outlive the call and stand in the way of fork().
void run_on_pool(const std::function<void()>& work);

/// Tasks handed to the pool one by one while the calling thread goes on with other work
/// (for example reading the next column while earlier ones are encoded). wait() blocks
/// until every submitted task and its nested parallel work has finished and rethrows
/// the first failure as run_on_pool does. The destructor waits too (without throwing),
/// so data the tasks use stays alive while any of them runs.
class TaskBatch {
public:
    TaskBatch();
    ~TaskBatch();
    TaskBatch(const TaskBatch&) = delete;
    TaskBatch& operator=(const TaskBatch&) = delete;

    void submit(std::function<void()> task);
    /// Runs `task` on the calling thread as part of the batch: a failure is kept and
    /// rethrown by wait() as a pool task's would be. For work shorter than a hand-off to
    /// the pool (two thread wake-ups); it must start no oneTBB parallel work, since the
    /// calling thread holds no oneTBB state (see run_on_pool).
    void run_here(const std::function<void()>& task);
    void wait();

    struct State;

private:
    std::shared_ptr<State> state_;
};

/// The number of worker threads of the pool (starts the pool if needed).
std::size_t pool_thread_count();

}  // namespace quorvel
