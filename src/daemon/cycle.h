// The periodic sampling cycle and its failure accounting.
#pragma once

#include "daemon/monitor_state.h"

#include <ctime>

inline constexpr int k_max_failures = 6;

// A skipped cycle found no device list: nothing was published and nothing counts as a failure.
enum class cycle_outcome { published, failed, skipped };

// One cycle after the wake-up: sample into the state's snapshot, take the cycle time, derive, then
// publish the value tree, the raw logs and the metrics from the finished snapshot. A failed pass is
// counted in state.failure_count.
[[nodiscard]] cycle_outcome run_cycle(monitor_state &state);
// Cycle time: seconds since start with --etime, else the monotonic clock's own reading.
[[nodiscard]] double cycle_time_seconds(const monitor_config &config, const timespec &start_time,
                                        const timespec &now);

// Waits until the absolute CLOCK_MONOTONIC deadline. A stop request cuts the wait to at most a
// second after it is seen; a signal otherwise never shortens it. With the control socket open, the
// wait also serves its clients: latches on request are taken between cycles, never within one.
void wait_for_deadline(monitor_state &state, const timespec &deadline);

// Runs cycles on absolute deadlines until the sixth failed pass, --once, or a stop request.
void run_cycle_loop(monitor_state &state, timespec &next_deadline);
