// The publishing steps as a cycle runs them: the tree opened afresh at a root path, then written.
#pragma once

#include "daemon/cycle.h"
#include "publish/output_tree.h"
#include "publish/raw_logs.h"
#include "publish/value_tree.h"
#include "sensors/accumulators.h"

template <typename Publish> int with_tree_at(const char *root, Publish publish) {
    output_tree tree;
    if (open_output_tree(root, true, tree) != 0) {
        return -1;
    }
    return publish(tree);
}

// The value tree as a run without --raw writes it.
inline int publish_value_tree(const char *root, const cycle_snapshot &snapshot) {
    return with_tree_at(root, [&](const output_tree &t) { return publish_value_tree(t, snapshot, nullptr); });
}
// The cycle's raw-log step: the log inputs read, then every device's log, the system and thermal logs.
inline int publish_raw_logs(const char *root, monitor_state &state) {
    return with_tree_at(root, [&](const output_tree &t) {
        sample_log_inputs(state.board, state.snapshot, [&](std::size_t device) {
            return log_header_pending(state.logs, state.snapshot, device);
        });
        return publish_raw_logs(t, state.logs, state.snapshot);
    });
}
// The logs of a snapshot whose log inputs are already in place.
inline int publish_raw_logs(const char *root, raw_log_state &logs, const cycle_snapshot &snapshot) {
    return with_tree_at(root, [&](const output_tree &t) { return publish_raw_logs(t, logs, snapshot); });
}
// One device's header (when pending) and line, with the inputs it already holds.
inline int write_device_log(const char *root, raw_log_state &logs, const device_sample &device,
                            double time_s) {
    return with_tree_at(root,
                        [&](const output_tree &t) { return write_device_log(t, logs, device, time_s); });
}
inline int write_system_log(const char *root, raw_log_state &logs, const cycle_snapshot &snapshot) {
    return with_tree_at(root, [&](const output_tree &t) { return write_system_log(t, logs, snapshot); });
}
inline int write_thermal_log(const char *root, raw_log_state &logs, const cycle_snapshot &snapshot) {
    return with_tree_at(root, [&](const output_tree &t) { return write_thermal_log(t, logs, snapshot); });
}
