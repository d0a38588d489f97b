// Fault matrix, signals: a storm of SIGINT, SIGHUP and SIGTERM ends the daemon after exactly one
// more cycle, at its deadline, with a clean exit and the devices back in automatic mode.
#include "fault_harness.h"
#include "support/board_test.h"

#include <signal.h>

#include <thread>

namespace {

using namespace faults;
using namespace support;

class signal_faults : public reference_board_test {};

// The thermal log is the last file a --raw cycle without --energy or --metrics writes: once its line
// is there, the cycle has done its work and the daemon is on its way into the sleep. Watching an
// earlier log lets a slow cycle (an emulated board under load) still be running when the storm starts.
const std::string k_last_log = k_root + "/power/thermal_raw";

std::vector<std::string> log_lines() {
    return lines_of(k_last_log);
}

double time_of(const std::string &line) {
    return std::stod(fields_of(line).at(0));
}

// Sends SIGINT, SIGHUP and SIGTERM in turn, one every millisecond, until the daemon says it is
// quitting (or timeout_s passes). Returns how many were sent.
int storm(const running_daemon &d, double timeout_s) {
    const int signals[] = {SIGINT, SIGHUP, SIGTERM};
    int sent = 0;
    const double deadline = fakeboard::monotonic_seconds() + timeout_s;
    while (stdout_so_far(d).find(k_quitting) == std::string::npos &&
           fakeboard::monotonic_seconds() < deadline) {
        signal_daemon(d, signals[sent % 3]);
        ++sent;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return sent;
}

TEST_F(signal_faults, storm_during_a_sleep_ends_after_exactly_one_more_cycle_at_its_deadline) {
    running_daemon d = start_daemon({"-i", "100", "--raw"});
    ASSERT_TRUE(wait_until([] { return log_lines().size() >= 3; }, 3.0));
    // Just after a cycle has finished, so the first signal lands inside the 100 ms sleep.
    const std::size_t seen = log_lines().size();
    ASSERT_TRUE(wait_until([&] { return log_lines().size() > seen; }, 1.0));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const std::vector<std::string> before_signal = log_lines();
    ASSERT_EQ(before_signal.size(), seen + 1) << "the storm would start after the next cycle began";

    const int sent = storm(d, 2.0);
    const fakeboard::process_result r = finish(d, 2.0);
    EXPECT_GT(sent, 20);
    expect_stopped_by_signal(r, 0);

    const std::vector<std::string> after = log_lines();
    ASSERT_EQ(after.size(), before_signal.size() + 1) << "cycles after the first signal";
    // The last cycle ran at its deadline: the signals did not cut the sleep short.
    const double gap = time_of(after.back()) - time_of(before_signal.back());
    EXPECT_GE(gap, 0.095);
    EXPECT_LE(gap, 0.200);
    expect_update_modes(board_, "auto");
}

TEST_F(signal_faults, storm_during_the_first_wait_still_runs_the_first_cycle_and_only_it) {
    const tree_snapshot before = snapshot_outside_root();
    running_daemon d = start_daemon({"-i", "20", "--raw"});
    // The handlers are installed before the starting notice; a signal before that would kill it.
    ASSERT_TRUE(wait_until([&] { return stdout_so_far(d) == k_starting; }, 2.0));
    EXPECT_EQ(try_read(fakeboard::hwmon_dir("hwmon2") + "/accumulator_update_mode").value_or(""), "manual");

    const int sent = storm(d, 3.0);
    const double ended = fakeboard::monotonic_seconds();
    const fakeboard::process_result r = finish(d, 2.0);
    EXPECT_GT(sent, 100);
    expect_stopped_by_signal(r, 0);
    const std::vector<std::string> lines = log_lines();
    ASSERT_EQ(lines.size(), 2u) << "header and exactly one cycle";
    // The first cycle comes a second after start, signals or not, and the daemon ends within the
    // second a stop request allows after it.
    EXPECT_GE(time_of(lines.back()), d.started_s + 1.0 - 0.001);
    EXPECT_LT(ended - time_of(lines.back()), 1.0);
    EXPECT_EQ(try_read(k_root + "/power/vph_total").value_or("<none>"), watts_text(350000));
    expect_only_control_attributes_changed(before, snapshot_outside_root());
    expect_update_modes(board_, "auto");
}

} // namespace
