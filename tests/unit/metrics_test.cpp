#include "publish/metrics.h"

#include "publish/value_tree.h"
#include "support/exposition.h"
#include "support/inotify_events.h"
#include "support/snapshot_view.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

using testing::HasSubstr;
using testing::Not;

std::string build(cycle_snapshot &lists, const system_figures &figures = {},
                  const daemon_self_report &self = {}) {
    std::string text;
    lists.system = figures;
    lists.totals = sum_power_readings(lists);
    EXPECT_EQ(build_metrics(text, lists, self), 0);
    const exposition::parsed p = exposition::parse(text);
    EXPECT_THAT(p.problems, testing::IsEmpty()) << text;
    return text;
}

// Two devices as discovery orders them, each with its latch time (the names come with it).
void two_devices(snapshot_builder &b, const char *first, const char *second) {
    b.add_device(first, 1000000001, 7);
    b.add_device(second, 2500000000, -3);
}

TEST(metrics_text, units_are_converted_exactly) {
    snapshot_builder b;
    cycle_snapshot &lists = b.snapshot;
    two_devices(b, "max34417", "max34417_b");
    b.power_of(0, "vph", 350000);
    b.power_of(0, "apc0", 7);
    b.power_of(1, "ddr", -500000);
    b.power_of(1, "huge", INT64_MIN);
    lists.backlight_present = true;
    lists.backlight_uw = 653880;
    b.voltage_of(0, "v_vph", 3799);
    b.add_zone("cpu0-thermal", -1500);
    b.add_zone("gpu-thermal", 45000);
    system_figures f;
    f.gpufreq_hz = 587000000;
    f.gpufreq_present = true;
    f.cpufreq_khz[3] = 1804800;
    f.cpufreq_present[3] = true;
    f.cpufreq_khz[7] = INT64_MAX; // kilohertz to hertz without overflow
    f.cpufreq_present[7] = true;
    f.perf_now_x10 = 424;
    f.perf_now_present = true;
    f.battery_soc_x10 = 875;
    f.battery_soc_present = true;
    f.battery_soc_read = true;
    f.bcl_present = true;
    f.throttle_percent = 12.5;
    f.bcl0_mv = 3200;
    f.bcl0_present = true;
    const std::string text = build(lists, f, daemon_self_report{12, 2, 0.25, 1700000000.5});

    for (const char *line : {
             "vantrel_rail_power_watts{device=\"max34417\",rail=\"vph\"} 0.35\n",
             "vantrel_rail_power_watts{device=\"max34417\",rail=\"apc0\"} 0.000007\n",
             "vantrel_rail_power_watts{device=\"max34417_b\",rail=\"ddr\"} -0.5\n",
             "vantrel_rail_power_watts{device=\"max34417_b\",rail=\"huge\"} -9223372036854.775808\n",
             "vantrel_backlight_power_watts 0.65388\n",
             "vantrel_channel_voltage_volts{device=\"max34417\",channel=\"v_vph\"} 3.799\n",
             "vantrel_accumulator_value{device=\"max34417_b\"} -3\n",
             "vantrel_accumulator_snapshot_seconds{device=\"max34417\"} 1.000000001\n",
             "vantrel_accumulator_snapshot_seconds{device=\"max34417_b\"} 2.5\n",
             "vantrel_gpu_frequency_hertz 587000000\n",
             "vantrel_cpu_frequency_hertz{cpu=\"3\"} 1804800000\n",
             "vantrel_cpu_frequency_hertz{cpu=\"7\"} 9223372036854775807000\n",
             "vantrel_gpu_perf_now 42.4\n",
             "vantrel_battery_charge_ratio 0.875\n",
             "vantrel_bcl_throttle_ratio 0.125\n",
             "vantrel_bcl_threshold_volts{level=\"0\"} 3.2\n",
             "vantrel_thermal_zone_celsius{zone=\"cpu0-thermal\"} -1.5\n",
             "vantrel_thermal_zone_celsius{zone=\"gpu-thermal\"} 45\n",
             "# TYPE vantrel_cycles_total counter\nvantrel_cycles_total 12\n",
             "# TYPE vantrel_failed_passes_total counter\nvantrel_failed_passes_total 2\n",
             "vantrel_last_cycle_duration_seconds 0.25\n",
             "vantrel_last_cycle_timestamp_seconds 1700000000.5\n",
         }) {
        EXPECT_THAT(text, HasSubstr(line));
    }
    // Figures the cycle did not have are absent, with no HELP or TYPE of their own.
    EXPECT_THAT(text, Not(HasSubstr("vantrel_fan_speed_rpm")));
    EXPECT_THAT(text, Not(HasSubstr("cpu=\"0\"")));
    EXPECT_THAT(text, Not(HasSubstr("level=\"1\"")));
}

TEST(metrics_text, totals_are_the_value_tree_sums) {
    snapshot_builder b;
    cycle_snapshot &lists = b.snapshot;
    two_devices(b, "max34417", "max34417_b");
    for (const auto &[name, uw] : std::vector<std::pair<const char *, std::int64_t>>{
             {"vph", 100000}, {"vph", 200000}, {"apc0", 300000}, {"nsp1_apc1", 100000}}) {
        b.power_of(0, name, uw);
    }
    lists.backlight_present = true;
    lists.backlight_uw = 5;
    const exposition::parsed p = exposition::parse(build(lists));
    const power_totals totals = sum_power_readings(lists);
    // Bit for bit: the text reads back as the very doubles the value tree formats.
    EXPECT_EQ(exposition::value_of(p, "vantrel_power_total_watts{total=\"vph_total\"}"), totals.vph);
    EXPECT_EQ(exposition::value_of(p, "vantrel_power_total_watts{total=\"cores_total\"}"), totals.cores);
    EXPECT_EQ(exposition::value_of(p, "vantrel_power_total_watts{total=\"vph_other\"}"), totals.vph_other);
    EXPECT_EQ(p.samples.at("vantrel_power_total_watts{total=\"vph_total\"}"), "0.30000000000000004");
    // One device reporting "vph" twice: the later reading wins, as it does for the value file.
    EXPECT_EQ(p.samples.at("vantrel_rail_power_watts{device=\"max34417\",rail=\"vph\"}"), "0.2");
}

TEST(metrics_text, label_values_are_escaped) {
    snapshot_builder b;
    cycle_snapshot &lists = b.snapshot;
    b.add_device("max\"34417\\", 1);
    b.power_of(0, "a\nb", 1000000);
    b.power_of(0, "caf\xc3\xa9 \xe2\x82\xac", 1000000);
    b.power_of(0, "bad\xff\xc3(\xed\xa0\x80", 1000000);
    b.power_of(0, "", 1000000);
    b.add_zone("zone {x=\"1\"}", 1000);
    const std::string text = build(lists);
    EXPECT_THAT(text, HasSubstr("{device=\"max\\\"34417\\\\\",rail=\"a\\nb\"} 1\n"));
    EXPECT_THAT(text, HasSubstr(",rail=\"caf\xc3\xa9 \xe2\x82\xac\"} 1\n"));
    // Bytes that are not UTF-8 (a stray byte, a cut sequence, an encoded surrogate) become U+FFFD.
    EXPECT_THAT(text,
                HasSubstr(",rail=\"bad\xef\xbf\xbd\xef\xbf\xbd(\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\"} 1\n"));
    EXPECT_THAT(text, HasSubstr(",rail=\"\"} 1\n"));
    EXPECT_THAT(text, HasSubstr("vantrel_thermal_zone_celsius{zone=\"zone {x=\\\"1\\\"}\"} 1\n"));
}

TEST(metrics_text, same_names_get_an_index_label) {
    // Two devices named alike, a third whose name is unknown, and two zones of one type.
    snapshot_builder b;
    cycle_snapshot &lists = b.snapshot;
    two_devices(b, "max34417", "max34417");
    b.power_of(0, "vph", 1000000);
    b.power_of(1, "vph", 2000000);
    b.add_device("");
    b.power_of(2, "gpu", 3000000);
    b.add_device("max34417_c", 5);
    b.power_of(3, "gpu", 4000000);
    for (const char *type : {"battery", "skin", "battery"}) {
        b.add_zone(type, 30000);
    }
    const exposition::parsed p = exposition::parse(build(lists));
    EXPECT_EQ(p.samples.at("vantrel_rail_power_watts{device=\"max34417\",index=\"0\",rail=\"vph\"}"), "1");
    EXPECT_EQ(p.samples.at("vantrel_rail_power_watts{device=\"max34417\",index=\"1\",rail=\"vph\"}"), "2");
    EXPECT_EQ(p.samples.at("vantrel_rail_power_watts{device=\"\",index=\"2\",rail=\"gpu\"}"), "3");
    EXPECT_EQ(p.samples.at("vantrel_rail_power_watts{device=\"max34417_c\",rail=\"gpu\"}"), "4");
    EXPECT_EQ(p.samples.count("vantrel_accumulator_snapshot_seconds{device=\"max34417\",index=\"1\"}"), 1U);
    EXPECT_EQ(p.samples.count("vantrel_thermal_zone_celsius{zone=\"battery\",index=\"0\"}"), 1U);
    EXPECT_EQ(p.samples.count("vantrel_thermal_zone_celsius{zone=\"battery\",index=\"2\"}"), 1U);
    EXPECT_EQ(p.samples.count("vantrel_thermal_zone_celsius{zone=\"skin\"}"), 1U);
}

TEST(metrics_text, figures_not_read_this_cycle_have_no_sample) {
    // The charger's file and the first of two zones of one type could not be read: sampling recorded
    // them as 0, and 0 is a temperature or a charge a board can really have.
    snapshot_builder b;
    b.add_zone("battery", 0, false);
    b.add_zone("skin", 0);
    b.add_zone("battery", 31000);
    system_figures f;
    f.battery_soc_present = true;
    const std::string text = build(b.snapshot, f);
    const exposition::parsed p = exposition::parse(text);
    EXPECT_THAT(text, Not(HasSubstr("vantrel_battery_charge_ratio")));
    EXPECT_EQ(p.samples.count("vantrel_thermal_zone_celsius{zone=\"battery\",index=\"0\"}"), 0U);
    // The other zone of that type keeps the series it has in every cycle.
    EXPECT_EQ(p.samples.at("vantrel_thermal_zone_celsius{zone=\"battery\",index=\"2\"}"), "31");
    EXPECT_EQ(p.samples.at("vantrel_thermal_zone_celsius{zone=\"skin\"}"), "0");
}

TEST(metrics_text, doubles_round_trip_and_buffer_is_reused) {
    system_figures f;
    f.bcl_present = true;
    f.throttle_percent = 100.0 / 3.0;
    cycle_snapshot lists;
    lists.system = f;
    std::string text;
    ASSERT_EQ(build_metrics(text, lists, daemon_self_report{1, 0, 1.0 / 3.0, 0.0}), 0);
    const exposition::parsed p = exposition::parse(text);
    EXPECT_EQ(exposition::value_of(p, "vantrel_bcl_throttle_ratio"), f.throttle_percent / 100.0);
    EXPECT_EQ(p.samples.at("vantrel_last_cycle_duration_seconds"), "0.3333333333333333");
    EXPECT_EQ(p.samples.at("vantrel_backlight_power_watts"), "0");

    // Once warm, later cycles of the same size build into the same storage.
    const char *storage = text.data();
    const std::size_t capacity = text.capacity();
    ASSERT_EQ(build_metrics(text, lists, daemon_self_report{2, 0, 0.5, 0.0}), 0);
    EXPECT_EQ(text.data(), storage);
    EXPECT_EQ(text.capacity(), capacity);
    EXPECT_THAT(text, HasSubstr("\nvantrel_cycles_total 2\n"));

    lists.system.throttle_percent = std::nan("");
    ASSERT_EQ(build_metrics(text, lists, daemon_self_report{3, 0, 1.0 / 0.0, 0.0}), 0);
    EXPECT_THAT(text, HasSubstr("\nvantrel_bcl_throttle_ratio NaN\n"));
    EXPECT_THAT(text, HasSubstr("\nvantrel_last_cycle_duration_seconds +Inf\n"));
}

// ---- the atomic write, in a private directory under /tmp

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

class metrics_file : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/vpm-metrics-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ASSERT_EQ(::chmod(dir_.c_str(), 0755), 0);
        file_ = dir_ + "/vantrel.prom";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto &e : std::filesystem::directory_iterator(dir_)) {
            names.push_back(e.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string dir_;
    std::string file_;
    metrics_state metrics_;
};

const metrics_problem k_written{};
const metrics_problem k_writable{0, directory_trust::others_may_write};
const metrics_problem k_not_owned{0, directory_trust::foreign_owner};
metrics_problem system_error(int error) {
    return metrics_problem{-error, directory_trust::trusted};
}

TEST_F(metrics_file, replaced_atomically_as_0644_whatever_the_umask) {
    const int inotify = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    ASSERT_GE(inotify, 0);
    ASSERT_GE(::inotify_add_watch(inotify, dir_.c_str(), IN_CREATE | IN_MOVED_TO), 0);

    const mode_t old_umask = ::umask(077);
    const metrics_problem first = write_metrics_file(metrics_, file_.c_str(), "a 1\n");
    const metrics_problem second = write_metrics_file(metrics_, file_.c_str(), "a 2\n");
    ::umask(old_umask);
    ASSERT_EQ(first, k_written);
    ASSERT_EQ(second, k_written);
    EXPECT_EQ(slurp(file_), "a 2\n");
    struct stat st {};
    ASSERT_EQ(::stat(file_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644U);
    EXPECT_EQ(entries(), std::vector<std::string>{"vantrel.prom"});

    // Each file was made under a fresh hidden name the collector ignores, then renamed over FILE.
    std::vector<std::string> created;
    std::vector<std::string> moved;
    for (const support::watch_event &event : support::read_watch_events(inotify)) {
        (event.mask & IN_CREATE ? created : moved).push_back(event.name);
    }
    ::close(inotify);
    ASSERT_EQ(created.size(), 2U);
    EXPECT_EQ(moved, (std::vector<std::string>{"vantrel.prom", "vantrel.prom"}));
    EXPECT_NE(created[0], created[1]);
    for (const std::string &name : created) {
        EXPECT_THAT(name, testing::MatchesRegex("\\.vantrel\\.prom\\.tmp\\.[0-9a-f]{16}"));
    }
}

TEST_F(metrics_file, unsafe_or_missing_directories_are_refused) {
    // The directory as a symbolic link: refused, and the link's target stays empty.
    const std::string real = dir_ + "/real";
    ASSERT_EQ(::mkdir(real.c_str(), 0755), 0);
    ASSERT_EQ(::symlink("real", (dir_ + "/link").c_str()), 0);
    EXPECT_EQ(write_metrics_file(metrics_, (dir_ + "/link/x.prom").c_str(), "a 1\n"), system_error(ENOTDIR));
    EXPECT_TRUE(std::filesystem::is_empty(real));
    // Links higher up the path are followed.
    EXPECT_EQ(write_metrics_file(metrics_, (dir_ + "/link/../real/x.prom").c_str(), "a 1\n"), k_written);

    ASSERT_EQ(::chmod(real.c_str(), 0775), 0);
    EXPECT_EQ(write_metrics_file(metrics_, (real + "/y.prom").c_str(), "a 1\n"), k_writable);
    ASSERT_EQ(::chmod(real.c_str(), 0757), 0);
    EXPECT_EQ(write_metrics_file(metrics_, (real + "/y.prom").c_str(), "a 1\n"), k_writable);
    ASSERT_EQ(::chmod(real.c_str(), 0755), 0);
    {
        // A 0755 directory of another owner. Root gives it one; a user namespace maps only our own uid
        // (chown fails with EINVAL), and there a host directory bound over it shows an unmapped owner.
        struct unbind_at_end {
            std::string dir;
            ~unbind_at_end() {
                if (!dir.empty()) {
                    ::umount2(dir.c_str(), MNT_DETACH);
                }
            }
        } bound;
        if (::chown(real.c_str(), 4321, 4321) != 0) {
            ASSERT_EQ(errno, EINVAL) << std::strerror(errno);
            ASSERT_EQ(::mount("/usr", real.c_str(), nullptr, MS_BIND, nullptr), 0) << std::strerror(errno);
            bound.dir = real;
        }
        struct stat st {};
        ASSERT_EQ(::stat(real.c_str(), &st), 0);
        ASSERT_TRUE(st.st_uid != 0 && st.st_uid != ::geteuid() && (st.st_mode & 07777) == 0755);
        EXPECT_EQ(write_metrics_file(metrics_, (real + "/y.prom").c_str(), "a 1\n"), k_not_owned);
        EXPECT_FALSE(std::filesystem::exists(real + "/y.prom"));
    }
    EXPECT_EQ(write_metrics_file(metrics_, (dir_ + "/missing/x.prom").c_str(), "a 1\n"),
              system_error(ENOENT));
    EXPECT_STREQ(metrics_problem_text(k_writable), "directory is writable by group or others");
    EXPECT_STREQ(metrics_problem_text(k_not_owned),
                 "directory is owned by neither root nor the daemon's user");
    EXPECT_STREQ(metrics_problem_text(system_error(ENOENT)), "No such file or directory");
}

TEST_F(metrics_file, a_failed_rename_leaves_no_temporary_file) {
    // FILE is a non-empty directory: the rename fails and the temporary file is removed.
    ASSERT_EQ(::mkdir(file_.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((file_ + "/keep").c_str(), 0755), 0);
    EXPECT_NE(write_metrics_file(metrics_, file_.c_str(), "a 1\n"), k_written);
    EXPECT_EQ(entries(), std::vector<std::string>{"vantrel.prom"});

    // A link planted at FILE is replaced, never followed.
    std::filesystem::remove_all(file_);
    const std::string target = dir_ + "/target";
    std::ofstream(target) << "precious\n";
    ASSERT_EQ(::symlink(target.c_str(), file_.c_str()), 0);
    EXPECT_EQ(write_metrics_file(metrics_, file_.c_str(), "a 1\n"), k_written);
    EXPECT_EQ(slurp(target), "precious\n");
    EXPECT_FALSE(std::filesystem::is_symlink(file_));
    EXPECT_EQ(slurp(file_), "a 1\n");
}

} // namespace
