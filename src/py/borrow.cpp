// Borrow guards: taking the flag or failing with the conflict's RuntimeError.
#include "py/borrow.hpp"

#include <Python.h>

#include "capi/errors.hpp"

namespace quorvel::py {

SharedBorrow::SharedBorrow(BorrowFlag& flag) : flag_(flag) {
    if (!try_take_shared(flag_)) raise(PyExc_RuntimeError, "Already mutably borrowed");
}

ExclusiveBorrow::ExclusiveBorrow(BorrowFlag& flag) : flag_(flag) {
    if (!try_take_exclusive(flag_)) raise(PyExc_RuntimeError, "Already borrowed");
}

}  // namespace quorvel::py
