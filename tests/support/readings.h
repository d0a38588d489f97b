// What a sampling step produced, as lists of text that matchers compare and print readably.
#pragma once

#include "common/readings.h"

#include <string>
#include <vector>

namespace support {

// The readings' names, in order.
inline std::vector<std::string> names(const reading_list &list) {
    std::vector<std::string> out;
    for (const reading &r : list.items) {
        out.push_back(r.name);
    }
    return out;
}

// "name=value" for every reading, in order.
inline std::vector<std::string> named_values(const reading_list &list) {
    std::vector<std::string> out;
    for (const reading &r : list.items) {
        out.push_back(r.name + "=" + std::to_string(r.value));
    }
    return out;
}

// "type=millidegrees" for every zone, in order.
inline std::vector<std::string> named_values(const thermal_readings &list) {
    std::vector<std::string> out;
    for (const thermal_reading &r : list.items) {
        out.push_back(r.type + "=" + std::to_string(r.millidegrees));
    }
    return out;
}

} // namespace support
