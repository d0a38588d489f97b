#include "publish/metrics.h"

#include "common/paths.h"
#include "common/time_helpers.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

void report_problem(metrics_state &state, const char *path, const metrics_problem &problem) {
    if (problem == metrics_problem{}) {
        state.reported_count = 0;
        return;
    }
    for (std::size_t i = 0; i < state.reported_count; ++i) {
        if (state.reported[i] == problem) {
            return;
        }
    }
    if (state.reported_count < sizeof state.reported / sizeof state.reported[0]) {
        state.reported[state.reported_count++] = problem;
    }
    std::fprintf(stderr, "Warning: could not write metrics to %s: %s\n", path, metrics_problem_text(problem));
}

metrics_problem system_error(int negative_errno) {
    return metrics_problem{negative_errno, directory_trust::trusted};
}

} // namespace

metrics_problem write_metrics_file(metrics_state &state, const char *path, std::string_view text) {
    const char *slash = std::strrchr(path, '/');
    const char *base = slash != nullptr ? slash + 1 : path;
    if (*base == '\0') {
        return system_error(-EISDIR);
    }
    path_buffer copy;
    const char *directory = slash == nullptr ? "." : "/";
    if (slash != nullptr && slash != path) {
        const auto length = static_cast<std::size_t>(slash - path);
        if (length >= sizeof copy) {
            return system_error(-ENAMETOOLONG);
        }
        std::memcpy(copy, path, length);
        copy[length] = '\0';
        directory = copy;
    }

    // Directories on the way may be links (/var/run); the directory itself may not.
    const unique_fd dir(::open(directory, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir.valid()) {
        return system_error(-errno);
    }
    const directory_trust trust = metrics_directory_trust(dir.fd, state.euid);
    if (trust != directory_trust::trusted) {
        return metrics_problem{0, trust};
    }
    return system_error(replace_file(dir.fd, base, text, state.names));
}

const char *metrics_problem_text(const metrics_problem &problem) {
    switch (problem.trust) {
    case directory_trust::foreign_owner:
        return "directory is owned by neither root nor the daemon's user";
    case directory_trust::others_may_write:
        return "directory is writable by group or others";
    case directory_trust::trusted:
        break;
    }
    return std::strerror(-problem.error);
}

void publish_metrics(metrics_state &state, const char *path, const cycle_snapshot &snapshot,
                     int failed_passes, const timespec &cycle_began) {
    ++state.self.cycles;
    state.self.failed_passes = static_cast<std::uint64_t>(failed_passes);
    state.self.last_cycle_duration_s = timespec_diff_s(cycle_began, monotonic_now());
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    state.self.last_cycle_unix_s = static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;

    const metrics_problem problem = build_metrics(state.text, snapshot, state.self) != 0
                                        ? system_error(-ENOMEM)
                                        : write_metrics_file(state, path, state.text);
    report_problem(state, path, problem);
}
