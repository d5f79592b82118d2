// A minimal test registry for the pure C++ core; tests/test_core.py builds and runs it.
#pragma once

#include <dirent.h>

#include <functional>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>

namespace quorvel::testing {

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

inline std::map<std::string, std::function<void()>>& registry() {
    static std::map<std::string, std::function<void()>> tests;
    return tests;
}

struct Register {
    Register(const char* name, std::function<void()> body) { registry().emplace(name, std::move(body)); }
};

/// Threads of this process: the entries of /proc/self/task.
inline std::size_t process_thread_count() {
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) throw Failure("cannot list /proc/self/task");
    std::size_t count = 0;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
    return count;
}

}  // namespace quorvel::testing

#define QV_CAT2(a, b) a##b
#define QV_CAT(a, b) QV_CAT2(a, b)

/// Defines a test case called NAME (a C++ identifier).
#define TEST_CASE(NAME)                                                                  \
    static void NAME();                                                                  \
    static ::quorvel::testing::Register QV_CAT(register_, NAME)(#NAME, NAME);            \
    static void NAME()

#define CHECK(COND)                                                                      \
    do {                                                                                 \
        if (!(COND)) {                                                                   \
            std::ostringstream qv_msg;                                                   \
            qv_msg << __FILE__ << ":" << __LINE__ << ": CHECK(" #COND ") failed";        \
            throw ::quorvel::testing::Failure(qv_msg.str());                             \
        }                                                                                \
    } while (0)

#define CHECK_EQ(A, B)                                                                   \
    do {                                                                                 \
        const auto& qv_a = (A);                                                          \
        const auto& qv_b = (B);                                                          \
        if (!(qv_a == qv_b)) {                                                           \
            std::ostringstream qv_msg;                                                   \
            qv_msg << __FILE__ << ":" << __LINE__ << ": CHECK_EQ(" #A ", " #B ") failed: " \
                   << qv_a << " != " << qv_b;                                            \
            throw ::quorvel::testing::Failure(qv_msg.str());                             \
        }                                                                                \
    } while (0)
