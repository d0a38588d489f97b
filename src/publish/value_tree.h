// The output tree: one small text file per reading, plus the power totals.
#pragma once

#include "common/snapshot.h"
#include "publish/output_tree.h"

#include <cstddef>
#include <string>
#include <vector>

inline constexpr std::size_t k_name_capacity = 128;

// Lower-case letters and digits kept, every other byte becomes '_', runs of '_' collapse to one.
void sanitize_name(char *buffer, std::size_t capacity, const char *name);

// With --raw the power directory also holds the run's logs: a reading whose file would take a log's
// name gets no file (rewriting it would truncate the log every cycle). Each such name is reported on
// standard error once per run.
struct log_name_reports {
    std::vector<std::string> reported;
};

// Writes every file of one cycle into the opened tree. `logs` is null without --raw: every reading
// then gets its file. 0 when all were written, -1 at the first failure.
[[nodiscard]] int publish_value_tree(const output_tree &tree, const cycle_snapshot &snapshot,
                                     log_name_reports *logs);
