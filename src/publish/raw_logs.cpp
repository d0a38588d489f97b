#include "publish/raw_logs.h"

#include "publish/csv_line.h"
#include "sensors/accumulators.h"
#include "sysfs/sysfs.h"

#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct raw_log_state {
    // Logs this run has already recreated with their header; later passes only append to them.
    std::vector<std::string> headed_logs;
    // Header and data lines are built here, reused by every log of every pass.
    char header_buffer[k_thermal_line_capacity];
    char data_buffer[k_thermal_line_capacity];
};

raw_log_state state;

void remember_header(const char *path) {
    try {
        state.headed_logs.emplace_back(path);
    } catch (const std::bad_alloc &) {
        // Forgetting only costs a repeated header next pass.
    }
}

int write_line(const char *path, const csv_line &line, bool append) {
    return sysfs_write(path, std::string_view(line.buffer, line.length), append);
}

// Writes the header line (recreating the log) when this run has not yet written it.
template <typename AddFields>
int write_header_if_pending(const char *path, std::size_t capacity, AddFields add) {
    if (!header_pending(path)) {
        return 0;
    }
    csv_line line;
    csv_line_init(line, state.header_buffer, capacity);
    if (add(line) != 0 || csv_line_end(line) != 0 || write_line(path, line, false) != 0) {
        return -1;
    }
    remember_header(path);
    return 0;
}

} // namespace

bool header_pending(const char *path) {
    for (const std::string &done : state.headed_logs) {
        if (done == path) {
            return false;
        }
    }
    return true;
}

void release_raw_logs() {
    std::vector<std::string>().swap(state.headed_logs);
}

int write_device_raw_log(const char *output_root, const cycle_readings &lists, double cycle_time_s,
                         std::size_t device_index) {
    const std::string *device_name = nullptr;
    if (lookup_device_name(device_index, &device_name) != 0) {
        return -1;
    }
    path_buffer path;
    if (!format_path(path, "%s/power/%s_raw", output_root, device_name->c_str())) {
        return -1;
    }
    const int header_rc = write_header_if_pending(path, k_device_line_capacity, [&](csv_line &line) {
        if (csv_line_add_field(line, "time") != 0 || csv_line_add_field(line, "atime") != 0 ||
            csv_line_add_field(line, "acc") != 0) {
            return -1;
        }
        for (int n = 1; n <= 4; ++n) {
            const std::string *label = nullptr;
            const int rc = lookup_channel_label(device_index, channel_kind::power, n, &label) == 0
                               ? csv_line_add_field(line, "%s", label->c_str())
                               : csv_line_add_field(line, "power%d", n);
            if (rc != 0) {
                return -1;
            }
        }
        return 0;
    });
    if (header_rc != 0) {
        return -1;
    }

    const char *dir = accumulator_devices()[device_index].c_str();
    double channel_watts[4] = {};
    for (int n = 1; n <= 4; ++n) {
        path_buffer input;
        std::int64_t microwatts = 0;
        if (format_path(input, "%s/power%d_input", dir, n) && sysfs_read_i64(input, &microwatts) == 0) {
            channel_watts[n - 1] = static_cast<double>(microwatts) / 1e6;
        }
    }

    // Only this device's own snapshot time and count belong on its line; a missing one stays empty.
    const reading *snapshot = find_device_reading(lists.timestamp_readings, static_cast<int>(device_index));
    const reading *accumulator =
        find_device_reading(lists.accumulator_readings, static_cast<int>(device_index));
    csv_line line;
    csv_line_init(line, state.data_buffer, k_device_line_capacity);
    int rc = csv_line_add_field(line, "%.3f", cycle_time_s);
    rc |= snapshot != nullptr ? csv_line_add_field(line, "%.4f", static_cast<double>(snapshot->value) / 1e9)
                              : csv_line_add_field(line, "%s", "");
    rc |= accumulator != nullptr
              ? csv_line_add_field(line, "%lld", static_cast<long long>(accumulator->value))
              : csv_line_add_field(line, "%s", "");
    for (double watts : channel_watts) {
        rc |= csv_line_add_field(line, "%f", watts);
    }
    rc |= csv_line_end(line);
    if (rc != 0) {
        return -1;
    }
    return write_line(path, line, true);
}

int write_system_raw_log(const char *output_root, const system_figures &f, double cycle_time_s) {
    path_buffer path;
    if (!format_path(path, "%s/power/system_raw", output_root)) {
        return -1;
    }

    const int header_rc = write_header_if_pending(path, k_system_line_capacity, [](csv_line &line) {
        int rc = csv_line_add_field(line, "time");
        rc |= csv_line_add_field(line, "gpufreq");
        for (int cpu = 0; cpu < 8; ++cpu) {
            rc |= csv_line_add_field(line, "cpufreq%d", cpu);
        }
        for (const char *column :
             {"perf_now", "battery_soc", "fan_rpm", "fan_pwm", "bcl0", "bcl0_v", "bcl1_v"}) {
            rc |= csv_line_add_field(line, "%s", column);
        }
        return rc;
    });
    if (header_rc != 0) {
        return -1;
    }

    csv_line line;
    csv_line_init(line, state.data_buffer, k_system_line_capacity);
    int rc = csv_line_add_field(line, "%.3f", cycle_time_s);
    rc |= csv_line_add_field(line, "%lld", static_cast<long long>(f.gpufreq_hz));
    for (std::int64_t freq : f.cpufreq_khz) {
        rc |= csv_line_add_field(line, "%lld", static_cast<long long>(freq));
    }
    rc |= csv_line_add_field(line, "%.1f", static_cast<double>(f.perf_now_x10) / 10.0);
    rc |= csv_line_add_field(line, "%.1f", static_cast<double>(f.battery_soc_x10) / 10.0);
    rc |= csv_line_add_field(line, "%lld", static_cast<long long>(f.fan_rpm));
    rc |= csv_line_add_field(line, "%lld", static_cast<long long>(f.fan_pwm));
    rc |= csv_line_add_field(line, "%.2f", f.throttle_percent);
    rc |= csv_line_add_field(line, "%.2f", static_cast<double>(f.bcl0_mv));
    rc |= csv_line_add_field(line, "%.2f", static_cast<double>(f.bcl1_mv));
    rc |= csv_line_end(line);
    if (rc != 0) {
        return -1;
    }
    return write_line(path, line, true);
}

int write_thermal_raw_log(const char *output_root, const cycle_readings &lists, double cycle_time_s) {
    path_buffer path;
    if (!format_path(path, "%s/power/thermal_raw", output_root)) {
        return -1;
    }
    const int header_rc = write_header_if_pending(path, k_thermal_line_capacity, [&](csv_line &line) {
        if (csv_line_add_field(line, "time") != 0) {
            return -1;
        }
        for (const thermal_reading &zone : lists.thermal.items) {
            if (csv_line_add_field(line, "%s", zone.type.c_str()) != 0) {
                return -1;
            }
        }
        return 0;
    });
    if (header_rc != 0) {
        return -1;
    }
    csv_line line;
    csv_line_init(line, state.data_buffer, k_thermal_line_capacity);
    if (csv_line_add_field(line, "%.3f", cycle_time_s) != 0) {
        return -1;
    }
    for (const thermal_reading &zone : lists.thermal.items) {
        if (csv_line_add_field(line, "%.3f", static_cast<double>(zone.millidegrees) / 1000.0) != 0) {
            return -1;
        }
    }
    if (csv_line_end(line) != 0) {
        return -1;
    }
    return write_line(path, line, true);
}

int publish_raw_logs(const char *output_root, const cycle_readings &lists, const system_figures &figures,
                     double cycle_time_s) {
    const std::size_t devices = accumulator_devices().size();
    for (std::size_t i = 0; i < devices; ++i) {
        if (write_device_raw_log(output_root, lists, cycle_time_s, i) != 0) {
            return -1;
        }
    }
    if (write_system_raw_log(output_root, figures, cycle_time_s) != 0) {
        return -1;
    }
    return write_thermal_raw_log(output_root, lists, cycle_time_s);
}
