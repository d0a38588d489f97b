#include "publish/raw_logs.h"

#include "support/board_test.h"
#include "support/tree_at.h"

#include <string>

namespace {

using fakeboard::hwmon_dir;
using fakeboard::read_file;
using fakeboard::write_file;

const char *const k_root = "/run/power-monitor";

std::string log(const std::string &name) {
    return read_file(std::string(k_root) + "/power/" + name);
}

class raw_logs : public board_test {
  protected:
    void lay_out_board() override { fakeboard::make_directories(std::string(k_root) + "/power"); }
    // Makes the device cache ready for a board with the given chips.
    void discover(const fakeboard::board &b) {
        fakeboard::lay_out(b);
        cycle_readings scratch;
        ASSERT_EQ(sample_accumulator_devices(scratch.power_readings, scratch.voltage_readings,
                                             scratch.accumulator_readings, scratch.timestamp_readings),
                  0);
    }
    static fakeboard::board one_chip() {
        fakeboard::accumulator_chip chip;
        chip.hwmon = "hwmon0";
        chip.power_label = {std::string("vph"), std::string("apc0"), std::nullopt, std::nullopt};
        chip.power_input_uw = {1500000, std::nullopt, std::nullopt, std::nullopt};
        fakeboard::board b;
        b.chips.push_back(chip);
        return b;
    }
    cycle_readings lists;
};

TEST_F(raw_logs, device_log_worked_example) {
    discover(one_chip());
    reading_list_append(lists.timestamp_readings, "max34417", 987654321, 0);
    reading_list_append(lists.accumulator_readings, "max34417", 123456, 0);
    ASSERT_EQ(write_device_raw_log(k_root, lists, 12.3456, 0), 0);
    EXPECT_EQ(log("max34417_raw"), "time,atime,acc,vph,apc0,power3,power4\n"
                                   "12.346,0.9877,123456,1.500000,0.000000,0.000000,0.000000\n");
    ASSERT_EQ(write_device_raw_log(k_root, lists, 13.0, 0), 0);
    EXPECT_EQ(log("max34417_raw"), "time,atime,acc,vph,apc0,power3,power4\n"
                                   "12.346,0.9877,123456,1.500000,0.000000,0.000000,0.000000\n"
                                   "13.000,0.9877,123456,1.500000,0.000000,0.000000,0.000000\n");
}

TEST_F(raw_logs, device_line_carries_only_its_own_values) {
    fakeboard::board b = one_chip();
    b.chips.push_back(b.chips[0]);
    b.chips[1].hwmon = "hwmon1";
    b.chips[1].name = "max34417_b";
    discover(b);
    // Device 0 has no snapshot time and no accumulator this cycle; device 1 has both.
    reading_list_append(lists.timestamp_readings, "max34417_b", 2000000000, 1);
    reading_list_append(lists.accumulator_readings, "max34417_b", 7, 1);
    ASSERT_EQ(publish_raw_logs(k_root, lists, system_figures{}, 1.0), 0);
    EXPECT_EQ(log("max34417_raw"), "time,atime,acc,vph,apc0,power3,power4\n"
                                   "1.000,,,1.500000,0.000000,0.000000,0.000000\n");
    EXPECT_EQ(log("max34417_b_raw"), "time,atime,acc,vph,apc0,power3,power4\n"
                                     "1.000,2.0000,7,1.500000,0.000000,0.000000,0.000000\n");
}

TEST_F(raw_logs, system_log_worked_example) {
    for (const auto &[name, value] :
         std::vector<std::pair<const char *, std::int64_t>>{{"gpufreq", 587000000},
                                                            {"cpufreq0", 1804800},
                                                            {"cpufreq1", 1804800},
                                                            {"perf_now_x10", 123},
                                                            {"battery_soc_x10", 875},
                                                            {"fan_rpm", 2400},
                                                            {"fan_pwm", 128},
                                                            {"bcl0_v", 3200},
                                                            {"bcl1_v", 2800},
                                                            {"cpufreq8", 1},
                                                            {"cpufreqx", 2},
                                                            {"cpufreq", 3},
                                                            {"cpufreq-1", 4}}) {
        reading_list_append(lists.system_readings, name, value);
    }
    ASSERT_EQ(write_system_raw_log(k_root, derive_system_figures(lists.system_readings, 5.0), 5.0), 0);
    EXPECT_EQ(log("system_raw"),
              "time,gpufreq,cpufreq0,cpufreq1,cpufreq2,cpufreq3,cpufreq4,cpufreq5,cpufreq6,"
              "cpufreq7,perf_now,battery_soc,fan_rpm,fan_pwm,bcl0,bcl0_v,bcl1_v\n"
              "5.000,587000000,1804800,1804800,0,0,0,0,0,0,12.3,87.5,2400,128,0.00,3200.00,"
              "2800.00\n");
}

TEST_F(raw_logs, throttle_percent_from_the_counter_advance) {
    // The figure is derived once per cycle; the log prints it in its 15th column.
    const auto line_bcl = [&](double t, std::optional<std::int64_t> count) {
        lists = cycle_readings{};
        if (count) {
            reading_list_append(lists.system_readings, "bcl0_accum", *count);
        }
        EXPECT_EQ(write_system_raw_log(k_root, derive_system_figures(lists.system_readings, t), t), 0);
        const std::string text = log("system_raw");
        const std::string last = text.substr(text.rfind('\n', text.size() - 2) + 1);
        std::size_t pos = 0;
        for (int i = 0; i < 14; ++i) {
            pos = last.find(',', pos) + 1;
        }
        return last.substr(pos, last.find(',', pos) - pos);
    };
    EXPECT_EQ(line_bcl(10.0, 1000000), "0.00");
    EXPECT_EQ(line_bcl(11.0, 1960000), "5.00");
    EXPECT_EQ(line_bcl(12.0, 1000), "0.00") << "a counter going backwards";
    EXPECT_EQ(throttle_history().previous_count, 1000);
    EXPECT_EQ(line_bcl(12.0, 5000), "0.00") << "a time that does not advance";
    EXPECT_EQ(line_bcl(13.0, 197000), "1.00");
    EXPECT_EQ(line_bcl(14.0, std::nullopt), "0.00");
    EXPECT_EQ(throttle_history().has_previous, 0);
    EXPECT_EQ(line_bcl(15.0, 10000000), "0.00") << "first count after a gap";
    EXPECT_EQ(line_bcl(16.0, 29200000), "100.00");
}

TEST_F(raw_logs, thermal_log_and_its_limits) {
    ASSERT_EQ(write_thermal_raw_log(k_root, lists, 3.0), 0);
    EXPECT_EQ(log("thermal_raw"), "time\n3.000\n");

    release_raw_logs();
    ASSERT_TRUE(thermal_readings_append(lists.thermal, "cpu,0", 45500));
    ASSERT_TRUE(thermal_readings_append(lists.thermal, "100%s", -1500));
    ASSERT_TRUE(thermal_readings_append(lists.thermal, "gpu\"x", 1000));
    ASSERT_EQ(write_thermal_raw_log(k_root, lists, 4.0), 0);
    // Fields that would split or break a column are quoted; plain names are kept as they are.
    const std::string quoted = "time,\"cpu,0\",100%s,\"gpu\"\"x\"\n4.000,45.500,-1.500,1.000\n";
    EXPECT_EQ(log("thermal_raw"), quoted);

    // A header beyond 8191 characters is never written, and fails the log.
    release_raw_logs();
    lists = cycle_readings{};
    ASSERT_TRUE(thermal_readings_append(lists.thermal, std::string(8186, 'z').c_str(), 1));
    EXPECT_EQ(write_thermal_raw_log(k_root, lists, 5.0), -1);
    EXPECT_EQ(log("thermal_raw"), quoted);
    lists = cycle_readings{};
    ASSERT_TRUE(thermal_readings_append(lists.thermal, std::string(8185, 'z').c_str(), 1));
    EXPECT_EQ(write_thermal_raw_log(k_root, lists, 5.0), 0);
}

TEST_F(raw_logs, header_once_per_log_per_run) {
    fakeboard::board b = one_chip();
    b.chips.push_back(b.chips[0]);
    b.chips[1].hwmon = "hwmon1"; // same name: both devices share one log
    discover(b);
    ASSERT_EQ(publish_raw_logs(k_root, lists, system_figures{}, 1.0), 0);
    ASSERT_EQ(publish_raw_logs(k_root, lists, system_figures{}, 2.0), 0);
    const std::string text = log("max34417_raw");
    EXPECT_EQ(text.find("time,atime"), 0U);
    EXPECT_EQ(text.find("time,atime", 1), std::string::npos);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 5) << text;

    // A log the first pass never reached gets its header when it is first written.
    release_raw_logs();
    write_file(std::string(k_root) + "/power/system_raw", "stale,columns\n1,2\n");
    fakeboard::remove_tree(std::string(k_root) + "/power/thermal_raw");
    fakeboard::make_directories(std::string(k_root) + "/power/thermal_raw"); // this log cannot be written
    EXPECT_EQ(publish_raw_logs(k_root, lists, system_figures{}, 3.0), -1);
    EXPECT_EQ(log("system_raw").find("time,gpufreq"), 0U) << "the pass reached system_raw and recreated it";
    fakeboard::remove_tree(std::string(k_root) + "/power/thermal_raw");
    ASSERT_EQ(publish_raw_logs(k_root, lists, system_figures{}, 4.0), 0);
    EXPECT_EQ(log("thermal_raw"), "time\n4.000\n");
    const std::string system_text = log("system_raw");
    EXPECT_EQ(std::count(system_text.begin(), system_text.end(), '\n'), 3);
}

TEST_F(raw_logs, device_name_that_cannot_be_looked_up_ends_the_pass) {
    // No device cache at all: index 0 has no name.
    EXPECT_EQ(write_device_raw_log(k_root, lists, 1.0, 0), -1);
}

} // namespace
