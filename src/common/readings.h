// One cycle's samples: named values in insertion order.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct reading {
    std::string name;
    std::int64_t value = 0;
    // Position of the accumulator device the reading came from, or -1 for other sources. Keeps a
    // device's accumulator and snapshot time paired even when another device's entry is missing.
    int device = -1;
};

// Insertion order is significant: devices, channels and zones keep their discovery order.
struct reading_list {
    std::vector<reading> items;

    [[nodiscard]] std::size_t count() const { return items.size(); }
    [[nodiscard]] const reading &operator[](std::size_t i) const { return items[i]; }
};

// Appends a copy of the name; when memory cannot be had the reading is dropped silently.
void reading_list_append(reading_list &list, const char *name, std::int64_t value, int device = -1);
// The first reading from accumulator device `device`, or none when that device has none this cycle.
[[nodiscard]] const reading *find_device_reading(const reading_list &list, int device);
// Frees every name; the array's capacity is kept so the next cycle does not reallocate it.
void reading_list_clear(reading_list &list);

struct thermal_reading {
    std::string type;
    std::int64_t millidegrees = 0;
};

struct thermal_readings {
    std::vector<thermal_reading> items;
};

// Returns false when memory ran out; the caller then empties the whole list.
[[nodiscard]] bool thermal_readings_append(thermal_readings &list, const char *type, std::int64_t value);
void thermal_readings_clear(thermal_readings &list);

// The six lists of one sampling cycle.
struct cycle_readings {
    reading_list power_readings;
    reading_list voltage_readings;
    reading_list accumulator_readings;
    reading_list timestamp_readings;
    reading_list system_readings;
    thermal_readings thermal;
};

void cycle_readings_clear(cycle_readings &lists);
