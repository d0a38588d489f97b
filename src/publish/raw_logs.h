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

// A log this run has recreated with its header; later passes only append to it.
struct headed_log {
    std::string name;
    // The header line as the run's first write of the log had it, line feed included: a log that
    // goes missing or empty later (rotated, removed, truncated) starts again with exactly this line.
    std::string header;
};

struct raw_log_state {
    std::vector<headed_log> headed_logs;
    // Header and data lines are built here, reused by every log of every pass.
    char header_buffer[k_thermal_line_capacity];
    char data_buffer[k_thermal_line_capacity];
};

// A device's log: the device name with every "/" made "_", then "_raw".
struct device_log {
    path_buffer name;
    bool named = false; // false when the device has no name or the file name would not fit
};
[[nodiscard]] device_log find_device_log(const device_sample &device);

// True when the log of snapshot.devices[device] is still to be recreated with its header in this
// pass: this run has not headed it, and no earlier device of the same name heads it first. Its header
// columns are then that device's log_labels.
[[nodiscard]] bool log_header_pending(const raw_log_state &logs, const cycle_snapshot &snapshot,
                                      std::size_t device);

// Every device's log, then the system and thermal logs, from the snapshot and its log inputs. A log
// is recreated with its header the first time this run writes it, and appended to afterwards; a log
// found missing or empty then gets that same header before its line. With the energy counters,
// energy_raw comes last. -1 at the first failure.
[[nodiscard]] int publish_raw_logs(const output_tree &tree, raw_log_state &logs,
                                   const cycle_snapshot &snapshot);

// The steps of publish_raw_logs. A device's log: its header when pending, then its line; -1 when it
// has no name or a write failed.
[[nodiscard]] int write_device_log(const output_tree &tree, raw_log_state &logs, const device_sample &device,
                                   double cycle_time_s);
[[nodiscard]] int write_system_log(const output_tree &tree, raw_log_state &logs,
                                   const cycle_snapshot &snapshot);
[[nodiscard]] int write_thermal_log(const output_tree &tree, raw_log_state &logs,
                                    const cycle_snapshot &snapshot);
// energy_raw (with the energy counters): time, every device's four channel counters in joules under
// the device logs' labels, then vph_total, cores_total and vph_other; then the gap seconds of each of
// those columns in the same order, named "gap:" and the column's name. Its header needs every
// device's log_labels.
inline constexpr const char *k_energy_log_name = "energy_raw";
[[nodiscard]] int write_energy_log(const output_tree &tree, raw_log_state &logs,
                                   const cycle_snapshot &snapshot);

// True until this run has recreated the log `name` (in power/) with its header line.
[[nodiscard]] bool header_pending(const raw_log_state &logs, const char *name);

// True when `file_name` in power/ is a log that this cycle's logs write: system_raw, thermal_raw, or
// the log of a device named in the snapshot.
[[nodiscard]] bool names_raw_log(const cycle_snapshot &snapshot, const char *file_name);
