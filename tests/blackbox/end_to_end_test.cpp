// Several cycles of the built daemon on a board whose values change between cycles, against golden files
// under tests/data/end-to-end (VPM_UPDATE_GOLDEN=1 rewrites them; see tests/data/README.md).
#include "support/board_test.h"
#include "support/daemon_run.h"
#include "support/expected.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>

namespace {

using blackbox::daemon_args;
using blackbox::k_root;
using blackbox::output_file;
using support::fields_of;
using support::lines_of;

// Digits, a point and exactly `places` digits: the shape of a "%.Nf" number.
bool fixed_point(const std::string &text, std::size_t places) {
    const std::size_t point = text.find('.');
    if (point == 0 || point == std::string::npos || text.size() - point - 1 != places) {
        return false;
    }
    return text.find_first_not_of("0123456789.") == std::string::npos &&
           text.find('.', point + 1) == std::string::npos;
}

// The board as it stands in cycle k: inputs, battery, throttle counter and temperatures move.
void set_cycle_values(fakeboard::board &b, int k) {
    b.chips[0].power_input_uw = {1000000LL * (k + 1), 250000, 0, -500000};
    b.chips[1].power_input_uw = {123456, 0, std::nullopt, 7};
    char battery[16];
    std::snprintf(battery, sizeof battery, "%.1f\n", 87.5 - k);
    b.battery_percent = battery;
    char counter[64];
    std::snprintf(counter, sizeof counter, "bcl: %llx 0 0\n",
                  1000000ULL + 1920000ULL * static_cast<unsigned>(k));
    b.bcl_throttle_accum = counter;
    for (std::size_t z = 0; z < b.zones.size(); ++z) {
        b.zones[z].temp_mc = 35000 + static_cast<std::int64_t>(z) * 1000 + k * 100;
    }
}

// The system log's throttle column (bcl0).
constexpr std::size_t k_throttle = 14;

// Every file of the output tree but the logs, as "path: content" lines in path order, with the
// snapshot times masked.
std::string value_tree_listing() {
    std::vector<std::string> paths;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(k_root)) {
        const std::string path = entry.path().string();
        if (entry.is_regular_file() && !path.ends_with("_raw")) {
            paths.push_back(path.substr(k_root.size() + 1));
        }
    }
    std::sort(paths.begin(), paths.end());
    std::string listing;
    for (const std::string &path : paths) {
        const std::string content = output_file(path);
        listing += path + ": " + (path.starts_with("timestamp/") ? support::k_masked + "\n" : content);
    }
    return listing;
}

class end_to_end : public board_test {};

TEST_F(end_to_end, changing_board_with_raw_logs) {
    fakeboard::board b = fakeboard::reference_board();
    set_cycle_values(b, 0);
    fakeboard::lay_out(b);

    fakeboard::child_process child = fakeboard::spawn(daemon_args({"--raw", "-i", "300"}));
    const auto cycles_logged = [] { return lines_of(k_root + "/power/thermal_raw").size() - 1; };
    for (int k = 1; k <= 2; ++k) {
        ASSERT_TRUE(
            support::wait_until([&] { return lines_of(k_root + "/power/thermal_raw").size() >= 1U + k; }, 5));
        set_cycle_values(b, k);
        fakeboard::write_live_values(b);
    }
    ASSERT_TRUE(support::wait_until([&] { return cycles_logged() >= 3; }, 5));
    ::kill(child.pid, SIGTERM);
    const auto r = fakeboard::wait_for(child, 5);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");

    // The logs and the value tree, against golden files. The cycle after the stop request repeats
    // cycle 2's board, and the value tree holds it. Times and the throttle figure depend on the run:
    // they are masked there and checked below.
    const std::string golden = "end-to-end/changing-board/";
    for (const char *log : {"max34417_raw", "max34417_b_raw"}) {
        support::expect_golden(golden + log,
                               support::mask_columns(output_file(std::string("power/") + log), {0, 1}));
    }
    support::expect_golden(golden + "system_raw",
                           support::mask_columns(output_file("power/system_raw"), {0, k_throttle}));
    support::expect_golden(golden + "thermal_raw",
                           support::mask_columns(output_file("power/thermal_raw"), {0}));
    support::expect_golden(golden + "value-tree", value_tree_listing());

    const auto a_lines = lines_of(k_root + "/power/max34417_raw");
    const auto b_lines = lines_of(k_root + "/power/max34417_b_raw");
    const auto s_lines = lines_of(k_root + "/power/system_raw");
    const auto t_lines = lines_of(k_root + "/power/thermal_raw");
    ASSERT_EQ(a_lines.size(), 5U);
    ASSERT_EQ(b_lines.size(), 5U);
    ASSERT_EQ(s_lines.size(), 5U);
    ASSERT_EQ(t_lines.size(), 5U);
    double previous_time = 0.0;
    for (std::size_t k = 0; k < 4; ++k) {
        const std::string line = s_lines[k + 1];
        const auto fields = fields_of(line);
        ASSERT_EQ(fields.size(), 17U) << line;
        const std::string time = fields[0];
        ASSERT_TRUE(fixed_point(time, 3)) << line;
        const double t = std::strtod(time.c_str(), nullptr);
        if (k > 0) {
            EXPECT_NEAR(t - previous_time, 0.3, 0.1);
        }
        EXPECT_EQ(fields_of(t_lines[k + 1])[0], time);

        // Device lines: this cycle's time, then the device's own snapshot time.
        for (const auto *lines : {&a_lines, &b_lines}) {
            const auto dev = fields_of((*lines)[k + 1]);
            ASSERT_EQ(dev.size(), 7U);
            EXPECT_EQ(dev[0], time);
            EXPECT_TRUE(fixed_point(dev[1], 4)) << dev[1];
            // Both the daemon's own clock readings within one cycle: far less than its period apart.
            EXPECT_NEAR(std::strtod(dev[1].c_str(), nullptr), t, 0.3 / 2);
        }

        // Throttle: the counter advanced 1 920 000 ticks of 19.2 MHz per cycle while it changed.
        if (k == 0 || k == 3) {
            EXPECT_EQ(fields[k_throttle], "0.00");
        } else {
            ASSERT_TRUE(fixed_point(fields[k_throttle], 2)) << line;
            EXPECT_NEAR(std::strtod(fields[k_throttle].c_str(), nullptr), 10.0 / (t - previous_time), 0.2)
                << line;
        }
        previous_time = t;
    }
    const std::string stamp = output_file("timestamp/max34417_b");
    EXPECT_EQ(stamp, fields_of(b_lines[4])[1] + "\n");
}

TEST_F(end_to_end, raw_off_touches_no_log_and_restart_recreates_logs) {
    fakeboard::lay_out(fakeboard::reference_board());
    auto r = fakeboard::run(daemon_args({"--once"}), 10);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(fakeboard::file_exists(k_root + "/power/vph"));
    EXPECT_FALSE(fakeboard::file_exists(k_root + "/power/system_raw"));
    EXPECT_FALSE(fakeboard::file_exists(k_root + "/power/max34417_raw"));

    fakeboard::write_file(k_root + "/power/system_raw", "old,header\n1,2\n3,4\n");
    for (int run = 0; run < 2; ++run) {
        r = fakeboard::run(daemon_args({"--once", "--raw"}), 10);
        ASSERT_TRUE(r.exited);
        for (const char *log : {"system_raw", "thermal_raw", "max34417_raw", "max34417_b_raw"}) {
            const auto lines = lines_of(k_root + "/power/" + log);
            ASSERT_EQ(lines.size(), 2U) << log;
            EXPECT_EQ(lines[0].rfind("time,", 0), 0U) << log;
        }
    }
}

TEST_F(end_to_end, hostile_labels_and_types) {
    fakeboard::board b = fakeboard::reference_board();
    b.chips[0].power_label[1] = "a,b%s%n";
    b.chips[0].power_label[2] = std::string(300, 'L');
    b.chips[0].power_label[3] = "";
    b.zones[0].type = "zone,with,commas %d";
    b.zones[1].type = std::string(300, 'T');
    fakeboard::lay_out(b);
    const auto r = fakeboard::run(daemon_args({"--once", "--raw"}), 10);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(lines_of(k_root + "/power/max34417_raw").at(0),
              "time,atime,acc,vph,\"a,b%s%n\"," + std::string(300, 'L') + ",");
    EXPECT_EQ(output_file("power/a_b_s_n"), "0.600000\n");
    EXPECT_EQ(output_file("power/" + std::string(127, 'l')), "0.850000\n");
    EXPECT_EQ(lines_of(k_root + "/power/thermal_raw")
                  .at(0)
                  .rfind("time,\"zone,with,commas %d\"," + std::string(300, 'T'), 0),
              0U);
    // The empty label has no file of its own but still counts as an "other" rail: 0.35 - (0.6 + 0.85 + 1.1
    // + 3.3).
    EXPECT_EQ(output_file("power/vph_other"), "-5.500000\n");
}

TEST_F(end_to_end, a_thermal_line_too_long_fails_every_pass) {
    // A thousand zones make a thermal header beyond 8191 characters: it is never written, the pass fails.
    fakeboard::board b = fakeboard::large_board(1, 1000);
    for (fakeboard::thermal_zone &zone : b.zones) {
        zone.type += "-thermal";
    }
    fakeboard::lay_out(b);
    const auto r = fakeboard::run(daemon_args({"--raw", "-i", "10"}), 10);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(support::count_exact_lines(r.err, "Error: Could not write to " + k_root), 6U);
    EXPECT_THAT(r.out, ::testing::HasSubstr("Error: too many failures..\n"));
    EXPECT_FALSE(fakeboard::file_exists(k_root + "/power/thermal_raw"));
    // Logs written earlier in each pass keep their lines.
    EXPECT_EQ(lines_of(k_root + "/power/system_raw").size(), 7U);
    EXPECT_EQ(lines_of(k_root + "/power/max34417_raw").size(), 7U);
    EXPECT_EQ(output_file("power/vph_0"), "0.350000\n");
}

} // namespace
