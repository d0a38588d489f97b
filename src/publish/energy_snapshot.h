// energy/snapshot.csv (--energy): every energy counter of one cycle in one file, replaced atomically,
// for readers that need a consistent set. The "." keeps its name apart from any rail's file.
//
// Every line is a comma-separated record whose first field names it (fields with a comma, a double
// quote or a line end are quoted as RFC 4180 does):
//   vantrel-energy,1                          format and version
//   pid,PID                                   the daemon's process
//   start,SECONDS                             its start, CLOCK_MONOTONIC seconds (9 decimals)
//   period_ms,MS                              its sampling period
//   device,POSITION,NAME,LATCH                each device: discovery position, name (empty when
//                                             unknown), its last successful latch in CLOCK_MONOTONIC
//                                             seconds (empty before the first)
//   channel,POSITION,NAME,CHANNEL,LABEL,JOULES,GAP   each power channel 1 ... 4 of each device: its
//                                             label (empty until read), counter and gap seconds
//   total,NAME,JOULES,GAP                     vph_total, cores_total and vph_other
// Joules and seconds are printed from the integer counters with nine decimals: exact to the
// nanojoule and nanosecond.
#pragma once

#include "common/snapshot.h"
#include "publish/output_tree.h"
#include "publish/safe_file.h"

#include <sys/types.h>

#include <cstdint>
#include <string>

inline constexpr const char *k_energy_snapshot_name = "snapshot.csv";

// Which run the counters belong to: a reader tells a restarted daemon apart by these.
struct energy_run {
    pid_t pid = 0;
    std::int64_t start_ns = 0;
    std::int32_t period_ms = 0;
};

struct energy_snapshot_state {
    std::string text; // rebuilt in place every cycle; keeps its capacity
    temporary_names names;
};

// Builds the file's text from the snapshot's energy counters. -1 when memory ran out or a field did
// not fit.
[[nodiscard]] int build_energy_snapshot(std::string &text, const cycle_snapshot &snapshot,
                                        const energy_run &run);
// The control socket's reply to a latch request: the same records, with each device's record followed
// by its latch record:
//   latch,POSITION,LATCH_NS,SEQUENCE          its last successful latch in CLOCK_MONOTONIC nanoseconds
//                                             (empty before the first) and the count of its
//                                             successful latch writes, cycles' and requests' alike
// -1 when memory ran out or a field did not fit.
[[nodiscard]] int build_latch_reply(std::string &text, const cycle_snapshot &snapshot, const energy_run &run);
// Replaces energy/snapshot.csv with this cycle's counters. -1 on failure (the previous file stays).
[[nodiscard]] int publish_energy_snapshot(const output_tree &tree, energy_snapshot_state &state,
                                          const cycle_snapshot &snapshot, const energy_run &run);
