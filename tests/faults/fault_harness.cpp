#include "fault_harness.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <set>

namespace faults {

using namespace support;

namespace fs = std::filesystem;

namespace {

// An attribute in an hwmon device's own directory, .../hwmon/hwmonN/NAME under /sys/devices (the
// snapshot walks the real directories; /sys/class/hwmon holds only links to them).
bool is_control_attribute(const std::string &path) {
    const fs::path p(path);
    const std::string name = p.filename().string();
    return path.rfind("/sys/devices/", 0) == 0 && p.parent_path().parent_path().filename() == "hwmon" &&
           (name == "measurement_mode" || name == "accumulator_update_mode" || name == "accumulator_update");
}

} // namespace

running_daemon::running_daemon(running_daemon &&other) noexcept
    : child(other.child), started_s(other.started_s) {
    other.child = fakeboard::child_process{};
}

running_daemon::~running_daemon() {
    if (child.pid > 0) {
        ::kill(child.pid, SIGKILL);
        (void)fakeboard::wait_for(child, 5.0);
    }
}

running_daemon start_daemon(const std::vector<std::string> &args) {
    std::vector<std::string> argv{fakeboard::daemon_path(), "--root-dir", k_root};
    argv.insert(argv.end(), args.begin(), args.end());
    running_daemon d;
    d.started_s = fakeboard::monotonic_seconds();
    d.child = fakeboard::spawn(argv);
    return d;
}

void signal_daemon(const running_daemon &d, int signal) {
    if (d.child.pid > 0) {
        ::kill(d.child.pid, signal);
    }
}

std::string stdout_so_far(const running_daemon &d) {
    return captured_so_far(d.child.out_fd);
}

std::string stderr_so_far(const running_daemon &d) {
    return captured_so_far(d.child.err_fd);
}

fakeboard::process_result finish(running_daemon &d, double timeout_s) {
    return fakeboard::wait_for(d.child, timeout_s);
}

bool only_lines(const std::string &text, const std::string &line) {
    for (const std::string &l : lines_in(text)) {
        if (l != line) {
            return false;
        }
    }
    return text.empty() || text.back() == '\n';
}

namespace {

void snapshot_tree(const std::string &top, const std::set<std::string> &skipped, tree_snapshot &snap) {
    std::error_code ec;
    fs::recursive_directory_iterator it(top, fs::directory_options::none, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const std::string path = it->path().string();
        if (skipped.count(path) != 0) {
            snap[path] = "skipped";
            it.disable_recursion_pending();
            continue;
        }
        if (it->is_symlink()) {
            snap[path] = "link " + fs::read_symlink(it->path()).string();
        } else if (it->is_directory()) {
            snap[path] = "dir";
        } else if (it->is_regular_file()) {
            const std::optional<std::string> content = try_read(path);
            snap[path] = content ? "file " + std::to_string(std::hash<std::string>{}(*content)) + " " +
                                       std::to_string(content->size())
                                 : "unreadable";
        } else {
            snap[path] = "other";
        }
    }
}

} // namespace

tree_snapshot snapshot_outside_root(const std::vector<std::string> &skip) {
    tree_snapshot snap;
    std::set<std::string> skipped(skip.begin(), skip.end());
    skipped.insert(k_root);
    for (const char *top : {"/sys", "/run"}) {
        snapshot_tree(top, skipped, snap);
    }
    return snap;
}

tree_snapshot snapshot_under(const std::string &dir) {
    tree_snapshot snap;
    snapshot_tree(dir, {}, snap);
    return snap;
}

void expect_only_control_attributes_changed(const tree_snapshot &before, const tree_snapshot &after) {
    for (const auto &[path, what] : after) {
        const auto old = before.find(path);
        if (path == k_root) {
            continue; // the root itself may come and go
        }
        // The daemon's lock: its directory, and the lock file in it.
        if (old == before.end() &&
            ((path == k_lock_dir && what == "dir") || (path == k_lock_file && what.rfind("file ", 0) == 0))) {
            continue;
        }
        if (old == before.end()) {
            ADD_FAILURE() << "created outside the output root: " << path;
        } else if (old->second != what && !is_control_attribute(path)) {
            ADD_FAILURE() << "changed outside the output root: " << path << " (" << old->second << " -> "
                          << what << ")";
        }
    }
    for (const auto &[path, what] : before) {
        if (path != k_root && after.count(path) == 0) {
            ADD_FAILURE() << "removed outside the output root: " << path;
        }
    }
}

void expect_update_modes(const fakeboard::board &b, const std::string &mode) {
    for (const fakeboard::accumulator_chip &chip : b.chips) {
        EXPECT_EQ(try_read(fakeboard::hwmon_dir(chip.hwmon) + "/accumulator_update_mode").value_or("<none>"),
                  mode)
            << chip.hwmon;
    }
}

std::string without_warnings(const std::string &text) {
    std::string kept;
    for (const std::string &line : lines_in(text)) {
        if (line.rfind(k_warning_prefix, 0) != 0) {
            kept += line + "\n";
        }
    }
    return kept;
}

void expect_stopped_by_failures(const fakeboard::process_result &r) {
    EXPECT_TRUE(r.exited) << "timed out " << r.timed_out << ", signal " << r.term_signal;
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, k_starting + k_too_many + k_quitting);
    const std::string errors = without_warnings(r.err);
    EXPECT_EQ(count_exact_lines(errors, k_write_error), 6u) << r.err;
    EXPECT_TRUE(only_lines(errors, k_write_error)) << r.err;
}

void expect_stopped_by_signal(const fakeboard::process_result &r, std::size_t errors) {
    EXPECT_TRUE(r.exited) << "timed out " << r.timed_out << ", signal " << r.term_signal;
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, k_starting + k_quitting);
    const std::string kept = without_warnings(r.err);
    EXPECT_EQ(count_exact_lines(kept, k_write_error), errors) << r.err;
    EXPECT_TRUE(only_lines(kept, k_write_error)) << r.err;
}

std::string watts_text(std::int64_t microwatts) {
    char text[64];
    std::snprintf(text, sizeof text, "%.6f\n", static_cast<double>(microwatts) / 1e6);
    return text;
}

} // namespace faults
