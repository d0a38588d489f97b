#include "derive/energy.h"

#include "derive/derive.h"

#include <algorithm>
#include <limits>
#include <new>
#include <string_view>

namespace {

__extension__ typedef __int128 wide;

constexpr std::int64_t k_uw_ns_per_nj = 1000000;
// The two clocks are read one after the other, so their difference wanders by the time between the
// reads; a suspend and resume takes far longer than this.
constexpr std::int64_t k_suspend_threshold_ns = 50000000;
constexpr std::int64_t k_max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t k_min = std::numeric_limits<std::int64_t>::min();

std::int64_t saturated(wide value) {
    return value > k_max ? k_max : value < k_min ? k_min : static_cast<std::int64_t>(value);
}

void add_gap(channel_energy &channel, std::int64_t elapsed_ns) {
    channel.gap_ns = saturated(static_cast<wide>(channel.gap_ns) + elapsed_ns);
}

// One device's interval since its previous successful latch.
void count_device(device_energy &energy, const device_sample &device) {
    if (!device.latch_written) {
        // Whether the chip latched is unknown: the span up to the next good latch is a gap.
        energy.missed_latch = energy.missed_latch || energy.latched_before;
        return;
    }
    ++energy.sequence;
    if (energy.latched_before) {
        const std::int64_t elapsed_ns = device.latched_ns - energy.latch_ns;
        ++energy.sub_intervals;
        const bool suspended = device.boot_offset_ns - energy.boot_offset_ns > k_suspend_threshold_ns;
        for (std::size_t n = 0; n < energy.channels.size(); ++n) {
            channel_energy &channel = energy.channels[n];
            const channel_sample &sample = device.power[n];
            if (energy.missed_latch || suspended || !sample.read || elapsed_ns < 0) {
                add_gap(channel, elapsed_ns < 0 ? 0 : elapsed_ns);
            } else {
                add_energy(channel, sample.value, elapsed_ns);
            }
            period_power &period = energy.period[n];
            if (sample.read && elapsed_ns >= 0) {
                period.uw_ns += static_cast<wide>(sample.value) * elapsed_ns;
                period.ns += elapsed_ns;
            } else {
                period.unreadable = true;
            }
        }
    }
    // The first latch of a run only starts the count: its average covers an unknown time before.
    energy.latched_before = true;
    energy.missed_latch = false;
    energy.latch_ns = device.latched_ns;
    energy.boot_offset_ns = device.boot_offset_ns;
}

void add_member(energy_total &total, const channel_energy &channel, int sign) {
    total.nanojoules =
        saturated(static_cast<wide>(total.nanojoules) + sign * static_cast<wide>(channel.nanojoules));
    if (channel.gap_ns > total.gap_ns) {
        total.gap_ns = channel.gap_ns;
    }
}

// The power totals' rules, on the counters: vph, the core rails, and vph less every other rail.
void sum_totals(energy_counters &counters) {
    counters.vph = {};
    counters.cores = {};
    counters.vph_other = {};
    for (const device_energy &device : counters.devices) {
        for (const channel_energy &channel : device.channels) {
            if (channel.label == nullptr) {
                continue;
            }
            const std::string_view name(*channel.label);
            if (name == "vph") {
                add_member(counters.vph, channel, 1);
                add_member(counters.vph_other, channel, 1);
            } else if (name != "bl_power") {
                add_member(counters.vph_other, channel, -1);
            }
            if (is_core_rail(name)) {
                add_member(counters.cores, channel, 1);
            }
        }
    }
}

} // namespace

void add_energy(channel_energy &channel, std::int64_t average_uw, std::int64_t elapsed_ns) {
    const wide product = static_cast<wide>(average_uw) * elapsed_ns + channel.remainder;
    const wide whole = product / k_uw_ns_per_nj;
    channel.remainder = static_cast<std::int64_t>(product % k_uw_ns_per_nj);
    channel.nanojoules = saturated(static_cast<wide>(channel.nanojoules) + whole);
}

void combine_period_power(energy_counters &counters, cycle_snapshot &snapshot) {
    const std::size_t count = std::min(counters.devices.size(), snapshot.devices.size());
    for (std::size_t d = 0; d < count; ++d) {
        device_energy &energy = counters.devices[d];
        device_sample &device = snapshot.devices[d];
        // One sub-interval is the cycle's own: its average is already the period's.
        const bool split = energy.sub_intervals > 1 && device.latch_written;
        for (std::size_t n = 0; n < energy.period.size(); ++n) {
            period_power &period = energy.period[n];
            channel_sample &channel = device.power[n];
            if (split && period.unreadable) {
                channel = channel_sample{};
            } else if (split && channel.read && period.ns > 0) {
                // Rounded to the nearest microwatt, halves away from zero.
                const wide half = period.ns / 2;
                const wide sum = period.uw_ns >= 0 ? period.uw_ns + half : period.uw_ns - half;
                channel.value = saturated(sum / period.ns);
            }
            period = period_power{};
        }
        energy.sub_intervals = 0;
    }
}

int count_energy(energy_counters &counters, const cycle_snapshot &snapshot) {
    if (counters.devices.size() != snapshot.devices.size()) {
        try {
            counters.devices.resize(snapshot.devices.size());
        } catch (const std::bad_alloc &) {
            return -1;
        }
    }
    for (std::size_t d = 0; d < snapshot.devices.size(); ++d) {
        device_energy &energy = counters.devices[d];
        const device_sample &device = snapshot.devices[d];
        for (std::size_t n = 0; n < energy.channels.size(); ++n) {
            if (energy.channels[n].label == nullptr) {
                energy.channels[n].label = device.power[n].label;
            }
        }
        count_device(energy, device);
    }
    sum_totals(counters);
    return 0;
}
