// Comma-separated logs with one line per cycle: one per accumulator device, the system figures, the
// thermal zones.
#pragma once

#include "common/readings.h"
#include "publish/output_tree.h"
#include "publish/system_figures.h"

#include <cstddef>
#include <cstdint>

inline constexpr std::size_t k_device_line_capacity = 2048;
inline constexpr std::size_t k_system_line_capacity = 2048;
inline constexpr std::size_t k_thermal_line_capacity = 8192;

// Appends one line to every raw log; -1 at the first failure.
[[nodiscard]] int publish_raw_logs(const output_tree &tree, const cycle_readings &lists,
                                   const system_figures &figures, double cycle_time_s);
[[nodiscard]] int write_device_raw_log(const output_tree &tree, const cycle_readings &lists,
                                       double cycle_time_s, std::size_t device_index);
[[nodiscard]] int write_system_raw_log(const output_tree &tree, const system_figures &figures,
                                       double cycle_time_s);
[[nodiscard]] int write_thermal_raw_log(const output_tree &tree, const cycle_readings &lists,
                                        double cycle_time_s);

// True until this run has recreated the log `name` (in power/) with its header line.
[[nodiscard]] bool header_pending(const char *name);
// Forgets which logs have their header (exit handler).
void release_raw_logs();
