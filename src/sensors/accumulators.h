// MAX34417 accumulator devices: discovery, mode control, and the per-cycle snapshot and readings.
#pragma once

#include "common/readings.h"

#include <array>
#include <optional>
#include <string>
#include <vector>

// Device directories exactly as the directory search returned them.
using device_list = std::vector<std::string>;

enum class update_mode { manual, automatic };
enum class channel_kind { power, voltage };

// Name and channel labels, each read once and then fixed for the run.
struct device_label_cache {
    std::optional<std::string> name;
    std::array<std::optional<std::string>, 4> power_label;   // channels 1..4
    std::array<std::optional<std::string>, 4> voltage_label; // channels 0..3
};

// Appends every hwmon directory whose name begins with "max34417", in byte order of the paths.
[[nodiscard]] int find_accumulator_devices(device_list &list);
void set_measurement_mode(const char *text);
void set_accumulator_update_mode(update_mode mode);

// The cached device list (empty until the first cycle has made it ready).
[[nodiscard]] const device_list &accumulator_devices();
[[nodiscard]] int lookup_device_name(std::size_t index, const std::string **name);
[[nodiscard]] int lookup_channel_label(std::size_t index, channel_kind kind, int channel,
                                       const std::string **label);

// Latches every device, then reads its values. -1 when the device cache cannot be made ready.
[[nodiscard]] int sample_accumulator_devices(reading_list &power_readings, reading_list &voltage_readings,
                                             reading_list &accumulator_readings,
                                             reading_list &timestamp_readings);

void release_accumulator_devices();
