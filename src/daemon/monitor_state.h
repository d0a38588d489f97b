// Everything the daemon knows across cycles, in one record owned by the entry point.
#pragma once

#include "common/snapshot.h"
#include "common/unique_fd.h"
#include "daemon/control.h"
#include "derive/derive.h"
#include "publish/energy_snapshot.h"
#include "publish/metrics.h"
#include "publish/raw_logs.h"
#include "publish/value_tree.h"
#include "sensors/accumulators.h"
#include "sensors/discovery.h"

#include <cstdint>
#include <ctime>

struct monitor_config {
    const char *output_root = nullptr;
    std::int32_t period_ms = 1000;
    bool single_shot = false;
    bool write_raw = false;
    bool elapsed_time = false;
    const char *metrics_file = nullptr; // --metrics FILE, a name ending in ".prom"
    bool count_energy = false;          // --energy
    control_access control;             // --control-group: who may use the control socket
};

struct monitor_state {
    monitor_config config;
    timespec start_time{};
    pid_t pid = 0; // with --energy: names the run in the energy snapshot
    // The exclusive lock of the running daemon, held until the state goes.
    unique_fd instance_lock;
    // Whether leaving may return the devices to "auto": never while another daemon runs them.
    bool devices_are_ours = false;

    board_inventory board;                 // found by the first cycle that needs each part
    control_reports controls;              // control writes already reported as failed
    cycle_snapshot snapshot;               // this cycle's sample; its arrays are reused
    derive_state derive;                   // what deriving carries from cycle to cycle
    raw_log_state logs;                    // logs already headed, line buffers
    log_name_reports log_names;            // readings left without a file because a log has their name
    metrics_state metrics;                 // counts and the exposition buffer
    energy_snapshot_state energy_snapshot; // the snapshot file's buffer and temporary names
    int failure_count = 0;                 // failed publishing passes since start-up
    control_state control;                 // with --energy: the control socket and its clients
};
