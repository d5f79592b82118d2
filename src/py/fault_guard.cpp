// Fault reports and PanicException.
#include "py/fault_guard.hpp"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace quorvel::py {
namespace {

// Created once per process on first need (tried again on a later need if memory ran out
// the first time). It derives directly from BaseException so that `except Exception`
// does not swallow a violated invariant.
PyObject* panic_type = nullptr;

PyObject* panic_exception_type() {
    if (panic_type == nullptr) {
        panic_type = PyErr_NewExceptionWithDoc(
            "quorvel.PanicException",
            "An internal fault of quorvel: an invariant was violated. The call did not complete.",
            PyExc_BaseException, nullptr);
    }
    return panic_type;
}

std::string thread_name() {
    if (getpid() == static_cast<pid_t>(syscall(SYS_gettid))) return "main";
    char name[64] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof name) == 0 && name[0] != '\0') return name;
    return "<unnamed>";
}

// The source path from the project root on, so reports do not depend on the build machine.
std::string_view project_path(const char* file) {
    std::string_view path(file);
    const std::size_t src = path.rfind("src/");
    return src == std::string_view::npos ? path : path.substr(src);
}

void write_report(std::string_view message, const std::source_location* where) {
    std::string report = "thread '" + thread_name() + "' panicked";
    if (where != nullptr) {
        report += " at ";
        report += project_path(where->file_name());
        report += ':';
        report += std::to_string(where->line());
        report += ':';
        report += std::to_string(where->column());
    }
    report += ":\n";
    report.append(message);
    report += "\n";
    std::fwrite(report.data(), 1, report.size(), stderr);
    std::fflush(stderr);
}

}  // namespace

void raise_panic(std::string_view message, const std::source_location* where) noexcept {
    try {
        write_report(message, where);
    } catch (const std::bad_alloc&) {
        // No memory for the report: the exception below still tells the caller.
    }
    try {
        PyErr_Clear();  // the fault replaces whatever error led to it
        PyObject* type = panic_exception_type();
        if (type == nullptr) throw PyErrorSet{};
        raise(type, message);
    } catch (const PyErrorSet&) {
        if (PyErr_Occurred()) {
            if (panic_type != nullptr && PyErr_ExceptionMatches(panic_type)) return;
            // Memory ran out while making the exception: the MemoryError stands instead,
            // as for any other allocation that fails.
            if (PyErr_ExceptionMatches(PyExc_MemoryError)) return;
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return;
    } catch (...) {
    }
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

}  // namespace quorvel::py
