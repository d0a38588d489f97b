// The periodic sampling cycle and its failure accounting.
#pragma once

#include "daemon/monitor_state.h"
#include "publish/output_tree.h"

#include <ctime>

inline constexpr int k_max_failures = 6;

enum class cycle_outcome { published, failed };

// Sizes the snapshot for the discovered devices, so that cycles reuse it. -1 when memory ran out.
[[nodiscard]] int prepare_snapshot(monitor_state &state);
// The raw logs of a sampled cycle, device by device: each device's power%d_input is read between its
// log's header and its line. -1 at the first failure.
[[nodiscard]] int publish_raw_logs(monitor_state &state, const output_tree &tree);
// One cycle after the wake-up: sample into the state's snapshot, derive, take the cycle time, publish.
[[nodiscard]] cycle_outcome run_cycle(monitor_state &state);
// Cycle time: seconds since start with --etime, else the monotonic clock's own reading.
[[nodiscard]] double cycle_time_seconds(const monitor_config &config, const timespec &start_time,
                                        const timespec &now);

// Sleeps until the absolute CLOCK_MONOTONIC deadline. A stop request cuts the wait to at most a
// second after it is seen; a signal otherwise never shortens it.
void wait_for_deadline(const timespec &deadline);

// Runs cycles on absolute deadlines until the sixth failed pass, --once, or a stop request.
void run_cycle_loop(monitor_state &state, timespec &next_deadline);
