// The publishing steps as a cycle runs them: the tree opened afresh at a root path, then written.
#pragma once

#include "publish/output_tree.h"
#include "publish/raw_logs.h"
#include "publish/value_tree.h"

#include <cstddef>

template <typename Publish> int with_tree_at(const char *root, Publish publish) {
    output_tree tree;
    if (open_output_tree(root, tree) != 0) {
        return -1;
    }
    return publish(tree);
}

inline int publish_value_tree(const char *root, const cycle_readings &lists) {
    return with_tree_at(root, [&](const output_tree &t) { return publish_value_tree(t, lists); });
}
inline int publish_raw_logs(const char *root, const cycle_readings &lists, const system_figures &figures,
                            double time_s) {
    return with_tree_at(root,
                        [&](const output_tree &t) { return publish_raw_logs(t, lists, figures, time_s); });
}
inline int write_device_raw_log(const char *root, const cycle_readings &lists, double time_s, std::size_t i) {
    return with_tree_at(root,
                        [&](const output_tree &t) { return write_device_raw_log(t, lists, time_s, i); });
}
inline int write_system_raw_log(const char *root, const system_figures &figures, double time_s) {
    return with_tree_at(root, [&](const output_tree &t) { return write_system_raw_log(t, figures, time_s); });
}
inline int write_thermal_raw_log(const char *root, const cycle_readings &lists, double time_s) {
    return with_tree_at(root, [&](const output_tree &t) { return write_thermal_raw_log(t, lists, time_s); });
}
