// One cycle's sample of the board, as sampling hands it to publishing. Names and labels point into
// the discovered devices and zones, which outlive every cycle; nothing here is allocated per cycle.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr int k_power_channels = 4;   // power1 ... power4
inline constexpr int k_voltage_channels = 4; // in0 ... in3
inline constexpr int k_cpus = 8;

// A channel's value with its label; absent (label null) when either could not be read this cycle.
// `read` says whether the value itself was read, whatever became of its label.
struct channel_sample {
    const std::string *label = nullptr;
    std::int64_t value = 0;
    bool read = false;
};

struct device_sample {
    const std::string *name = nullptr; // null while the device's name cannot be read
    bool latch_written = false;        // this cycle's "1" was written
    bool timestamped = false;          // latched and its name known: the latch time is published
    std::int64_t latched_ns = 0;       // CLOCK_MONOTONIC right after the device was latched
    std::int64_t boot_offset_ns = 0;   // CLOCK_BOOTTIME − CLOCK_MONOTONIC then: it grows in a suspend
    std::array<channel_sample, k_power_channels> power{};     // power%d_average, microwatts
    std::array<channel_sample, k_voltage_channels> voltage{}; // in%d_input, millivolts
    bool counted = false;                                     // accumulator count read back
    std::int64_t count = 0;
    // The device log's inputs, read only for the logs: each power channel's label for a log whose
    // header is still to be written (null when unknown), and its instantaneous power%d_input in watts
    // (0 when unreadable).
    std::array<const std::string *, k_power_channels> log_labels{};
    std::array<double, k_power_channels> input_watts{};
};

// The platform's figures. A figure whose source could not be read holds 0 and is not present; the
// battery's is always present (the system log has its column) and says apart whether it was read.
struct system_figures {
    std::int64_t gpufreq_hz = 0;
    std::int64_t cpufreq_khz[k_cpus] = {};
    std::int64_t perf_now_x10 = 0;
    std::int64_t battery_soc_x10 = 0;
    std::int64_t fan_rpm = 0;
    std::int64_t fan_pwm = 0;
    std::int64_t bcl_count = 0;
    std::int64_t bcl0_mv = 0;
    std::int64_t bcl1_mv = 0;
    bool gpufreq_present = false;
    bool cpufreq_present[k_cpus] = {};
    bool perf_now_present = false;
    bool battery_soc_present = false;
    bool battery_soc_read = false; // the charger's file was read this cycle; else battery_soc_x10 is 0
    bool fan_rpm_present = false;
    bool fan_pwm_present = false;
    bool bcl_present = false;
    bool bcl0_present = false;
    bool bcl1_present = false;
    // Derived: the counter's advance since the previous cycle, per second of cycle time, against its
    // 19.2 MHz clock, in percent; 0 without a previous count.
    double throttle_percent = 0.0;
};

struct thermal_sample {
    const std::string *type = nullptr;
    std::int64_t millidegrees = 0; // 0 when the zone's temperature could not be read
    bool read = false;             // the zone's temperature was read this cycle
};

// The derived power figures of one cycle, in watts.
struct power_totals {
    double vph = 0.0;       // every reading named exactly "vph"
    double cores = 0.0;     // every reading whose name holds a core rail marker (apc0 ... nsp2)
    double vph_other = 0.0; // vph minus every reading that is neither "vph" nor "bl_power"
    double backlight = 0.0; // the last reading named exactly "bl_power", 0 without one
};

struct energy_counters; // derive/energy.h

struct cycle_snapshot {
    std::vector<device_sample> devices; // one per accumulator device, in discovery order
    bool backlight_present = false;
    std::int64_t backlight_uw = 0;
    system_figures system;
    std::vector<thermal_sample> thermal; // every known zone, in discovery order
    double cycle_time_s = 0.0;           // the logs' time column
    power_totals totals;                 // derived
    // With --energy, the cumulative energy counters, owned by the derive step; null without.
    const energy_counters *energy = nullptr;
};
