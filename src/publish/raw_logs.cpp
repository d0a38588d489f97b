#include "publish/raw_logs.h"

#include "common/paths.h"
#include "derive/energy.h"
#include "publish/csv_line.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr const char *k_system_log = "system_raw";
constexpr const char *k_thermal_log = "thermal_raw";

const headed_log *find_headed_log(const raw_log_state &logs, const char *name) {
    for (const headed_log &done : logs.headed_logs) {
        if (done.name == name) {
            return &done;
        }
    }
    return nullptr;
}

// The log's record once this run has headed it: the header line is built and written (recreating the
// log) when this run has not yet written it. The log is remembered with memory taken before the
// header is written: remembering can then no longer fail, and a remembered log is never recreated
// (truncated) later in the run. Null on failure.
template <typename AddFields>
const headed_log *headed(const output_tree &tree, raw_log_state &state, const char *name,
                         std::size_t capacity, AddFields add) {
    if (const headed_log *done = find_headed_log(state, name)) {
        return done;
    }
    csv_line line;
    csv_line_init(line, state.header_buffer, capacity);
    if (add(line) != 0 || csv_line_end(line) != 0) {
        return nullptr;
    }
    headed_log log;
    try {
        log.name.assign(name);
        log.header.assign(line.buffer, line.length);
        state.headed_logs.reserve(state.headed_logs.size() + 1);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
    if (write_output_file(tree, output_dir::power, name, log.header, false) != 0) {
        return nullptr;
    }
    state.headed_logs.push_back(std::move(log));
    return &state.headed_logs.back();
}

int append_line(const output_tree &tree, const headed_log &log, const csv_line &line) {
    return append_output_line(tree, output_dir::power, log.name.c_str(), log.header,
                              std::string_view(line.buffer, line.length));
}

} // namespace

bool header_pending(const raw_log_state &logs, const char *name) {
    return find_headed_log(logs, name) == nullptr;
}

device_log find_device_log(const device_sample &device) {
    device_log log;
    log.named = device.name != nullptr && join_path(log.name, {*device.name, "_raw"});
    if (!log.named) {
        return log;
    }
    // "max34417/1" names one file in power/ and nothing outside it.
    for (char *p = log.name; *p != '\0'; ++p) {
        if (*p == '/') {
            *p = '_';
        }
    }
    return log;
}

bool log_header_pending(const raw_log_state &logs, const cycle_snapshot &snapshot, std::size_t device) {
    const device_log log = find_device_log(snapshot.devices[device]);
    if (!log.named || !header_pending(logs, log.name)) {
        return false;
    }
    for (std::size_t earlier = 0; earlier < device; ++earlier) {
        const device_log other = find_device_log(snapshot.devices[earlier]);
        if (other.named && std::strcmp(other.name, log.name) == 0) {
            return false;
        }
    }
    return true;
}

namespace {

// A device's four channel columns: each label, or "power<n>" while it is unknown, after `prefix`.
int add_log_label_fields(csv_line &line, const device_sample &device, std::string_view prefix = {}) {
    char name[k_device_line_capacity];
    for (std::size_t n = 0; n < device.log_labels.size(); ++n) {
        const std::string *label = device.log_labels[n];
        const char fallback[] = {'p', 'o', 'w', 'e', 'r', static_cast<char>('1' + n), '\0'};
        const std::string_view text =
            label != nullptr ? std::string_view(*label) : std::string_view(fallback);
        if (prefix.size() + text.size() >= sizeof name) {
            return -1;
        }
        prefix.copy(name, prefix.size());
        text.copy(name + prefix.size(), text.size());
        const std::string_view field(name, prefix.size() + text.size());
        if ((label != nullptr ? csv_line_add_text(line, field) : csv_line_add_field(line, field)) != 0) {
            return -1;
        }
    }
    return 0;
}

const headed_log *headed_device_log(const output_tree &tree, raw_log_state &logs, const device_log &log,
                                    const device_sample &device) {
    return headed(tree, logs, log.name, k_device_line_capacity, [&](csv_line &line) {
        if (csv_line_add_field(line, "time") != 0 || csv_line_add_field(line, "atime") != 0 ||
            csv_line_add_field(line, "acc") != 0) {
            return -1;
        }
        return add_log_label_fields(line, device);
    });
}

int write_device_log_line(const output_tree &tree, raw_log_state &logs, const headed_log &log,
                          const device_sample &device, double cycle_time_s) {
    // Only this device's own latch time and count belong on its line; a missing one stays empty.
    csv_line line;
    csv_line_init(line, logs.data_buffer, k_device_line_capacity);
    int rc = csv_line_add_fixed(line, cycle_time_s, 3);
    rc |= device.timestamped ? csv_line_add_fixed(line, static_cast<double>(device.latched_ns) / 1e9, 4)
                             : csv_line_add_field(line, "");
    rc |= device.counted ? csv_line_add_integer(line, device.count) : csv_line_add_field(line, "");
    for (double watts : device.input_watts) {
        rc |= csv_line_add_fixed(line, watts, 6);
    }
    rc |= csv_line_end(line);
    if (rc != 0) {
        return -1;
    }
    return append_line(tree, log, line);
}

} // namespace

int write_device_log(const output_tree &tree, raw_log_state &logs, const device_sample &device,
                     double cycle_time_s) {
    const device_log log = find_device_log(device);
    const headed_log *headed = log.named ? headed_device_log(tree, logs, log, device) : nullptr;
    if (headed == nullptr) {
        return -1;
    }
    return write_device_log_line(tree, logs, *headed, device, cycle_time_s);
}

int write_system_log(const output_tree &tree, raw_log_state &logs, const cycle_snapshot &snapshot) {
    const headed_log *log = headed(tree, logs, k_system_log, k_system_line_capacity, [](csv_line &line) {
        int rc = csv_line_add_field(line, "time");
        rc |= csv_line_add_field(line, "gpufreq");
        for (const char *column :
             {"cpufreq0", "cpufreq1", "cpufreq2", "cpufreq3", "cpufreq4", "cpufreq5", "cpufreq6", "cpufreq7",
              "perf_now", "battery_soc", "fan_rpm", "fan_pwm", "bcl0", "bcl0_v", "bcl1_v"}) {
            rc |= csv_line_add_field(line, column);
        }
        return rc;
    });
    if (log == nullptr) {
        return -1;
    }

    const system_figures &f = snapshot.system;
    csv_line line;
    csv_line_init(line, logs.data_buffer, k_system_line_capacity);
    int rc = csv_line_add_fixed(line, snapshot.cycle_time_s, 3);
    rc |= csv_line_add_integer(line, f.gpufreq_hz);
    for (std::int64_t freq : f.cpufreq_khz) {
        rc |= csv_line_add_integer(line, freq);
    }
    rc |= csv_line_add_fixed(line, static_cast<double>(f.perf_now_x10) / 10.0, 1);
    rc |= csv_line_add_fixed(line, static_cast<double>(f.battery_soc_x10) / 10.0, 1);
    rc |= csv_line_add_integer(line, f.fan_rpm);
    rc |= csv_line_add_integer(line, f.fan_pwm);
    rc |= csv_line_add_fixed(line, f.throttle_percent, 2);
    rc |= csv_line_add_fixed(line, static_cast<double>(f.bcl0_mv), 2);
    rc |= csv_line_add_fixed(line, static_cast<double>(f.bcl1_mv), 2);
    rc |= csv_line_end(line);
    if (rc != 0) {
        return -1;
    }
    return append_line(tree, *log, line);
}

int write_thermal_log(const output_tree &tree, raw_log_state &logs, const cycle_snapshot &snapshot) {
    const headed_log *log = headed(tree, logs, k_thermal_log, k_thermal_line_capacity, [&](csv_line &line) {
        if (csv_line_add_field(line, "time") != 0) {
            return -1;
        }
        for (const thermal_sample &zone : snapshot.thermal) {
            if (csv_line_add_text(line, *zone.type) != 0) {
                return -1;
            }
        }
        return 0;
    });
    if (log == nullptr) {
        return -1;
    }
    csv_line line;
    csv_line_init(line, logs.data_buffer, k_thermal_line_capacity);
    if (csv_line_add_fixed(line, snapshot.cycle_time_s, 3) != 0) {
        return -1;
    }
    for (const thermal_sample &zone : snapshot.thermal) {
        if (csv_line_add_fixed(line, static_cast<double>(zone.millidegrees) / 1000.0, 3) != 0) {
            return -1;
        }
    }
    if (csv_line_end(line) != 0) {
        return -1;
    }
    return append_line(tree, *log, line);
}

int write_energy_log(const output_tree &tree, raw_log_state &logs, const cycle_snapshot &snapshot) {
    if (snapshot.energy == nullptr) {
        return -1;
    }
    const energy_counters &counters = *snapshot.energy;
    const std::size_t count = std::min(snapshot.devices.size(), counters.devices.size());
    const headed_log *log =
        headed(tree, logs, k_energy_log_name, k_thermal_line_capacity, [&](csv_line &line) {
            int rc = csv_line_add_field(line, "time");
            for (std::size_t d = 0; d < count; ++d) {
                rc |= add_log_label_fields(line, snapshot.devices[d]);
            }
            for (const char *total : {"vph_total", "cores_total", "vph_other"}) {
                rc |= csv_line_add_field(line, total);
            }
            // Then each column's gap seconds, in the same order, named "gap:" and its name.
            for (std::size_t d = 0; d < count; ++d) {
                rc |= add_log_label_fields(line, snapshot.devices[d], "gap:");
            }
            for (const char *total : {"gap:vph_total", "gap:cores_total", "gap:vph_other"}) {
                rc |= csv_line_add_field(line, total);
            }
            return rc;
        });
    if (log == nullptr) {
        return -1;
    }
    csv_line line;
    csv_line_init(line, logs.data_buffer, k_thermal_line_capacity);
    int rc = csv_line_add_fixed(line, snapshot.cycle_time_s, 3);
    for (std::size_t d = 0; d < count; ++d) {
        for (const channel_energy &channel : counters.devices[d].channels) {
            rc |= csv_line_add_joules(line, channel.nanojoules);
        }
    }
    for (const energy_total *total : {&counters.vph, &counters.cores, &counters.vph_other}) {
        rc |= csv_line_add_joules(line, total->nanojoules);
    }
    for (std::size_t d = 0; d < count; ++d) {
        for (const channel_energy &channel : counters.devices[d].channels) {
            rc |= csv_line_add_scaled(line, channel.gap_ns, 9);
        }
    }
    for (const energy_total *total : {&counters.vph, &counters.cores, &counters.vph_other}) {
        rc |= csv_line_add_scaled(line, total->gap_ns, 9);
    }
    rc |= csv_line_end(line);
    if (rc != 0) {
        return -1;
    }
    return append_line(tree, *log, line);
}

int publish_raw_logs(const output_tree &tree, raw_log_state &logs, const cycle_snapshot &snapshot) {
    for (const device_sample &device : snapshot.devices) {
        if (write_device_log(tree, logs, device, snapshot.cycle_time_s) != 0) {
            return -1;
        }
    }
    if (write_system_log(tree, logs, snapshot) != 0 || write_thermal_log(tree, logs, snapshot) != 0) {
        return -1;
    }
    return snapshot.energy != nullptr ? write_energy_log(tree, logs, snapshot) : 0;
}

bool names_raw_log(const cycle_snapshot &snapshot, const char *file_name) {
    // Every log's name ends in "_raw": most names are told apart by that alone.
    const std::string_view name(file_name);
    if (name.size() < 4 || name.substr(name.size() - 4) != "_raw") {
        return false;
    }
    if (name == k_system_log || name == k_thermal_log ||
        (snapshot.energy != nullptr && name == k_energy_log_name)) {
        return true;
    }
    for (const device_sample &device : snapshot.devices) {
        const device_log log = find_device_log(device);
        if (log.named && name == log.name) {
            return true;
        }
    }
    return false;
}
