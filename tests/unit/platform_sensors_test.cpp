#include "common/rounding.h"
#include "sensors/platform_sensors.h"

#include "support/board_test.h"
#include "support/snapshot_view.h"

#include <gmock/gmock.h>

#include <bit>
#include <cmath>
#include <limits>
#include <map>
#include <string>

namespace {

using fakeboard::write_file;
using ::testing::ElementsAre;

const char *const k_backlight = "/sys/class/backlight/ae94000.dsi.0/brightness";
const char *const k_battery = "/run/vantrelcharger/battery_percent";
const char *const k_perf = "/sys/kernel/debug/dri/0/perf_now";
const char *const k_bcl_counter = "/sys/kernel/debug/dri/0/bcl_throttle_accum";

class platform_sensors : public board_test {
  protected:
    // One cycle's readings; the first one searches for the fan, the sensor and the zones.
    void sample() { sample_platform_sensors(state.board, state.snapshot); }
    // A fresh process: nothing found yet.
    void restart() { state.board = board_inventory{}; }
    // The present figures by name, in the order of the system log's columns.
    std::vector<std::pair<std::string, std::int64_t>> system_list() const {
        const system_figures &f = cycle.system;
        std::vector<std::pair<std::string, std::int64_t>> out;
        auto add = [&](const std::string &name, bool present, std::int64_t value) {
            if (present) {
                out.emplace_back(name, value);
            }
        };
        add("gpufreq", f.gpufreq_present, f.gpufreq_hz);
        for (int cpu = 0; cpu < k_cpus; ++cpu) {
            add("cpufreq" + std::to_string(cpu), f.cpufreq_present[cpu], f.cpufreq_khz[cpu]);
        }
        add("perf_now_x10", f.perf_now_present, f.perf_now_x10);
        add("battery_soc_x10", f.battery_soc_present, f.battery_soc_x10);
        add("fan_rpm", f.fan_rpm_present, f.fan_rpm);
        add("fan_pwm", f.fan_pwm_present, f.fan_pwm);
        add("bcl0_accum", f.bcl_present, f.bcl_count);
        add("bcl0_v", f.bcl0_present, f.bcl0_mv);
        add("bcl1_v", f.bcl1_present, f.bcl1_mv);
        return out;
    }
    std::vector<std::string> system_names() const {
        std::vector<std::string> out;
        for (const auto &entry : system_list()) {
            out.push_back(entry.first);
        }
        return out;
    }
    std::map<std::string, std::int64_t> system() const {
        std::map<std::string, std::int64_t> out;
        for (const auto &[name, value] : system_list()) {
            out[name] = value;
        }
        return out;
    }
    monitor_state state;
    const cycle_snapshot &cycle = state.snapshot;
};

TEST(round_x10, half_up_fma_truncation_and_limits) {
    EXPECT_EQ(round_x10(12.34), 123);
    EXPECT_EQ(round_x10(12.35), 124);
    EXPECT_EQ(round_x10(-1.26), -12);
    EXPECT_EQ(round_x10(0.04), 0);
    EXPECT_EQ(round_x10(1.05), 11);
    EXPECT_EQ(round_x10(57.25), 573);
    EXPECT_EQ(round_x10(std::nan("")), 0);
    EXPECT_EQ(round_x10(1e300), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(round_x10(-1e300), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(round_x10(INFINITY), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(backlight_microwatts(100), 544900);
    EXPECT_EQ(backlight_microwatts(std::numeric_limits<std::int64_t>::max() / 1000),
              std::numeric_limits<std::int64_t>::max());
}

TEST_F(platform_sensors, reference_board_in_order) {
    fakeboard::lay_out(fakeboard::reference_board());
    sample();
    ASSERT_TRUE(cycle.backlight_present);
    EXPECT_EQ(cycle.backlight_uw, 120 * 5449);
    EXPECT_THAT(system_names(),
                ElementsAre("gpufreq", "cpufreq0", "cpufreq1", "cpufreq2", "cpufreq3", "cpufreq4", "cpufreq5",
                            "cpufreq6", "cpufreq7", "perf_now_x10", "battery_soc_x10", "fan_rpm", "fan_pwm",
                            "bcl0_accum", "bcl0_v", "bcl1_v"));
    auto s = system();
    EXPECT_EQ(s["perf_now_x10"], 424);
    EXPECT_EQ(s["battery_soc_x10"], 875);
    EXPECT_EQ(s["fan_rpm"], 2400);
    EXPECT_EQ(s["bcl0_accum"], 0xf4240);
    EXPECT_EQ(s["bcl1_v"], 2800);
    // Byte order of the directory names: 0, 1, 10, 11, 2, ...
    ASSERT_EQ(cycle.thermal.size(), 12U);
    EXPECT_EQ(*cycle.thermal[2].type, "modem-thermal");
    EXPECT_EQ(cycle.thermal[2].millidegrees, 45000);
    EXPECT_EQ(*cycle.thermal[4].type, "cpu2-thermal");
}

TEST_F(platform_sensors, empty_board_still_reports_the_battery) {
    sample();
    EXPECT_FALSE(cycle.backlight_present);
    EXPECT_THAT(system_names(), ElementsAre("battery_soc_x10"));
    EXPECT_EQ(cycle.system.battery_soc_x10, 0);
    EXPECT_TRUE(cycle.thermal.empty());
}

TEST_F(platform_sensors, bad_values_are_absent_battery_is_zero) {
    fakeboard::board b = fakeboard::reference_board();
    b.cpu_khz[6].reset();
    b.cpu_khz[7].reset();
    fakeboard::lay_out(b);
    write_file(k_backlight, "0\n");
    write_file("/sys/devices/system/cpu/cpu2/cpufreq/scaling_cur_freq", "fast\n");
    write_file("/sys/devices/platform/soc@0/3d00000.gpu/devfreq/3d00000.gpu/cur_freq",
               "18446744073709551616\n");
    write_file(k_perf, "nan\n");
    write_file(k_battery, "full\n");
    write_file(fakeboard::hwmon_dir("hwmon3") + "/fan1_input", "-3\n");
    write_file(fakeboard::hwmon_dir("hwmon3") + "/pwm1", "");
    sample();
    ASSERT_TRUE(cycle.backlight_present);
    EXPECT_EQ(cycle.backlight_uw, 0) << "brightness 0 still gives a reading";
    EXPECT_THAT(system_names(),
                ElementsAre("cpufreq0", "cpufreq1", "cpufreq3", "cpufreq4", "cpufreq5", "perf_now_x10",
                            "battery_soc_x10", "fan_rpm", "bcl0_accum", "bcl0_v", "bcl1_v"));
    auto s = system();
    EXPECT_EQ(s["perf_now_x10"], 0) << "not-a-number gives 0";
    EXPECT_EQ(s["battery_soc_x10"], 0);
    EXPECT_FALSE(cycle.system.battery_soc_read) << "a 0 that was not read";
    EXPECT_EQ(s["fan_rpm"], -1);

    write_file(k_battery, "57.25");
    write_file(fakeboard::hwmon_dir("hwmon3") + "/fan1_input", "301\n");
    write_file(k_perf, "-1.26\n");
    sample();
    s = system();
    EXPECT_EQ(s["battery_soc_x10"], 573);
    EXPECT_TRUE(cycle.system.battery_soc_read);
    EXPECT_EQ(s["fan_rpm"], 150);
    EXPECT_EQ(s["perf_now_x10"], -12);
}

TEST_F(platform_sensors, bcl_needs_exactly_three_counters) {
    fakeboard::lay_out(fakeboard::reference_board());
    const std::map<std::string, bool> cases = {
        {"bcl: 1 2 3\n", true},
        {"bcl: 1 2 3 4\n", true},
        {"bcl: 1 2\n", false},
        {"bcl:\n", false},
        {"1 2 3\n", true},
        {"bcl: x y z\n", false},
        {"bcl: ffffffffffffffff 0 0", true},
    };
    for (const auto &[text, present] : cases) {
        write_file(k_bcl_counter, text);
        sample();
        const auto s = system();
        EXPECT_EQ(s.count("bcl0_accum"), present ? 1U : 0U) << text;
        EXPECT_EQ(s.count("bcl0_v"), present ? 1U : 0U) << text;
        EXPECT_EQ(s.count("bcl1_v"), present ? 1U : 0U) << text;
    }
    write_file(k_bcl_counter, "bcl: ffffffffffffffff 0 0");
    sample();
    EXPECT_EQ(system()["bcl0_accum"], -1) << "the counter's bit pattern is kept";
}

TEST_F(platform_sensors, searches_are_done_once_per_run) {
    fakeboard::board b = fakeboard::reference_board();
    b.fan.reset();
    b.bcl.reset();
    b.zones.resize(2);
    fakeboard::lay_out(b);
    sample();
    EXPECT_EQ(system().count("fan_rpm"), 0U);

    fakeboard::board late = fakeboard::reference_board();
    fakeboard::lay_out(late); // fan, BCL and more zones appear after the first cycle
    sample();
    EXPECT_EQ(system().count("fan_rpm"), 0U);
    EXPECT_EQ(system().count("bcl0_accum"), 0U);
    EXPECT_EQ(cycle.thermal.size(), 2U);

    restart();
    sample();
    EXPECT_EQ(system().count("fan_rpm"), 1U);
    EXPECT_EQ(cycle.thermal.size(), 12U);
}

TEST_F(platform_sensors, hwmon_name_match_is_exact_and_first_wins) {
    fakeboard::write_file(fakeboard::hwmon_dir("hwmon1") + "/name", "slg4ax46073v-x\n");
    fakeboard::write_file(fakeboard::hwmon_dir("hwmon5") + "/name", "slg4ax46073v\r\n");
    fakeboard::write_file(fakeboard::hwmon_dir("hwmon0") + "/name", "SLG4AX46073V\n");
    fakeboard::write_file(fakeboard::hwmon_dir("hwmon40") + "/name", "slg4ax46073v\n");
    fakeboard::write_file(fakeboard::hwmon_dir("hwmon41") + "/name", "slg4ax46073v\n");
    ASSERT_EQ(find_fan(state.board), 0);
    ASSERT_EQ(find_bcl_sensor(state.board), 0);
    ASSERT_TRUE(state.board.fan_found);
    EXPECT_EQ(state.board.fan_input, fakeboard::hwmon_dir("hwmon40") + "/fan1_input");
    EXPECT_FALSE(state.board.bcl_found);
}

TEST_F(platform_sensors, zones_need_type_and_temp_and_always_report) {
    fakeboard::board b;
    b.zones = {{"thermal_zone0", "a", 1000},
               {"thermal_zone1", "", 2000},
               {"thermal_zone2", "a", 3000},
               {"thermal_zone3", "no-temp", std::nullopt}};
    fakeboard::lay_out(b);
    sample();
    EXPECT_THAT(zone_types(cycle), ElementsAre("a", "", "a"));
    write_file(fakeboard::zone_dir("thermal_zone2") + "/temp", "hot\n");
    fakeboard::remove_device(fakeboard::zone_dir("thermal_zone0"));
    sample();
    ASSERT_EQ(cycle.thermal.size(), 3U);
    EXPECT_EQ(cycle.thermal[0].millidegrees, 0);
    EXPECT_EQ(cycle.thermal[1].millidegrees, 2000);
    EXPECT_EQ(cycle.thermal[2].millidegrees, 0);
    // Said apart from a real 0 by sampling itself.
    EXPECT_FALSE(cycle.thermal[0].read);
    EXPECT_TRUE(cycle.thermal[1].read);
    EXPECT_FALSE(cycle.thermal[2].read);
    write_file(fakeboard::zone_dir("thermal_zone2") + "/temp", "0\n");
    sample();
    EXPECT_EQ(cycle.thermal[2].millidegrees, 0);
    EXPECT_TRUE(cycle.thermal[2].read);
}

TEST_F(platform_sensors, a_thousand_zones) {
    fakeboard::lay_out(fakeboard::large_board(1, 1000));
    sample();
    std::vector<std::string> types = zone_types(cycle);
    ASSERT_EQ(types.size(), 1000U);
    types.resize(4);
    EXPECT_THAT(types, ElementsAre("zone0", "zone1", "zone10", "zone100"));
}

} // namespace

namespace {

// The straightforward form: one fused multiply-add, truncation, limits.
std::int64_t reference_round_x10(double x) {
    const double scaled = std::fma(x, 10.0, 0.5);
    if (std::isnan(scaled)) {
        return 0;
    }
    if (scaled >= 9223372036854775808.0) {
        return std::numeric_limits<std::int64_t>::max();
    }
    if (scaled < -9223372036854775808.0) {
        return std::numeric_limits<std::int64_t>::min();
    }
    return static_cast<std::int64_t>(scaled);
}

TEST(round_x10, agrees_with_a_fused_multiply_add_everywhere) {
    std::vector<double> samples = {0.0,
                                   -0.0,
                                   0.05,
                                   -0.05,
                                   0.15,
                                   0.25,
                                   0.35,
                                   2.5,
                                   -2.5,
                                   1e-300,
                                   -1e-300,
                                   4.9e-324,
                                   0.0009765625,
                                   -0.0009765625,
                                   0.001,
                                   1e15,
                                   922337203685477580.7,
                                   -922337203685477580.8,
                                   922337203685477580.0,
                                   2305843009213693951.0,
                                   4503599627370495.5,
                                   9007199254740991.0,
                                   450359962737049.55};
    // Values just around the rounding points k/10 - 0.05 and the integers, in every binade the parser can
    // give.
    for (int k = -2000; k <= 2000; ++k) {
        const double point = static_cast<double>(k) / 10.0 - 0.05;
        double below = point;
        double above = point;
        for (int step = 0; step < 4; ++step) {
            below = std::nextafter(below, -INFINITY);
            above = std::nextafter(above, INFINITY);
            samples.push_back(below);
            samples.push_back(above);
        }
        samples.push_back(point);
    }
    std::uint64_t state = 0x9e3779b97f4a7c15ULL;
    for (int i = 0; i < 2000000; ++i) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        samples.push_back(std::bit_cast<double>(state));
        // Mostly values of an ordinary size: random mantissa, exponent within +-70.
        const std::uint64_t exponent = 1023 - 70 + (state >> 56) % 141;
        samples.push_back(std::bit_cast<double>((state & 0x800fffffffffffffULL) | (exponent << 52)));
    }
    std::size_t mismatches = 0;
    for (double x : samples) {
        if (round_x10(x) != reference_round_x10(x) && ++mismatches < 10) {
            ADD_FAILURE() << std::hexfloat << x << " gives " << round_x10(x) << ", expected "
                          << reference_round_x10(x);
        }
    }
    EXPECT_EQ(mismatches, 0U);
}

} // namespace
