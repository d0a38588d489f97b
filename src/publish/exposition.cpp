#include "publish/exposition.h"

#include "derive/energy.h"
#include "publish/number_text.h"

#include <algorithm>

#include <new>
#include <string_view>
#include <utility>

namespace {

struct family {
    const char *name;
    const char *type;
    const char *help;
};

constexpr family k_rail_power = {"vantrel_rail_power_watts", "gauge",
                                 "Average power of a rail over the last accumulator period, in watts."};
constexpr family k_backlight_power = {"vantrel_backlight_power_watts", "gauge",
                                      "Display backlight power estimated from its brightness, in watts."};
constexpr family k_power_total = {"vantrel_power_total_watts", "gauge",
                                  "Derived power figures: vph_total, cores_total and vph_other, in watts."};
constexpr family k_channel_voltage = {"vantrel_channel_voltage_volts", "gauge",
                                      "Input voltage of an accumulator channel, in volts."};
constexpr family k_accumulator = {"vantrel_accumulator_value", "gauge",
                                  "Number read back from a device's accumulator after its latch, unchanged."};
constexpr family k_snapshot = {"vantrel_accumulator_snapshot_seconds", "gauge",
                               "CLOCK_MONOTONIC time of a device's accumulator latch, in seconds."};
constexpr family k_rail_energy = {
    "vantrel_rail_energy_joules_total", "counter",
    "Energy of a rail since the daemon started, from the accumulators' averages "
    "and latch intervals, in joules."};
constexpr family k_rail_energy_gap = {"vantrel_rail_energy_gap_seconds_total", "counter",
                                      "Time since the daemon started for which a rail's energy is unknown "
                                      "(failed latches, unreadable averages, suspends), in seconds."};
constexpr family k_total_energy = {"vantrel_power_total_energy_joules_total", "counter",
                                   "Energy of the derived figures vph_total, cores_total and vph_other since "
                                   "the daemon started, in joules."};
constexpr family k_gpu_frequency = {"vantrel_gpu_frequency_hertz", "gauge", "Current GPU clock, in hertz."};
constexpr family k_cpu_frequency = {"vantrel_cpu_frequency_hertz", "gauge",
                                    "Current clock of a CPU, in hertz."};
constexpr family k_gpu_performance = {"vantrel_gpu_perf_now", "gauge",
                                      "GPU performance figure from the DRM debug directory."};
constexpr family k_battery = {"vantrel_battery_charge_ratio", "gauge",
                              "Battery state of charge reported by the charger, 0 to 1."};
constexpr family k_fan_speed = {"vantrel_fan_speed_rpm", "gauge",
                                "Cooling fan speed, in revolutions per minute."};
constexpr family k_fan_pwm = {"vantrel_fan_pwm", "gauge",
                              "Cooling fan drive level as the controller reports it."};
constexpr family k_bcl_throttle = {"vantrel_bcl_throttle_ratio", "gauge",
                                   "Share of the last cycle the GPU spent throttled by the battery current "
                                   "limit, 0 to 1."};
constexpr family k_bcl_threshold = {"vantrel_bcl_threshold_volts", "gauge",
                                    "Battery current limit voltage thresholds (level 0: in0_min, level 1: "
                                    "in0_lcrit), in volts."};
constexpr family k_thermal_zone = {"vantrel_thermal_zone_celsius", "gauge",
                                   "Temperature of a thermal zone, in degrees Celsius."};
constexpr family k_cycles = {"vantrel_cycles_total", "counter",
                             "Cycles that sampled the board, since the daemon started."};
constexpr family k_failed_passes = {"vantrel_failed_passes_total", "counter",
                                    "Cycles whose publishing pass failed, since the daemon started."};
constexpr family k_cycle_duration = {"vantrel_last_cycle_duration_seconds", "gauge",
                                     "Time the last cycle took from its wake-up until its metrics were "
                                     "built, in seconds."};
constexpr family k_cycle_timestamp = {"vantrel_last_cycle_timestamp_seconds", "gauge",
                                      "Unix time (CLOCK_REALTIME) of the last cycle, in seconds."};

// Emits each family's HELP and TYPE before its first sample, so a family without samples has none.
struct exposition {
    std::string &text;
    const family *current = nullptr;
};

void begin_sample(exposition &out, const family &f) {
    if (out.current != &f) {
        out.text.append("# HELP ").append(f.name).append(" ").append(f.help).append("\n");
        out.text.append("# TYPE ").append(f.name).append(" ").append(f.type).append("\n");
        out.current = &f;
    }
    out.text.append(f.name);
}

void append_label(std::string &text, bool first, const char *name, std::string_view value) {
    text.append(first ? "{" : ",").append(name).append("=\"");
    append_label_value(text, value);
    text.push_back('"');
}

void end_sample_scaled(std::string &text, std::int64_t value, int decimals) {
    text.push_back(' ');
    append_scaled(text, value, decimals);
    text.push_back('\n');
}

void end_sample_double(std::string &text, double value) {
    text.push_back(' ');
    append_double(text, value);
    text.push_back('\n');
}

// A device is named by the name it was latched under this cycle, as its snapshot-time file is.
const std::string *device_name(const device_sample &device) {
    return device.timestamped ? device.name : nullptr;
}

void append_index(std::string &text, std::size_t index) {
    char digits[24];
    const char *end = put_unsigned(digits, digits + sizeof digits, index);
    append_label(text, false, "index", std::string_view(digits, static_cast<std::size_t>(end - digits)));
}

// Two devices may report the same name: each of them then also carries its position in discovery
// order, so that no two series collide. A device whose name is unknown is told apart the same way.
void append_device_labels(std::string &text, const cycle_snapshot &snapshot, std::size_t d) {
    const std::string *name = device_name(snapshot.devices[d]);
    append_label(text, true, "device", name != nullptr ? std::string_view(*name) : std::string_view());
    bool needs_index = name == nullptr;
    for (std::size_t other = 0; other < snapshot.devices.size() && !needs_index; ++other) {
        const std::string *other_name = device_name(snapshot.devices[other]);
        needs_index = other != d && other_name != nullptr && *other_name == *name;
    }
    if (needs_index) {
        append_index(text, d);
    }
}

// One series per (device, label): when a device reports one label twice the later reading wins, as it
// does for the value file both would write.
template <std::size_t N> bool superseded(const std::array<channel_sample, N> &channels, std::size_t i) {
    for (std::size_t j = i + 1; j < N; ++j) {
        if (channels[j].label != nullptr && *channels[j].label == *channels[i].label) {
            return true;
        }
    }
    return false;
}

template <std::size_t N>
void append_channel_series(exposition &out, const family &f, const cycle_snapshot &snapshot,
                           std::array<channel_sample, N> device_sample::*channels, const char *label,
                           int decimals) {
    for (std::size_t d = 0; d < snapshot.devices.size(); ++d) {
        const std::array<channel_sample, N> &list = snapshot.devices[d].*channels;
        for (std::size_t i = 0; i < N; ++i) {
            if (list[i].label == nullptr || superseded(list, i)) {
                continue;
            }
            begin_sample(out, f);
            append_device_labels(out.text, snapshot, d);
            append_label(out.text, false, label, *list[i].label);
            out.text.push_back('}');
            end_sample_scaled(out.text, list[i].value, decimals);
        }
    }
}

// The accumulator counts and latch times: one series per device that has one this cycle.
void append_device_figure(exposition &out, const family &f, const cycle_snapshot &snapshot, bool latch_time) {
    for (std::size_t d = 0; d < snapshot.devices.size(); ++d) {
        const device_sample &device = snapshot.devices[d];
        if (!(latch_time ? device.timestamped : device.counted)) {
            continue;
        }
        begin_sample(out, f);
        append_device_labels(out.text, snapshot, d);
        out.text.push_back('}');
        end_sample_scaled(out.text, latch_time ? device.latched_ns : device.count, latch_time ? 9 : 0);
    }
}

void append_plain(exposition &out, const family &f, bool present, std::int64_t value, int decimals) {
    if (present) {
        begin_sample(out, f);
        end_sample_scaled(out.text, value, decimals);
    }
}

void append_one_label(exposition &out, const family &f, const char *label, std::string_view label_value,
                      std::int64_t value, int decimals) {
    begin_sample(out, f);
    append_label(out.text, true, label, label_value);
    out.text.push_back('}');
    end_sample_scaled(out.text, value, decimals);
}

void append_counter(exposition &out, const family &f, std::uint64_t value) {
    begin_sample(out, f);
    char digits[24];
    const char *end = put_unsigned(digits, digits + sizeof digits, value);
    out.text.push_back(' ');
    out.text.append(digits, static_cast<std::size_t>(end - digits));
    out.text.push_back('\n');
}

// Only the zones read this cycle. A zone shares its type with another whether or not that one was
// read, so that a zone's series keeps its labels from cycle to cycle.
void append_thermal_zones(exposition &out, const std::vector<thermal_sample> &thermal) {
    const std::size_t zones = thermal.size();
    for (std::size_t z = 0; z < zones; ++z) {
        if (!thermal[z].read) {
            continue;
        }
        const std::string &type = *thermal[z].type;
        bool shared = false;
        for (std::size_t other = 0; other < zones && !shared; ++other) {
            shared = other != z && *thermal[other].type == type;
        }
        begin_sample(out, k_thermal_zone);
        append_label(out.text, true, "zone", type);
        if (shared) {
            append_index(out.text, z);
        }
        out.text.push_back('}');
        end_sample_scaled(out.text, thermal[z].millidegrees, 3);
    }
}

// One series per (device, label) whose label is known, the later channel winning as in the tree.
bool energy_superseded(const device_energy &device, std::size_t i) {
    for (std::size_t j = i + 1; j < device.channels.size(); ++j) {
        if (device.channels[j].label != nullptr && *device.channels[j].label == *device.channels[i].label) {
            return true;
        }
    }
    return false;
}

void append_energy(exposition &out, const cycle_snapshot &snapshot, const energy_counters &counters) {
    const std::size_t count = std::min(snapshot.devices.size(), counters.devices.size());
    for (const bool gaps : {false, true}) {
        for (std::size_t d = 0; d < count; ++d) {
            const device_energy &device = counters.devices[d];
            for (std::size_t n = 0; n < device.channels.size(); ++n) {
                const channel_energy &channel = device.channels[n];
                if (channel.label == nullptr || energy_superseded(device, n)) {
                    continue;
                }
                begin_sample(out, gaps ? k_rail_energy_gap : k_rail_energy);
                append_device_labels(out.text, snapshot, d);
                append_label(out.text, false, "rail", *channel.label);
                out.text.push_back('}');
                end_sample_scaled(out.text, gaps ? channel.gap_ns : channel.nanojoules, 9);
            }
        }
    }
    for (const auto &[name, total] :
         {std::pair{"vph_total", &counters.vph}, std::pair{"cores_total", &counters.cores},
          std::pair{"vph_other", &counters.vph_other}}) {
        begin_sample(out, k_total_energy);
        append_label(out.text, true, "total", name);
        out.text.push_back('}');
        end_sample_scaled(out.text, total->nanojoules, 9);
    }
}

void build_exposition(exposition &out, const cycle_snapshot &snapshot, const daemon_self_report &self) {
    const system_figures &figures = snapshot.system;
    // Units: microwatts, millivolts, nanoseconds and millidegrees from the readings, kilohertz from
    // cpufreq; the file holds watts, volts, seconds, degrees and hertz, converted exactly.
    append_channel_series(out, k_rail_power, snapshot, &device_sample::power, "rail", 6);
    const power_totals &totals = snapshot.totals;
    begin_sample(out, k_backlight_power);
    end_sample_double(out.text, totals.backlight);
    for (const auto &[name, watts] :
         {std::pair{"vph_total", totals.vph}, std::pair{"cores_total", totals.cores},
          std::pair{"vph_other", totals.vph_other}}) {
        begin_sample(out, k_power_total);
        append_label(out.text, true, "total", name);
        out.text.push_back('}');
        end_sample_double(out.text, watts);
    }
    append_channel_series(out, k_channel_voltage, snapshot, &device_sample::voltage, "channel", 3);
    append_device_figure(out, k_accumulator, snapshot, false);
    append_device_figure(out, k_snapshot, snapshot, true);
    if (snapshot.energy != nullptr) {
        append_energy(out, snapshot, *snapshot.energy);
    }

    append_plain(out, k_gpu_frequency, figures.gpufreq_present, figures.gpufreq_hz, 0);
    for (int cpu = 0; cpu < k_cpus; ++cpu) {
        if (figures.cpufreq_present[cpu]) {
            const char number[2] = {static_cast<char>('0' + cpu), '\0'};
            append_one_label(out, k_cpu_frequency, "cpu", number, figures.cpufreq_khz[cpu], -3);
        }
    }
    append_plain(out, k_gpu_performance, figures.perf_now_present, figures.perf_now_x10, 1);
    // Percent ten times over: the ratio is a thousandth of it. Only a charge that was read: the log's
    // 0 for an unreadable file is no charge at all.
    append_plain(out, k_battery, figures.battery_soc_read, figures.battery_soc_x10, 3);
    append_plain(out, k_fan_speed, figures.fan_rpm_present, figures.fan_rpm, 0);
    append_plain(out, k_fan_pwm, figures.fan_pwm_present, figures.fan_pwm, 0);
    if (figures.bcl_present) {
        begin_sample(out, k_bcl_throttle);
        end_sample_double(out.text, figures.throttle_percent / 100.0);
    }
    if (figures.bcl0_present) {
        append_one_label(out, k_bcl_threshold, "level", "0", figures.bcl0_mv, 3);
    }
    if (figures.bcl1_present) {
        append_one_label(out, k_bcl_threshold, "level", "1", figures.bcl1_mv, 3);
    }
    append_thermal_zones(out, snapshot.thermal);

    append_counter(out, k_cycles, self.cycles);
    append_counter(out, k_failed_passes, self.failed_passes);
    begin_sample(out, k_cycle_duration);
    end_sample_double(out.text, self.last_cycle_duration_s);
    begin_sample(out, k_cycle_timestamp);
    end_sample_double(out.text, self.last_cycle_unix_s);
}

} // namespace

int build_metrics(std::string &text, const cycle_snapshot &snapshot, const daemon_self_report &self) {
    text.clear();
    exposition out{text};
    try {
        build_exposition(out, snapshot, self);
    } catch (const std::bad_alloc &) {
        return -1;
    }
    return 0;
}
