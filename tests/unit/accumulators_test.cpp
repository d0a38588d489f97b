#include "sensors/accumulators.h"

#include "support/board_test.h"
#include "support/inotify_events.h"
#include "support/snapshot_view.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include <string>
#include <vector>

namespace {

using fakeboard::hwmon_dir;
using fakeboard::write_file;
using ::testing::ElementsAre;

class accumulators : public board_test {
  protected:
    // One cycle's readings; the first one finds the devices.
    void sample() { ASSERT_EQ(sample_accumulator_devices(state.board, state.controls, state.snapshot), 0); }
    std::vector<std::string> device_dirs() const {
        std::vector<std::string> out;
        for (const accumulator_device &d : state.board.devices) {
            out.push_back(d.dir);
        }
        return out;
    }
    monitor_state state;
    const cycle_snapshot &cycle = state.snapshot;
};

TEST_F(accumulators, qualifying_names_and_byte_order) {
    fakeboard::board b;
    for (const auto &[dir, name] :
         std::vector<std::pair<std::string, std::string>>{{"hwmon2", "max34417"},
                                                          {"hwmon10", "max34417_extra"},
                                                          {"hwmon3", "max34417\r"},
                                                          {"hwmon4", "max3441"},
                                                          {"hwmon5", "MAX34417"},
                                                          {"hwmon6", "ina226"}}) {
        fakeboard::accumulator_chip chip;
        chip.hwmon = dir;
        chip.name = name;
        b.chips.push_back(chip);
    }
    fakeboard::lay_out(b);
    fakeboard::make_directories(hwmon_dir("hwmon7")); // no name file at all

    ASSERT_EQ(find_accumulator_devices(state.board.devices), 0);
    EXPECT_THAT(device_dirs(), ElementsAre(hwmon_dir("hwmon10"), hwmon_dir("hwmon2"), hwmon_dir("hwmon3")));
}

TEST_F(accumulators, no_hwmon_class_is_an_empty_success) {
    sample();
    EXPECT_TRUE(state.board.devices.empty());
    EXPECT_FALSE(state.board.fan_found);
    // The scan is made once: a device added later is not picked up.
    fakeboard::lay_out(fakeboard::reference_board());
    sample();
    EXPECT_TRUE(power_readings(cycle).empty());
    EXPECT_TRUE(state.board.devices.empty());
}

TEST_F(accumulators, readings_in_device_and_channel_order) {
    fakeboard::lay_out(fakeboard::reference_board());
    sample();
    EXPECT_THAT(names(power_readings(cycle)),
                ElementsAre("nsp1", "gpu", "apc2_l3", "display", "vph", "apc0", "apc1", "ddr"));
    EXPECT_THAT(values(power_readings(cycle)),
                ElementsAre(450000, 700000, 950000, 1200000, 350000, 600000, 850000, 1100000));
    EXPECT_THAT(names(voltage_readings(cycle)), ElementsAre("v_nsp1", "v_gpu", "v_apc2_l3", "v_display",
                                                            "v_vph", "v_apc0", "v_apc1", "v_ddr"));
    EXPECT_THAT(names(device_readings(cycle, false)), ElementsAre("max34417_b", "max34417"));
    EXPECT_THAT(names(device_readings(cycle, true)), ElementsAre("max34417_b", "max34417"));
    // On the fake board the latch write replaces the attribute's text, so the read-back is the "1".
    EXPECT_THAT(values(device_readings(cycle, false)), ElementsAre(1, 1));
    EXPECT_EQ(fakeboard::read_file(hwmon_dir("hwmon2") + "/accumulator_update"), "1");
    const std::vector<flat_reading> latched = device_readings(cycle, true);
    ASSERT_EQ(latched.size(), 2U);
    EXPECT_LE(latched[0].value, latched[1].value);
}

TEST_F(accumulators, bad_values_drop_only_their_reading) {
    fakeboard::board b = fakeboard::reference_board();
    b.chips[0].power_average_uw[1].reset(); // hwmon2 channel 2: no average attribute
    fakeboard::lay_out(b);
    const std::string dir = hwmon_dir("hwmon2");
    write_file(dir + "/power3_average", "");
    write_file(dir + "/in0_input", "12 13\n");
    write_file(dir + "/in1_input", "99999999999999999999\n");
    write_file(dir + "/in2_input", "5V\n");
    fakeboard::remove_tree(dir + "/in3_input");
    fakeboard::make_directories(dir + "/in3_input");
    sample();
    EXPECT_THAT(names(power_readings(cycle)), ElementsAre("nsp1", "gpu", "apc2_l3", "display", "vph", "ddr"));
    EXPECT_THAT(names(voltage_readings(cycle)), ElementsAre("v_nsp1", "v_gpu", "v_apc2_l3", "v_display"));
    EXPECT_EQ(device_readings(cycle, false).size(), 2U);
}

TEST_F(accumulators, labels_are_read_once_and_retried_until_read) {
    fakeboard::board b = fakeboard::reference_board();
    b.chips[0].power_label[3].reset(); // hwmon2 channel 4 reads but has no label yet
    fakeboard::lay_out(b);
    sample();
    EXPECT_THAT(names(power_readings(cycle)), ::testing::Not(::testing::Contains("ddr")));

    const std::string dir = hwmon_dir("hwmon2");
    write_file(dir + "/power4_label", "ddr\n");
    write_file(dir + "/power1_label", "renamed\n"); // a label already read is kept
    write_file(dir + "/name", "max34417_renamed\n");
    sample();
    EXPECT_THAT(names(power_readings(cycle)),
                ElementsAre("nsp1", "gpu", "apc2_l3", "display", "vph", "apc0", "apc1", "ddr"));
    EXPECT_THAT(names(device_readings(cycle, false)), ElementsAre("max34417_b", "max34417"));
    // A pending log header's columns are the labels known by then; a log already headed reads none.
    sample_log_inputs(state.board, state.snapshot, [](std::size_t device) { return device == 1; });
    EXPECT_EQ(*cycle.devices[1].log_labels[3], "ddr");
    EXPECT_EQ(*cycle.devices[1].log_labels[0], "vph");
    EXPECT_EQ(cycle.devices[0].log_labels[0], nullptr);
}

TEST_F(accumulators, log_inputs_are_the_instantaneous_readings) {
    fakeboard::lay_out(fakeboard::reference_board());
    sample();
    const std::string dir = hwmon_dir("hwmon2");
    write_file(dir + "/power1_input", "1500000\n");
    write_file(dir + "/power2_input", "junk\n");
    fakeboard::remove_tree(dir + "/power3_input");
    sample_log_inputs(state.board, state.snapshot, [](std::size_t) { return false; });
    // hwmon2 is the second device in byte order; an unreadable input is 0.
    EXPECT_EQ(cycle.devices[1].input_watts[0], 1.5);
    EXPECT_EQ(cycle.devices[1].input_watts[1], 0.0);
    EXPECT_EQ(cycle.devices[1].input_watts[2], 0.0);
    EXPECT_EQ(cycle.devices[1].log_labels[0], nullptr) << "no header pending, no labels";
}

TEST_F(accumulators, vanished_device_keeps_its_place_and_timestamp) {
    fakeboard::lay_out(fakeboard::reference_board());
    sample();
    fakeboard::remove_device(hwmon_dir("hwmon10"));
    sample();
    EXPECT_THAT(names(device_readings(cycle, true)), ElementsAre("max34417_b", "max34417"));
    EXPECT_THAT(names(device_readings(cycle, false)), ElementsAre("max34417"));
    EXPECT_EQ(device_readings(cycle, false)[0].device, 1);
    EXPECT_THAT(names(power_readings(cycle)), ElementsAre("vph", "apc0", "apc1", "ddr"));
    EXPECT_EQ(state.board.devices.size(), 2U);
}

TEST_F(accumulators, same_name_twice_gives_two_entries) {
    fakeboard::board b = fakeboard::reference_board();
    b.chips[1].name = "max34417";
    fakeboard::lay_out(b);
    sample();
    EXPECT_THAT(names(device_readings(cycle, false)), ElementsAre("max34417", "max34417"));
    EXPECT_THAT(names(device_readings(cycle, true)), ElementsAre("max34417", "max34417"));
}

TEST_F(accumulators, modes_are_written_to_every_device_found_afresh) {
    fakeboard::lay_out(fakeboard::reference_board());
    set_measurement_mode(state.controls, "normal");
    set_update_mode(state.controls, update_mode::manual);
    for (const char *dir : {"hwmon2", "hwmon10"}) {
        EXPECT_EQ(fakeboard::read_file(hwmon_dir(dir) + "/measurement_mode"), "normal");
        EXPECT_EQ(fakeboard::read_file(hwmon_dir(dir) + "/accumulator_update_mode"), "manual");
    }
    set_update_mode(state.controls, update_mode::automatic);
    EXPECT_EQ(fakeboard::read_file(hwmon_dir("hwmon10") + "/accumulator_update_mode"), "auto");
    // Each write's fresh search reaches a device that appeared since.
    fakeboard::accumulator_chip late;
    late.hwmon = "hwmon20";
    late.name = "max34417_c";
    fakeboard::board b;
    b.chips.push_back(late);
    fakeboard::lay_out(b);
    write_file(hwmon_dir("hwmon20") + "/accumulator_update_mode", "manual");
    set_update_mode(state.controls, update_mode::automatic);
    EXPECT_EQ(fakeboard::read_file(hwmon_dir("hwmon20") + "/accumulator_update_mode"), "auto");
    // The fan is not an accumulator device and is never written.
    EXPECT_FALSE(fakeboard::file_exists(hwmon_dir("hwmon3") + "/accumulator_update_mode"));
}

TEST_F(accumulators, every_device_is_latched_before_any_value_is_read) {
    fakeboard::lay_out(fakeboard::reference_board());
    sample(); // discovery and a first cycle, before the watch
    const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(fd, 0);
    for (const char *dir : {"hwmon2", "hwmon10"}) {
        ASSERT_GE(inotify_add_watch(fd, hwmon_dir(dir).c_str(), IN_MODIFY | IN_ACCESS), 0);
    }
    sample();
    std::vector<std::string> events;
    for (const support::watch_event &ev : support::read_watch_events(fd)) {
        events.push_back(std::string((ev.mask & IN_MODIFY) != 0 ? "write " : "read ") + ev.name);
    }
    close(fd);
    ASSERT_FALSE(events.empty());
    const auto first_read = std::find(events.begin(), events.end(), "read power1_average");
    ASSERT_NE(first_read, events.end());
    EXPECT_EQ(std::count(events.begin(), first_read, "write accumulator_update"), 2)
        << ::testing::PrintToString(events);
    EXPECT_EQ(std::count(first_read, events.end(), "write accumulator_update"), 0);
}

} // namespace
