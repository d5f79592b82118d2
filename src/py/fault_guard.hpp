// The guard around every method entry: turns every failure into a Python exception.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <source_location>
#include <string_view>

#include "capi/errors.hpp"
#include "core/fault.hpp"

namespace quorvel::py {

/// Writes the fault report (thread, source location, message) to standard error and sets
/// PanicException with the message. A second fault while doing so aborts the process
/// with "uncaught panic at ffi boundary".
void raise_panic(std::string_view message, const std::source_location* where) noexcept;

/// Runs `body` and returns its result; on any failure sets the Python exception and
/// returns `failure`. Borrows and other resources held by the body are released by
/// their destructors while the exception unwinds, before the conversion runs.
template <class Result, class Body>
Result guarded(Result failure, Body&& body) noexcept {
    try {
        return body();
    } catch (const PyErrorSet&) {
        if (!PyErr_Occurred()) raise_panic("a failure was reported without an exception", nullptr);
    } catch (const InternalFault& f) {
        raise_panic(f.message(), &f.where());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what(), nullptr);
    } catch (...) {
        raise_panic("an unexpected fault occurred", nullptr);
    }
    return failure;
}

}  // namespace quorvel::py
