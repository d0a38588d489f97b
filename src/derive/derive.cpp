#include "derive/derive.h"

#include <array>
#include <string_view>

namespace {

constexpr std::array<const char *, 5> k_core_rail_markers = {"apc0", "apc1", "apc2", "nsp1", "nsp2"};
constexpr double k_uw_per_w = 1000000.0;
constexpr std::string_view k_backlight_name = "bl_power";

void add_power(power_totals &totals, double &others, std::string_view name, std::int64_t microwatts) {
    const double watts = static_cast<double>(microwatts) / k_uw_per_w;
    if (name == "vph") {
        totals.vph += watts;
    } else if (name == k_backlight_name) {
        totals.backlight = watts;
    } else {
        others += watts;
    }
    if (is_core_rail(name)) {
        totals.cores += watts;
    }
}

} // namespace

bool is_core_rail(std::string_view name) {
    for (const char *marker : k_core_rail_markers) {
        if (name.find(marker) != std::string_view::npos) {
            return true;
        }
    }
    return false;
}

void derive_throttle(bcl_throttle_history &history, system_figures &figures, double cycle_time_s) {
    figures.throttle_percent = 0.0;
    if (!figures.bcl_present) {
        history.has_previous = false;
        return;
    }
    const double elapsed_s = cycle_time_s - history.previous_time_s;
    if (history.has_previous && elapsed_s > 0.0 && history.previous_count <= figures.bcl_count) {
        // previous <= count, so the true advance fits an unsigned 64-bit value even across the sign.
        const std::uint64_t advance = static_cast<std::uint64_t>(figures.bcl_count) -
                                      static_cast<std::uint64_t>(history.previous_count);
        figures.throttle_percent = static_cast<double>(advance) / (elapsed_s * k_bcl_counter_hz) * 100.0;
    }
    history.previous_count = figures.bcl_count;
    history.previous_time_s = cycle_time_s;
    history.has_previous = true;
}

power_totals sum_power_readings(const cycle_snapshot &snapshot) {
    power_totals totals;
    double others = 0.0;
    for (const device_sample &device : snapshot.devices) {
        for (const channel_sample &channel : device.power) {
            if (channel.label != nullptr) {
                add_power(totals, others, *channel.label, channel.value);
            }
        }
    }
    if (snapshot.backlight_present) {
        add_power(totals, others, k_backlight_name, snapshot.backlight_uw);
    }
    totals.vph_other = totals.vph - others;
    return totals;
}

void derive_cycle(derive_state &state, cycle_snapshot &snapshot) {
    derive_throttle(state.throttle, snapshot.system, snapshot.cycle_time_s);
    snapshot.energy = nullptr;
    if (state.count_energy && count_energy(state.energy, snapshot) == 0) {
        snapshot.energy = &state.energy;
        // Before the totals: they add what the tree shows.
        combine_period_power(state.energy, snapshot);
    }
    snapshot.totals = sum_power_readings(snapshot);
}
