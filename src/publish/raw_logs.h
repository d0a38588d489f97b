// Comma-separated logs with one line per cycle: one per accumulator device, the system figures, the
// thermal zones.
#pragma once

#include "common/paths.h"
#include "common/snapshot.h"
#include "publish/output_tree.h"

#include <cstddef>
#include <string>
#include <vector>

inline constexpr std::size_t k_device_line_capacity = 2048;
inline constexpr std::size_t k_system_line_capacity = 2048;
inline constexpr std::size_t k_thermal_line_capacity = 8192;

struct raw_log_state {
    // Logs this run has already recreated with their header; later passes only append to them.
    std::vector<std::string> headed_logs;
    // Header and data lines are built here, reused by every log of every pass.
    char header_buffer[k_thermal_line_capacity];
    char data_buffer[k_thermal_line_capacity];
};

// A device's log, named once per cycle: the device name with every "/" made "_", then "_raw".
struct device_log {
    path_buffer name;
    bool named = false;   // false when the device has no name or the file name would not fit
    bool pending = false; // this run has not yet recreated it with its header
};
[[nodiscard]] device_log find_device_log(const raw_log_state &logs, const device_sample &device);

// A device's log is written in two steps, so that its power%d_input values are read between them
// (the header comes first, the sensors' reading next, then the line). The header's columns are the
// device's log_labels, which must be loaded while the header is pending.
// Recreates the device's log with its header when pending. -1 when the log has no name or the header
// could not be written.
[[nodiscard]] int write_device_log_header(const output_tree &tree, raw_log_state &logs, const device_log &log,
                                          const device_sample &device);
[[nodiscard]] int write_device_log_line(const output_tree &tree, raw_log_state &logs, const device_log &log,
                                        const device_sample &device, double cycle_time_s);
[[nodiscard]] int write_system_log(const output_tree &tree, raw_log_state &logs,
                                   const cycle_snapshot &snapshot);
[[nodiscard]] int write_thermal_log(const output_tree &tree, raw_log_state &logs,
                                    const cycle_snapshot &snapshot);

// True until this run has recreated the log `name` (in power/) with its header line.
[[nodiscard]] bool header_pending(const raw_log_state &logs, const char *name);
