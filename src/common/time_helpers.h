// Arithmetic on CLOCK_MONOTONIC timespec values.
#pragma once

#include <cstdint>
#include <ctime>

void timespec_add_ms(timespec &t, std::uint32_t ms);
[[nodiscard]] std::int64_t timespec_to_ns(const timespec &t);
[[nodiscard]] double timespec_diff_s(const timespec &earlier, const timespec &later);
[[nodiscard]] timespec monotonic_now();
// CLOCK_BOOTTIME: CLOCK_MONOTONIC plus the time spent in suspend.
[[nodiscard]] timespec boottime_now();
