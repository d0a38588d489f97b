#include "publish/raw_logs.h"

#include "derive/derive.h"
#include "support/board_test.h"
#include "support/snapshot_view.h"
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
    // Discovery on a board with the given chips, and one cycle's sampling of them.
    void discover_and_sample(const fakeboard::board &board) {
        fakeboard::lay_out(board);
        ASSERT_EQ(sample_board(state), 0);
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
    std::string last_system_column(int column) {
        const std::string text = log("system_raw");
        const std::string last = text.substr(text.rfind('\n', text.size() - 2) + 1);
        std::size_t pos = 0;
        for (int i = 0; i < column; ++i) {
            pos = last.find(',', pos) + 1;
        }
        return last.substr(pos, last.find(',', pos) - pos);
    }
    monitor_state state;
    snapshot_builder b;
    raw_log_state &logs = state.logs;
};

TEST_F(raw_logs, device_log_worked_example) {
    device_sample &device = b.add_device("max34417", 987654321, 123456);
    device.log_labels = {b.text("vph"), b.text("apc0"), nullptr, nullptr};
    device.input_watts = {1.5, 0.0, 0.0, 0.0};
    ASSERT_EQ(write_device_log(k_root, logs, device, 12.3456), 0);
    EXPECT_EQ(log("max34417_raw"), "time,atime,acc,vph,apc0,power3,power4\n"
                                   "12.346,0.9877,123456,1.500000,0.000000,0.000000,0.000000\n");
    ASSERT_EQ(write_device_log(k_root, logs, device, 13.0), 0);
    EXPECT_EQ(log("max34417_raw"), "time,atime,acc,vph,apc0,power3,power4\n"
                                   "12.346,0.9877,123456,1.500000,0.000000,0.000000,0.000000\n"
                                   "13.000,0.9877,123456,1.500000,0.000000,0.000000,0.000000\n");
}

TEST_F(raw_logs, device_line_carries_only_its_own_values) {
    // Device 0 has no latch time and no accumulator this cycle; device 1 has both.
    b.add_device("max34417");
    b.add_device("max34417_b", 2000000000, 7);
    for (device_sample &device : b.snapshot.devices) {
        device.log_labels = {b.text("vph"), b.text("apc0"), nullptr, nullptr};
        device.input_watts = {1.5, 0.0, 0.0, 0.0};
    }
    b.snapshot.cycle_time_s = 1.0;
    ASSERT_EQ(publish_raw_logs(k_root, logs, b.snapshot), 0);
    EXPECT_EQ(log("max34417_raw"), "time,atime,acc,vph,apc0,power3,power4\n"
                                   "1.000,,,1.500000,0.000000,0.000000,0.000000\n");
    EXPECT_EQ(log("max34417_b_raw"), "time,atime,acc,vph,apc0,power3,power4\n"
                                     "1.000,2.0000,7,1.500000,0.000000,0.000000,0.000000\n");
}

TEST_F(raw_logs, system_log_worked_example) {
    system_figures &f = b.snapshot.system;
    f.gpufreq_hz = 587000000;
    f.cpufreq_khz[0] = 1804800;
    f.cpufreq_khz[1] = 1804800;
    f.perf_now_x10 = 123;
    f.battery_soc_x10 = 875;
    f.fan_rpm = 2400;
    f.fan_pwm = 128;
    f.bcl0_mv = 3200;
    f.bcl1_mv = 2800;
    b.snapshot.cycle_time_s = 5.0;
    ASSERT_EQ(write_system_log(k_root, logs, b.snapshot), 0);
    EXPECT_EQ(log("system_raw"),
              "time,gpufreq,cpufreq0,cpufreq1,cpufreq2,cpufreq3,cpufreq4,cpufreq5,cpufreq6,"
              "cpufreq7,perf_now,battery_soc,fan_rpm,fan_pwm,bcl0,bcl0_v,bcl1_v\n"
              "5.000,587000000,1804800,1804800,0,0,0,0,0,0,12.3,87.5,2400,128,0.00,3200.00,"
              "2800.00\n");
}

TEST_F(raw_logs, throttle_percent_from_the_counter_advance) {
    // The figure is derived once per cycle; the log prints it in its 15th column.
    bcl_throttle_history history;
    const auto line_bcl = [&](double t, std::optional<std::int64_t> count) {
        b.snapshot.system = system_figures{};
        b.snapshot.system.bcl_present = count.has_value();
        b.snapshot.system.bcl_count = count.value_or(0);
        b.snapshot.cycle_time_s = t;
        derive_throttle(history, b.snapshot.system, t);
        EXPECT_EQ(write_system_log(k_root, logs, b.snapshot), 0);
        return last_system_column(14);
    };
    EXPECT_EQ(line_bcl(10.0, 1000000), "0.00");
    EXPECT_EQ(line_bcl(11.0, 1960000), "5.00");
    EXPECT_EQ(line_bcl(12.0, 1000), "0.00") << "a counter going backwards";
    EXPECT_EQ(history.previous_count, 1000);
    EXPECT_EQ(line_bcl(12.0, 5000), "0.00") << "a time that does not advance";
    EXPECT_EQ(line_bcl(13.0, 197000), "1.00");
    EXPECT_EQ(line_bcl(14.0, std::nullopt), "0.00");
    EXPECT_FALSE(history.has_previous);
    EXPECT_EQ(line_bcl(15.0, 10000000), "0.00") << "first count after a gap";
    EXPECT_EQ(line_bcl(16.0, 29200000), "100.00");
}

TEST_F(raw_logs, thermal_log_and_its_limits) {
    b.snapshot.cycle_time_s = 3.0;
    ASSERT_EQ(write_thermal_log(k_root, logs, b.snapshot), 0);
    EXPECT_EQ(log("thermal_raw"), "time\n3.000\n");

    logs.headed_logs.clear(); // a new run
    b.add_zone("cpu,0", 45500);
    b.add_zone("100%s", -1500);
    b.add_zone("gpu\"x", 1000);
    b.snapshot.cycle_time_s = 4.0;
    ASSERT_EQ(write_thermal_log(k_root, logs, b.snapshot), 0);
    // Fields that would split or break a column are quoted; plain names are kept as they are.
    const std::string quoted = "time,\"cpu,0\",100%s,\"gpu\"\"x\"\n4.000,45.500,-1.500,1.000\n";
    EXPECT_EQ(log("thermal_raw"), quoted);

    // A header beyond 8191 characters is never written, and fails the log.
    logs.headed_logs.clear();
    b.snapshot.thermal.clear();
    b.add_zone(std::string(8186, 'z'), 1);
    EXPECT_EQ(write_thermal_log(k_root, logs, b.snapshot), -1);
    EXPECT_EQ(log("thermal_raw"), quoted);
    b.snapshot.thermal.clear();
    b.add_zone(std::string(8185, 'z'), 1);
    EXPECT_EQ(write_thermal_log(k_root, logs, b.snapshot), 0);
}

TEST_F(raw_logs, header_once_per_log_per_run) {
    fakeboard::board board = one_chip();
    board.chips.push_back(board.chips[0]);
    board.chips[1].hwmon = "hwmon1"; // same name: both devices share one log
    discover_and_sample(board);
    // Only the first device of a shared log heads it, so only its labels are read for the header.
    EXPECT_TRUE(log_header_pending(logs, state.snapshot, 0));
    EXPECT_FALSE(log_header_pending(logs, state.snapshot, 1));
    ASSERT_EQ(publish_raw_logs(k_root, state), 0);
    EXPECT_FALSE(log_header_pending(logs, state.snapshot, 0));
    ASSERT_EQ(publish_raw_logs(k_root, state), 0);
    const std::string text = log("max34417_raw");
    EXPECT_EQ(text.find("time,atime"), 0U);
    EXPECT_EQ(text.find("time,atime", 1), std::string::npos);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 5) << text;

    // A log the first pass never reached gets its header when it is first written.
    logs.headed_logs.clear();
    write_file(std::string(k_root) + "/power/system_raw", "stale,columns\n1,2\n");
    fakeboard::remove_tree(std::string(k_root) + "/power/thermal_raw");
    fakeboard::make_directories(std::string(k_root) + "/power/thermal_raw"); // this log cannot be written
    EXPECT_EQ(publish_raw_logs(k_root, state), -1);
    EXPECT_EQ(log("system_raw").find("time,gpufreq"), 0U) << "the pass reached system_raw and recreated it";
    fakeboard::remove_tree(std::string(k_root) + "/power/thermal_raw");
    state.snapshot.cycle_time_s = 4.0;
    ASSERT_EQ(publish_raw_logs(k_root, state), 0);
    EXPECT_EQ(log("thermal_raw"), "time\n4.000\n");
    const std::string system_text = log("system_raw");
    EXPECT_EQ(std::count(system_text.begin(), system_text.end(), '\n'), 3);
}

TEST_F(raw_logs, device_without_a_name_ends_the_pass) {
    const device_sample &unnamed = b.add_device("");
    EXPECT_EQ(write_device_log(k_root, logs, unnamed, 1.0), -1);
    EXPECT_FALSE(fakeboard::file_exists(std::string(k_root) + "/power/_raw"));
}

} // namespace
