// Ref: the one owned reference to a Python object. No hand-written Py_DECREF elsewhere.
//
// Rules: a new reference comes back as a Ref (Ref::steal); parameters are borrowed
// `PyObject*`; Ref::borrow adds a reference to a borrowed object; release() hands the
// reference to the interpreter and is used only where a slot returns.
#pragma once

#include <Python.h>

#include <utility>

namespace quorvel::py {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref(std::move(other)).swap(*this);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    /// Takes over a new reference (which may be null when the call that made it failed).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    /// Adds a reference to a borrowed object.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    /// Gives up ownership, for returning to the interpreter.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void swap(Ref& other) noexcept { std::swap(p_, other.p_); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace quorvel::py
