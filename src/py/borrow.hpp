// The per-instance borrow flag: one atomic 32-bit word guarding an Encoder.
//
// 0 = free, all ones = held exclusively, n = held shared by n calls. Conflicts fail at
// once with RuntimeError; nothing ever waits.
#pragma once

#include <atomic>
#include <cstdint>

namespace quorvel::py {

using BorrowFlag = std::atomic<std::uint32_t>;
inline constexpr std::uint32_t kExclusive = 0xFFFFFFFFu;

inline bool try_take_shared(BorrowFlag& flag) noexcept {
    std::uint32_t seen = flag.load(std::memory_order_relaxed);
    while (seen != kExclusive) {
        if (flag.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire, std::memory_order_relaxed)) {
            return true;
        }
    }
    return false;
}
inline void release_shared(BorrowFlag& flag) noexcept { flag.fetch_sub(1, std::memory_order_release); }

inline bool try_take_exclusive(BorrowFlag& flag) noexcept {
    std::uint32_t expected = 0;
    return flag.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire, std::memory_order_relaxed);
}
inline void release_exclusive(BorrowFlag& flag) noexcept { flag.store(0, std::memory_order_release); }

/// Holds a shared borrow for its lifetime; released on every path, faults included.
class SharedBorrow {
public:
    /// Throws PyErrorSet with RuntimeError "Already mutably borrowed" on conflict.
    explicit SharedBorrow(BorrowFlag& flag);
    ~SharedBorrow() { release_shared(flag_); }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

private:
    BorrowFlag& flag_;
};

/// Holds the exclusive borrow for its lifetime; released on every path, faults included.
class ExclusiveBorrow {
public:
    /// Throws PyErrorSet with RuntimeError "Already borrowed" on conflict.
    explicit ExclusiveBorrow(BorrowFlag& flag);
    ~ExclusiveBorrow() { release_exclusive(flag_); }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

private:
    BorrowFlag& flag_;
};

}  // namespace quorvel::py
