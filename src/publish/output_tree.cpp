#include "publish/output_tree.h"

#include "common/paths.h"
#include "publish/safe_file.h"

#include <unistd.h>

#include <cstring>

namespace {

constexpr const char *k_dir_names[] = {"power", "voltage", "accumulator", "timestamp", "energy"};

} // namespace

const char *output_dir_name(output_dir dir) {
    return k_dir_names[static_cast<std::size_t>(dir)];
}

int open_output_tree(const char *root, bool with_energy, output_tree &tree) {
    tree.root = root;
    tree.root_length = std::strlen(root);
    for (unique_fd &dir : tree.dirs) {
        dir.reset();
    }
    const uid_t self = ::geteuid();
    if (open_trusted_root(root, self, tree.root_dir) != 0) {
        return -1;
    }
    const auto count = static_cast<std::size_t>(with_energy ? output_dir::count : output_dir::energy);
    for (std::size_t i = 0; i < count; ++i) {
        // A directory that cannot be had fails every write into it, not the pass's other files.
        (void)open_trusted_subdirectory(tree.root_dir.fd, k_dir_names[i], self, tree.dirs[i]);
    }
    return 0;
}

namespace {

// The directory's descriptor, or -1 when it has none or the whole path would not fit a path buffer: a
// longer one would name a file nobody can open by path.
int directory_for(const output_tree &tree, output_dir dir, const char *name) {
    const std::size_t path_length =
        tree.root_length + 1 + std::strlen(output_dir_name(dir)) + 1 + std::strlen(name);
    return path_length < k_path_capacity ? tree.dirs[static_cast<std::size_t>(dir)].fd : -1;
}

} // namespace

int write_output_file(const output_tree &tree, output_dir dir, const char *name, std::string_view text,
                      bool append) {
    const int dir_fd = directory_for(tree, dir, name);
    return dir_fd >= 0 && write_file_in_place(dir_fd, name, text, append) == 0 ? 0 : -1;
}

int append_output_line(const output_tree &tree, output_dir dir, const char *name, std::string_view header,
                       std::string_view line) {
    const int dir_fd = directory_for(tree, dir, name);
    return dir_fd >= 0 && append_log_line(dir_fd, name, header, line) == 0 ? 0 : -1;
}
