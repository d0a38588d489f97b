// The output tree: one small text file per reading, plus the power totals.
#pragma once

#include "common/snapshot.h"
#include "publish/output_tree.h"

#include <cstddef>

inline constexpr std::size_t k_name_capacity = 128;

// Lower-case letters and digits kept, every other byte becomes '_', runs of '_' collapse to one.
void sanitize_name(char *buffer, std::size_t capacity, const char *name);

// The derived power figures of one cycle, in watts.
struct power_totals {
    double vph = 0.0;       // every entry named exactly "vph"
    double cores = 0.0;     // every entry whose name holds a core rail marker (apc0 ... nsp2)
    double vph_other = 0.0; // vph minus every entry that is neither "vph" nor "bl_power"
    double backlight = 0.0; // the last entry named exactly "bl_power", 0 without one
};
// Every device's power channels in order, then the backlight. A channel labelled "bl_power" counts as
// the backlight too, and the last one wins.
[[nodiscard]] power_totals sum_power_readings(const cycle_snapshot &snapshot);

// Writes every file of one cycle into the opened tree. 0 when all were written, -1 at the first failure.
[[nodiscard]] int publish_value_tree(const output_tree &tree, const cycle_snapshot &snapshot);
