// The fake board has the shape of a kernel's sysfs: class entries and per-CPU cpufreq directories are
// relative links into /sys/devices, and an unbound device takes its class link with it.
#include "support/board_test.h"

#include <unistd.h>

#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

class board_layout : public board_test {};

std::string link_target(const std::string &path) {
    std::error_code ec;
    const fs::path target = fs::read_symlink(path, ec);
    return ec ? "<not a link>" : target.string();
}

TEST_F(board_layout, class_entries_are_relative_links_into_devices) {
    fakeboard::lay_out(fakeboard::reference_board());
    EXPECT_EQ(link_target("/sys/class/hwmon/hwmon2"),
              "../../devices/platform/soc@0/a94000.i2c/i2c-2/2-0012/hwmon/hwmon2");
    EXPECT_EQ(link_target("/sys/class/hwmon/hwmon10"),
              "../../devices/platform/soc@0/a94000.i2c/i2c-2/2-001a/hwmon/hwmon10");
    EXPECT_EQ(link_target("/sys/class/hwmon/hwmon3"),
              "../../devices/platform/soc@0/a8c000.i2c/i2c-1/1-0008/hwmon/hwmon3");
    EXPECT_EQ(
        link_target("/sys/class/hwmon/hwmon4"),
        "../../devices/platform/soc@0/c400000.spmi/spmi-0/0-01/c400000.spmi:pmic@1:sensor@4700/hwmon/hwmon4");
    EXPECT_EQ(link_target("/sys/class/thermal/thermal_zone7"), "../../devices/virtual/thermal/thermal_zone7");
    EXPECT_EQ(link_target("/sys/class/backlight/ae94000.dsi.0"),
              "../../devices/platform/soc@0/ae00000.display-subsystem/ae94000.dsi/ae94000.dsi.0/backlight/"
              "ae94000.dsi.0");
    for (int cpu = 0; cpu < 8; ++cpu) {
        const std::string n = std::to_string(cpu);
        EXPECT_EQ(link_target("/sys/devices/system/cpu/cpu" + n + "/cpufreq"), "../cpufreq/policy" + n);
    }
    // Attributes are files in the device's own directory, reached through the link.
    const std::string real = fakeboard::device_dir(fakeboard::hwmon_dir("hwmon2"));
    EXPECT_EQ(real, "/sys/devices/platform/soc@0/a94000.i2c/i2c-2/2-0012/hwmon/hwmon2");
    EXPECT_EQ(fakeboard::read_file(real + "/name"), "max34417\n");
    EXPECT_TRUE(
        fs::is_regular_file(fs::symlink_status("/sys/devices/system/cpu/cpufreq/policy5/scaling_cur_freq")));
}

TEST_F(board_layout, writing_below_a_new_entry_makes_its_device_and_removing_it_unbinds) {
    fakeboard::write_file(fakeboard::hwmon_dir("hwmon7") + "/name", "max34417\n");
    const std::string real = fakeboard::device_dir(fakeboard::hwmon_dir("hwmon7"));
    EXPECT_EQ(real, "/sys/devices/platform/soc@0/a94000.i2c/i2c-2/2-0017/hwmon/hwmon7");
    EXPECT_TRUE(fs::is_symlink(fakeboard::hwmon_dir("hwmon7")));

    fakeboard::remove_device(fakeboard::hwmon_dir("hwmon7"));
    std::error_code ec;
    EXPECT_FALSE(fs::exists(fs::symlink_status(fakeboard::hwmon_dir("hwmon7"), ec)));
    EXPECT_FALSE(fs::exists(real));
    // The bus device it hung off stays, as after a driver unbind.
    EXPECT_TRUE(fs::is_directory("/sys/devices/platform/soc@0/a94000.i2c/i2c-2/2-0017"));
}

} // namespace
