// Internal faults: violated invariants, reported to Python as PanicException.
#pragma once

#include <exception>
#include <source_location>
#include <string>

namespace quorvel {

/// Thrown for a violated invariant. Carries its message and where it was raised, for the
/// fault report. Expected failures never use it; they are returned as values.
class InternalFault : public std::exception {
public:
    InternalFault(std::string message, std::source_location where)
        : message_(std::move(message)), where_(where) {}

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }

private:
    std::string message_;
    std::source_location where_;
};

/// Raises an internal fault at the caller's source location.
[[noreturn]] inline void fault(std::string message,
                               std::source_location where = std::source_location::current()) {
    throw InternalFault(std::move(message), where);
}

}  // namespace quorvel
