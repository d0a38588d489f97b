// File operations for a daemon that writes as root into directories others may control: every open
// below a checked directory refuses links, and only regular files with a single link are written.
// Results are 0 or a negative errno.
//
// Two trust rules decide which directories may be written:
// - the output root's: the root is resolved from "/" one component at a time, and it and every
//   directory above it must be owned by root or the daemon's own user and not writable by group or
//   others (a sticky directory such as /tmp is accepted above the root, since there only an entry's
//   owner can replace it);
// - the metrics directory's: only that directory is checked (not a link, owned by root or the
//   daemon's user, not writable by group or others), because a collector's directory such as
//   /var/lib/prometheus belongs to the collector's user and its parents are none of the daemon's
//   business.
#pragma once

#include "common/unique_fd.h"

#include <sys/types.h>

#include <cstdint>
#include <string_view>

// The output root's rule: resolves `root` (relative to the working directory when not absolute),
// creating it 0755 when missing, and opens it. -errno, or -EPERM when a directory fails the rule.
[[nodiscard]] int open_trusted_root(const char *root, uid_t self, unique_fd &out);
// A directory `name` in `parent` (not a link), created 0755 when missing, held to the root's own
// rule: owned by root or `self`, not writable by group or others.
[[nodiscard]] int open_trusted_subdirectory(int parent, const char *name, uid_t self, unique_fd &out);

enum class directory_trust { trusted, foreign_owner, others_may_write };
// The metrics directory's rule, for an opened directory.
[[nodiscard]] directory_trust metrics_directory_trust(int dir_fd, uid_t self);

// Rewrites `name` in `dir_fd` in place: truncated (or appended to), then one write of `text`; a
// short write is a failure. The file is created 0644 when missing; a link, anything but a regular
// file, or a file with other links is refused and left as it is.
[[nodiscard]] int write_file_in_place(int dir_fd, const char *name, std::string_view text, bool append);

// Appends `line` to the log `name` in `dir_fd`, held to the same rule. The log is opened without
// O_CREAT; only when it does not exist (a rotation renamed it, an operator removed it) is it created,
// with O_EXCL. A log so created, or found empty, gets `header` first, in the same write as the line.
[[nodiscard]] int append_log_line(int dir_fd, const char *name, std::string_view header,
                                  std::string_view line);

// Temporary names for atomic replacement: a 64-bit secret from the kernel, stepped for each file.
struct temporary_names {
    std::uint64_t seed = 0;
    bool seeded = false;
};
// Replaces `name` in `dir_fd` atomically: a fresh temporary file in the same directory, made 0644
// whatever the umask, written whole, then renamed over `name`. On failure the temporary file is
// removed and `name` is left as it was.
[[nodiscard]] int replace_file(int dir_fd, const char *name, std::string_view text, temporary_names &names);
