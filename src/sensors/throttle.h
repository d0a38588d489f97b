// The battery-current-limit throttle figure, derived from the counter's advance between cycles.
#pragma once

#include "common/snapshot.h"

#include <cstdint>

inline constexpr double k_bcl_counter_hz = 19200000.0;

struct bcl_throttle_history {
    bool has_previous = false;
    double previous_time_s = 0.0;
    std::int64_t previous_count = 0;
};

// Sets figures.throttle_percent from the advance since the previous sampled cycle and remembers this
// cycle's count. Called once per sampled cycle, whatever is published; a cycle without the counter
// forgets the history.
void derive_throttle(bcl_throttle_history &history, system_figures &figures, double cycle_time_s);
