// Shared steps of the fault matrix: run the real daemon on a fake board, watch its output while it
// runs, and check what it must and must not have done.
#pragma once

#include "board.h"
#include "support/board_test.h"
#include "support/polling.h"
#include "support/process.h"
#include "support/text.h"

#include <map>
#include <string>
#include <vector>

namespace faults {

// Where every fault test publishes; /run is the sandbox's tmpfs.
inline const std::string k_root = "/run/pm";
inline const std::string k_write_error = "Error: Could not write to /run/pm";
inline const std::string k_starting = "vantrel power monitor starting...\n";
inline const std::string k_quitting = "vantrel power monitor quitting...\n";
inline const std::string k_too_many = "Error: too many failures..\n";
// The lock that keeps a second daemon from running.
inline const std::string k_lock_dir = "/run/vantrel-power-monitor";
inline const std::string k_lock_file = k_lock_dir + "/lock";
// A control attribute the daemon could not write (a device gone, a read-only attribute): reported, and
// not one of the write errors the checks below count.
inline const std::string k_warning_prefix = "Warning: could not write ";

// A test on the reference board, laid out as it is.
class reference_board_test : public board_test {
  protected:
    void lay_out_board() override {
        board_ = fakeboard::reference_board();
        fakeboard::lay_out(board_);
    }

    fakeboard::board board_;
};

// The daemon as it runs: its process, and when it was started on the test's clock. A daemon still
// running when this goes away (a failed assertion) is killed, so no test leaves one behind.
struct running_daemon {
    fakeboard::child_process child;
    double started_s = 0.0;

    running_daemon() = default;
    running_daemon(const running_daemon &) = delete;
    running_daemon &operator=(const running_daemon &) = delete;
    running_daemon(running_daemon &&other) noexcept;
    running_daemon &operator=(running_daemon &&) = delete;
    ~running_daemon();
};

// Starts the daemon with `--root-dir /run/pm` and the given extra arguments.
running_daemon start_daemon(const std::vector<std::string> &args);
// Sends a signal to the running daemon.
void signal_daemon(const running_daemon &d, int signal);
// Output captured so far, without disturbing the capture.
std::string stdout_so_far(const running_daemon &d);
std::string stderr_so_far(const running_daemon &d);
// Waits for the daemon to end (SIGKILL after timeout_s) and collects its output.
fakeboard::process_result finish(running_daemon &d, double timeout_s);

// True when every line of `text` is `line` (vacuously for empty text).
bool only_lines(const std::string &text, const std::string &line);

// Every path under /sys and /run except the output root and the given subtrees, with a digest of
// each regular file's content; comparing two shows what the daemon touched outside its root.
using tree_snapshot = std::map<std::string, std::string>;
tree_snapshot snapshot_outside_root(const std::vector<std::string> &skip = {});
// Every path below `dir`, the same way.
tree_snapshot snapshot_under(const std::string &dir);
// Fails the test for any difference other than a device control attribute (measurement_mode,
// accumulator_update_mode, accumulator_update) of an existing hwmon directory changing content, and
// the daemon's lock directory and file appearing.
void expect_only_control_attributes_changed(const tree_snapshot &before, const tree_snapshot &after);

// Every chip's accumulator_update_mode holds exactly `mode` (the daemon writes it without a newline).
void expect_update_modes(const fakeboard::board &b, const std::string &mode);

// `text` without its lines beginning with k_warning_prefix.
std::string without_warnings(const std::string &text);

// A run that the daemon ended by itself after the sixth failed pass: exit 0, the three notices on
// standard output, and exactly six write errors naming the root on standard error.
void expect_stopped_by_failures(const fakeboard::process_result &r);
// A run ended by a signal: exit 0, starting and quitting notices only, and `errors` write errors.
// Both skip control-attribute warnings.
void expect_stopped_by_signal(const fakeboard::process_result &r, std::size_t errors);

// Watts as the value tree writes them, e.g. "0.350000\n".
std::string watts_text(std::int64_t microwatts);

} // namespace faults
