// The periodic sampling cycle and its failure accounting.
#pragma once

#include "common/readings.h"
#include "driver/monitor.h"

#include <ctime>

inline constexpr int k_max_failures = 6;

enum class cycle_outcome { skipped, published, failed };

// One cycle after the wake-up: sample, take the cycle time, publish. The lists are filled, not cleared.
[[nodiscard]] cycle_outcome run_cycle(const monitor_config &config, const timespec &start_time,
                                      cycle_readings &lists);
// Cycle time: seconds since start with --etime, else the monotonic clock's own reading.
[[nodiscard]] double cycle_time_seconds(const monitor_config &config, const timespec &start_time,
                                        const timespec &now);

// Sleeps until the absolute CLOCK_MONOTONIC deadline. A stop request cuts the wait to at most a
// second after it is seen; a signal otherwise never shortens it.
void wait_for_deadline(const timespec &deadline);

// Runs cycles on absolute deadlines until the sixth failed pass, --once, or a stop request.
void run_cycle_loop(const monitor_config &config, const timespec &start_time, timespec &next_deadline);
