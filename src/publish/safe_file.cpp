#include "publish/safe_file.h"

#include "common/paths.h"
#include "common/time_helpers.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr mode_t k_dir_mode = 0755;
constexpr mode_t k_file_mode = 0644;
// The kernel's own bound on symlinks followed in one lookup.
constexpr int k_max_links = 40;

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
// A refusal sets errno to EPERM, so that the walk's result says why it failed.
bool trusted_directory(int fd, uid_t self, bool above_root) {
    struct stat st {};
    if (!directory_stat(fd, st)) {
        return false;
    }
    const bool trusted =
        S_ISDIR(st.st_mode) && trusted_owner(st, self) &&
        ((st.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (above_root && (st.st_mode & S_ISVTX) != 0));
    if (!trusted) {
        errno = EPERM;
    }
    return trusted;
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
        errno = ENAMETOOLONG;
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
        errno = ENAMETOOLONG;
        return false;
    }
    const ssize_t n = ::readlinkat(e.dir, e.name, target, sizeof target - 1);
    if (n <= 0 || ++w.links > k_max_links) {
        errno = n < 0 ? errno : ELOOP;
        return false;
    }
    target[n] = '\0';
    struct stat link_st {};
    if (others_may_write(current.fd)) {
        if (::fstatat(e.dir, e.name, &link_st, AT_SYMLINK_NOFOLLOW) != 0) {
            return false;
        }
        if (!trusted_owner(link_st, self)) {
            errno = EPERM;
            return false;
        }
    }
    path_buffer spliced;
    if (!join_path(spliced, {target, "/", w.rest + w.at})) {
        errno = ENAMETOOLONG;
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
// symlinks by hand so that each link's place can be judged. -1 with errno set on failure.
int resolve_root(const char *root, uid_t self, unique_fd &out) {
    walk w;
    if (!start_walk(w, root)) {
        errno = errno == 0 ? ENAMETOOLONG : errno;
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

// Stepped by SplitMix64: unpredictable names without a read from the kernel per file.
std::uint64_t next_temporary_suffix(temporary_names &names) {
    std::uint64_t &seed = names.seed;
    bool &seeded = names.seeded;
    if (!seeded) {
        seeded = getrandom(&seed, sizeof seed, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof seed);
        if (!seeded) {
            // Early in boot: the name is still unique, and O_EXCL refuses anything planted there.
            seed ^= static_cast<std::uint64_t>(timespec_to_ns(monotonic_now())) ^
                    (static_cast<std::uint64_t>(getpid()) << 32);
        }
    }
    seed += 0x9e3779b97f4a7c15ULL;
    std::uint64_t z = seed;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

int write_all(int fd, std::string_view text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -errno;
        }
        if (n == 0) {
            return -EIO;
        }
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

// Everything after the directory has been opened and checked.
int replace_in_directory(int dir_fd, const char *base, std::string_view text, std::uint64_t suffix) {
    // ".<base>.tmp.<16 hex digits>"
    char hex[17];
    for (int k = 15; k >= 0; --k, suffix >>= 4) {
        hex[k] = "0123456789abcdef"[suffix & 0xf];
    }
    hex[16] = '\0';
    char temporary[NAME_MAX + 1];
    const std::string_view parts[] = {".", base, ".tmp.", hex};
    std::size_t n = 0;
    for (std::string_view part : parts) {
        if (part.size() >= sizeof temporary - n) {
            return -ENAMETOOLONG;
        }
        std::memcpy(temporary + n, part.data(), part.size());
        n += part.size();
    }
    temporary[n] = '\0';
    const int fd = ::openat(dir_fd, temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        return -errno;
    }
    // Readers run as their own users: 0644 whatever the umask took away.
    int rc = ::fchmod(fd, 0644) != 0 ? -errno : 0;
    if (rc == 0) {
        rc = write_all(fd, text);
    }
    // No fsync: the files replaced this way are rewritten every period and views of the present only,
    // so after a crash the next cycle replaces whatever survived; a flush per period would wear flash
    // storage and stall the cycle for nothing.
    if (::close(fd) != 0 && rc == 0) {
        rc = -errno;
    }
    if (rc == 0 && ::renameat(dir_fd, temporary, dir_fd, base) != 0) {
        rc = -errno;
    }
    if (rc != 0) {
        (void)::unlinkat(dir_fd, temporary, 0);
    }
    return rc;
}

// Opens `name` in `dir_fd` for writing, never through a link and never blocking on a FIFO, and holds
// it to the one rule for every file written in place: a regular file with a single link. `flags` adds
// O_CREAT, O_EXCL or O_APPEND; no O_TRUNC, so that a file that is not ours is left exactly as it is.
int open_regular_file(int dir_fd, const char *name, int flags, unique_fd &file, struct stat &st) {
    file.reset(::openat(dir_fd, name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | flags,
                        k_file_mode));
    if (!file.valid()) {
        return -errno;
    }
    if (::fstat(file.fd, &st) != 0) {
        return -errno;
    }
    return S_ISREG(st.st_mode) && st.st_nlink == 1 ? 0 : -EPERM;
}

// One write; a short one is a failure.
int write_once(int fd, std::string_view text) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0) {
        return -errno;
    }
    return static_cast<std::size_t>(written) == text.size() ? 0 : -EIO;
}

} // namespace

int open_trusted_root(const char *root, uid_t self, unique_fd &out) {
    out.reset();
    if (root[0] == '\0') {
        return -ENOENT;
    }
    errno = 0;
    if (resolve_root(root, self, out) != 0) {
        const int error = errno != 0 ? errno : EPERM;
        out.reset();
        return -error;
    }
    return 0;
}

int open_trusted_subdirectory(int parent, const char *name, uid_t self, unique_fd &out) {
    unique_fd dir(open_or_make_directory(parent, name));
    if (!dir.valid()) {
        return -errno;
    }
    if (!trusted_directory(dir.fd, self, false)) {
        return -EPERM;
    }
    out = std::move(dir);
    return 0;
}

directory_trust metrics_directory_trust(int dir_fd, uid_t self) {
    struct stat st {};
    if (::fstat(dir_fd, &st) != 0 || !trusted_owner(st, self)) {
        return directory_trust::foreign_owner;
    }
    return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 ? directory_trust::others_may_write
                                                   : directory_trust::trusted;
}

int write_file_in_place(int dir_fd, const char *name, std::string_view text, bool append) {
    unique_fd file;
    struct stat st {};
    int rc = open_regular_file(dir_fd, name, O_CREAT | (append ? O_APPEND : 0), file, st);
    if (rc == 0 && !append && ::ftruncate(file.fd, 0) != 0) {
        rc = -errno;
    }
    return rc == 0 ? write_once(file.fd, text) : rc;
}

int append_log_line(int dir_fd, const char *name, std::string_view header, std::string_view line) {
    unique_fd file;
    struct stat st {};
    int rc = -ENOENT;
    // Created only when missing: whatever appears at the name in between is opened as it stands.
    for (int attempt = 0; attempt < 2 && (rc == -ENOENT || rc == -EEXIST); ++attempt) {
        rc = open_regular_file(dir_fd, name, O_APPEND, file, st);
        if (rc == -ENOENT) {
            rc = open_regular_file(dir_fd, name, O_APPEND | O_CREAT | O_EXCL, file, st);
        }
    }
    if (rc != 0) {
        return rc;
    }
    if (st.st_size != 0) {
        return write_once(file.fd, line);
    }
    // A new or emptied log: its header and the line in one write, header first.
    iovec parts[2] = {{const_cast<char *>(header.data()), header.size()},
                      {const_cast<char *>(line.data()), line.size()}};
    const ssize_t written = ::writev(file.fd, parts, 2);
    if (written < 0) {
        return -errno;
    }
    return static_cast<std::size_t>(written) == header.size() + line.size() ? 0 : -EIO;
}

int replace_file(int dir_fd, const char *name, std::string_view text, temporary_names &names) {
    return replace_in_directory(dir_fd, name, text, next_temporary_suffix(names));
}
