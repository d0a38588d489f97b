// The simulated board as a board behaves: each accumulator device's directory is served through FUSE,
// so that the device sees every latch, and the other live files are rewritten every step.
#pragma once

#include "board.h"

#include <cstdint>

namespace fakeboard {

// The simulation's ground truth, inside the board's own /run, where the daemon never looks: a header,
// then one line per latch, "LATCH_NS,HWMON,NAME,E1,E2,E3,E4": the latch's CLOCK_MONOTONIC time in
// nanoseconds, the device's hwmon directory and name, and each power channel's true energy in joules
// (nine decimals) from the simulation's start to that latch; empty for a channel the device lacks.
inline constexpr const char *k_truth_dir = "/run/fakeboard";
inline constexpr const char *k_truth_path = "/run/fakeboard/truth.csv";
inline constexpr const char *k_truth_header = "latch_ns,device,name,power1_j,power2_j,power3_j,power4_j\n";

// Runs the simulation of the laid-out board `b` until SIGTERM. It mounts a FUSE filesystem over each
// accumulator device's directory (the class entry's link still leads there), writes "ready\n" to
// ready_fd once every device is served, or "error: WHY\n" when one cannot be, and closes it. Then it
// answers the devices and rewrites the other live files every k_simulation_step_s seconds.
//
// A device behaves as a MAX34417 in manual mode: a "1" written to accumulator_update latches, and
// from then on power%d_average is the exact mean power since the device's previous latch (the first
// latch: since the simulation started) and accumulator_update reads the latched count; anything else
// written there fails with EINVAL. power%d_input and in%d_input are the values at the moment of the
// read. Before the first latch the averages are the mean over the last second, as a chip that updates
// on its own shows them. measurement_mode and accumulator_update_mode hold what was written, as files
// do. An attribute whose mode (chmod) has no write bit refuses to be opened for writing with EACCES,
// root included, as a sysfs attribute without a store method does.
//
// Returns 0 after SIGTERM, 1 when the devices could not be served.
int serve_simulation(const board &b, std::uint64_t seed, int ready_fd);

} // namespace fakeboard
