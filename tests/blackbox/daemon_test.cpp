// The built daemon run as a user runs it: options, exit status, output streams, files, signals, timing.
#include "support/board_test.h"
#include "support/daemon_run.h"
#include "support/expected.h"
#include "support/inotify_events.h"

#include <sys/inotify.h>

#include <gmock/gmock.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace {

using blackbox::daemon_args;
using blackbox::k_root;
using fakeboard::hwmon_dir;
using fakeboard::read_file;
using support::fields_of;
using support::lines_of;

// Cycle i runs at its absolute deadline, START + 1 s + i periods, never before it and soon after it.
// START is the daemon's own (0 for the seconds since start of --etime), so the margin for lateness is
// the period's half, not a guess at how long the machine takes to start a process; the log's
// millisecond rounding allows 1 ms the other way.
void expect_on_schedule(const std::vector<double> &times, double start, double period_s) {
    for (std::size_t i = 0; i < times.size(); ++i) {
        const double lateness = times[i] - (start + 1.0 + period_s * static_cast<double>(i));
        EXPECT_GE(lateness, -0.001) << "cycle " << i << " ran before its deadline";
        EXPECT_LE(lateness, period_s / 2) << "cycle " << i << " ran late";
    }
}

class daemon_cli : public board_test {
  protected:
    void lay_out_reference() {
        fakeboard::lay_out(fakeboard::reference_board());
        for (const char *dir : {"hwmon2", "hwmon10"}) {
            fakeboard::write_file(hwmon_dir(dir) + "/accumulator_update_mode", "manual\n");
        }
    }
    static std::string update_mode(const char *dir) {
        return read_file(hwmon_dir(dir) + "/accumulator_update_mode");
    }
    // Time column of each data line of a raw log.
    static std::vector<double> log_times(const std::string &log) {
        std::vector<double> times;
        const auto lines = lines_of(k_root + "/power/" + log);
        for (std::size_t i = 1; i < lines.size(); ++i) {
            times.push_back(std::strtod(fields_of(lines[i])[0].c_str(), nullptr));
        }
        return times;
    }
};

TEST_F(daemon_cli, help_prints_usage_and_still_restores_auto) {
    lay_out_reference();
    const std::string binary = fakeboard::daemon_path();
    for (const char *option : {"-h", "--help"}) {
        fakeboard::write_file(hwmon_dir("hwmon2") + "/accumulator_update_mode", "manual\n");
        const auto r = fakeboard::run({binary, option}, 10);
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, support::usage_text(binary));
        EXPECT_EQ(update_mode("hwmon2"), "auto");
        EXPECT_EQ(update_mode("hwmon10"), "auto");
    }
    EXPECT_FALSE(fakeboard::file_exists(k_root));
}

TEST_F(daemon_cli, bad_option_exits_2) {
    lay_out_reference();
    for (const char *option : {"--bogus", "-x", "--once=1", "--metrics=", "--metrics=/tmp/board.txt"}) {
        const auto r = fakeboard::run(daemon_args({option}), 10);
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.exit_code, 2) << option;
        EXPECT_EQ(r.out, "") << option;
        EXPECT_THAT(r.err, ::testing::EndsWith(support::usage_text(fakeboard::daemon_path())));
        EXPECT_EQ(update_mode("hwmon10"), "auto");
    }
}

TEST_F(daemon_cli, no_accumulator_device_exits_1_and_creates_nothing) {
    fakeboard::board b = fakeboard::reference_board();
    b.chips.clear();
    fakeboard::lay_out(b);
    fakeboard::write_file(hwmon_dir("hwmon7") + "/name", "max3441\n");
    const auto r = fakeboard::run(daemon_args({"--once"}), 10);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Error: Could not find MAX34417 HWMON\n");
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(fakeboard::file_exists(k_root));
}

TEST_F(daemon_cli, once_runs_one_cycle_a_second_after_start) {
    lay_out_reference();
    // Seconds since start (--etime) are the daemon's own measure of when its cycle ran.
    const auto r = fakeboard::run(daemon_args({"--once", "--raw", "--etime", "-i", "50"}), 10);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "vantrel power monitor starting...\nvantrel power monitor quitting...\n");
    EXPECT_EQ(r.err, "");
    const auto times = log_times("system_raw");
    ASSERT_EQ(times.size(), 1U);
    expect_on_schedule(times, 0.0, 0.05);
    for (const char *log : {"max34417_raw", "max34417_b_raw", "system_raw", "thermal_raw"}) {
        EXPECT_EQ(lines_of(k_root + "/power/" + log).size(), 2U) << log;
    }
    EXPECT_EQ(read_file(hwmon_dir("hwmon2") + "/measurement_mode"), "normal");
    EXPECT_EQ(update_mode("hwmon2"), "auto");
}

TEST_F(daemon_cli, fixed_rate_after_the_first_second_and_modes_while_running) {
    lay_out_reference();
    // The first device latched in every cycle is hwmon10: byte order of the directory names.
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    const int wd10 = inotify_add_watch(watch, hwmon_dir("hwmon10").c_str(), IN_MODIFY);
    const int wd2 = inotify_add_watch(watch, hwmon_dir("hwmon2").c_str(), IN_MODIFY);
    ASSERT_GE(wd10, 0);
    ASSERT_GE(wd2, 0);

    fakeboard::child_process child = fakeboard::spawn(daemon_args({"--raw", "--etime", "-i", "100"}));
    ASSERT_TRUE(support::wait_until([&] { return log_times("system_raw").size() >= 1; }, 5));
    EXPECT_EQ(read_file(hwmon_dir("hwmon10") + "/measurement_mode"), "normal");
    EXPECT_EQ(update_mode("hwmon2"), "manual");
    EXPECT_EQ(update_mode("hwmon10"), "manual");
    ASSERT_TRUE(support::wait_until([&] { return log_times("system_raw").size() >= 6; }, 5));
    ::kill(child.pid, SIGTERM);
    const auto r = fakeboard::wait_for(child, 5);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(update_mode("hwmon2"), "auto");
    EXPECT_EQ(update_mode("hwmon10"), "auto");

    const auto times = log_times("system_raw");
    ASSERT_GE(times.size(), 6U);
    expect_on_schedule(times, 0.0, 0.1);

    // Order of the latch writes: within each cycle hwmon10 before hwmon2.
    std::vector<int> latch_order;
    for (const support::watch_event &ev : support::read_watch_events(watch)) {
        if (ev.name == "accumulator_update") {
            latch_order.push_back(ev.wd);
        }
    }
    ::close(watch);
    ASSERT_GE(latch_order.size(), 12U);
    for (std::size_t i = 0; i + 1 < latch_order.size(); i += 2) {
        EXPECT_EQ(latch_order[i], wd10) << "latch " << i;
        EXPECT_EQ(latch_order[i + 1], wd2) << "latch " << i + 1;
    }
}

TEST_F(daemon_cli, a_stop_request_during_the_sleep_lets_one_cycle_run) {
    lay_out_reference();
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        fakeboard::remove_tree(k_root);
        const double started = fakeboard::monotonic_seconds();
        fakeboard::child_process child = fakeboard::spawn(daemon_args({"--raw"}));
        ASSERT_TRUE(support::wait_until(
            [&] { return support::captured_so_far(child.out_fd).find("starting") != std::string::npos; }, 5));
        ::usleep(200000);
        ::kill(child.pid, sig);
        ::usleep(50000);
        const double signalled = fakeboard::monotonic_seconds();
        ::kill(child.pid, sig); // a second request changes nothing
        const auto r = fakeboard::wait_for(child, 5);
        const double exited = fakeboard::monotonic_seconds();
        ASSERT_TRUE(r.exited) << "signal " << sig;
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out, "vantrel power monitor starting...\nvantrel power monitor quitting...\n");
        const auto times = log_times("system_raw");
        ASSERT_EQ(times.size(), 1U) << "exactly one more cycle";
        EXPECT_GE(times[0], started + 1.0 - 0.001) << "the sleep ran to its deadline";
        EXPECT_GT(times[0], signalled);
        // The default period: the wait ends at its deadline, a period at most after the request.
        EXPECT_LT(exited - signalled, 1.0 + 1.0) << "the daemon ended within a period after its last cycle";
        EXPECT_EQ(update_mode("hwmon2"), "auto");
    }
}

TEST_F(daemon_cli, six_failed_passes_stop_the_daemon) {
    lay_out_reference();
    fakeboard::write_file("/run/not-a-dir", "x");
    const auto r = fakeboard::run(daemon_args({"-i", "10", "--root-dir", "/run/not-a-dir"}), 10);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 0);
    std::string expected_err;
    for (int i = 0; i < 6; ++i) {
        expected_err += "Error: Could not write to /run/not-a-dir\n";
    }
    EXPECT_EQ(r.err, expected_err);
    EXPECT_EQ(
        r.out,
        "vantrel power monitor starting...\nError: too many failures..\nvantrel power monitor quitting...\n");
    EXPECT_EQ(update_mode("hwmon10"), "auto");
}

TEST_F(daemon_cli, failures_need_not_be_consecutive) {
    lay_out_reference();
    const std::string blocker = k_root + "/power/vph_total";
    fakeboard::make_directories(blocker); // a directory where a value file belongs: every pass fails
    fakeboard::child_process child = fakeboard::spawn(daemon_args({"--raw", "-i", "30"}));
    const auto errors = [&] {
        return support::count_exact_lines(support::captured_so_far(child.err_fd),
                                          "Error: Could not write to " + k_root);
    };
    ASSERT_TRUE(support::wait_until([&] { return errors() >= 3; }, 5));
    fakeboard::remove_tree(blocker);
    ASSERT_TRUE(support::wait_until([&] { return log_times("system_raw").size() >= 3; }, 5));
    fakeboard::remove_tree(blocker); // the good cycles wrote it back as a file
    fakeboard::make_directories(blocker);
    const auto r = fakeboard::wait_for(child, 5);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(support::count_exact_lines(r.err, "Error: Could not write to " + k_root), 6U);
    EXPECT_THAT(r.out, ::testing::HasSubstr("Error: too many failures..\n"));
    EXPECT_GE(log_times("system_raw").size(), 3U);
}

TEST_F(daemon_cli, elapsed_time_option_counts_from_start) {
    lay_out_reference();
    auto r = fakeboard::run(daemon_args({"--once", "--raw", "--etime"}), 10);
    ASSERT_TRUE(r.exited);
    auto times = log_times("system_raw");
    ASSERT_EQ(times.size(), 1U);
    expect_on_schedule(times, 0.0, 1.0);
    // The snapshot column stays on the monotonic clock.
    const auto device_line = fields_of(lines_of(k_root + "/power/max34417_raw").at(1));
    EXPECT_NEAR(std::strtod(device_line.at(1).c_str(), nullptr), fakeboard::monotonic_seconds(), 2.0);

    const double started = fakeboard::monotonic_seconds();
    r = fakeboard::run(daemon_args({"--once", "--raw"}), 10);
    ASSERT_TRUE(r.exited);
    times = log_times("system_raw");
    ASSERT_EQ(times.size(), 1U) << "a restarted daemon recreates its logs";
    EXPECT_GE(times[0], started + 1.0 - 0.001);
}

TEST_F(daemon_cli, tiny_intervals_and_huge_ones_are_accepted) {
    lay_out_reference();
    for (const char *interval : {"0", "-5", "fast", "99999999999"}) {
        const auto r = fakeboard::run(daemon_args({"--once", "-i", interval}), 10);
        ASSERT_TRUE(r.exited) << interval;
        EXPECT_EQ(r.exit_code, 0) << interval;
    }
    // A 1 ms period: cycles follow each other closely after the first second.
    fakeboard::child_process child = fakeboard::spawn(daemon_args({"--raw", "-i", "0"}));
    ASSERT_TRUE(support::wait_until([&] { return log_times("system_raw").size() >= 50; }, 5));
    ::kill(child.pid, SIGTERM);
    ASSERT_TRUE(fakeboard::wait_for(child, 5).exited);
    // Half of its gaps far below the default period: a few late ones on a busy machine do not matter.
    const auto times = log_times("system_raw");
    std::vector<double> gaps;
    for (std::size_t i = 1; i < 50; ++i) {
        gaps.push_back(times.at(i) - times.at(i - 1));
    }
    std::nth_element(gaps.begin(), gaps.begin() + 24, gaps.end());
    EXPECT_LT(gaps[24], 0.1) << "the median gap between cycles, against the default period of 1 s";
}

} // namespace

namespace {

// The device list is made by the first cycle, after the start-up search and the mode writes; the exit
// path searches afresh. A board that changes in between shows which search saw what.
TEST_F(daemon_cli, devices_are_listed_by_the_first_cycle_not_at_start_up) {
    lay_out_reference();
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    const int renamed_wd = inotify_add_watch(watch, hwmon_dir("hwmon2").c_str(), IN_MODIFY);
    ASSERT_GE(renamed_wd, 0);

    fakeboard::child_process child = fakeboard::spawn(daemon_args({"--raw", "-i", "100"}));
    ASSERT_TRUE(support::wait_until(
        [&] { return support::captured_so_far(child.out_fd).find("starting") != std::string::npos; }, 5));
    // Between the start-up searches and the first cycle: hwmon2 is renamed out of the accumulators,
    // and hwmon20 appears.
    fakeboard::write_file(hwmon_dir("hwmon2") + "/name", "ina226\n");
    fakeboard::board late = fakeboard::reference_board();
    late.chips = {late.chips[0]};
    late.chips[0].hwmon = "hwmon20";
    late.chips[0].name = "max34417_c";
    late.chips[0].power_label = {std::string("late_rail"), std::nullopt, std::nullopt, std::nullopt};
    fakeboard::lay_out(late);
    fakeboard::write_file(hwmon_dir("hwmon20") + "/measurement_mode", "untouched\n");
    fakeboard::write_file(hwmon_dir("hwmon20") + "/accumulator_update_mode", "untouched\n");
    (void)support::read_watch_events(watch); // the renaming itself

    ASSERT_TRUE(support::wait_until([&] { return log_times("system_raw").size() >= 3; }, 5));
    ::kill(child.pid, SIGTERM);
    const auto r = fakeboard::wait_for(child, 5);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 0);

    // The renamed device got "manual" from the start-up search, and neither a latch, files nor the
    // exit's "auto": no search after start-up found it.
    std::vector<std::string> written;
    for (const support::watch_event &ev : support::read_watch_events(watch)) {
        written.push_back(ev.name);
    }
    ::close(watch);
    EXPECT_THAT(written, ::testing::Not(::testing::Contains("accumulator_update")));
    EXPECT_EQ(update_mode("hwmon2"), "manual");
    for (const char *file :
         {"power/vph", "power/apc0", "accumulator/max34417", "timestamp/max34417", "power/max34417_raw"}) {
        EXPECT_FALSE(fakeboard::file_exists(k_root + "/" + file)) << file;
    }
    // The late device was found by the first cycle: latched and published, but no start-up write
    // reached it; the exit's fresh search returns it to "auto".
    EXPECT_EQ(read_file(k_root + "/power/late_rail"), "0.350000\n");
    EXPECT_TRUE(fakeboard::file_exists(k_root + "/timestamp/max34417_c"));
    EXPECT_EQ(read_file(hwmon_dir("hwmon20") + "/measurement_mode"), "untouched\n");
    EXPECT_EQ(update_mode("hwmon20"), "auto");
    EXPECT_EQ(update_mode("hwmon10"), "auto");
    EXPECT_TRUE(fakeboard::file_exists(k_root + "/power/nsp1"));
}

} // namespace

namespace {

// --energy adds energy/ with its atomic snapshot; the first latch of a run counts nothing, so one
// cycle leaves every counter at 0. Without the option there is no trace of it.
TEST_F(daemon_cli, energy_counters_start_at_zero_and_exist_only_with_the_option) {
    lay_out_reference();
    auto r = fakeboard::run(daemon_args({"--once", "--raw"}), 10);
    ASSERT_TRUE(r.exited);
    EXPECT_FALSE(fakeboard::file_exists(k_root + "/energy"));
    EXPECT_FALSE(fakeboard::file_exists(k_root + "/power/energy_raw"));

    fakeboard::remove_tree(k_root);
    r = fakeboard::run(daemon_args({"--once", "--raw", "--energy"}), 10);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    for (const char *file : {"vph", "apc0", "nsp1", "vph_total", "cores_total", "vph_other"}) {
        EXPECT_EQ(read_file(k_root + "/energy/" + file), "0.000000\n") << file;
    }
    EXPECT_FALSE(fakeboard::file_exists(k_root + "/energy/bl_power")) << "the backlight has no accumulator";
    const auto rows = lines_of(k_root + "/energy/snapshot.csv");
    ASSERT_EQ(rows.size(), 4U + 2U * 5U + 3U);
    EXPECT_EQ(rows[0], "vantrel-energy,1");
    EXPECT_EQ(rows[3], "period_ms,1000");
    EXPECT_THAT(rows[4], ::testing::StartsWith("device,0,max34417_b,"));
    EXPECT_EQ(rows[5], "channel,0,max34417_b,1,nsp1,0.000000000,0.000000000");
    EXPECT_EQ(rows.back(), "total,vph_other,0.000000000,0.000000000");
    const auto log = lines_of(k_root + "/power/energy_raw");
    ASSERT_EQ(log.size(), 2U);
    EXPECT_EQ(log[0], "time,nsp1,gpu,apc2_l3,display,vph,apc0,apc1,ddr,vph_total,cores_total,vph_other,"
                      "gap:nsp1,gap:gpu,gap:apc2_l3,gap:display,gap:vph,gap:apc0,gap:apc1,gap:ddr,"
                      "gap:vph_total,gap:cores_total,gap:vph_other");
    std::string zeros;
    for (int column = 0; column < 11; ++column) {
        zeros += ",0.000000";
    }
    for (int column = 0; column < 11; ++column) {
        zeros += ",0.000000000";
    }
    EXPECT_THAT(log[1], ::testing::EndsWith(zeros));
    EXPECT_EQ(fields_of(log[1]).size(), 23U);
}

} // namespace
