// Fault matrix, size: far more devices and zones than the board has, published completely and on time.
#include "fault_harness.h"
#include "support/board_test.h"

#include <signal.h>

#include <algorithm>
#include <cmath>
#include <thread>

namespace {

using namespace faults;
using namespace support;

class scale_faults : public board_test {};

// Data lines of a raw log (the header excluded).
std::vector<std::string> data_lines(const std::string &log) {
    std::vector<std::string> lines = lines_of(log);
    if (!lines.empty()) {
        lines.erase(lines.begin());
    }
    return lines;
}

double first_field(const std::string &line) {
    return std::stod(fields_of(line).at(0));
}

TEST_F(scale_faults, sixty_four_accumulator_devices_are_all_published_every_cycle) {
    fakeboard::board board = fakeboard::large_board(64, 12);
    for (std::size_t c = 0; c < board.chips.size(); ++c) {
        board.chips[c].name = "max34417_" + std::to_string(c); // one log and one file per device
    }
    fakeboard::lay_out(board);
    const tree_snapshot before = snapshot_outside_root();

    running_daemon d = start_daemon({"-i", "50", "--raw"});
    const std::string system_log = k_root + "/power/system_raw";
    ASSERT_TRUE(wait_until([&] { return data_lines(system_log).size() >= 10; }, 4.0));
    const double signalled = fakeboard::monotonic_seconds();
    signal_daemon(d, SIGTERM);
    const fakeboard::process_result r = finish(d, 2.0);
    expect_stopped_by_signal(r, 0);

    std::int64_t cores_uw = 0;
    for (int c = 0; c < 64; ++c) {
        const std::string n = std::to_string(c);
        const std::int64_t apc0_uw = (c + 1) * 100000 + 2 * 250000; // channel 2
        cores_uw += apc0_uw;
        EXPECT_EQ(try_read(k_root + "/power/apc0_" + n).value_or("<none>"), watts_text(apc0_uw)) << c;
        // The fake attribute reads back the "1" that latched it.
        EXPECT_EQ(try_read(k_root + "/accumulator/max34417_" + n).value_or("<none>"), "1\n");
        EXPECT_TRUE(fakeboard::file_exists(k_root + "/timestamp/max34417_" + n)) << c;
        const std::string log = try_read(k_root + "/power/max34417_" + n + "_raw").value_or("");
        EXPECT_EQ(lines_in(log).at(0), "time,atime,acc,vph_" + n + ",apc0_" + n + ",ddr_" + n + ",gpu_" + n);
        // Every device logged every cycle.
        EXPECT_EQ(count_lines(log), count_lines(try_read(system_log).value_or(""))) << c;
    }
    EXPECT_EQ(try_read(k_root + "/power/cores_total").value_or("<none>"), watts_text(cores_uw));

    // Kept the schedule: one cycle per period from the first to the signal, plus the last one.
    const std::vector<std::string> lines = data_lines(system_log);
    const double expected = std::floor((signalled - first_field(lines.front())) / 0.050) + 2;
    EXPECT_NEAR(static_cast<double>(lines.size()), expected, 2.0);
    expect_only_control_attributes_changed(before, snapshot_outside_root());
    expect_update_modes(board, "auto");
}

TEST_F(scale_faults, a_thousand_thermal_zones_are_all_published_in_directory_order) {
    const fakeboard::board board = fakeboard::large_board(2, 1000);
    fakeboard::lay_out(board);
    const tree_snapshot before = snapshot_outside_root();

    // How fast a large board's cycle is belongs to the bench; here only that it ends.
    const fakeboard::process_result r =
        fakeboard::run({fakeboard::daemon_path(), "--root-dir", k_root, "--once", "--raw"}, 60.0);
    expect_stopped_by_signal(r, 0);

    // Zones in byte order of their directory names: thermal_zone10 before thermal_zone2.
    std::vector<fakeboard::thermal_zone> zones = board.zones;
    std::sort(zones.begin(), zones.end(), [](const auto &a, const auto &b) { return a.dir < b.dir; });
    std::string header = "time";
    std::string values;
    for (const fakeboard::thermal_zone &zone : zones) {
        header += "," + zone.type;
        char text[32];
        std::snprintf(text, sizeof text, ",%.3f", static_cast<double>(*zone.temp_mc) / 1000.0);
        values += text;
    }
    const std::vector<std::string> lines = lines_of(k_root + "/power/thermal_raw");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], header);
    const std::size_t comma = lines[1].find(',');
    ASSERT_NE(comma, std::string::npos);
    EXPECT_EQ(lines[1].substr(comma), values);
    expect_only_control_attributes_changed(before, snapshot_outside_root());
    expect_update_modes(board, "auto");
}

} // namespace
