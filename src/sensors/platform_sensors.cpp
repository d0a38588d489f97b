#include "sensors/platform_sensors.h"

#include "common/platform_paths.h"
#include "sysfs/sysfs.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>
#include <new>
#include <vector>

namespace {

struct thermal_zone_entry {
    std::string path;
    std::string type;
};

// One-time searches, kept for the run and released only by the exit handler.
struct platform_cache {
    std::optional<std::string> fan_hwmon_path;
    bool fan_search_done = false;
    std::optional<std::string> bcl_hwmon_path;
    bool bcl_search_done = false;
    std::vector<thermal_zone_entry> thermal_zones;
    bool thermal_search_done = false;
};

platform_cache cache;

constexpr std::size_t k_bcl_counters = 3;

// Runs a hwmon search once; a failed search is tried again next cycle.
void ensure_searched(const char *name, std::optional<std::string> &path, bool &done) {
    if (done) {
        return;
    }
    std::string found;
    switch (find_hwmon_by_name(name, &found)) {
    case search_result::error:
        return;
    case search_result::found:
        path = std::move(found);
        break;
    case search_result::not_found:
        path.reset();
        break;
    }
    done = true;
}

void append_read_i64(reading_list &list, const char *key, const char *path) {
    std::int64_t value = 0;
    if (sysfs_read_i64(path, &value) == 0) {
        reading_list_append(list, key, value);
    }
}

void sample_fan(reading_list &system_readings) {
    ensure_searched(platform_paths::fan_hwmon_name, cache.fan_hwmon_path, cache.fan_search_done);
    if (!cache.fan_hwmon_path) {
        return;
    }
    path_buffer path;
    std::int64_t value = 0;
    if (format_path(path, "%s/fan1_input", cache.fan_hwmon_path->c_str()) &&
        sysfs_read_i64(path, &value) == 0) {
        reading_list_append(system_readings, "fan_rpm", value / 2);
    }
    if (format_path(path, "%s/pwm1", cache.fan_hwmon_path->c_str())) {
        append_read_i64(system_readings, "fan_pwm", path);
    }
}

void sample_bcl(reading_list &system_readings) {
    ensure_searched(platform_paths::bcl_hwmon_name, cache.bcl_hwmon_path, cache.bcl_search_done);
    if (!cache.bcl_hwmon_path) {
        return;
    }
    std::uint64_t counters[k_bcl_counters] = {};
    if (sysfs_read_hex_list(platform_paths::bcl_throttle_accum, true, counters, k_bcl_counters) !=
        static_cast<int>(k_bcl_counters)) {
        return;
    }
    // The counter's bit pattern is kept; readers treat it as a signed count.
    reading_list_append(system_readings, "bcl0_accum", static_cast<std::int64_t>(counters[0]));
    path_buffer path;
    if (format_path(path, "%s/in0_min", cache.bcl_hwmon_path->c_str())) {
        append_read_i64(system_readings, "bcl0_v", path);
    }
    if (format_path(path, "%s/in0_lcrit", cache.bcl_hwmon_path->c_str())) {
        append_read_i64(system_readings, "bcl1_v", path);
    }
}

void sample_thermal(thermal_readings &thermal) {
    if (!cache.thermal_search_done && !discover_thermal_zones()) {
        return;
    }
    for (const thermal_zone_entry &zone : cache.thermal_zones) {
        path_buffer path;
        std::int64_t value = 0;
        if (!format_path(path, "%s/temp", zone.path.c_str()) || sysfs_read_i64(path, &value) != 0) {
            value = 0;
        }
        if (!thermal_readings_append(thermal, zone.type.c_str(), value)) {
            // A partial list would shift every zone's column: take none this cycle.
            std::vector<thermal_reading>().swap(thermal.items);
            return;
        }
    }
}

} // namespace

std::int64_t backlight_microwatts(std::int64_t brightness) {
    std::int64_t product = 0;
    if (__builtin_mul_overflow(brightness, BACKLIGHT_UW_PER_STEP, &product)) {
        // A corrupt brightness must not wrap into a plausible power figure.
        return brightness < 0 ? std::numeric_limits<std::int64_t>::min()
                              : std::numeric_limits<std::int64_t>::max();
    }
    return product;
}

// 128-bit arithmetic holds the exact sum for every x that does not saturate.
__extension__ typedef __int128 wide;
__extension__ typedef unsigned __int128 uwide;

// x * 10 + 0.5 rounded once to a double, as a fused multiply-add gives it, then truncated toward zero.
// Done exactly in integers so that the daemon does not need the maths library, whose mapping alone costs
// a few hundred kilobytes of resident memory on hosts without a fused multiply-add instruction.
std::int64_t round_x10(double x) {
    constexpr std::int64_t max = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t min = std::numeric_limits<std::int64_t>::min();
    if (std::isnan(x)) {
        return 0;
    }
    // From 2^61 on, |x * 10| is beyond 2^63 whatever the rounding.
    constexpr double saturating = 2305843009213693952.0;
    if (x >= saturating) {
        return max;
    }
    if (x <= -saturating) {
        return min;
    }
    // Below 2^-10, x * 10 + 0.5 stays strictly between 0 and 1.
    if (x > -0.0009765625 && x < 0.0009765625) {
        return 0;
    }

    // x = sign * mantissa * 2^exponent with a 53-bit mantissa; here exponent lies in -62 ... 8.
    const auto bits = std::bit_cast<std::uint64_t>(x);
    const bool negative = (bits >> 63) != 0;
    const std::uint64_t mantissa = (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
    const int exponent = static_cast<int>((bits >> 52) & 0x7ff) - 1075;

    // The exact sum in units of 2^unit, unit <= -1 so that 0.5 is a whole number of units.
    const int unit = std::min(exponent, -1);
    const wide product = static_cast<wide>(mantissa) * 10 * (wide{1} << (exponent - unit));
    const wide sum = (negative ? -product : product) + (wide{1} << (-1 - unit));
    const bool sum_negative = sum < 0;
    auto magnitude = static_cast<uwide>(sum_negative ? -sum : sum);

    // Round to 53 significant bits, ties to even.
    int length = 0;
    for (uwide m = magnitude; m != 0; m >>= 1) {
        ++length;
    }
    if (length > 53) {
        const int drop = length - 53;
        const uwide rest = magnitude & ((uwide{1} << drop) - 1);
        const uwide half = uwide{1} << (drop - 1);
        magnitude >>= drop;
        if (rest > half || (rest == half && (magnitude & 1) != 0)) {
            ++magnitude;
        }
        magnitude <<= drop;
    }

    // Truncate toward zero, then clamp to the 64-bit range.
    const uwide whole = magnitude >> (-unit);
    const auto limit = static_cast<uwide>(max);
    if (!sum_negative) {
        return whole > limit ? max : static_cast<std::int64_t>(whole);
    }
    return whole > limit ? min : -static_cast<std::int64_t>(whole);
}

search_result find_hwmon_by_name(const char *name, std::string *path) {
    glob_owner g;
    const int rc = glob(platform_paths::hwmon_glob, 0, nullptr, &g.result);
    if (rc == GLOB_NOMATCH) {
        return search_result::not_found;
    }
    if (rc != 0) {
        return search_result::error;
    }
    for (std::size_t i = 0; i < g.result.gl_pathc; ++i) {
        const char *dir = g.result.gl_pathv[i];
        path_buffer name_path;
        if (!format_path(name_path, "%s/name", dir) || !path_exists(name_path)) {
            continue;
        }
        std::string line;
        if (sysfs_read_line(name_path, &line) != 0) {
            continue;
        }
        if (line == name) {
            try {
                path->assign(dir);
            } catch (const std::bad_alloc &) {
                return search_result::not_found;
            }
            return search_result::found;
        }
    }
    return search_result::not_found;
}

bool discover_thermal_zones() {
    glob_owner g;
    const int rc = glob(platform_paths::thermal_zone_glob, 0, nullptr, &g.result);
    if (rc != 0 && rc != GLOB_NOMATCH) {
        return false;
    }
    // A repeat after a failed attempt starts from scratch so no zone is listed twice.
    cache.thermal_zones.clear();
    for (std::size_t i = 0; rc == 0 && i < g.result.gl_pathc; ++i) {
        const char *dir = g.result.gl_pathv[i];
        path_buffer type_path;
        path_buffer temp_path;
        if (!format_path(type_path, "%s/type", dir) || !format_path(temp_path, "%s/temp", dir) ||
            !path_exists(type_path) || !path_exists(temp_path)) {
            continue;
        }
        std::string type;
        if (sysfs_read_line(type_path, &type) != 0) {
            continue;
        }
        try {
            cache.thermal_zones.push_back(thermal_zone_entry{std::string(dir), std::move(type)});
        } catch (const std::bad_alloc &) {
            cache.thermal_zones.clear();
            return false;
        }
    }
    cache.thermal_search_done = true;
    return true;
}

void sample_platform_sensors(reading_list &power_readings, reading_list &system_readings,
                             thermal_readings &thermal) {
    std::int64_t value = 0;
    if (sysfs_read_i64(platform_paths::backlight_brightness, &value) == 0) {
        reading_list_append(power_readings, "bl_power", backlight_microwatts(value));
    }

    append_read_i64(system_readings, "gpufreq", platform_paths::gpu_cur_freq);

    for (int cpu = 0; cpu < 8; ++cpu) {
        path_buffer path;
        if (format_path(path, platform_paths::cpu_cur_freq_format, cpu) &&
            sysfs_read_i64(path, &value) == 0) {
            char key[32];
            std::snprintf(key, sizeof key, "cpufreq%d", cpu);
            reading_list_append(system_readings, key, value);
        }
    }

    double real = 0.0;
    if (sysfs_read_real(platform_paths::gpu_perf_now, &real) == 0) {
        reading_list_append(system_readings, "perf_now_x10", round_x10(real));
    }

    real = 0.0;
    // The charger's service user owns this file's directory: whatever it plants there is only data.
    const bool battery_read =
        sysfs_read_real(platform_paths::battery_percent, &real, source_trust::user_owned) == 0;
    reading_list_append(system_readings, "battery_soc_x10", battery_read ? round_x10(real) : 0);

    sample_fan(system_readings);
    sample_bcl(system_readings);
    sample_thermal(thermal);
}

void release_platform_sensors() {
    std::vector<thermal_zone_entry>().swap(cache.thermal_zones);
    cache.thermal_search_done = false;
    cache.fan_hwmon_path.reset();
    cache.fan_search_done = false;
    cache.bcl_hwmon_path.reset();
    cache.bcl_search_done = false;
}
