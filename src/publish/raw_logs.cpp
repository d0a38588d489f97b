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

int write_line(const output_tree &tree, const char *name, const csv_line &line, bool append) {
    return write_output_file(tree, output_dir::power, name, std::string_view(line.buffer, line.length),
                             append);
}

// Writes the header line (recreating the log) when this run has not yet written it. The log is
// remembered with memory taken before the header is written: remembering can then no longer fail,
// and a remembered log is never recreated (truncated) later in the run.
template <typename AddFields>
int write_header_if_pending(const output_tree &tree, const char *name, std::size_t capacity, AddFields add) {
    if (!header_pending(name)) {
        return 0;
    }
    std::string key;
    try {
        key.assign(name);
        state.headed_logs.reserve(state.headed_logs.size() + 1);
    } catch (const std::bad_alloc &) {
        return -1;
    }
    csv_line line;
    csv_line_init(line, state.header_buffer, capacity);
    if (add(line) != 0 || csv_line_end(line) != 0 || write_line(tree, name, line, false) != 0) {
        return -1;
    }
    state.headed_logs.push_back(std::move(key));
    return 0;
}

// The log's file name in power/: the device name with every "/" made "_", so that a name such as
// "max34417/1" names one file in that directory and nothing outside it.
bool device_log_name(path_buffer &name, const std::string &device_name) {
    if (!format_path(name, "%s_raw", device_name.c_str())) {
        return false;
    }
    for (char *p = name; *p != '\0'; ++p) {
        if (*p == '/') {
            *p = '_';
        }
    }
    return true;
}

} // namespace

bool header_pending(const char *name) {
    for (const std::string &done : state.headed_logs) {
        if (done == name) {
            return false;
        }
    }
    return true;
}

void release_raw_logs() {
    std::vector<std::string>().swap(state.headed_logs);
}

int write_device_raw_log(const output_tree &tree, const cycle_readings &lists, double cycle_time_s,
                         std::size_t device_index) {
    const std::string *device_name = nullptr;
    if (lookup_device_name(device_index, &device_name) != 0) {
        return -1;
    }
    path_buffer name;
    if (!device_log_name(name, *device_name)) {
        return -1;
    }
    const int header_rc = write_header_if_pending(tree, name, k_device_line_capacity, [&](csv_line &line) {
        if (csv_line_add_field(line, "time") != 0 || csv_line_add_field(line, "atime") != 0 ||
            csv_line_add_field(line, "acc") != 0) {
            return -1;
        }
        for (int n = 1; n <= 4; ++n) {
            const std::string *label = nullptr;
            const int rc = lookup_channel_label(device_index, channel_kind::power, n, &label) == 0
                               ? csv_line_add_text(line, *label)
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
    return write_line(tree, name, line, true);
}

int write_system_raw_log(const output_tree &tree, const system_figures &f, double cycle_time_s) {
    const char *name = "system_raw";

    const int header_rc = write_header_if_pending(tree, name, k_system_line_capacity, [](csv_line &line) {
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
    return write_line(tree, name, line, true);
}

int write_thermal_raw_log(const output_tree &tree, const cycle_readings &lists, double cycle_time_s) {
    const char *name = "thermal_raw";
    const int header_rc = write_header_if_pending(tree, name, k_thermal_line_capacity, [&](csv_line &line) {
        if (csv_line_add_field(line, "time") != 0) {
            return -1;
        }
        for (const thermal_reading &zone : lists.thermal.items) {
            if (csv_line_add_text(line, zone.type) != 0) {
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
    return write_line(tree, name, line, true);
}

int publish_raw_logs(const output_tree &tree, const cycle_readings &lists, const system_figures &figures,
                     double cycle_time_s) {
    const std::size_t devices = accumulator_devices().size();
    for (std::size_t i = 0; i < devices; ++i) {
        if (write_device_raw_log(tree, lists, cycle_time_s, i) != 0) {
            return -1;
        }
    }
    if (write_system_raw_log(tree, figures, cycle_time_s) != 0) {
        return -1;
    }
    return write_thermal_raw_log(tree, lists, cycle_time_s);
}
