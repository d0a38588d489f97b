#include "sensors/accumulators.h"

#include "common/time_helpers.h"
#include "sources/attributes.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>

namespace {

// Reads a name or label once; one that cannot be read is tried again at its next use.
const std::string *load_once(std::optional<std::string> &slot, const std::string &path) {
    if (!slot.has_value()) {
        std::string text;
        if (sysfs_read_line(path.c_str(), &text) != 0) {
            return nullptr;
        }
        try {
            slot = std::move(text);
        } catch (const std::bad_alloc &) {
            return nullptr;
        }
    }
    return &*slot;
}

bool already_reported(const control_reports &reports, std::string_view text, std::string_view path) {
    // Compared in place: a write that fails every cycle must not allocate every cycle.
    for (const control_report &done : reports.reported) {
        if (done.text == text && done.path == path) {
            return true;
        }
    }
    return false;
}

// Each channel's value, then its label (read the first time a value is): a channel without both
// is absent this cycle.
template <std::size_t N>
void read_channels(const std::array<std::string, N> &values,
                   std::array<std::optional<std::string>, N> &labels,
                   const std::array<std::string, N> &label_paths, std::array<channel_sample, N> &out) {
    for (std::size_t n = 0; n < N; ++n) {
        std::int64_t value = 0;
        const std::string *label = nullptr;
        const bool read = sysfs_read_i64(values[n].c_str(), &value) == 0;
        if (read) {
            label = load_once(labels[n], label_paths[n]);
        }
        out[n] = channel_sample{label, read ? value : 0, read};
    }
}

} // namespace

// A control write that fails leaves the chip sampling on its own terms (a wrong service confinement, a
// read-only /sys), so it is reported, once per path and text, and sampling goes on.
bool write_control(control_reports &reports, const std::string &path, std::string_view text) {
    if (sysfs_write_control(path.c_str(), text) == 0) {
        return true;
    }
    const int error = errno;
    if (already_reported(reports, text, path)) {
        return false;
    }
    try {
        reports.reported.push_back(control_report{std::string(text), path});
    } catch (const std::bad_alloc &) {
        // Without memory to remember it, reporting again beats staying silent.
    }
    std::fprintf(stderr, "Warning: could not write \"%.*s\" to %s: %s\n", static_cast<int>(text.size()),
                 text.data(), path.c_str(), std::strerror(error));
    return false;
}

void set_measurement_mode(control_reports &reports, std::string_view text) {
    std::vector<accumulator_device> found;
    if (find_accumulator_devices(found) != 0) {
        return;
    }
    for (const accumulator_device &device : found) {
        write_control(reports, device.measurement_mode, text);
    }
}

void set_update_mode(control_reports &reports, update_mode mode) {
    std::vector<accumulator_device> found;
    if (find_accumulator_devices(found) != 0) {
        return;
    }
    for (const accumulator_device &device : found) {
        write_control(reports, device.update_mode, mode == update_mode::manual ? "manual" : "auto");
    }
}

namespace {

// The device list of the run, made once; the snapshot gets one sample per device.
bool devices_ready(board_inventory &board, cycle_snapshot &snapshot) {
    if (board.devices_found) {
        return true;
    }
    if (find_accumulator_devices(board.devices) != 0) {
        return false;
    }
    try {
        snapshot.devices.assign(board.devices.size(), device_sample{});
    } catch (const std::bad_alloc &) {
        board.devices.clear();
        return false;
    }
    board.devices_found = true;
    return true;
}

// Latches every chip in one quick pass before any value is read, so all devices share one moment.
void latch_all(const board_inventory &board, control_reports &reports, std::vector<device_sample> &samples,
               std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const accumulator_device &device = board.devices[i];
        device_sample &sample = samples[i];
        sample.latch_written = write_control(reports, device.latch, "1");
        const timespec latched = monotonic_now();
        sample.boot_offset_ns = timespec_to_ns(boottime_now()) - timespec_to_ns(latched);
        sample.latched_ns = timespec_to_ns(latched);
    }
}

} // namespace

int sample_accumulator_devices(board_inventory &board, control_reports &reports, cycle_snapshot &snapshot) {
    if (!devices_ready(board, snapshot)) {
        return -1;
    }
    std::vector<device_sample> &samples = snapshot.devices;
    const std::size_t count = std::min(board.devices.size(), samples.size());

    latch_all(board, reports, samples, count);
    for (std::size_t i = 0; i < count; ++i) {
        device_sample &sample = samples[i];
        sample.name = load_once(board.devices[i].name, board.devices[i].name_path);
        sample.timestamped = sample.name != nullptr;
    }

    for (std::size_t i = 0; i < count; ++i) {
        accumulator_device &device = board.devices[i];
        device_sample &sample = samples[i];
        read_channels(device.power_average, device.power_label, device.power_label_path, sample.power);
        read_channels(device.voltage_input, device.voltage_label, device.voltage_label_path, sample.voltage);
        std::int64_t value = 0;
        sample.counted = false;
        sample.count = 0;
        if (sysfs_read_i64(device.latch.c_str(), &value) == 0) {
            // A name that could not be read at the latch is tried once more for the count.
            if (sample.name == nullptr) {
                sample.name = load_once(device.name, device.name_path);
            }
            sample.counted = sample.name != nullptr;
            sample.count = sample.counted ? value : 0;
        }
    }
    return 0;
}

int latch_accumulator_devices(board_inventory &board, control_reports &reports, cycle_snapshot &snapshot) {
    if (!board.devices_found) {
        return -1;
    }
    std::vector<device_sample> &samples = snapshot.devices;
    const std::size_t count = std::min(board.devices.size(), samples.size());
    latch_all(board, reports, samples, count);
    for (std::size_t i = 0; i < count; ++i) {
        const accumulator_device &device = board.devices[i];
        for (std::size_t n = 0; n < device.power_average.size(); ++n) {
            channel_sample &channel = samples[i].power[n];
            std::int64_t value = 0;
            channel.read = sysfs_read_i64(device.power_average[n].c_str(), &value) == 0;
            channel.value = channel.read ? value : 0;
        }
    }
    return 0;
}

void load_log_labels(accumulator_device &device, device_sample &sample) {
    for (std::size_t n = 0; n < device.power_label.size(); ++n) {
        sample.log_labels[n] = load_once(device.power_label[n], device.power_label_path[n]);
    }
}

void read_power_inputs(const accumulator_device &device, device_sample &sample) {
    for (std::size_t n = 0; n < device.power_input.size(); ++n) {
        std::int64_t microwatts = 0;
        sample.input_watts[n] = sysfs_read_i64(device.power_input[n].c_str(), &microwatts) == 0
                                    ? static_cast<double>(microwatts) / 1e6
                                    : 0.0;
    }
}
