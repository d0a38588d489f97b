// The cycle's system figures, parsed once from the system readings, and the battery-current-limit
// throttle ratio derived from the counter's advance. Shared by the raw log and the metrics file.
#pragma once

#include "common/readings.h"

#include <cstdint>

inline constexpr double k_bcl_counter_hz = 19200000.0;

struct bcl_throttle_history {
    int has_previous = 0;
    double previous_time_s = 0.0;
    std::int64_t previous_count = 0;
};

// A figure absent from the cycle's readings holds 0 and is not marked present.
struct system_figures {
    std::int64_t gpufreq_hz = 0;
    std::int64_t cpufreq_khz[8] = {};
    std::int64_t perf_now_x10 = 0;
    std::int64_t battery_soc_x10 = 0;
    std::int64_t fan_rpm = 0;
    std::int64_t fan_pwm = 0;
    std::int64_t bcl_count = 0;
    std::int64_t bcl0_mv = 0;
    std::int64_t bcl1_mv = 0;
    bool gpufreq_present = false;
    bool cpufreq_present[8] = {};
    bool perf_now_present = false;
    bool battery_soc_present = false;
    bool fan_rpm_present = false;
    bool fan_pwm_present = false;
    bool bcl_present = false;
    bool bcl0_present = false;
    bool bcl1_present = false;
    // The counter's advance since the previous cycle, per second of cycle time, against its 19.2 MHz
    // clock, in percent; 0 without a previous count.
    double throttle_percent = 0.0;
};

// Parses the system readings (a later entry overrides an earlier one) and advances the process-wide
// throttle history. Called once per sampled cycle, whatever is published.
[[nodiscard]] system_figures derive_system_figures(const reading_list &system_readings, double cycle_time_s);

[[nodiscard]] const bcl_throttle_history &throttle_history();
// Forgets the throttle history (exit handler).
void release_throttle_history();
