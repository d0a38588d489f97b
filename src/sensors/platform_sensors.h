// Backlight, clocks, performance figure, battery, fan, battery-current-limit sensor and thermal zones.
#pragma once

#include "common/readings.h"

#include <cstdint>
#include <optional>
#include <string>

inline constexpr std::int64_t BACKLIGHT_UW_PER_STEP = 5449;

// Appends "bl_power" to power_readings, the platform figures to system_readings and one reading per
// known thermal zone. Never fails as a whole: an unreadable source is simply absent.
void sample_platform_sensors(reading_list &power_readings, reading_list &system_readings,
                             thermal_readings &thermal);

enum class search_result { found, not_found, error };
// Exact, case-sensitive match of the first line of each hwmon directory's name; first match wins.
[[nodiscard]] search_result find_hwmon_by_name(const char *name, std::string *path);
// Returns true when discovery walked every zone.
[[nodiscard]] bool discover_thermal_zones();
void release_platform_sensors();

// brightness * BACKLIGHT_UW_PER_STEP, saturated at the 64-bit limits.
[[nodiscard]] std::int64_t backlight_microwatts(std::int64_t brightness);
// x * 10 + 0.5 with one rounding, truncated toward zero; NaN gives 0, beyond range saturates.
[[nodiscard]] std::int64_t round_x10(double x);
