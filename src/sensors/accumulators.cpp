#include "sensors/accumulators.h"

#include "common/platform_paths.h"
#include "common/time_helpers.h"
#include "sysfs/sysfs.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

// Discovery cache, created by the first cycle and released only by the exit handler.
struct accumulator_cache {
    device_list devices;
    std::vector<device_label_cache> labels;
    bool ready = false;
    // Control writes already reported as failed, as "text\npath": one warning each per run.
    std::vector<std::string> reported_failures;
};

accumulator_cache cache;

// A control write that fails leaves the chip sampling on its own terms (a wrong service confinement, a
// read-only /sys), so it is reported, once per path and text, and sampling goes on.
void write_control(const char *path, std::string_view text) {
    if (sysfs_write_control(path, text) == 0) {
        return;
    }
    const int error = errno;
    // Matched in place: a write that fails every cycle must not allocate every cycle.
    const std::string_view where(path);
    for (const std::string &done : cache.reported_failures) {
        const std::string_view seen(done);
        if (seen.size() == text.size() + 1 + where.size() && seen.substr(0, text.size()) == text &&
            seen[text.size()] == '\n' && seen.substr(text.size() + 1) == where) {
            return;
        }
    }
    try {
        std::string key(text);
        key += '\n';
        key += where;
        cache.reported_failures.push_back(std::move(key));
    } catch (const std::bad_alloc &) {
        // Without memory to remember it, reporting again beats staying silent.
    }
    std::fprintf(stderr, "Warning: could not write \"%.*s\" to %s: %s\n", static_cast<int>(text.size()),
                 text.data(), path, std::strerror(error));
}

int ensure_devices_ready() {
    if (cache.ready) {
        return 0;
    }
    if (find_accumulator_devices(cache.devices) != 0) {
        cache.devices.clear();
        return -1;
    }
    try {
        cache.labels.assign(cache.devices.size(), device_label_cache{});
    } catch (const std::bad_alloc &) {
        device_list().swap(cache.devices);
        return -1;
    }
    cache.ready = true;
    return 0;
}

// Reads a name or label once; an unreadable one is tried again at the next lookup.
int load_cached_line(std::optional<std::string> &slot, const char *path_format, const std::string &dir,
                     int channel, const std::string **out) {
    if (!slot.has_value()) {
        path_buffer path;
        const bool fits = channel < 0 ? format_path(path, path_format, dir.c_str())
                                      : format_path(path, path_format, dir.c_str(), channel);
        std::string text;
        if (!fits || sysfs_read_line(path, &text) != 0) {
            return -1;
        }
        try {
            slot = std::move(text);
        } catch (const std::bad_alloc &) {
            return -1;
        }
    }
    *out = &*slot;
    return 0;
}

void write_to_every_device(const char *attribute_format, std::string_view text) {
    device_list found;
    if (find_accumulator_devices(found) != 0) {
        return;
    }
    for (const std::string &dir : found) {
        path_buffer path;
        if (format_path(path, attribute_format, dir.c_str())) {
            write_control(path, text);
        }
    }
}

} // namespace

int find_accumulator_devices(device_list &list) {
    glob_owner g;
    const int rc = glob(platform_paths::hwmon_glob, 0, nullptr, &g.result);
    if (rc == GLOB_NOMATCH) {
        return 0;
    }
    if (rc != 0) {
        return -1;
    }
    const std::size_t prefix_length = std::strlen(platform_paths::accumulator_name_prefix);
    for (std::size_t i = 0; i < g.result.gl_pathc; ++i) {
        const char *dir = g.result.gl_pathv[i];
        path_buffer name_path;
        if (!format_path(name_path, "%s/name", dir) || !path_exists(name_path)) {
            continue;
        }
        std::string name;
        if (sysfs_read_line(name_path, &name) != 0) {
            continue;
        }
        if (name.compare(0, prefix_length, platform_paths::accumulator_name_prefix) != 0 ||
            name.size() < prefix_length) {
            continue;
        }
        try {
            list.emplace_back(dir);
        } catch (const std::bad_alloc &) {
        }
    }
    return 0;
}

void set_measurement_mode(const char *text) {
    write_to_every_device("%s/measurement_mode", text);
}

void set_accumulator_update_mode(update_mode mode) {
    write_to_every_device("%s/accumulator_update_mode", mode == update_mode::manual ? "manual" : "auto");
}

const device_list &accumulator_devices() {
    return cache.devices;
}

int lookup_device_name(std::size_t index, const std::string **name) {
    if (index >= cache.labels.size()) {
        return -1;
    }
    return load_cached_line(cache.labels[index].name, "%s/name", cache.devices[index], -1, name);
}

int lookup_channel_label(std::size_t index, channel_kind kind, int channel, const std::string **label) {
    if (index >= cache.labels.size()) {
        return -1;
    }
    device_label_cache &entry = cache.labels[index];
    const std::string &dir = cache.devices[index];
    if (kind == channel_kind::power) {
        if (channel < 1 || channel > 4) {
            return -1;
        }
        return load_cached_line(entry.power_label[static_cast<std::size_t>(channel - 1)], "%s/power%d_label",
                                dir, channel, label);
    }
    if (channel < 0 || channel > 3) {
        return -1;
    }
    return load_cached_line(entry.voltage_label[static_cast<std::size_t>(channel)], "%s/in%d_label", dir,
                            channel, label);
}

int sample_accumulator_devices(reading_list &power_readings, reading_list &voltage_readings,
                               reading_list &accumulator_readings, reading_list &timestamp_readings) {
    if (ensure_devices_ready() != 0) {
        return -1;
    }
    const std::size_t count = cache.devices.size();

    // Latch every chip in one quick pass before any value is read, so all devices share one moment.
    for (std::size_t i = 0; i < count; ++i) {
        path_buffer path;
        if (format_path(path, "%s/accumulator_update", cache.devices[i].c_str())) {
            write_control(path, "1");
        }
        const timespec latched = monotonic_now();
        const std::string *name = nullptr;
        if (lookup_device_name(i, &name) == 0) {
            reading_list_append(timestamp_readings, name->c_str(), timespec_to_ns(latched),
                                static_cast<int>(i));
        }
    }

    for (std::size_t i = 0; i < count; ++i) {
        const char *dir = cache.devices[i].c_str();
        path_buffer path;
        std::int64_t value = 0;
        const std::string *key = nullptr;
        for (int n = 1; n <= 4; ++n) {
            if (format_path(path, "%s/power%d_average", dir, n) && sysfs_read_i64(path, &value) == 0 &&
                lookup_channel_label(i, channel_kind::power, n, &key) == 0) {
                reading_list_append(power_readings, key->c_str(), value, static_cast<int>(i));
            }
        }
        for (int n = 0; n <= 3; ++n) {
            if (format_path(path, "%s/in%d_input", dir, n) && sysfs_read_i64(path, &value) == 0 &&
                lookup_channel_label(i, channel_kind::voltage, n, &key) == 0) {
                reading_list_append(voltage_readings, key->c_str(), value, static_cast<int>(i));
            }
        }
        if (format_path(path, "%s/accumulator_update", dir) && sysfs_read_i64(path, &value) == 0 &&
            lookup_device_name(i, &key) == 0) {
            reading_list_append(accumulator_readings, key->c_str(), value, static_cast<int>(i));
        }
    }
    return 0;
}

void release_accumulator_devices() {
    std::vector<device_label_cache>().swap(cache.labels);
    device_list().swap(cache.devices);
    std::vector<std::string>().swap(cache.reported_failures);
    cache.ready = false;
}
