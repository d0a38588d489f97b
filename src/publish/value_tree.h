// The output tree: one small text file per reading, plus the power totals.
#pragma once

#include "common/snapshot.h"
#include "publish/output_tree.h"

#include <cstddef>

inline constexpr std::size_t k_name_capacity = 128;

// Lower-case letters and digits kept, every other byte becomes '_', runs of '_' collapse to one.
void sanitize_name(char *buffer, std::size_t capacity, const char *name);

// Writes every file of one cycle into the opened tree. 0 when all were written, -1 at the first failure.
[[nodiscard]] int publish_value_tree(const output_tree &tree, const cycle_snapshot &snapshot);
