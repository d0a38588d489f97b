// Exact energy from the accumulators (--energy). After each latch, a channel's power%d_average is its
// mean power since the device's previous latch, and the chip samples without pause, so average ×
// latch interval is that interval's energy. The counters are integers: each interval's µW × ns
// product is formed in 128 bits and carried into nanojoules with its remainder, so that no run drifts
// or overflows.
//
// Intervals are measured on CLOCK_MONOTONIC, the clock of the published latch times. Whether the chip
// goes on accumulating through a system suspend depends on how the board powers it, which the daemon
// cannot see: an interval across a suspend (CLOCK_BOOTTIME advanced more than 50 ms further than
// CLOCK_MONOTONIC) is therefore counted as a gap, never guessed.
#pragma once

#include "common/snapshot.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

struct channel_energy {
    std::int64_t nanojoules = 0;
    std::int64_t remainder = 0; // µW·ns not yet a whole nanojoule, |remainder| < 1e6
    std::int64_t gap_ns = 0;    // time whose energy is unknown
    // The channel's label once known (labels are fixed for the run once read); null before.
    const std::string *label = nullptr;
};

// A cycle's period split by latches on request: each channel's sub-intervals since the previous
// cycle's latch, so that the cycle publishes the period's mean power, not only its last piece's.
struct period_power {
    __extension__ __int128 uw_ns = 0; // Σ average × Δt
    std::int64_t ns = 0;              // Σ Δt
    bool unreadable = false;          // a sub-interval's average could not be read
};

struct device_energy {
    bool latched_before = false;     // a previous successful latch this run
    std::int64_t sequence = 0;       // successful latch writes this run, cycles' and requests' alike
    bool missed_latch = false;       // a latch write failed since then
    std::int64_t latch_ns = 0;       // CLOCK_MONOTONIC of the previous successful latch
    std::int64_t boot_offset_ns = 0; // CLOCK_BOOTTIME − CLOCK_MONOTONIC then
    std::array<channel_energy, k_power_channels> channels{};
    int sub_intervals = 0; // intervals ended since the previous cycle's latch, that one's included
    std::array<period_power, k_power_channels> period{};
};

struct energy_total {
    std::int64_t nanojoules = 0;
    std::int64_t gap_ns = 0; // the largest gap among its members
};

struct energy_counters {
    std::vector<device_energy> devices; // by device position
    energy_total vph;
    energy_total cores;
    energy_total vph_other;
};

// Adds average × elapsed to the channel, exactly; saturates at the 64-bit limits.
void add_energy(channel_energy &channel, std::int64_t average_uw, std::int64_t elapsed_ns);
// One cycle: every device's interval since its previous successful latch is counted or added to the
// gaps, then the totals are summed from the channels. The first call sizes the counters (-1 when
// memory ran out; nothing is counted then, and the next cycle tries again).
[[nodiscard]] int count_energy(energy_counters &counters, const cycle_snapshot &snapshot);
// At a cycle, after count_energy: a device whose period latches on request split gets each power
// channel's Σ average × Δt / Σ Δt (to the microwatt) in place of its last sub-interval's average, or
// the channel unreadable when a sub-interval's average was; the period sums start again.
void combine_period_power(energy_counters &counters, cycle_snapshot &snapshot);
