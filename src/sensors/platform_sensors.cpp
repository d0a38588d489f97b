#include "sensors/platform_sensors.h"

#include "common/platform_paths.h"
#include "common/rounding.h"
#include "sources/attributes.h"

#include <limits>
#include <new>

namespace {

constexpr std::size_t k_bcl_counters = 3;

bool read_i64(const std::string &path, std::int64_t &value) {
    return sysfs_read_i64(path.c_str(), &value) == 0;
}

// The fan and the sensor are searched for in the first cycle that reaches them; a failed search
// skips them this cycle and is made again next cycle.
void sample_fan(board_inventory &board, system_figures &f) {
    if ((!board.fan_searched && find_fan(board) != 0) || !board.fan_found) {
        return;
    }
    std::int64_t value = 0;
    if (read_i64(board.fan_input, value)) {
        // The controller reports tachometer pulses, two per revolution.
        f.fan_rpm = value / 2;
        f.fan_rpm_present = true;
    }
    if (read_i64(board.fan_pwm, value)) {
        f.fan_pwm = value;
        f.fan_pwm_present = true;
    }
}

void sample_bcl(board_inventory &board, system_figures &f) {
    if ((!board.bcl_searched && find_bcl_sensor(board) != 0) || !board.bcl_found) {
        return;
    }
    std::uint64_t counters[k_bcl_counters] = {};
    if (sysfs_read_hex_list(platform_paths::bcl_throttle_accum, true, counters, k_bcl_counters) !=
        static_cast<int>(k_bcl_counters)) {
        return;
    }
    // The counter's bit pattern is kept; readers treat it as a signed count.
    f.bcl_count = static_cast<std::int64_t>(counters[0]);
    f.bcl_present = true;
    std::int64_t value = 0;
    if (read_i64(board.bcl_in0_min, value)) {
        f.bcl0_mv = value;
        f.bcl0_present = true;
    }
    if (read_i64(board.bcl_in0_lcrit, value)) {
        f.bcl1_mv = value;
        f.bcl1_present = true;
    }
}

void sample_thermal(board_inventory &board, std::vector<thermal_sample> &thermal) {
    if (!board.zones_found && !discover_thermal_zones(board)) {
        thermal.clear();
        return;
    }
    if (thermal.size() != board.zones.size()) {
        try {
            thermal.resize(board.zones.size());
        } catch (const std::bad_alloc &) {
            // A partial list would shift every zone's column: take none this cycle.
            thermal.clear();
            return;
        }
    }
    for (std::size_t z = 0; z < board.zones.size(); ++z) {
        std::int64_t value = 0; // an unreadable zone reads 0
        const bool read = read_i64(board.zones[z].temp, value);
        thermal[z] = thermal_sample{&board.zones[z].type, read ? value : 0, read};
    }
}

} // namespace

std::int64_t backlight_microwatts(std::int64_t brightness) {
    std::int64_t product = 0;
    if (__builtin_mul_overflow(brightness, k_backlight_uw_per_step, &product)) {
        // A corrupt brightness must not wrap into a plausible power figure.
        return brightness < 0 ? std::numeric_limits<std::int64_t>::min()
                              : std::numeric_limits<std::int64_t>::max();
    }
    return product;
}

void sample_platform_sensors(board_inventory &board, cycle_snapshot &snapshot) {
    std::int64_t value = 0;
    snapshot.backlight_present = sysfs_read_i64(platform_paths::backlight_brightness, &value) == 0;
    snapshot.backlight_uw = snapshot.backlight_present ? backlight_microwatts(value) : 0;

    system_figures &f = snapshot.system;
    f = system_figures{};
    f.gpufreq_present = sysfs_read_i64(platform_paths::gpu_cur_freq, &value) == 0;
    f.gpufreq_hz = f.gpufreq_present ? value : 0;
    for (int cpu = 0; cpu < k_cpus; ++cpu) {
        f.cpufreq_present[cpu] = sysfs_read_i64(platform_paths::cpu_cur_freq[cpu], &value) == 0;
        f.cpufreq_khz[cpu] = f.cpufreq_present[cpu] ? value : 0;
    }

    double real = 0.0;
    f.perf_now_present = source_read_real(platform_paths::gpu_perf_now, &real) == 0;
    f.perf_now_x10 = f.perf_now_present ? round_x10(real) : 0;

    real = 0.0;
    // The charger's service user owns this file's directory: whatever it plants there is only data.
    const bool battery_read =
        source_read_real(platform_paths::battery_percent, &real, source_trust::user_owned) == 0;
    f.battery_soc_x10 = battery_read ? round_x10(real) : 0;
    f.battery_soc_present = true;
    f.battery_soc_read = battery_read;

    sample_fan(board, f);
    sample_bcl(board, f);
    sample_thermal(board, snapshot.thermal);
}
