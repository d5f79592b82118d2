// Tests of the worker pool and its sizing.
#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include "check.hpp"
#include "core/fault.hpp"
#include "core/pool_size.hpp"
#include "core/worker_pool.hpp"

using namespace quorvel;

namespace {

using quorvel::testing::process_thread_count;

using Text = std::optional<std::string_view>;

}  // namespace

TEST_CASE(pool_parse_thread_count) {
    struct Case {
        Text text;
        std::optional<std::size_t> expected;
    };
    const std::vector<Case> cases = {
        {std::nullopt, std::nullopt},
        {"", std::nullopt},
        {"+", std::nullopt},
        {"4", 4},
        {"+4", 4},
        {"007", 7},
        {"0", 0},
        {"+0", 0},
        {"4 ", std::nullopt},
        {" 4", std::nullopt},
        {"-1", std::nullopt},
        {"++4", std::nullopt},
        {"4x", std::nullopt},
        {"0x10", std::nullopt},
        {"1e3", std::nullopt},
        {"18446744073709551615", std::size_t{18446744073709551615ULL}},
        {"18446744073709551616", std::nullopt},  // one above the largest value
        {"99999999999999999999", std::nullopt},
    };
    for (const auto& c : cases) CHECK(parse_thread_count(c.text) == c.expected);
}

TEST_CASE(pool_choose_size) {
    struct Case {
        Text num_threads, rs_num_cpus;
        std::size_t expected;  // with a default of 5
    };
    const std::vector<Case> cases = {
        {std::nullopt, std::nullopt, 5},
        {"3", std::nullopt, 3},
        {"3", "7", 3},
        {"+12", "7", 12},
        {"0", "7", 5},  // a valid 0 means the default; the second variable is not read
        {"0", std::nullopt, 5},
        {"abc", "7", 7},  // invalid first, valid second
        {"", "7", 7},
        {" 3", "7", 7},
        {"-2", "+7", 7},
        {std::nullopt, "7", 7},
        {std::nullopt, "0", 5},
        {"x", "y", 5},
        {"18446744073709551616", "2", 2},
    };
    for (const auto& c : cases) CHECK_EQ(choose_pool_size(c.num_threads, c.rs_num_cpus, 5), c.expected);
}

TEST_CASE(pool_cgroup_limits) {
    using Limit = std::optional<std::size_t>;
    struct V2 {
        std::string_view text;
        Limit expected;
    };
    for (const auto& c : std::vector<V2>{{"max 100000\n", std::nullopt},
                                         {"200000 100000\n", 2},
                                         {"150000 100000", 2},  // rounded up
                                         {"50000 100000\n", 1},
                                         {"1 100000\n", 1},
                                         {"", std::nullopt},
                                         {"garbage", std::nullopt},
                                         {"100000 0\n", std::nullopt}})
        CHECK(cgroup_v2_cpu_limit(c.text) == c.expected);

    struct V1 {
        std::string_view quota, period;
        Limit expected;
    };
    for (const auto& c : std::vector<V1>{{"-1\n", "100000\n", std::nullopt},
                                         {"400000\n", "100000\n", 4},
                                         {"250000\n", "100000\n", 3},
                                         {"10000\n", "100000\n", 1},
                                         {"x", "100000", std::nullopt}})
        CHECK(cgroup_v1_cpu_limit(c.quota, c.period) == c.expected);
}

TEST_CASE(pool_default_cpu_count_within_affinity) {
    const std::size_t count = default_cpu_count();
    CHECK(count >= 1);
    CHECK(count <= static_cast<std::size_t>(sysconf(_SC_NPROCESSORS_CONF)));
}

// The effective thread count. The expected pool size comes from QUORVEL_EXPECT_POOL_THREADS
// when set (tests/test_pool.py runs this case under different environments), otherwise
// from the process's own configuration. All workers exist as soon as the pool has
// started, nested work runs on them only, and the caller runs none of it.
TEST_CASE(pool_runs_exactly_the_configured_threads) {
    std::size_t expected = configured_pool_size();
    if (const char* text = std::getenv("QUORVEL_EXPECT_POOL_THREADS"))
        expected = parse_thread_count(std::string_view(text)).value();

    CHECK_EQ(process_thread_count(), std::size_t{1});
    run_on_pool([] {});
    CHECK_EQ(pool_thread_count(), expected);
    CHECK_EQ(process_thread_count(), 1 + expected);

    const auto caller = std::this_thread::get_id();
    std::mutex mutex;
    std::set<std::thread::id> seen;
    std::atomic<std::size_t> iterations{0};
    run_on_pool([&] {
        tbb::parallel_for(tbb::blocked_range<int>(0, 20000, 1), [&](const tbb::blocked_range<int>& r) {
            iterations += r.size();
            std::lock_guard lock(mutex);
            seen.insert(std::this_thread::get_id());
        });
    });
    CHECK_EQ(iterations.load(), std::size_t{20000});
    CHECK(seen.count(caller) == 0);
    CHECK(!seen.empty());
    CHECK(seen.size() <= expected);
    CHECK_EQ(process_thread_count(), 1 + expected);
}

TEST_CASE(pool_faults_come_back_to_the_caller) {
    enum class Kind { internal_fault, runtime_error, bad_alloc, not_an_exception };
    struct Case {
        Kind kind;
        bool nested;  // thrown from a nested parallel_for task rather than the work itself
    };
    for (const Case c : {Case{Kind::internal_fault, true}, Case{Kind::internal_fault, false},
                         Case{Kind::runtime_error, true}, Case{Kind::bad_alloc, true},
                         Case{Kind::not_an_exception, true}}) {
        const auto raise = [kind = c.kind] {
            switch (kind) {
                case Kind::internal_fault: fault("broken invariant");
                case Kind::runtime_error: throw std::runtime_error("boom");
                case Kind::bad_alloc: throw std::bad_alloc();
                case Kind::not_an_exception: throw 42;
            }
        };
        std::string caught;
        try {
            run_on_pool([&] {
                if (!c.nested) raise();
                tbb::parallel_for(0, 1000, [&](int i) {
                    if (i == 777) raise();
                });
            });
            caught = "nothing";
        } catch (const InternalFault& f) {
            caught = "fault: " + f.message();
        } catch (const std::bad_alloc&) {
            caught = "bad_alloc";
        } catch (...) {
            caught = "other";
        }
        switch (c.kind) {
            case Kind::internal_fault: CHECK_EQ(caught, std::string("fault: broken invariant")); break;
            case Kind::runtime_error: CHECK_EQ(caught, std::string("fault: boom")); break;
            case Kind::bad_alloc: CHECK_EQ(caught, std::string("bad_alloc")); break;
            case Kind::not_an_exception: CHECK(caught.rfind("fault: ", 0) == 0); break;
        }
    }
    // The pool still works after faults.
    std::atomic<int> sum{0};
    run_on_pool([&] { tbb::parallel_for(0, 100, [&](int i) { sum += i; }); });
    CHECK_EQ(sum.load(), 4950);
}

// A batch's task run on the calling thread runs there, at once, and fails as a pooled
// task does: wait() waits for the pooled ones too, then rethrows the first failure with
// the pool's conversions.
TEST_CASE(pool_batch_runs_a_task_here) {
    enum class Kind { none, internal_fault, runtime_error, bad_alloc };
    for (const Kind kind : {Kind::none, Kind::internal_fault, Kind::runtime_error, Kind::bad_alloc}) {
        std::atomic<int> pooled{0};
        std::thread::id ran_on;
        std::string caught = "nothing";
        try {
            TaskBatch batch;
            for (int t = 0; t < 3; ++t) batch.submit([&] { ++pooled; });
            batch.run_here([&] {
                ran_on = std::this_thread::get_id();
                switch (kind) {
                    case Kind::none: return;
                    case Kind::internal_fault: fault("broken invariant");
                    case Kind::runtime_error: throw std::runtime_error("boom");
                    case Kind::bad_alloc: throw std::bad_alloc();
                }
            });
            CHECK(ran_on == std::this_thread::get_id());
            batch.wait();
        } catch (const InternalFault& f) {
            caught = "fault: " + f.message();
        } catch (const std::bad_alloc&) {
            caught = "bad_alloc";
        }
        CHECK_EQ(pooled.load(), 3);
        switch (kind) {
            case Kind::none: CHECK_EQ(caught, std::string("nothing")); break;
            case Kind::internal_fault: CHECK_EQ(caught, std::string("fault: broken invariant")); break;
            case Kind::runtime_error: CHECK_EQ(caught, std::string("fault: boom")); break;
            case Kind::bad_alloc: CHECK_EQ(caught, std::string("bad_alloc")); break;
        }
    }
}

// Work that itself calls run_on_pool runs it in place (with one worker, waiting for the
// pool from inside it would never end).
TEST_CASE(pool_nested_run_runs_in_place) {
    std::atomic<int> inner{0};
    run_on_pool([&] {
        tbb::parallel_for(0, 8, [&](int) {
            run_on_pool([&] { tbb::parallel_for(0, 10, [&](int) { ++inner; }); });
        });
    });
    CHECK_EQ(inner.load(), 80);
}

// Several threads may hand work to the pool at once; each gets its own result back.
TEST_CASE(pool_concurrent_callers) {
    constexpr int callers = 4;
    std::vector<long> sums(callers, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < callers; ++t) {
        threads.emplace_back([&sums, t] {
            for (int round = 0; round < 20; ++round) {
                std::atomic<long> sum{0};
                run_on_pool([&] { tbb::parallel_for(0, 1000, [&](int i) { sum += i * (t + 1); }); });
                sums[t] += sum.load();
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < callers; ++t) CHECK_EQ(sums[t], 20L * 499500L * (t + 1));
}
