// Every fixed location the daemon reads or writes on the board, in one place.
#pragma once

namespace platform_paths {

inline constexpr const char *hwmon_glob = "/sys/class/hwmon/hwmon*";
inline constexpr const char *thermal_zone_glob = "/sys/class/thermal/thermal_zone*";

inline constexpr const char *backlight_brightness = "/sys/class/backlight/ae94000.dsi.0/brightness";
inline constexpr const char *gpu_cur_freq =
    "/sys/devices/platform/soc@0/3d00000.gpu/devfreq/3d00000.gpu/cur_freq";
inline constexpr const char *cpu_cur_freq[] = {
    "/sys/devices/system/cpu/cpu0/cpufreq/scaling_cur_freq",
    "/sys/devices/system/cpu/cpu1/cpufreq/scaling_cur_freq",
    "/sys/devices/system/cpu/cpu2/cpufreq/scaling_cur_freq",
    "/sys/devices/system/cpu/cpu3/cpufreq/scaling_cur_freq",
    "/sys/devices/system/cpu/cpu4/cpufreq/scaling_cur_freq",
    "/sys/devices/system/cpu/cpu5/cpufreq/scaling_cur_freq",
    "/sys/devices/system/cpu/cpu6/cpufreq/scaling_cur_freq",
    "/sys/devices/system/cpu/cpu7/cpufreq/scaling_cur_freq",
};
inline constexpr const char *gpu_perf_now = "/sys/kernel/debug/dri/0/perf_now";
inline constexpr const char *bcl_throttle_accum = "/sys/kernel/debug/dri/0/bcl_throttle_accum";
inline constexpr const char *battery_percent = "/run/vantrelcharger/battery_percent";

inline constexpr const char *default_output_root = "/run/power-monitor";

// One daemon at a time: the running one holds an exclusive flock on this file. It lives outside the
// output root so that asking for help never creates the tree.
inline constexpr const char *lock_directory = "/run/vantrel-power-monitor";
inline constexpr const char *lock_file = "/run/vantrel-power-monitor/lock";
// With --energy: the control socket, where clients ask for latches (daemon/control.h).
inline constexpr const char *control_socket = "/run/vantrel-power-monitor/control";

// The group database, for --control-group by name.
inline constexpr const char *group_file = "/etc/group";

// hwmon device names.
inline constexpr const char *accumulator_name_prefix = "max34417";
inline constexpr const char *fan_hwmon_name = "slg4ax46073v";
inline constexpr const char *bcl_hwmon_name = "c400000.spmi:pmic@1:sensor@4700";

} // namespace platform_paths
