// A cycle's snapshot seen as the flat lists the output tree is written from, for assertions; and a
// monitor state that tests discover and sample the board with, as the daemon does.
#pragma once

#include "common/snapshot.h"
#include "daemon/cycle.h"
#include "daemon/monitor_state.h"
#include "derive/derive.h"
#include "sensors/accumulators.h"
#include "sensors/discovery.h"
#include "sensors/platform_sensors.h"

#include <cstdint>
#include <deque>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct flat_reading {
    std::string name;
    std::int64_t value = 0;
    int device = -1;
};

// Every device's channels of one kind, in order.
inline std::vector<flat_reading> channel_readings(const cycle_snapshot &s,
                                                  std::array<channel_sample, 4> device_sample::*kind) {
    std::vector<flat_reading> out;
    for (std::size_t d = 0; d < s.devices.size(); ++d) {
        for (const channel_sample &c : s.devices[d].*kind) {
            if (c.label != nullptr) {
                out.push_back({*c.label, c.value, static_cast<int>(d)});
            }
        }
    }
    return out;
}

// Every device's power channels, then the backlight as "bl_power".
inline std::vector<flat_reading> power_readings(const cycle_snapshot &s) {
    std::vector<flat_reading> out = channel_readings(s, &device_sample::power);
    if (s.backlight_present) {
        out.push_back({"bl_power", s.backlight_uw, -1});
    }
    return out;
}

inline std::vector<flat_reading> voltage_readings(const cycle_snapshot &s) {
    return channel_readings(s, &device_sample::voltage);
}

// The accumulator counts (or, with `latch_times`, the latch times) by device name.
inline std::vector<flat_reading> device_readings(const cycle_snapshot &s, bool latch_times) {
    std::vector<flat_reading> out;
    for (std::size_t d = 0; d < s.devices.size(); ++d) {
        const device_sample &device = s.devices[d];
        if (latch_times ? device.timestamped : device.counted) {
            out.push_back(
                {*device.name, latch_times ? device.latched_ns : device.count, static_cast<int>(d)});
        }
    }
    return out;
}

inline std::vector<std::string> names(const std::vector<flat_reading> &list) {
    std::vector<std::string> out;
    for (const flat_reading &r : list) {
        out.push_back(r.name);
    }
    return out;
}

inline std::vector<std::int64_t> values(const std::vector<flat_reading> &list) {
    std::vector<std::int64_t> out;
    for (const flat_reading &r : list) {
        out.push_back(r.value);
    }
    return out;
}

inline std::vector<std::string> zone_types(const cycle_snapshot &s) {
    std::vector<std::string> out;
    for (const thermal_sample &z : s.thermal) {
        out.push_back(*z.type);
    }
    return out;
}

// One cycle's sampling, without the derived figures; the first one finds the devices. -1 when the
// device search failed.
inline int sample_board(monitor_state &state) {
    if (sample_accumulator_devices(state.board, state.controls, state.snapshot) != 0) {
        return -1;
    }
    sample_platform_sensors(state.board, state.snapshot);
    return 0;
}

// A snapshot written by hand: it owns the names and labels its samples point at.
struct snapshot_builder {
    std::deque<std::string> texts; // stable addresses
    cycle_snapshot snapshot;

    const std::string *text(std::string t) {
        texts.push_back(std::move(t));
        return &texts.back();
    }
    // A device with its name (none when empty), latch time and count when given.
    device_sample &add_device(const std::string &name, std::optional<std::int64_t> latched_ns = std::nullopt,
                              std::optional<std::int64_t> count = std::nullopt) {
        device_sample d;
        d.name = name.empty() ? nullptr : text(name);
        d.timestamped = latched_ns.has_value();
        d.latched_ns = latched_ns.value_or(0);
        d.counted = count.has_value();
        d.count = count.value_or(0);
        snapshot.devices.push_back(d);
        return snapshot.devices.back();
    }
    // A power or voltage channel on the last device, in its next free place; a new unnamed device when
    // there is none or it is full.
    void add_power(const std::string &label, std::int64_t microwatts) {
        add_channel(true, label, microwatts);
    }
    void add_voltage(const std::string &label, std::int64_t millivolts) {
        add_channel(false, label, millivolts);
    }
    // A channel on the given device, in its next free place.
    void power_of(std::size_t device, const std::string &label, std::int64_t microwatts) {
        put(snapshot.devices.at(device).power, label, microwatts);
    }
    void voltage_of(std::size_t device, const std::string &label, std::int64_t millivolts) {
        put(snapshot.devices.at(device).voltage, label, millivolts);
    }
    // A zone read this cycle, or (read false) one whose temperature could not be read: 0, as sampled.
    void add_zone(const std::string &type, std::int64_t millidegrees, bool read = true) {
        snapshot.thermal.push_back(thermal_sample{text(type), read ? millidegrees : 0, read});
    }
    // The snapshot with its power totals derived, as the cycle hands it to publishing.
    const cycle_snapshot &derived() {
        snapshot.totals = sum_power_readings(snapshot);
        return snapshot;
    }

  private:
    void put(std::array<channel_sample, 4> &channels, const std::string &label, std::int64_t value) {
        for (channel_sample &c : channels) {
            if (c.label == nullptr) {
                c = channel_sample{text(label), value};
                return;
            }
        }
        throw std::length_error("a device has four channels of each kind");
    }
    void add_channel(bool power, const std::string &label, std::int64_t value) {
        for (;;) {
            if (!snapshot.devices.empty()) {
                device_sample &d = snapshot.devices.back();
                for (channel_sample &c : power ? d.power : d.voltage) {
                    if (c.label == nullptr) {
                        c = channel_sample{text(label), value};
                        return;
                    }
                }
            }
            snapshot.devices.emplace_back();
        }
    }
};
