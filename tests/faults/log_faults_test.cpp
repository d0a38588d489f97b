// Fault matrix, damaged logs: a log renamed (as rotation does), removed or emptied while the daemon
// runs, and a link planted where a log was.
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

} // namespace
