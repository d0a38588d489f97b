// The metrics text: every published value, the derived figures and the daemon's own counts in the
// Prometheus text exposition format.
#pragma once

#include "common/snapshot.h"

#include <cstdint>
#include <string>

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
