#include "publish/value_tree.h"

#include "derive/energy.h"
#include "publish/number_text.h"
#include "publish/raw_logs.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <new>
#include <string_view>

namespace {

constexpr double k_uw_per_w = 1000000.0;

// Writes one value file named `file_name` (already sanitized): the number in [text, end), then a line
// feed (there is room for it past end; a null end is a number that did not fit).
int write_value_file(const output_tree &tree, output_dir directory, const char *file_name, char *text,
                     char *end) {
    if (end == nullptr) {
        return -1;
    }
    *end++ = '\n';
    return write_output_file(tree, directory, file_name,
                             std::string_view(text, static_cast<std::size_t>(end - text)), false);
}

int write_named_fixed(const output_tree &tree, output_dir directory, const char *file_name, double value,
                      int precision) {
    char text[k_number_text_capacity + 1];
    return write_value_file(tree, directory, file_name, text,
                            put_fixed(text, text + sizeof text - 1, value, precision));
}

// A reading's file is named after it. A name that sanitizes to nothing has no file of its own: its
// path would name the directory itself and fail every pass.
int write_fixed(const output_tree &tree, output_dir directory, const char *name, double value,
                int precision) {
    char file_name[k_name_capacity];
    sanitize_name(file_name, sizeof file_name, name);
    return file_name[0] == '\0' ? 0 : write_named_fixed(tree, directory, file_name, value, precision);
}

int write_integer(const output_tree &tree, output_dir directory, const char *name, std::int64_t value) {
    char file_name[k_name_capacity];
    sanitize_name(file_name, sizeof file_name, name);
    if (file_name[0] == '\0') {
        return 0;
    }
    char text[k_number_text_capacity + 1];
    return write_value_file(tree, directory, file_name, text,
                            put_integer(text, text + sizeof text - 1, value));
}

int write_joules(const output_tree &tree, const char *name, std::int64_t nanojoules) {
    char file_name[k_name_capacity];
    sanitize_name(file_name, sizeof file_name, name);
    if (file_name[0] == '\0') {
        return 0;
    }
    char text[k_number_text_capacity + 1];
    return write_value_file(tree, output_dir::energy, file_name, text,
                            put_joules(text, text + sizeof text - 1, nanojoules));
}

// energy/: one file per power reading of this cycle, named as in power/, holding the channel's
// counter; then the totals.
int write_energy(const output_tree &tree, const cycle_snapshot &snapshot, const energy_counters &counters) {
    const std::size_t count = std::min(snapshot.devices.size(), counters.devices.size());
    for (std::size_t d = 0; d < count; ++d) {
        const device_sample &device = snapshot.devices[d];
        for (std::size_t n = 0; n < device.power.size(); ++n) {
            const std::string *label = device.power[n].label;
            if (label != nullptr &&
                write_joules(tree, label->c_str(), counters.devices[d].channels[n].nanojoules) != 0) {
                return -1;
            }
        }
    }
    if (write_joules(tree, "vph_total", counters.vph.nanojoules) != 0 ||
        write_joules(tree, "cores_total", counters.cores.nanojoules) != 0) {
        return -1;
    }
    return write_joules(tree, "vph_other", counters.vph_other.nanojoules);
}

// True when the rail's file would be one of this cycle's logs; the name is then reported, once per run.
bool takes_a_log_name(const output_tree &tree, const cycle_snapshot &snapshot, log_name_reports &logs,
                      const std::string &label, const char *file_name) {
    if (!names_raw_log(snapshot, file_name)) {
        return false;
    }
    for (const std::string &done : logs.reported) {
        if (done == file_name) {
            return true;
        }
    }
    try {
        logs.reported.emplace_back(file_name);
    } catch (const std::bad_alloc &) {
        // Without memory to remember it, reporting again beats staying silent.
    }
    std::fprintf(stderr, "Warning: could not write reading \"%s\" to %s/%s/%s: a raw log has that name\n",
                 label.c_str(), tree.root, output_dir_name(output_dir::power), file_name);
    return true;
}

// Every device's rails, each in its file named after its label; with the logs beside them, a rail
// named like a log gets none (its power still counts in the totals).
int write_rails(const output_tree &tree, const cycle_snapshot &snapshot, log_name_reports *logs) {
    for (const device_sample &device : snapshot.devices) {
        for (const channel_sample &channel : device.power) {
            if (channel.label == nullptr) {
                continue;
            }
            char file_name[k_name_capacity];
            sanitize_name(file_name, sizeof file_name, channel.label->c_str());
            if (file_name[0] == '\0' ||
                (logs != nullptr && takes_a_log_name(tree, snapshot, *logs, *channel.label, file_name))) {
                continue;
            }
            if (write_named_fixed(tree, output_dir::power, file_name,
                                  static_cast<double>(channel.value) / k_uw_per_w, 6) != 0) {
                return -1;
            }
        }
    }
    return 0;
}

constexpr const char *k_backlight_name = "bl_power";

} // namespace

void sanitize_name(char *buffer, std::size_t capacity, const char *name) {
    if (capacity == 0) {
        return;
    }
    std::size_t n = 0;
    for (; name != nullptr && name[n] != '\0' && n + 1 < capacity; ++n) {
        const auto c = static_cast<unsigned char>(name[n]);
        buffer[n] = std::isalnum(c) != 0 ? static_cast<char>(std::tolower(c)) : '_';
    }
    buffer[n] = '\0';
    std::size_t out = 0;
    for (std::size_t in = 0; in < n; ++in) {
        if (buffer[in] == '_' && out > 0 && buffer[out - 1] == '_') {
            continue;
        }
        buffer[out++] = buffer[in];
    }
    buffer[out] = '\0';
}

namespace {

// Every device's voltage channels, each in its file named after its label.
int write_voltages(const output_tree &tree, const cycle_snapshot &snapshot) {
    for (const device_sample &device : snapshot.devices) {
        for (const channel_sample &channel : device.voltage) {
            if (channel.label != nullptr &&
                write_fixed(tree, output_dir::voltage, channel.label->c_str(),
                            static_cast<double>(channel.value) / 1000.0, 6) != 0) {
                return -1;
            }
        }
    }
    return 0;
}

} // namespace

int publish_value_tree(const output_tree &tree, const cycle_snapshot &snapshot, log_name_reports *logs) {
    if (write_rails(tree, snapshot, logs) != 0) {
        return -1;
    }
    if (snapshot.backlight_present &&
        write_fixed(tree, output_dir::power, k_backlight_name,
                    static_cast<double>(snapshot.backlight_uw) / k_uw_per_w, 6) != 0) {
        return -1;
    }

    const power_totals &totals = snapshot.totals;
    if (write_fixed(tree, output_dir::power, "vph_total", totals.vph, 6) != 0 ||
        write_fixed(tree, output_dir::power, "cores_total", totals.cores, 6) != 0 ||
        write_fixed(tree, output_dir::power, "vph_other", totals.vph_other, 6) != 0 ||
        write_fixed(tree, output_dir::power, "bl_power", totals.backlight, 6) != 0) {
        return -1;
    }

    if (write_voltages(tree, snapshot) != 0) {
        return -1;
    }

    for (const device_sample &device : snapshot.devices) {
        if (!device.counted) {
            continue;
        }
        if (write_integer(tree, output_dir::accumulator, device.name->c_str(), device.count) != 0) {
            return -1;
        }
        // The device's own latch time; none when that device has none this cycle.
        if (device.timestamped && write_fixed(tree, output_dir::timestamp, device.name->c_str(),
                                              static_cast<double>(device.latched_ns) / 1e9, 4) != 0) {
            return -1;
        }
    }
    return snapshot.energy != nullptr ? write_energy(tree, snapshot, *snapshot.energy) : 0;
}
