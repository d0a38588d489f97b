// The built daemon with --metrics on the fake board: the file holds what the value tree and the logs
// hold, and its failures are reported once, retried, and never fail a pass.
#include "support/board_test.h"
#include "support/daemon_run.h"
#include "support/exposition.h"

#include <sys/stat.h>

#include <gmock/gmock.h>

#include <cmath>
#include <ctime>
#include <filesystem>

namespace {

using blackbox::daemon_args;
using blackbox::k_root;
using fakeboard::read_file;
using support::fields_of;
using support::lines_of;

double number_in(const std::string &path) {
    return std::strtod(read_file(path).c_str(), nullptr);
}

class metrics_daemon : public board_test {
  protected:
    void lay_out_board() override { fakeboard::lay_out(fakeboard::reference_board()); }
    exposition::temporary_directory dir;
};

TEST_F(metrics_daemon, file_equals_the_value_tree_and_the_logs) {
    ASSERT_FALSE(dir.path.empty());
    const std::string file = dir.path + "/vantrel.prom";
    const mode_t old_umask = ::umask(077);
    const auto r = fakeboard::run(daemon_args({"--once", "--raw", "--metrics", file}), 10);
    ::umask(old_umask);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");

    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644U) << "the exporter reads it as another user";
    const exposition::parsed m = exposition::parse(read_file(file));
    ASSERT_THAT(m.problems, testing::IsEmpty());

    // Every value file of the tree has its series, with the same value.
    std::size_t checked = 0;
    for (const char *directory : {"power", "voltage", "accumulator", "timestamp"}) {
        for (const auto &entry : std::filesystem::directory_iterator(k_root + "/" + directory)) {
            const std::string name = entry.path().filename().string();
            if (name.size() > 4 && name.substr(name.size() - 4) == "_raw") {
                continue;
            }
            const double tree = number_in(entry.path().string());
            std::string series;
            double tolerance = 5e-7; // the tree's "%.6f"
            if (std::string(directory) == "power") {
                if (name == "vph_total" || name == "cores_total" || name == "vph_other") {
                    series = "vantrel_power_total_watts{total=\"" + name + "\"}";
                } else if (name == "bl_power") {
                    series = "vantrel_backlight_power_watts";
                } else {
                    series = "vantrel_rail_power_watts{device=\"" +
                             std::string(name == "vph" || name == "apc0" || name == "apc1" || name == "ddr"
                                             ? "max34417"
                                             : "max34417_b") +
                             "\",rail=\"" + name + "\"}";
                }
            } else if (std::string(directory) == "voltage") {
                const bool first_chip =
                    name == "v_vph" || name == "v_apc0" || name == "v_apc1" || name == "v_ddr";
                series = "vantrel_channel_voltage_volts{device=\"" +
                         std::string(first_chip ? "max34417" : "max34417_b") + "\",channel=\"" + name + "\"}";
            } else if (std::string(directory) == "accumulator") {
                series = "vantrel_accumulator_value{device=\"" + name + "\"}";
                tolerance = 0.0;
            } else {
                series = "vantrel_accumulator_snapshot_seconds{device=\"" + name + "\"}";
                tolerance = 5e-5; // "%.4f"
            }
            const double metric = exposition::value_of(m, series);
            EXPECT_NEAR(metric, tree, tolerance) << directory << "/" << name << " vs " << series;
            ++checked;
        }
    }
    EXPECT_EQ(checked, 8U + 4U + 8U + 2U + 2U) << "rails and totals, voltages, accumulators, snapshot times";

    // The system and thermal figures as the logs print them, in base units.
    const auto header = fields_of(lines_of(k_root + "/power/system_raw")[0]);
    const auto values = fields_of(lines_of(k_root + "/power/system_raw")[1]);
    ASSERT_EQ(header.size(), values.size());
    for (std::size_t i = 1; i < header.size(); ++i) {
        const double logged = std::strtod(values[i].c_str(), nullptr);
        const std::string &column = header[i];
        double metric = 0.0;
        double scale = 1.0;
        if (column == "gpufreq") {
            metric = exposition::value_of(m, "vantrel_gpu_frequency_hertz");
        } else if (column.rfind("cpufreq", 0) == 0) {
            metric = exposition::value_of(m, "vantrel_cpu_frequency_hertz{cpu=\"" + column.substr(7) + "\"}");
            scale = 1000.0; // kHz
        } else if (column == "perf_now") {
            metric = exposition::value_of(m, "vantrel_gpu_perf_now");
        } else if (column == "battery_soc") {
            metric = exposition::value_of(m, "vantrel_battery_charge_ratio");
            scale = 0.01; // percent
        } else if (column == "fan_rpm") {
            metric = exposition::value_of(m, "vantrel_fan_speed_rpm");
        } else if (column == "fan_pwm") {
            metric = exposition::value_of(m, "vantrel_fan_pwm");
        } else if (column == "bcl0") {
            metric = exposition::value_of(m, "vantrel_bcl_throttle_ratio");
            scale = 0.01;
        } else {
            metric = exposition::value_of(m, "vantrel_bcl_threshold_volts{level=\"" +
                                                 std::string(column == "bcl0_v" ? "0" : "1") + "\"}");
            scale = 0.001; // mV
        }
        EXPECT_NEAR(metric, logged * scale, 1e-9 * std::fabs(logged * scale)) << column;
    }
    const auto zones = fields_of(lines_of(k_root + "/power/thermal_raw")[0]);
    const auto temps = fields_of(lines_of(k_root + "/power/thermal_raw")[1]);
    for (std::size_t i = 1; i < zones.size(); ++i) {
        EXPECT_EQ(exposition::value_of(m, "vantrel_thermal_zone_celsius{zone=\"" + zones[i] + "\"}"),
                  std::strtod(temps[i].c_str(), nullptr))
            << zones[i];
    }

    EXPECT_EQ(m.samples.at("vantrel_cycles_total"), "1");
    EXPECT_EQ(m.samples.at("vantrel_failed_passes_total"), "0");
    const double duration = exposition::value_of(m, "vantrel_last_cycle_duration_seconds");
    EXPECT_GT(duration, 0.0);
    EXPECT_LT(duration, 1.0) << "a cycle longer than its period";
    EXPECT_NEAR(exposition::value_of(m, "vantrel_last_cycle_timestamp_seconds"),
                static_cast<double>(std::time(nullptr)), 10.0);
    EXPECT_EQ(m.types.at("vantrel_cycles_total"), "counter");
}

TEST_F(metrics_daemon, a_failed_write_is_reported_once_retried_and_never_a_failed_pass) {
    ASSERT_FALSE(dir.path.empty());
    const std::string sub = dir.path + "/node-exporter";
    const std::string file = sub + "/vantrel.prom";
    fakeboard::child_process child = fakeboard::spawn(daemon_args({"-i", "50", "--metrics", file}));
    const std::string missing = "Warning: could not write metrics to " + file + ": No such file or directory";
    const std::string writable =
        "Warning: could not write metrics to " + file + ": directory is writable by group or others";
    const auto warnings = [&](const std::string &line) {
        return support::count_exact_lines(support::captured_so_far(child.err_fd), line);
    };

    // Ten cycles without the directory: one warning, and more failed writes than would stop the daemon.
    ASSERT_TRUE(support::wait_until([&] { return warnings(missing) == 1; }, 5));
    ::usleep(500000);
    EXPECT_EQ(warnings(missing), 1U);

    // Retried every cycle: the file appears once the directory does.
    ASSERT_EQ(::mkdir(sub.c_str(), 0755), 0);
    ASSERT_TRUE(support::wait_until([&] { return fakeboard::file_exists(file); }, 2));
    const auto cycles = [&] {
        return exposition::value_of(exposition::parse(read_file(file)), "vantrel_cycles_total");
    };
    EXPECT_GE(cycles(), 10.0);

    // A new problem after a success is reported again, once.
    ASSERT_EQ(::chmod(sub.c_str(), 0775), 0);
    ASSERT_TRUE(support::wait_until([&] { return warnings(writable) == 1; }, 2));
    const double before = cycles();
    ::usleep(300000);
    EXPECT_EQ(cycles(), before) << "nothing written into a group-writable directory";
    ASSERT_EQ(::chmod(sub.c_str(), 0755), 0);
    ASSERT_TRUE(support::wait_until([&] { return cycles() > before; }, 2));

    ::kill(child.pid, SIGTERM);
    const auto r = fakeboard::wait_for(child, 5);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "vantrel power monitor starting...\nvantrel power monitor quitting...\n");
    EXPECT_EQ(r.err, missing + "\n" + writable + "\n");
    EXPECT_EQ(exposition::parse(read_file(file)).samples.at("vantrel_failed_passes_total"), "0");
    std::vector<std::string> left;
    for (const auto &entry : std::filesystem::directory_iterator(sub)) {
        left.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(left, std::vector<std::string>{"vantrel.prom"}) << "no temporary file left behind";
}

// A zone whose temp became unreadable, a zone that went away, and the charger's file removed: their
// figures leave the metrics, while the logs keep their columns with 0 in them.
TEST_F(metrics_daemon, a_zone_or_the_battery_not_read_this_cycle_has_no_sample) {
    ASSERT_FALSE(dir.path.empty());
    const std::string file = dir.path + "/vantrel.prom";
    fakeboard::child_process child = fakeboard::spawn(daemon_args({"-i", "50", "--raw", "--metrics", file}));
    const auto metrics = [&] { return exposition::parse(support::try_read(file).value_or("")); };
    ASSERT_TRUE(support::wait_until([&] { return metrics().samples.count("vantrel_cycles_total") == 1; }, 3));
    EXPECT_EQ(support::count_exact_lines(read_file(file),
                                         "# HELP vantrel_battery_charge_ratio Battery state of "
                                         "charge reported by the charger, 0 to 1."),
              1U);
    EXPECT_EQ(metrics().samples.at("vantrel_battery_charge_ratio"), "0.875");
    EXPECT_EQ(metrics().samples.at("vantrel_thermal_zone_celsius{zone=\"cpu3-thermal\"}"), "38");

    ASSERT_EQ(::unlink("/run/vantrelcharger/battery_percent"), 0);
    ASSERT_EQ(::unlink((fakeboard::zone_dir("thermal_zone3") + "/temp").c_str()), 0); // cpu3-thermal
    fakeboard::remove_device(fakeboard::zone_dir("thermal_zone5"));                   // nsp-thermal
    const double removed_at = exposition::value_of(metrics(), "vantrel_cycles_total");
    // Two whole cycles after the removal.
    ASSERT_TRUE(support::wait_until(
        [&] { return exposition::value_of(metrics(), "vantrel_cycles_total") >= removed_at + 2; }, 3));
    const exposition::parsed m = metrics();
    ::kill(child.pid, SIGTERM);
    const auto r = fakeboard::wait_for(child, 5);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");

    ASSERT_THAT(m.problems, testing::IsEmpty());
    EXPECT_EQ(m.samples.count("vantrel_battery_charge_ratio"), 0U);
    EXPECT_EQ(m.samples.count("vantrel_thermal_zone_celsius{zone=\"cpu3-thermal\"}"), 0U);
    EXPECT_EQ(m.samples.count("vantrel_thermal_zone_celsius{zone=\"nsp-thermal\"}"), 0U);
    std::size_t zones = 0;
    for (const auto &[series, value] : m.samples) {
        zones += exposition::metric_name(series) == "vantrel_thermal_zone_celsius" ? 1 : 0;
    }
    EXPECT_EQ(zones, 10U) << "the other zones are still there";

    // The logs keep one column per zone and the battery's, with 0 where nothing was read.
    const auto system = lines_of(k_root + "/power/system_raw");
    const auto header = fields_of(system.at(0));
    const auto last = fields_of(system.back());
    ASSERT_EQ(last.size(), header.size());
    EXPECT_EQ(last.at(11), "0.0") << header.at(11);
    const auto thermal = lines_of(k_root + "/power/thermal_raw");
    const auto types = fields_of(thermal.at(0));
    const auto temps = fields_of(thermal.back());
    ASSERT_EQ(temps.size(), types.size());
    for (std::size_t i = 1; i < types.size(); ++i) {
        const bool gone = types[i] == "cpu3-thermal" || types[i] == "nsp-thermal";
        EXPECT_EQ(temps[i] == "0.000", gone) << types[i] << " " << temps[i];
    }
}

TEST_F(metrics_daemon, failed_passes_are_counted_and_still_published) {
    ASSERT_FALSE(dir.path.empty());
    const std::string file = dir.path + "/vantrel.prom";
    fakeboard::write_file("/run/not-a-directory", "x");
    const auto r = fakeboard::run(
        daemon_args({"-i", "20", "--root-dir", "/run/not-a-directory", "--metrics", file}), 10);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(support::count_exact_lines(r.err, "Error: Could not write to /run/not-a-directory"), 6U);
    const exposition::parsed m = exposition::parse(read_file(file));
    EXPECT_EQ(m.samples.at("vantrel_cycles_total"), "6");
    EXPECT_EQ(m.samples.at("vantrel_failed_passes_total"), "6");
    EXPECT_EQ(m.samples.at("vantrel_rail_power_watts{device=\"max34417\",rail=\"vph\"}"), "0.35");
}

} // namespace
