// The output tree's directories and files, opened so that nothing below the root can redirect a write.
//
// The root path is resolved afresh every cycle (it may be a symlink, or be replaced while the daemon
// runs) and held to the output root's trust rule (publish/safe_file.h). Below the root no symlink is
// followed, and only regular files with a single link are written.
#pragma once

#include "common/unique_fd.h"

#include <cstddef>
#include <string_view>

enum class output_dir { power, voltage, accumulator, timestamp, energy, count };

// One cycle's handles on the tree. A directory that could not be opened has no handle, and every
// write into it fails.
struct output_tree {
    const char *root = nullptr;
    std::size_t root_length = 0;
    unique_fd root_dir;
    unique_fd dirs[static_cast<std::size_t>(output_dir::count)];
};

[[nodiscard]] const char *output_dir_name(output_dir dir);

// Resolves and checks the root, creating it (0755) when missing, then opens or creates the four
// value directories, and energy/ when `with_energy`. -1 when the root is missing and cannot be made,
// or fails the ownership check; nothing is then created under it.
[[nodiscard]] int open_output_tree(const char *root, bool with_energy, output_tree &tree);

// Truncates (append false) or appends to `name` in `dir`, creating it 0644. Fails on a symlink,
// anything but a regular file, a file with other links, or a path of k_path_capacity or more.
[[nodiscard]] int write_output_file(const output_tree &tree, output_dir dir, const char *name,
                                    std::string_view text, bool append);
// Appends `line` to the log `name` in `dir`, creating it with `header` first when it is missing, and
// putting `header` first when it is empty (publish/safe_file.h). The same refusals and path limit.
[[nodiscard]] int append_output_line(const output_tree &tree, output_dir dir, const char *name,
                                     std::string_view header, std::string_view line);
