#include "publish/system_figures.h"

#include <cstdlib>
#include <string>

namespace {

bcl_throttle_history history;

void apply_system_reading(system_figures &f, const reading &entry) {
    const std::string &name = entry.name;
    if (name == "gpufreq") {
        f.gpufreq_hz = entry.value;
        f.gpufreq_present = true;
    } else if (name.compare(0, 7, "cpufreq") == 0 && name.size() >= 7) {
        const char *digits = name.c_str() + 7;
        char *end = nullptr;
        const long cpu = std::strtol(digits, &end, 10);
        // A bare "cpufreq" converts no digits and names no CPU.
        if (end != digits && *end == '\0' && cpu >= 0 && cpu <= 7) {
            f.cpufreq_khz[cpu] = entry.value;
            f.cpufreq_present[cpu] = true;
        }
    } else if (name == "perf_now_x10") {
        f.perf_now_x10 = entry.value;
        f.perf_now_present = true;
    } else if (name == "battery_soc_x10") {
        f.battery_soc_x10 = entry.value;
        f.battery_soc_present = true;
    } else if (name == "fan_rpm") {
        f.fan_rpm = entry.value;
        f.fan_rpm_present = true;
    } else if (name == "fan_pwm") {
        f.fan_pwm = entry.value;
        f.fan_pwm_present = true;
    } else if (name == "bcl0_accum") {
        f.bcl_count = entry.value;
        f.bcl_present = true;
    } else if (name == "bcl0_v") {
        f.bcl0_mv = entry.value;
        f.bcl0_present = true;
    } else if (name == "bcl1_v") {
        f.bcl1_mv = entry.value;
        f.bcl1_present = true;
    }
}

double advance_throttle_history(const system_figures &f, double cycle_time_s) {
    bcl_throttle_history &h = history;
    if (!f.bcl_present) {
        h.has_previous = 0;
        return 0.0;
    }
    double percent = 0.0;
    const double dt = cycle_time_s - h.previous_time_s;
    if (h.has_previous == 1 && dt > 0.0 && h.previous_count <= f.bcl_count) {
        // previous <= count, so the true advance fits an unsigned 64-bit value even across the sign.
        const std::uint64_t advance =
            static_cast<std::uint64_t>(f.bcl_count) - static_cast<std::uint64_t>(h.previous_count);
        percent = static_cast<double>(advance) / (dt * k_bcl_counter_hz) * 100.0;
    }
    h.previous_count = f.bcl_count;
    h.previous_time_s = cycle_time_s;
    h.has_previous = 1;
    return percent;
}

} // namespace

system_figures derive_system_figures(const reading_list &system_readings, double cycle_time_s) {
    system_figures f;
    for (const reading &entry : system_readings.items) {
        apply_system_reading(f, entry);
    }
    f.throttle_percent = advance_throttle_history(f, cycle_time_s);
    return f;
}

const bcl_throttle_history &throttle_history() {
    return history;
}

void release_throttle_history() {
    history = bcl_throttle_history{};
}
