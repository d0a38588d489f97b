#include "publish/value_tree.h"

#include "sysfs/sysfs.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

constexpr std::array<const char *, 5> core_rail_markers = {"apc0", "apc1", "apc2", "nsp1", "nsp2"};
constexpr double k_uw_per_w = 1000000.0;

bool is_core_rail(const char *name) {
    for (const char *marker : core_rail_markers) {
        if (std::strstr(name, marker) != nullptr) {
            return true;
        }
    }
    return false;
}

// Formats and writes one value file. A name that sanitizes to nothing has no file of its own:
// its path would name the directory itself and fail every pass.
int write_value_file(const output_tree &tree, output_dir directory, const char *name, const char *format,
                     auto value) {
    char file_name[k_name_capacity];
    sanitize_name(file_name, sizeof file_name, name);
    if (file_name[0] == '\0') {
        return 0;
    }
    char text[128];
    const int n = std::snprintf(text, sizeof text, format, value);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof text) {
        return -1;
    }
    return write_output_file(tree, directory, file_name, std::string_view(text, static_cast<std::size_t>(n)),
                             false);
}

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

power_totals sum_power_readings(const reading_list &power_readings) {
    double vph_sum = 0.0;
    double cores_sum = 0.0;
    double others_sum = 0.0;
    double backlight = 0.0;
    for (const reading &entry : power_readings.items) {
        const double watts = static_cast<double>(entry.value) / k_uw_per_w;
        if (entry.name == "vph") {
            vph_sum += watts;
        } else if (entry.name == "bl_power") {
            backlight = watts;
        } else {
            others_sum += watts;
        }
        if (is_core_rail(entry.name.c_str())) {
            cores_sum += watts;
        }
    }
    return power_totals{vph_sum, cores_sum, vph_sum - others_sum, backlight};
}

int publish_value_tree(const output_tree &tree, const cycle_readings &lists) {
    for (const reading &entry : lists.power_readings.items) {
        const double watts = static_cast<double>(entry.value) / k_uw_per_w;
        if (write_value_file(tree, output_dir::power, entry.name.c_str(), "%.6f\n", watts) != 0) {
            return -1;
        }
    }

    const power_totals totals = sum_power_readings(lists.power_readings);
    if (write_value_file(tree, output_dir::power, "vph_total", "%.6f\n", totals.vph) != 0 ||
        write_value_file(tree, output_dir::power, "cores_total", "%.6f\n", totals.cores) != 0 ||
        write_value_file(tree, output_dir::power, "vph_other", "%.6f\n", totals.vph_other) != 0 ||
        write_value_file(tree, output_dir::power, "bl_power", "%.6f\n", totals.backlight) != 0) {
        return -1;
    }

    for (const reading &entry : lists.voltage_readings.items) {
        if (write_value_file(tree, output_dir::voltage, entry.name.c_str(), "%.6f\n",
                             static_cast<double>(entry.value) / 1000.0) != 0) {
            return -1;
        }
    }

    for (const reading &entry : lists.accumulator_readings.items) {
        if (write_value_file(tree, output_dir::accumulator, entry.name.c_str(), "%lld\n",
                             static_cast<long long>(entry.value)) != 0) {
            return -1;
        }
        // The device's own snapshot time; none when that device has none this cycle.
        const reading *snapshot = find_device_reading(lists.timestamp_readings, entry.device);
        if (snapshot != nullptr && write_value_file(tree, output_dir::timestamp, entry.name.c_str(), "%.4f\n",
                                                    static_cast<double>(snapshot->value) / 1e9) != 0) {
            return -1;
        }
    }
    return 0;
}
