#include "publish/value_tree.h"

#include "support/board_test.h"
#include "support/snapshot_view.h"
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
    snapshot_builder b;
    cycle_snapshot &lists = b.snapshot;
};

TEST_F(value_tree, worked_example_and_totals) {
    b.add_power("vph", 2500000);
    b.add_power("apc0_l3", 700000);
    b.add_power("ddr", 300000);
    b.add_voltage("VIN main", 3850);
    b.add_device("max34417", 12345678901234LL, 123456);
    lists.backlight_present = true;
    lists.backlight_uw = 150000;
    ASSERT_EQ(publish_value_tree(k_root, b.derived()), 0);
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
    b.add_power("apc0", 700000);
    b.add_power("VPH", 1000000);      // case matters: an "other" rail
    b.add_power("nsp1_apc0", 200000); // counted once in the cores
    b.add_power("bl_power", 100000);  // a rail labelled as the backlight counts as it
    lists.backlight_present = true;
    lists.backlight_uw = 300000; // the last one wins
    ASSERT_EQ(publish_value_tree(k_root, b.derived()), 0);
    EXPECT_EQ(out("power/vph_total"), "0.000000\n");
    EXPECT_EQ(out("power/cores_total"), "0.900000\n");
    EXPECT_EQ(out("power/vph_other"), "-1.900000\n");
    EXPECT_EQ(out("power/bl_power"), "0.300000\n");
    EXPECT_EQ(out("power/vph"), "1.000000\n") << "VPH's file is power/vph";
}

TEST_F(value_tree, empty_cycle_still_writes_the_totals) {
    ASSERT_EQ(publish_value_tree("/run/deep/new/root", b.derived()), 0);
    for (const char *total : {"vph_total", "cores_total", "vph_other", "bl_power"}) {
        EXPECT_EQ(read_file(std::string("/run/deep/new/root/power/") + total), "0.000000\n") << total;
    }
    EXPECT_TRUE(file_exists("/run/deep/new/root/accumulator"));
}

TEST_F(value_tree, collisions_long_names_and_empty_names) {
    b.add_power("vph", 1000000);
    b.add_power("VPH", 2000000);
    b.add_power(std::string(200, 'R'), 5000);
    b.add_power("", 7000000);     // an empty label: no file, still counted
    b.add_power("../../x", 1000); // never leaves its directory
    ASSERT_EQ(publish_value_tree(k_root, b.derived()), 0);
    EXPECT_EQ(out("power/vph"), "2.000000\n");
    EXPECT_EQ(out("power/" + std::string(127, 'r')), "0.005000\n");
    EXPECT_EQ(out("power/_x"), "0.001000\n");
    EXPECT_EQ(out("power/vph_other"), "-8.006000\n");
    EXPECT_FALSE(file_exists("/run/x"));
}

TEST_F(value_tree, timestamps_pair_with_their_own_device) {
    // Device b's accumulator could not be read; its latch time must not go to device c.
    b.add_device("dev_a", 1000000000, 10);
    b.add_device("dev_b", 2000000000);
    b.add_device("dev_c", 3000000000, 30);
    // A device with an accumulator but no latch time gets no timestamp file.
    b.add_device("dev_d", std::nullopt, 40);
    ASSERT_EQ(publish_value_tree(k_root, b.derived()), 0);
    EXPECT_EQ(out("timestamp/dev_a"), "1.0000\n");
    EXPECT_EQ(out("timestamp/dev_c"), "3.0000\n");
    EXPECT_FALSE(file_exists(std::string(k_root) + "/timestamp/dev_b"));
    EXPECT_FALSE(file_exists(std::string(k_root) + "/timestamp/dev_d"));
    EXPECT_EQ(out("accumulator/dev_d"), "40\n");
}

TEST_F(value_tree, first_failed_write_ends_the_pass) {
    b.add_power("vph", 1000000);
    b.add_voltage("vin", 3000);
    ASSERT_EQ(publish_value_tree(k_root, b.derived()), 0);

    lists.devices[0].power[0].value = 4000000;
    lists.devices[0].voltage[0].value = 5000;
    // vph_total turned into a directory: the write fails after power/vph was rewritten.
    fakeboard::remove_tree(std::string(k_root) + "/power/vph_total");
    fakeboard::make_directories(std::string(k_root) + "/power/vph_total");
    EXPECT_EQ(publish_value_tree(k_root, b.derived()), -1);
    EXPECT_EQ(out("power/vph"), "4.000000\n");
    EXPECT_EQ(out("voltage/vin"), "3.000000\n");

    EXPECT_EQ(publish_value_tree("/run/power-monitor/power/vph", lists), -1) << "a root through a file";
    EXPECT_EQ(publish_value_tree(("/run/" + std::string(1100, 'r')).c_str(), lists), -1)
        << "a root too long for any path";
}

} // namespace
