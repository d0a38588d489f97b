// Fault matrix, input side: a device directory vanishing, attributes turned into things that are
// not attributes, and names far longer than any real driver gives.
#include "fault_harness.h"
#include "support/board_test.h"

#include <signal.h>

#include <thread>

namespace {

using namespace faults;
using namespace support;

class attribute_faults : public board_test {
  protected:
    void lay_out_board() override { board_ = fakeboard::reference_board(); }

    fakeboard::board board_;
};

const std::string k_stamp_a = k_root + "/timestamp/max34417";   // hwmon2
const std::string k_stamp_b = k_root + "/timestamp/max34417_b"; // hwmon10

// Waits until the file's content changes from what it holds now.
bool wait_for_change(const std::string &path, double timeout_s) {
    const std::string now = try_read(path).value_or("");
    return wait_until([&] { return try_read(path).value_or(now) != now; }, timeout_s);
}

TEST_F(attribute_faults, removed_device_directory_loses_its_readings_and_the_rest_goes_on) {
    fakeboard::lay_out(board_);
    running_daemon d = start_daemon({"-i", "50", "--raw"});
    ASSERT_TRUE(wait_until([] { return fakeboard::file_exists(k_stamp_b); }, 3.0));

    fakeboard::remove_device(fakeboard::hwmon_dir("hwmon2"));
    const tree_snapshot before = snapshot_outside_root();
    // After a whole cycle without the device, its snapshot time no longer moves; the other's does.
    ASSERT_TRUE(wait_for_change(k_stamp_b, 1.0));
    ASSERT_TRUE(wait_for_change(k_stamp_b, 1.0));
    const std::string frozen = try_read(k_stamp_a).value_or("<none>");
    const std::string moving = try_read(k_stamp_b).value_or("<none>");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(try_read(k_stamp_a).value_or("<none>"), frozen);
    EXPECT_NE(try_read(k_stamp_b).value_or("<none>"), moving);
    // Its rails drop out of the totals: no vph, and the cores are hwmon10's nsp1 and apc2_l3 only.
    EXPECT_EQ(try_read(k_root + "/power/vph_total").value_or("<none>"), watts_text(0));
    EXPECT_EQ(try_read(k_root + "/power/cores_total").value_or("<none>"), watts_text(450000 + 950000));
    EXPECT_EQ(try_read(k_root + "/power/nsp1").value_or("<none>"), watts_text(450000));
    // Its raw log goes on with the unreadable channel inputs as zeros.
    const std::vector<std::string> lines = lines_of(k_root + "/power/max34417_raw");
    ASSERT_GE(lines.size(), 3u);
    const std::string &last = lines.back();
    EXPECT_EQ(last.substr(last.size() - 35), "0.000000,0.000000,0.000000,0.000000") << last;

    signal_daemon(d, SIGTERM);
    const fakeboard::process_result r = finish(d, 2.0);
    expect_stopped_by_signal(r, 0);
    // The vanished directory is not recreated by the trigger or mode writes.
    expect_only_control_attributes_changed(before, snapshot_outside_root());
    EXPECT_FALSE(fakeboard::file_exists(fakeboard::hwmon_dir("hwmon2")));
    EXPECT_EQ(try_read(fakeboard::hwmon_dir("hwmon10") + "/accumulator_update_mode").value_or(""), "auto");
}

enum class replacement { directory, binary_junk, ten_mib, empty };

std::string replacement_name(const ::testing::TestParamInfo<replacement> &info) {
    switch (info.param) {
    case replacement::directory:
        return "directory";
    case replacement::binary_junk:
        return "binary_junk";
    case replacement::ten_mib:
        return "ten_mib_file";
    case replacement::empty:
        return "empty_file";
    }
    return "unknown";
}

class replaced_attribute : public attribute_faults, public ::testing::WithParamInterface<replacement> {};

TEST_P(replaced_attribute, reading_is_absent_and_the_rest_of_the_cycle_is_published) {
    fakeboard::lay_out(board_);
    running_daemon d = start_daemon({"-i", "50"});
    const std::string vph_total = k_root + "/power/vph_total";
    ASSERT_TRUE(wait_until([&] { return try_read(vph_total).value_or("") == watts_text(350000); }, 3.0));

    // hwmon2's power channel 1 is the "vph" rail.
    const std::string attribute = fakeboard::hwmon_dir("hwmon2") + "/power1_average";
    fakeboard::remove_tree(attribute);
    switch (GetParam()) {
    case replacement::directory:
        fakeboard::make_directories(attribute);
        break;
    case replacement::binary_junk:
        fakeboard::write_file(attribute, std::string("\x7f"
                                                     "ELF\x02\x01\x01\0\xff\xfe\x80 9\n\0\0\x01",
                                                     17));
        break;
    case replacement::ten_mib:
        fakeboard::write_file(attribute, std::string(10u << 20, '7'));
        break;
    case replacement::empty:
        fakeboard::write_file(attribute, "");
        break;
    }
    const tree_snapshot before = snapshot_outside_root();

    // The reading is gone from the totals; its file keeps the last value it was given.
    ASSERT_TRUE(wait_until([&] { return try_read(vph_total).value_or("") == watts_text(0); }, 1.0));
    ASSERT_TRUE(wait_for_change(k_stamp_a, 1.0));
    ASSERT_TRUE(wait_for_change(k_stamp_a, 1.0));
    EXPECT_EQ(try_read(vph_total).value_or("<none>"), watts_text(0));
    EXPECT_EQ(try_read(k_root + "/power/vph").value_or("<none>"), watts_text(350000));
    // Everything else of the cycle is still there: minus the other seven rails.
    EXPECT_EQ(try_read(k_root + "/power/vph_other").value_or("<none>"),
              watts_text(-(450000 + 700000 + 950000 + 1200000 + 600000 + 850000 + 1100000)));
    EXPECT_EQ(try_read(k_root + "/voltage/v_vph").value_or("<none>"), "3.799000\n");
    EXPECT_EQ(try_read(k_root + "/accumulator/max34417").value_or("<none>"), "1\n");

    signal_daemon(d, SIGTERM);
    const fakeboard::process_result r = finish(d, 2.0);
    expect_stopped_by_signal(r, 0);
    expect_only_control_attributes_changed(before, snapshot_outside_root());
    expect_update_modes(board_, "auto");
}

INSTANTIATE_TEST_SUITE_P(fault_matrix, replaced_attribute,
                         ::testing::Values(replacement::directory, replacement::binary_junk,
                                           replacement::ten_mib, replacement::empty),
                         replacement_name);

TEST_F(attribute_faults, labels_and_zone_types_of_300_characters) {
    const std::string label = "R" + std::string(299, 'x');
    const std::string zone_type = "Zone-" + std::string(295, 'y');
    board_.chips[0].power_label[0] = label;   // hwmon2 power channel 1
    board_.chips[0].voltage_label[0] = label; // hwmon2 voltage channel 0
    board_.zones[0].type = zone_type;         // thermal_zone0, the first zone
    fakeboard::lay_out(board_);
    const tree_snapshot before = snapshot_outside_root();

    const fakeboard::process_result r =
        fakeboard::run({fakeboard::daemon_path(), "--root-dir", k_root, "--once", "--raw"}, 5.0);
    expect_stopped_by_signal(r, 0);

    // File names are cut to 127 characters, lower-cased.
    const std::string file_name = "r" + std::string(126, 'x');
    EXPECT_EQ(try_read(k_root + "/power/" + file_name).value_or("<none>"), watts_text(350000));
    EXPECT_EQ(try_read(k_root + "/voltage/" + file_name).value_or("<none>"), "3.799000\n");
    // The logs carry the names whole.
    const std::vector<std::string> device_log = lines_of(k_root + "/power/max34417_raw");
    ASSERT_EQ(device_log.size(), 2u);
    EXPECT_EQ(device_log[0], "time,atime,acc," + label + ",apc0,apc1,ddr");
    const std::vector<std::string> thermal_log = lines_of(k_root + "/power/thermal_raw");
    ASSERT_EQ(thermal_log.size(), 2u);
    const std::vector<std::string> columns = fields_of(thermal_log[0]);
    ASSERT_EQ(columns.size(), 13u);
    EXPECT_EQ(columns[1], zone_type);
    EXPECT_EQ(fields_of(thermal_log[1]).size(), 13u);
    expect_only_control_attributes_changed(before, snapshot_outside_root());
    expect_update_modes(board_, "auto");
}

} // namespace
