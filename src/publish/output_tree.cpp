#include "publish/output_tree.h"

#include "common/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr mode_t k_dir_mode = 0755;
constexpr mode_t k_file_mode = 0644;
// The kernel's own bound on symlinks followed in one lookup.
constexpr int k_max_links = 40;

constexpr const char *k_dir_names[] = {"power", "voltage", "accumulator", "timestamp"};

bool trusted_owner(const struct stat &st, uid_t self) {
    return st.st_uid == 0 || st.st_uid == self;
}

// The walk holds no descriptor of "/" itself: at the top, names are opened by their absolute paths
// (a descriptor of -1 below means the top). The result is the same on a board, and a user-mode
// emulator that maps absolute paths into its library prefix maps "/" itself, which would send the
// whole walk into that prefix.
bool directory_stat(int fd, struct stat &st) {
    return fd < 0 ? ::stat("/", &st) == 0 : ::fstat(fd, &st) == 0;
}

// The name as a system call takes it: relative to its directory, or absolute at the top.
struct entry {
    int dir = AT_FDCWD;
    const char *name = nullptr;
    path_buffer absolute;
};

bool locate(entry &e, int parent, const char *name) {
    if (parent >= 0) {
        e.dir = parent;
        e.name = name;
        return true;
    }
    e.dir = AT_FDCWD;
    e.name = e.absolute;
    return join_path(e.absolute, {"/", name});
}

// A directory that nobody else can change. `above_root` accepts a sticky one such as /tmp.
bool trusted_directory(int fd, uid_t self, bool above_root) {
    struct stat st {};
    if (!directory_stat(fd, st) || !S_ISDIR(st.st_mode) || !trusted_owner(st, self)) {
        return false;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) == 0) {
        return true;
    }
    return above_root && (st.st_mode & S_ISVTX) != 0;
}

bool others_may_write(int fd) {
    struct stat st {};
    return directory_stat(fd, st) && (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

int open_directory(const entry &e) {
    return ::openat(e.dir, e.name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Opens a directory that must not be a symlink, creating it when missing.
int open_or_make_directory(int parent, const char *name) {
    entry e;
    if (!locate(e, parent, name)) {
        return -1;
    }
    int fd = open_directory(e);
    if (fd < 0 && errno == ENOENT && (::mkdirat(e.dir, e.name, k_dir_mode) == 0 || errno == EEXIST)) {
        fd = open_directory(e);
    }
    return fd;
}

// The path still to walk, with the position of its next component.
struct walk {
    path_buffer rest;
    std::size_t at = 0;
    int links = 0;
};

// The root as an absolute path: a relative one is taken from the working directory.
bool start_walk(walk &w, const char *root) {
    if (root[0] == '/') {
        return join_path(w.rest, {root});
    }
    path_buffer cwd;
    return ::getcwd(cwd, sizeof cwd) != nullptr && join_path(w.rest, {cwd, "/", root});
}

// Copies the next component into `name`; false when the path is used up.
bool next_component(walk &w, char (&name)[k_path_capacity]) {
    w.at += std::strspn(w.rest + w.at, "/");
    if (w.rest[w.at] == '\0') {
        return false;
    }
    const std::size_t length = std::strcspn(w.rest + w.at, "/");
    std::memcpy(name, w.rest + w.at, length);
    name[length] = '\0';
    w.at += length;
    return true;
}

bool last_component(const walk &w) {
    return w.rest[w.at + std::strspn(w.rest + w.at, "/")] == '\0';
}

// Splices the target of the link `name` in `current` in front of the rest of the walk; an absolute
// target restarts the walk at "/". In a directory others may write (sticky, or its check would have
// failed), only a link of our own or root's may steer the walk.
bool follow_link(walk &w, unique_fd &current, const char *name, uid_t self) {
    entry e;
    char target[k_path_capacity];
    if (!locate(e, current.fd, name)) {
        return false;
    }
    const ssize_t n = ::readlinkat(e.dir, e.name, target, sizeof target - 1);
    if (n <= 0 || ++w.links > k_max_links) {
        return false;
    }
    target[n] = '\0';
    struct stat link_st {};
    if (others_may_write(current.fd) &&
        (::fstatat(e.dir, e.name, &link_st, AT_SYMLINK_NOFOLLOW) != 0 || !trusted_owner(link_st, self))) {
        return false;
    }
    path_buffer spliced;
    if (!join_path(spliced, {target, "/", w.rest + w.at})) {
        return false;
    }
    std::memcpy(w.rest, spliced, sizeof w.rest);
    w.at = 0;
    if (target[0] == '/') {
        current.reset();
    }
    return true;
}

// Walks the root path from "/" one component at a time, checking each directory and following
// symlinks by hand so that each link's place can be judged.
int resolve_root(const char *root, uid_t self, unique_fd &out) {
    walk w;
    if (!start_walk(w, root)) {
        return -1;
    }
    unique_fd current; // the top
    if (!trusted_directory(current.fd, self, true)) {
        return -1;
    }
    char name[k_path_capacity];
    while (next_component(w, name)) {
        // "/.." is "/" itself.
        if (std::strcmp(name, ".") == 0 || (!current.valid() && std::strcmp(name, "..") == 0)) {
            continue;
        }
        unique_fd next(open_or_make_directory(current.fd, name));
        if (!next.valid() && (errno == ELOOP || errno == ENOTDIR)) {
            if (!follow_link(w, current, name, self)) {
                return -1;
            }
            continue;
        }
        // The last directory is checked once, after the walk, as the root.
        if (!next.valid() || (!last_component(w) && !trusted_directory(next.fd, self, true))) {
            return -1;
        }
        current = std::move(next);
    }
    // The resolved root itself gets no sticky exemption, even when reached through ".." or a link.
    if (!trusted_directory(current.fd, self, false)) {
        return -1;
    }
    if (!current.valid()) {
        current.reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
    out = std::move(current);
    return out.valid() ? 0 : -1;
}

} // namespace

const char *output_dir_name(output_dir dir) {
    return k_dir_names[static_cast<std::size_t>(dir)];
}

int open_output_tree(const char *root, output_tree &tree) {
    tree.root = root;
    tree.root_length = std::strlen(root);
    for (unique_fd &dir : tree.dirs) {
        dir.reset();
    }
    tree.root_dir.reset();
    const uid_t self = ::geteuid();
    if (root[0] == '\0' || resolve_root(root, self, tree.root_dir) != 0) {
        tree.root_dir.reset();
        return -1;
    }
    for (std::size_t i = 0; i < static_cast<std::size_t>(output_dir::count); ++i) {
        unique_fd dir(open_or_make_directory(tree.root_dir.fd, k_dir_names[i]));
        if (dir.valid() && trusted_directory(dir.fd, self, false)) {
            tree.dirs[i] = std::move(dir);
        }
    }
    return 0;
}

int write_output_file(const output_tree &tree, output_dir dir, const char *name, std::string_view text,
                      bool append) {
    const int dir_fd = tree.dirs[static_cast<std::size_t>(dir)].fd;
    // The whole path must fit as it always had to: a longer one would name a file nobody can open.
    const std::size_t path_length =
        tree.root_length + 1 + std::strlen(output_dir_name(dir)) + 1 + std::strlen(name);
    if (dir_fd < 0 || path_length >= k_path_capacity) {
        return -1;
    }
    // No O_TRUNC at open: a file that is not ours to write must be left exactly as it is. O_NONBLOCK
    // keeps a FIFO without a reader from blocking the open.
    const int flags =
        O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (append ? O_APPEND : 0);
    unique_fd file(::openat(dir_fd, name, flags, k_file_mode));
    struct stat st {};
    if (!file.valid() || ::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
        return -1;
    }
    if (!append && ::ftruncate(file.fd, 0) != 0) {
        return -1;
    }
    const ssize_t written = ::write(file.fd, text.data(), text.size());
    return (written >= 0 && static_cast<std::size_t>(written) == text.size()) ? 0 : -1;
}
