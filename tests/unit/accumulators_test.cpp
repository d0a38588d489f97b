#include "sensors/accumulators.h"

#include "support/board_test.h"
#include "support/inotify_events.h"
#include "support/readings.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include <string>
#include <vector>

namespace {

using fakeboard::hwmon_dir;
using fakeboard::write_file;
using support::names;
using ::testing::ElementsAre;

std::vector<std::int64_t> values(const reading_list &list) {
    std::vector<std::int64_t> out;
    for (const reading &r : list.items) {
        out.push_back(r.value);
    }
    return out;
}

class accumulators : public board_test {
  protected:
    void sample() {
        cycle = cycle_readings{};
        ASSERT_EQ(sample_accumulator_devices(cycle.power_readings, cycle.voltage_readings,
                                             cycle.accumulator_readings, cycle.timestamp_readings),
                  0);
    }
    cycle_readings cycle;
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

    device_list found;
    ASSERT_EQ(find_accumulator_devices(found), 0);
    EXPECT_THAT(found, ElementsAre(hwmon_dir("hwmon10"), hwmon_dir("hwmon2"), hwmon_dir("hwmon3")));
}

TEST_F(accumulators, no_hwmon_class_is_an_empty_success) {
    device_list found;
    EXPECT_EQ(find_accumulator_devices(found), 0);
    EXPECT_TRUE(found.empty());
    cycle_readings lists;
    EXPECT_EQ(sample_accumulator_devices(lists.power_readings, lists.voltage_readings,
                                         lists.accumulator_readings, lists.timestamp_readings),
              0);
    // The empty result is final: a device added later is not picked up.
    fakeboard::lay_out(fakeboard::reference_board());
    sample();
    EXPECT_TRUE(cycle.power_readings.items.empty());
    EXPECT_TRUE(accumulator_devices().empty());
}

TEST_F(accumulators, readings_in_device_and_channel_order) {
    fakeboard::lay_out(fakeboard::reference_board());
    sample();
    EXPECT_THAT(names(cycle.power_readings),
                ElementsAre("nsp1", "gpu", "apc2_l3", "display", "vph", "apc0", "apc1", "ddr"));
    EXPECT_THAT(values(cycle.power_readings),
                ElementsAre(450000, 700000, 950000, 1200000, 350000, 600000, 850000, 1100000));
    EXPECT_THAT(names(cycle.voltage_readings), ElementsAre("v_nsp1", "v_gpu", "v_apc2_l3", "v_display",
                                                           "v_vph", "v_apc0", "v_apc1", "v_ddr"));
    EXPECT_THAT(names(cycle.accumulator_readings), ElementsAre("max34417_b", "max34417"));
    EXPECT_THAT(names(cycle.timestamp_readings), ElementsAre("max34417_b", "max34417"));
    // On the fake board the latch write replaces the attribute's text, so the read-back is the "1".
    EXPECT_THAT(values(cycle.accumulator_readings), ElementsAre(1, 1));
    EXPECT_EQ(fakeboard::read_file(hwmon_dir("hwmon2") + "/accumulator_update"), "1");
    ASSERT_EQ(cycle.timestamp_readings.count(), 2U);
    EXPECT_LE(cycle.timestamp_readings[0].value, cycle.timestamp_readings[1].value);
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
    EXPECT_THAT(names(cycle.power_readings), ElementsAre("nsp1", "gpu", "apc2_l3", "display", "vph", "ddr"));
    EXPECT_THAT(names(cycle.voltage_readings), ElementsAre("v_nsp1", "v_gpu", "v_apc2_l3", "v_display"));
    EXPECT_EQ(cycle.accumulator_readings.count(), 2U);
}

TEST_F(accumulators, labels_are_read_once_and_retried_until_read) {
    fakeboard::board b = fakeboard::reference_board();
    b.chips[0].power_label[3].reset(); // hwmon2 channel 4 reads but has no label yet
    fakeboard::lay_out(b);
    sample();
    EXPECT_THAT(names(cycle.power_readings), ::testing::Not(::testing::Contains("ddr")));

    const std::string dir = hwmon_dir("hwmon2");
    write_file(dir + "/power4_label", "ddr\n");
    write_file(dir + "/power1_label", "renamed\n"); // a label already read is kept
    write_file(dir + "/name", "max34417_renamed\n");
    sample();
    EXPECT_THAT(names(cycle.power_readings),
                ElementsAre("nsp1", "gpu", "apc2_l3", "display", "vph", "apc0", "apc1", "ddr"));
    EXPECT_THAT(names(cycle.accumulator_readings), ElementsAre("max34417_b", "max34417"));

    const std::string *label = nullptr;
    EXPECT_EQ(lookup_channel_label(1, channel_kind::power, 0, &label), -1);
    EXPECT_EQ(lookup_channel_label(1, channel_kind::power, 5, &label), -1);
    EXPECT_EQ(lookup_channel_label(1, channel_kind::voltage, 4, &label), -1);
    EXPECT_EQ(lookup_channel_label(7, channel_kind::power, 1, &label), -1);
    ASSERT_EQ(lookup_channel_label(1, channel_kind::voltage, 0, &label), 0);
    EXPECT_EQ(*label, "v_vph");
}

TEST_F(accumulators, vanished_device_keeps_its_place_and_timestamp) {
    fakeboard::lay_out(fakeboard::reference_board());
    sample();
    fakeboard::remove_device(hwmon_dir("hwmon10"));
    sample();
    EXPECT_THAT(names(cycle.timestamp_readings), ElementsAre("max34417_b", "max34417"));
    EXPECT_THAT(names(cycle.accumulator_readings), ElementsAre("max34417"));
    EXPECT_EQ(cycle.accumulator_readings[0].device, 1);
    EXPECT_THAT(names(cycle.power_readings), ElementsAre("vph", "apc0", "apc1", "ddr"));
    EXPECT_EQ(accumulator_devices().size(), 2U);
}

TEST_F(accumulators, same_name_twice_gives_two_entries) {
    fakeboard::board b = fakeboard::reference_board();
    b.chips[1].name = "max34417";
    fakeboard::lay_out(b);
    sample();
    EXPECT_THAT(names(cycle.accumulator_readings), ElementsAre("max34417", "max34417"));
    EXPECT_THAT(names(cycle.timestamp_readings), ElementsAre("max34417", "max34417"));
}

TEST_F(accumulators, modes_are_written_to_every_device) {
    fakeboard::lay_out(fakeboard::reference_board());
    set_measurement_mode("normal");
    set_accumulator_update_mode(update_mode::manual);
    for (const char *dir : {"hwmon2", "hwmon10"}) {
        EXPECT_EQ(fakeboard::read_file(hwmon_dir(dir) + "/measurement_mode"), "normal");
        EXPECT_EQ(fakeboard::read_file(hwmon_dir(dir) + "/accumulator_update_mode"), "manual");
    }
    set_accumulator_update_mode(update_mode::automatic);
    EXPECT_EQ(fakeboard::read_file(hwmon_dir("hwmon10") + "/accumulator_update_mode"), "auto");
    // The fan is not an accumulator device and is never written.
    EXPECT_FALSE(fakeboard::file_exists(hwmon_dir("hwmon3") + "/accumulator_update_mode"));
}

TEST_F(accumulators, every_device_is_latched_before_any_value_is_read) {
    fakeboard::lay_out(fakeboard::reference_board());
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
