// The metrics file (--metrics FILE), for node_exporter's textfile collector: the exposition of every
// cycle, replaced atomically.
#pragma once

#include "common/snapshot.h"
#include "publish/exposition.h"
#include "publish/safe_file.h"

#include <sys/types.h>
#include <unistd.h>

#include <ctime>
#include <string>
#include <string_view>

// Why the metrics file could not be written: a negative errno, or a directory that failed its trust
// rule.
struct metrics_problem {
    int error = 0;
    directory_trust trust = directory_trust::trusted;
    friend bool operator==(const metrics_problem &, const metrics_problem &) = default;
};

// What the metrics writer keeps across cycles.
struct metrics_state {
    std::string text; // the exposition, rebuilt in place every cycle
    daemon_self_report self;
    // Problems already reported since the last successful write.
    metrics_problem reported[8] = {};
    std::size_t reported_count = 0;
    uid_t euid = ::geteuid(); // the daemon's own user, which may own the directory
    temporary_names names;
};

// Replaces the file at `path` atomically (publish/safe_file.h) in its directory, which must pass the
// metrics directory's trust rule. On failure no temporary file is left behind.
[[nodiscard]] metrics_problem write_metrics_file(metrics_state &state, const char *path,
                                                 std::string_view text);
// What a problem means, for the warning line.
[[nodiscard]] const char *metrics_problem_text(const metrics_problem &problem);

// One cycle's metrics: counts the cycle, builds the text with the daemon's count of failed passes and
// writes it. A failure is reported on standard error once per distinct problem until a write succeeds
// again, and is tried again next cycle; it is never a failed pass. `cycle_began` is the
// CLOCK_MONOTONIC time the cycle woke up.
void publish_metrics(metrics_state &state, const char *path, const cycle_snapshot &snapshot,
                     int failed_passes, const timespec &cycle_began);
