// Backlight, clocks, performance figure, battery, fan, battery-current-limit sensor and thermal zones.
#pragma once

#include "common/snapshot.h"
#include "sensors/discovery.h"

#include <cstdint>

// Estimated backlight power per brightness step, microwatts (BACKLIGHT_UW_PER_STEP).
inline constexpr std::int64_t k_backlight_uw_per_step = 5449;

// Fills the snapshot's backlight, system figures (all but the derived throttle figure) and one
// reading per known zone, searching for the zones on the first call. Never fails as a whole: an
// unreadable source is simply absent.
void sample_platform_sensors(board_inventory &board, cycle_snapshot &snapshot);

// brightness * k_backlight_uw_per_step, saturated at the 64-bit limits.
[[nodiscard]] std::int64_t backlight_microwatts(std::int64_t brightness);
