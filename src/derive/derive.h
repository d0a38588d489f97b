// The figures a cycle derives from its sample, in one step after sampling and before anything is
// published: the throttle figure and the power totals.
#pragma once

#include "common/snapshot.h"
#include "derive/energy.h"

#include <cstdint>
#include <string_view>

inline constexpr double k_bcl_counter_hz = 19200000.0;

struct bcl_throttle_history {
    bool has_previous = false;
    double previous_time_s = 0.0;
    std::int64_t previous_count = 0;
};

// What deriving keeps from one cycle to the next.
struct derive_state {
    bcl_throttle_history throttle; // the previous cycle's counter
    bool count_energy = false;     // --energy
    energy_counters energy;
};

// Fills the snapshot's derived figures. Called once per sampled cycle, after its time is taken,
// whatever is published. With energy counting, the snapshot then points at the counters (none while
// they could not be sized), and a period split by latches on request shows its combined averages.
void derive_cycle(derive_state &state, cycle_snapshot &snapshot);

// Sets figures.throttle_percent from the advance since the previous sampled cycle and remembers this
// cycle's count; a cycle without the counter forgets the history.
void derive_throttle(bcl_throttle_history &history, system_figures &figures, double cycle_time_s);
// Every device's power channels in order, then the backlight. A channel labelled "bl_power" counts as
// the backlight too, and the last one wins.
[[nodiscard]] power_totals sum_power_readings(const cycle_snapshot &snapshot);
// Whether a rail's name holds a core rail marker (apc0 ... nsp2).
[[nodiscard]] bool is_core_rail(std::string_view name);
