// The metrics file (--metrics FILE): every published value, the derived figures and the daemon's own
// counts in the Prometheus text exposition format, for node_exporter's textfile collector.
#pragma once

#include "common/snapshot.h"

#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

struct daemon_self_report {
    std::uint64_t cycles = 0;        // cycles that sampled the board and published
    std::uint64_t failed_passes = 0; // of those, the ones whose publishing pass failed
    double last_cycle_duration_s = 0.0;
    double last_cycle_unix_s = 0.0; // CLOCK_REALTIME
};

// Replaces `text` with the exposition of one cycle: HELP and TYPE before each metric with samples, no
// timestamps. The string keeps its capacity, so a warm buffer is never reallocated. -1 when memory ran
// out (the text is then incomplete and must not be written).
[[nodiscard]] int build_metrics(std::string &text, const cycle_snapshot &snapshot,
                                const daemon_self_report &self);

// What the metrics writer keeps across cycles.
struct metrics_state {
    std::string text; // the exposition, rebuilt in place every cycle
    daemon_self_report self;
    // Problems already reported since the last successful write.
    int reported[8] = {};
    std::size_t reported_count = 0;
    uid_t euid = ::geteuid(); // the daemon's own user, which may own the directory
    // Temporary names: a 64-bit secret from the kernel, stepped by SplitMix64 for each file.
    std::uint64_t seed = 0;
    bool seeded = false;
};

// Directory problems reported by write_metrics_file besides errno values.
inline constexpr int k_metrics_dir_not_owned = -1; // owned by neither root nor the daemon's user
inline constexpr int k_metrics_dir_writable = -2;  // writable by group or others

// Replaces the file at `path` atomically: a fresh temporary file in the same directory (made 0644),
// renamed over it within that directory. The directory itself must not be a symbolic link, must be
// owned by root or the daemon's user and must not be writable by group or others. Returns 0, an errno
// value, or one of the codes above; on failure no temporary file is left behind.
[[nodiscard]] int write_metrics_file(metrics_state &state, const char *path, std::string_view text);
// What a write_metrics_file result means, for the warning line.
[[nodiscard]] const char *metrics_problem_text(int code);

// One cycle's metrics: counts the cycle, builds the text and writes it. A failure is reported on standard
// error once per distinct problem until a write succeeds again, and is tried again next cycle; it is
// never a failed pass. `cycle_began` is the CLOCK_MONOTONIC time the cycle woke up.
void publish_metrics(metrics_state &state, const char *path, const cycle_snapshot &snapshot, bool failed_pass,
                     const timespec &cycle_began);
