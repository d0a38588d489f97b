#include "sensors/discovery.h"

#include "common/platform_paths.h"
#include "sources/attributes.h"

#include <glob.h>

#include <new>
#include <string_view>
#include <utility>

namespace {

// Owns one glob() result for the duration of a directory search.
struct glob_owner {
    glob_t result{};
    glob_owner() = default;
    glob_owner(const glob_owner &) = delete;
    glob_owner &operator=(const glob_owner &) = delete;
    ~glob_owner() { globfree(&result); }
};

// The directory's name file, first line. False when there is none or it cannot be read.
bool read_hwmon_name(const char *dir, std::string &name) {
    path_buffer name_path;
    return join_path(name_path, {dir, "/name"}) && path_exists(name_path) &&
           sysfs_read_line(name_path, &name) == 0;
}

bool is_accumulator_name(const std::string &name) {
    const std::string_view prefix(platform_paths::accumulator_name_prefix);
    return name.size() >= prefix.size() && name.compare(0, prefix.size(), prefix) == 0;
}

accumulator_device make_device(std::string_view dir) {
    accumulator_device d;
    d.dir = dir;
    d.name_path = joined_path({dir, "/name"});
    d.latch = joined_path({dir, "/accumulator_update"});
    d.measurement_mode = joined_path({dir, "/measurement_mode"});
    d.update_mode = joined_path({dir, "/accumulator_update_mode"});
    for (int n = 0; n < k_power_channels; ++n) {
        const char digit[] = {static_cast<char>('1' + n), '\0'};
        const auto i = static_cast<std::size_t>(n);
        d.power_average[i] = joined_path({dir, "/power", digit, "_average"});
        d.power_input[i] = joined_path({dir, "/power", digit, "_input"});
        d.power_label_path[i] = joined_path({dir, "/power", digit, "_label"});
    }
    for (int n = 0; n < k_voltage_channels; ++n) {
        const char digit[] = {static_cast<char>('0' + n), '\0'};
        const auto i = static_cast<std::size_t>(n);
        d.voltage_input[i] = joined_path({dir, "/in", digit, "_input"});
        d.voltage_label_path[i] = joined_path({dir, "/in", digit, "_label"});
    }
    return d;
}

} // namespace

namespace {

// Calls visit(dir, name) for every hwmon directory with a readable name, in byte order, until it
// returns true. -1 when the directory search failed.
template <typename Visit> int walk_hwmon(Visit visit) {
    glob_owner g;
    const int rc = glob(platform_paths::hwmon_glob, 0, nullptr, &g.result);
    if (rc == GLOB_NOMATCH) {
        return 0;
    }
    if (rc != 0) {
        return -1;
    }
    for (std::size_t i = 0; i < g.result.gl_pathc; ++i) {
        const char *dir = g.result.gl_pathv[i];
        std::string name;
        if (read_hwmon_name(dir, name) && visit(dir, std::move(name))) {
            break;
        }
    }
    return 0;
}

// The first directory named exactly `wanted`; `found` stays false without one.
int find_hwmon_by_name(const char *wanted, std::string &dir, bool &found) {
    found = false;
    try {
        return walk_hwmon([&](const char *candidate, const std::string &name) {
            if (name != wanted) {
                return false;
            }
            dir = candidate;
            found = true;
            return true;
        });
    } catch (const std::bad_alloc &) {
        found = false;
        return -1;
    }
}

} // namespace

int find_accumulator_devices(std::vector<accumulator_device> &devices) {
    devices.clear();
    try {
        const int rc = walk_hwmon([&](const char *dir, std::string &&name) {
            if (is_accumulator_name(name)) {
                devices.push_back(make_device(dir));
                devices.back().name = std::move(name);
            }
            return false;
        });
        if (rc != 0) {
            devices.clear();
        }
        return rc;
    } catch (const std::bad_alloc &) {
        // A device left out would be missing for the whole run: the search fails whole instead.
        devices.clear();
        return -1;
    }
}

namespace {

// A device found by its exact name, with the paths of the two attributes the cycles read.
int find_named_device(const char *wanted, bool &searched, bool &found,
                      std::initializer_list<std::pair<std::string *, const char *>> attributes) {
    std::string dir;
    if (find_hwmon_by_name(wanted, dir, found) != 0) {
        return -1;
    }
    try {
        for (const auto &[path, attribute] : attributes) {
            *path = found ? joined_path({dir, attribute}) : std::string();
        }
    } catch (const std::bad_alloc &) {
        found = false;
        return -1;
    }
    searched = true;
    return 0;
}

} // namespace

int find_fan(board_inventory &board) {
    return find_named_device(platform_paths::fan_hwmon_name, board.fan_searched, board.fan_found,
                             {{&board.fan_input, "/fan1_input"}, {&board.fan_pwm, "/pwm1"}});
}

int find_bcl_sensor(board_inventory &board) {
    return find_named_device(platform_paths::bcl_hwmon_name, board.bcl_searched, board.bcl_found,
                             {{&board.bcl_in0_min, "/in0_min"}, {&board.bcl_in0_lcrit, "/in0_lcrit"}});
}

bool discover_thermal_zones(board_inventory &board) {
    glob_owner g;
    const int rc = glob(platform_paths::thermal_zone_glob, 0, nullptr, &g.result);
    if (rc != 0 && rc != GLOB_NOMATCH) {
        return false;
    }
    // A repeat after a failed attempt starts from scratch so no zone is listed twice.
    board.zones.clear();
    for (std::size_t i = 0; rc == 0 && i < g.result.gl_pathc; ++i) {
        const char *dir = g.result.gl_pathv[i];
        path_buffer type_path;
        path_buffer temp_path;
        if (!join_path(type_path, {dir, "/type"}) || !join_path(temp_path, {dir, "/temp"}) ||
            !path_exists(type_path) || !path_exists(temp_path)) {
            continue;
        }
        std::string type;
        if (sysfs_read_line(type_path, &type) != 0) {
            continue;
        }
        try {
            board.zones.push_back(thermal_zone{std::string(temp_path), std::move(type)});
        } catch (const std::bad_alloc &) {
            board.zones.clear();
            return false;
        }
    }
    board.zones_found = true;
    return true;
}
