#include "common/readings.h"

#include <new>

void reading_list_append(reading_list &list, const char *name, std::int64_t value, int device) {
    // Running out of memory costs one reading, never the cycle.
    try {
        list.items.push_back(reading{name != nullptr ? std::string(name) : std::string(), value, device});
    } catch (const std::bad_alloc &) {
    }
}

const reading *find_device_reading(const reading_list &list, int device) {
    for (const reading &entry : list.items) {
        if (entry.device == device) {
            return &entry;
        }
    }
    return nullptr;
}

void reading_list_clear(reading_list &list) {
    list.items.clear();
}

bool thermal_readings_append(thermal_readings &list, const char *type, std::int64_t value) {
    try {
        list.items.push_back(thermal_reading{type != nullptr ? std::string(type) : std::string(), value});
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

void thermal_readings_clear(thermal_readings &list) {
    list.items.clear();
}

void cycle_readings_clear(cycle_readings &lists) {
    reading_list_clear(lists.power_readings);
    reading_list_clear(lists.voltage_readings);
    reading_list_clear(lists.accumulator_readings);
    reading_list_clear(lists.timestamp_readings);
    reading_list_clear(lists.system_readings);
    thermal_readings_clear(lists.thermal);
}
