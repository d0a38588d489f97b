#include "publish/value_tree.h"

#include "support/board_test.h"
#include "support/tree_at.h"

#include <sys/stat.h>

#include <string>

namespace {

using fakeboard::file_exists;
using fakeboard::read_file;

const char *const k_root = "/run/power-monitor";

std::string out(const std::string &relative) {
    return read_file(std::string(k_root) + "/" + relative);
}

class value_tree : public board_test {
  protected:
    cycle_readings lists;
};

TEST_F(value_tree, worked_example_and_totals) {
    reading_list_append(lists.power_readings, "vph", 2500000);
    reading_list_append(lists.power_readings, "apc0_l3", 700000);
    reading_list_append(lists.power_readings, "ddr", 300000);
    reading_list_append(lists.power_readings, "bl_power", 150000);
    reading_list_append(lists.voltage_readings, "VIN main", 3850);
    reading_list_append(lists.accumulator_readings, "max34417", 123456, 0);
    reading_list_append(lists.timestamp_readings, "max34417", 12345678901234LL, 0);
    ASSERT_EQ(publish_value_tree(k_root, lists), 0);
    EXPECT_EQ(out("power/vph"), "2.500000\n");
    EXPECT_EQ(out("power/apc0_l3"), "0.700000\n");
    EXPECT_EQ(out("power/ddr"), "0.300000\n");
    EXPECT_EQ(out("power/bl_power"), "0.150000\n");
    EXPECT_EQ(out("power/vph_total"), "2.500000\n");
    EXPECT_EQ(out("power/cores_total"), "0.700000\n");
    EXPECT_EQ(out("power/vph_other"), "1.500000\n");
    EXPECT_EQ(out("voltage/vin_main"), "3.850000\n");
    EXPECT_EQ(out("accumulator/max34417"), "123456\n");
    EXPECT_EQ(out("timestamp/max34417"), "12345.6789\n");

    struct stat st {};
    ASSERT_EQ(stat((std::string(k_root) + "/power/vph").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644U);
    ASSERT_EQ(stat((std::string(k_root) + "/timestamp").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755U);
}

TEST_F(value_tree, sums_follow_exact_names) {
    reading_list_append(lists.power_readings, "apc0", 700000);
    reading_list_append(lists.power_readings, "VPH", 1000000);      // case matters: an "other" rail
    reading_list_append(lists.power_readings, "nsp1_apc0", 200000); // counted once in the cores
    reading_list_append(lists.power_readings, "bl_power", 100000);
    reading_list_append(lists.power_readings, "bl_power", 300000); // the last one wins
    ASSERT_EQ(publish_value_tree(k_root, lists), 0);
    EXPECT_EQ(out("power/vph_total"), "0.000000\n");
    EXPECT_EQ(out("power/cores_total"), "0.900000\n");
    EXPECT_EQ(out("power/vph_other"), "-1.900000\n");
    EXPECT_EQ(out("power/bl_power"), "0.300000\n");
    EXPECT_EQ(out("power/vph"), "1.000000\n") << "VPH's file is power/vph";
}

TEST_F(value_tree, empty_cycle_still_writes_the_totals) {
    ASSERT_EQ(publish_value_tree("/run/deep/new/root", lists), 0);
    for (const char *total : {"vph_total", "cores_total", "vph_other", "bl_power"}) {
        EXPECT_EQ(read_file(std::string("/run/deep/new/root/power/") + total), "0.000000\n") << total;
    }
    EXPECT_TRUE(file_exists("/run/deep/new/root/accumulator"));
}

TEST_F(value_tree, collisions_long_names_and_empty_names) {
    reading_list_append(lists.power_readings, "vph", 1000000);
    reading_list_append(lists.power_readings, "VPH", 2000000);
    reading_list_append(lists.power_readings, std::string(200, 'R').c_str(), 5000);
    reading_list_append(lists.power_readings, "", 7000000);     // an empty label: no file, still counted
    reading_list_append(lists.power_readings, "../../x", 1000); // never leaves its directory
    ASSERT_EQ(publish_value_tree(k_root, lists), 0);
    EXPECT_EQ(out("power/vph"), "2.000000\n");
    EXPECT_EQ(out("power/" + std::string(127, 'r')), "0.005000\n");
    EXPECT_EQ(out("power/_x"), "0.001000\n");
    EXPECT_EQ(out("power/vph_other"), "-8.006000\n");
    EXPECT_FALSE(file_exists("/run/x"));
}

TEST_F(value_tree, timestamps_pair_with_their_own_device) {
    // Device 1's accumulator could not be read; its snapshot time must not go to device 2.
    reading_list_append(lists.timestamp_readings, "dev_a", 1000000000, 0);
    reading_list_append(lists.timestamp_readings, "dev_b", 2000000000, 1);
    reading_list_append(lists.timestamp_readings, "dev_c", 3000000000, 2);
    reading_list_append(lists.accumulator_readings, "dev_a", 10, 0);
    reading_list_append(lists.accumulator_readings, "dev_c", 30, 2);
    // A device with an accumulator but no snapshot time gets no timestamp file.
    reading_list_append(lists.accumulator_readings, "dev_d", 40, 3);
    ASSERT_EQ(publish_value_tree(k_root, lists), 0);
    EXPECT_EQ(out("timestamp/dev_a"), "1.0000\n");
    EXPECT_EQ(out("timestamp/dev_c"), "3.0000\n");
    EXPECT_FALSE(file_exists(std::string(k_root) + "/timestamp/dev_b"));
    EXPECT_FALSE(file_exists(std::string(k_root) + "/timestamp/dev_d"));
    EXPECT_EQ(out("accumulator/dev_d"), "40\n");
}

TEST_F(value_tree, first_failed_write_ends_the_pass) {
    reading_list_append(lists.power_readings, "vph", 1000000);
    reading_list_append(lists.voltage_readings, "vin", 3000);
    ASSERT_EQ(publish_value_tree(k_root, lists), 0);

    lists.power_readings.items[0].value = 4000000;
    lists.voltage_readings.items[0].value = 5000;
    // vph_total turned into a directory: the write fails after power/vph was rewritten.
    fakeboard::remove_tree(std::string(k_root) + "/power/vph_total");
    fakeboard::make_directories(std::string(k_root) + "/power/vph_total");
    EXPECT_EQ(publish_value_tree(k_root, lists), -1);
    EXPECT_EQ(out("power/vph"), "4.000000\n");
    EXPECT_EQ(out("voltage/vin"), "3.000000\n");

    EXPECT_EQ(publish_value_tree("/run/power-monitor/power/vph", lists), -1) << "a root through a file";
    EXPECT_EQ(publish_value_tree(("/run/" + std::string(1100, 'r')).c_str(), lists), -1)
        << "a root too long for any path";
}

} // namespace
