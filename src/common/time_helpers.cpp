#include "common/time_helpers.h"

namespace {
constexpr long k_ns_per_s = 1000000000L;
constexpr long k_ns_per_ms = 1000000L;
} // namespace

void timespec_add_ms(timespec &t, std::uint32_t ms) {
    t.tv_sec += static_cast<time_t>(ms / 1000U);
    t.tv_nsec += static_cast<long>(ms % 1000U) * k_ns_per_ms;
    if (t.tv_nsec > k_ns_per_s - 1) {
        t.tv_sec += 1;
        t.tv_nsec -= k_ns_per_s;
    }
}

std::int64_t timespec_to_ns(const timespec &t) {
    return static_cast<std::int64_t>(t.tv_sec) * k_ns_per_s + static_cast<std::int64_t>(t.tv_nsec);
}

double timespec_diff_s(const timespec &earlier, const timespec &later) {
    auto sec = static_cast<std::int64_t>(later.tv_sec) - static_cast<std::int64_t>(earlier.tv_sec);
    long nsec = later.tv_nsec - earlier.tv_nsec;
    if (nsec < 0) {
        nsec += k_ns_per_s;
        sec -= 1;
    }
    return static_cast<double>(nsec) / 1e9 + static_cast<double>(sec);
}

timespec monotonic_now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t;
}

timespec boottime_now() {
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return now;
}
