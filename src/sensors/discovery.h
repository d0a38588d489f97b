// What the daemon finds on the board: the accumulator devices, the fan, the battery-current-limit
// sensor and the thermal zones, with every attribute path assembled at discovery so that a cycle only
// opens and reads. Each is searched for in the first cycle that needs it and fixed from then on; the
// start-up presence check and each mode write make searches of their own.
#pragma once

#include "common/snapshot.h"

#include <array>
#include <optional>
#include <string>
#include <vector>

struct accumulator_device {
    std::string dir; // as the directory search returned it
    std::string name_path;
    std::string latch;            // accumulator_update: "1" latches, reading it gives the count
    std::string measurement_mode; // control attributes
    std::string update_mode;
    std::array<std::string, k_power_channels> power_average;
    std::array<std::string, k_power_channels> power_input;
    std::array<std::string, k_power_channels> power_label_path;
    std::array<std::string, k_voltage_channels> voltage_input;
    std::array<std::string, k_voltage_channels> voltage_label_path;
    // Name and labels are read once and then fixed for the run; one that cannot be read is tried
    // again where it is next needed.
    std::optional<std::string> name;
    std::array<std::optional<std::string>, k_power_channels> power_label;
    std::array<std::optional<std::string>, k_voltage_channels> voltage_label;
};

struct thermal_zone {
    std::string temp;
    std::string type;
};

// Each search below is made once, in the first cycle that needs it; one that failed is made again
// next cycle, and one that completed is final even when it found nothing.
struct board_inventory {
    bool devices_found = false;
    std::vector<accumulator_device> devices; // in byte order of their directories
    bool fan_searched = false;
    bool fan_found = false;
    std::string fan_input;
    std::string fan_pwm;
    bool bcl_searched = false;
    bool bcl_found = false;
    std::string bcl_in0_min;
    std::string bcl_in0_lcrit;
    bool zones_found = false;
    std::vector<thermal_zone> zones;
};

// Every hwmon directory whose name begins with "max34417", in byte order, replacing `devices`. A
// directory without a readable name is skipped. -1 when the search itself failed or memory ran out;
// `devices` is then empty.
[[nodiscard]] int find_accumulator_devices(std::vector<accumulator_device> &devices);
// The fan's and the current-limit sensor's searches: the first hwmon directory whose name is exactly
// theirs. -1 when the search failed; the search is then not done.
[[nodiscard]] int find_fan(board_inventory &board);
[[nodiscard]] int find_bcl_sensor(board_inventory &board);
// Every zone with a type and a temperature, in byte order of its directory. False when the search
// failed; the zones are then searched for again next time.
[[nodiscard]] bool discover_thermal_zones(board_inventory &board);
