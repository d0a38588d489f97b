#include "failing_allocator.h"

#include <cstdlib>
#include <new>

namespace {

enum class mode { off, nth, all };

// Plain globals: the tests are single-threaded, and these must work before main.
mode current = mode::off;
long target = 0;
long seen = 0;
long refusals = 0;

void *allocate(std::size_t size) {
    ++seen;
    if (current == mode::all || (current == mode::nth && seen == target)) {
        ++refusals;
        return nullptr;
    }
    return std::malloc(size == 0 ? 1 : size);
}

void *allocate_or_throw(std::size_t size) {
    void *p = allocate(size);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}

} // namespace

namespace failing_allocator {

void fail_nth(long n) {
    seen = 0;
    refusals = 0;
    target = n;
    current = mode::nth;
}

void fail_all() {
    seen = 0;
    refusals = 0;
    current = mode::all;
}

void disarm() {
    current = mode::off;
}

void count_from_now() {
    seen = 0;
    refusals = 0;
    current = mode::off;
}

long allocations() {
    return seen;
}

long refused() {
    return refusals;
}

} // namespace failing_allocator

void *operator new(std::size_t size) {
    return allocate_or_throw(size);
}
void *operator new[](std::size_t size) {
    return allocate_or_throw(size);
}
void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
    return allocate(size);
}
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept {
    return allocate(size);
}
void operator delete(void *p) noexcept {
    std::free(p);
}
void operator delete[](void *p) noexcept {
    std::free(p);
}
void operator delete(void *p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void *p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void *p, const std::nothrow_t &) noexcept {
    std::free(p);
}
void operator delete[](void *p, const std::nothrow_t &) noexcept {
    std::free(p);
}
