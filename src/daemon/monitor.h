// Command line, start-up and shutdown of the daemon.
#pragma once

#include "daemon/monitor_state.h"

#include <csignal>
#include <cstdint>

enum class parse_outcome { run, help, bad_option };

// Set by the termination-signal handler, read once per cycle.
extern volatile std::sig_atomic_t stop_requested;

// Fills config from the command line (defaults first). Prints the usage for help and bad options.
[[nodiscard]] parse_outcome parse_command_line(int argc, char **argv, monitor_config &config);
// The interval option's value: atoi's reading, at least 1, clamped to the 32-bit range.
[[nodiscard]] std::int32_t parse_period_ms(const char *text);

// The whole daemon; returns the process exit status.
[[nodiscard]] int monitor_main(int argc, char **argv);
// Every exit path: returns the accumulators to automatic updating (after a fresh discovery) when
// this daemon ran them.
void leave_devices(monitor_state &state);
