// Global operator new that fails on demand, for the memory-exhaustion tests. Linked only into
// their own test executable.
#pragma once

#include <cstddef>

namespace failing_allocator {

// Counts allocations from now on and makes the nth one (1-based) throw std::bad_alloc.
void fail_nth(long n);
// Every allocation throws while armed.
void fail_all();
// Back to normal allocation.
void disarm();
// Allocations made since the last fail_nth, fail_all, count_from_now or disarm.
long allocations();
// How many allocations were refused since then.
long refused();
// Starts counting without failing anything.
void count_from_now();

// Disarms when it goes out of scope, so a failing assertion never runs with the trap set.
struct armed {
    armed() = default;
    armed(const armed &) = delete;
    armed &operator=(const armed &) = delete;
    ~armed() { disarm(); }
};

} // namespace failing_allocator
