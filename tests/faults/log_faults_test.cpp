// Fault matrix, damaged logs: a log renamed (as rotation does), removed or emptied while the daemon
// runs, a link planted where a log was, and rails whose names are the names of the logs.
#include "fault_harness.h"
#include "support/board_test.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace {

using namespace faults;
using namespace support;
namespace fs = std::filesystem;

const std::string k_power = k_root + "/power/";
const std::vector<std::string> k_logs = {"max34417_raw", "max34417_b_raw", "system_raw", "thermal_raw"};

class damaged_logs : public reference_board_test {};

std::size_t lines_in_file(const std::string &path) {
    return count_lines(try_read(path).value_or(""));
}

bool wait_for_lines(const std::vector<std::string> &logs, std::size_t lines, double timeout_s) {
    return wait_until(
        [&] {
            for (const std::string &log : logs) {
                if (lines_in_file(k_power + log) < lines) {
                    return false;
                }
            }
            return true;
        },
        timeout_s);
}

// The time column of a log's data lines (its header aside).
std::vector<std::string> times_of(const std::string &path) {
    std::vector<std::string> times;
    const std::vector<std::string> lines = lines_of(path);
    for (std::size_t i = 1; i < lines.size(); ++i) {
        times.push_back(fields_of(lines[i]).at(0));
    }
    return times;
}

std::size_t header_lines(const std::string &path) {
    std::size_t n = 0;
    for (const std::string &line : lines_of(path)) {
        n += line.rfind("time,", 0) == 0 ? 1 : 0;
    }
    return n;
}

// True when `part` is the end of `whole`, without a gap.
bool ends(const std::vector<std::string> &whole, const std::vector<std::string> &part) {
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.end() - part.size());
}

TEST_F(damaged_logs, a_log_renamed_removed_or_emptied_while_running_starts_again_with_its_header) {
    running_daemon d = start_daemon({"-i", "100", "--raw"});
    ASSERT_TRUE(wait_for_lines(k_logs, 3, 3.0)) << stderr_so_far(d);
    std::map<std::string, std::string> headers;
    for (const std::string &log : k_logs) {
        headers[log] = lines_of(k_power + log).at(0);
    }

    // A rotation's rename, an operator's removal and truncation; max34417_b_raw is left alone.
    ASSERT_EQ(::rename((k_power + "system_raw").c_str(), (k_power + "system_raw.1").c_str()), 0);
    ASSERT_EQ(::unlink((k_power + "thermal_raw").c_str()), 0);
    ASSERT_EQ(::truncate((k_power + "max34417_raw").c_str(), 0), 0);
    ASSERT_TRUE(wait_for_lines(k_logs, 4, 2.0)) << stderr_so_far(d);
    signal_daemon(d, SIGTERM);
    expect_stopped_by_signal(finish(d, 3.0), 0);

    for (const std::string &log : k_logs) {
        const std::vector<std::string> lines = lines_of(k_power + log);
        ASSERT_FALSE(lines.empty()) << log;
        EXPECT_EQ(lines[0], headers[log]) << log;
        EXPECT_EQ(header_lines(k_power + log), 1u) << log;
    }
    // Every cycle's line is in the renamed part or the new log, in order.
    const std::vector<std::string> all = times_of(k_power + "max34417_b_raw");
    std::vector<std::string> rotated = times_of(k_power + "system_raw.1");
    const std::vector<std::string> after = times_of(k_power + "system_raw");
    EXPECT_GE(after.size(), 3u);
    rotated.insert(rotated.end(), after.begin(), after.end());
    EXPECT_EQ(rotated, all);
    EXPECT_EQ(header_lines(k_power + "system_raw.1"), 1u);
    // Removed and emptied logs go on from the cycle after.
    for (const char *log : {"thermal_raw", "max34417_raw"}) {
        const std::vector<std::string> times = times_of(k_power + log);
        EXPECT_GE(times.size(), 3u) << log;
        EXPECT_TRUE(ends(all, times)) << log;
    }
}

TEST_F(damaged_logs, a_link_planted_where_a_log_was_removed_is_never_followed) {
    const std::string victim = "/run/victim";
    const std::string victim_text = "a file the daemon must never write\n";
    const std::string dangling = "/run/created-through-a-link";
    fakeboard::write_file(victim, victim_text);
    running_daemon d = start_daemon({"-i", "50", "--raw"});
    ASSERT_TRUE(wait_for_lines(k_logs, 3, 3.0)) << stderr_so_far(d);
    const tree_snapshot before = snapshot_outside_root();

    // A log is created afresh only where nothing is: a link in its place is never taken for a missing
    // log. Each link replaces its log in one rename, so no cycle sees the log missing in between.
    for (const auto &[log, target] : {std::pair{"system_raw", victim}, std::pair{"thermal_raw", dangling}}) {
        const std::string link = k_power + log + ".link";
        ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0) << std::strerror(errno);
        ASSERT_EQ(::rename(link.c_str(), (k_power + log).c_str()), 0) << std::strerror(errno);
    }
    const fakeboard::process_result r = finish(d, 5.0);

    expect_stopped_by_failures(r);
    EXPECT_EQ(fakeboard::read_file(victim), victim_text);
    EXPECT_FALSE(fs::exists(dangling));
    EXPECT_TRUE(fs::is_symlink(k_power + "system_raw"));
    EXPECT_TRUE(fs::is_symlink(k_power + "thermal_raw"));
    expect_only_control_attributes_changed(before, snapshot_outside_root());
}

// Rails of both chips given the names of the logs: system_raw and thermal_raw, and the other chip's
// log (hwmon10's rail "MAX34417 raw" is max34417_raw, hwmon2's log). None of them is a core rail or
// vph, so the totals are those of the board as it was labelled.
TEST_F(damaged_logs, rails_named_like_the_logs_get_no_file_and_every_log_keeps_its_lines) {
    std::map<std::string, std::string> totals;
    const auto read_totals = [] {
        std::map<std::string, std::string> t;
        for (const char *total : {"vph_total", "cores_total", "vph_other"}) {
            t[total] = try_read(k_power + total).value_or("<none>");
        }
        return t;
    };
    {
        running_daemon d = start_daemon({"--once"});
        expect_stopped_by_signal(finish(d, 5.0), 0);
        totals = read_totals();
        fakeboard::remove_tree(k_root);
    }
    const std::string ddr = fakeboard::hwmon_dir("hwmon2") + "/power4_label";
    fakeboard::write_file(ddr, "System Raw\n");
    fakeboard::write_file(fakeboard::hwmon_dir("hwmon10") + "/power2_label", "Thermal-Raw\n");
    fakeboard::write_file(fakeboard::hwmon_dir("hwmon10") + "/power4_label", "MAX34417 raw\n");

    running_daemon d = start_daemon({"-i", "20", "--raw"});
    ASSERT_TRUE(wait_for_lines(k_logs, 6, 3.0)) << stderr_so_far(d);
    signal_daemon(d, SIGTERM);
    const fakeboard::process_result r = finish(d, 3.0);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, k_starting + k_quitting);
    // Once each, in the order of the rails: hwmon10 comes before hwmon2.
    EXPECT_EQ(r.err,
              "Warning: could not write reading \"Thermal-Raw\" to /run/pm/power/thermal_raw: a raw log "
              "has that name\n"
              "Warning: could not write reading \"MAX34417 raw\" to /run/pm/power/max34417_raw: a raw "
              "log has that name\n"
              "Warning: could not write reading \"System Raw\" to /run/pm/power/system_raw: a raw log "
              "has that name\n");

    const std::map<std::string, std::string> expected_headers = {
        {"max34417_raw", "time,atime,acc,vph,apc0,apc1,System Raw"},
        {"max34417_b_raw", "time,atime,acc,nsp1,Thermal-Raw,apc2_l3,MAX34417 raw"},
        {"system_raw", "time,gpufreq,cpufreq0,cpufreq1,cpufreq2,cpufreq3,cpufreq4,cpufreq5,cpufreq6,cpufreq7,"
                       "perf_now,battery_soc,fan_rpm,fan_pwm,bcl0,bcl0_v,bcl1_v"},
    };
    const std::size_t cycles = lines_of(k_power + "max34417_b_raw").size();
    EXPECT_GE(cycles, 7u);
    for (const std::string &log : k_logs) {
        const std::vector<std::string> lines = lines_of(k_power + log);
        ASSERT_FALSE(lines.empty()) << log;
        if (expected_headers.count(log) != 0) {
            EXPECT_EQ(lines[0], expected_headers.at(log)) << log;
        } else {
            EXPECT_EQ(lines[0].rfind("time,cpu0-thermal,", 0), 0u) << lines[0];
        }
        EXPECT_EQ(header_lines(k_power + log), 1u) << log;
        // One line per cycle in every log: none truncated away.
        EXPECT_EQ(lines.size(), cycles) << log;
        for (const std::string &line : lines) {
            EXPECT_EQ(fields_of(line).size(), fields_of(lines[0]).size()) << log << ": " << line;
        }
    }
    // The rails without a file still count.
    EXPECT_EQ(read_totals(), totals);

    // Without --raw there are no logs, and the rail has its file.
    fakeboard::remove_tree(k_root);
    running_daemon once = start_daemon({"--once"});
    const fakeboard::process_result plain = finish(once, 5.0);
    EXPECT_EQ(plain.err, "");
    EXPECT_EQ(try_read(k_power + "system_raw").value_or("<none>"),
              watts_text(board_.chips[0].power_average_uw[3].value()));
}

} // namespace
