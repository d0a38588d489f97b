#include "daemon/cycle.h"
#include "daemon/monitor.h"

#include "common/time_helpers.h"
#include "support/board_test.h"
#include "support/expected.h"
#include "support/snapshot_view.h"

#include <climits>
#include <string>
#include <vector>

namespace {

struct argv_builder {
    explicit argv_builder(std::vector<std::string> words) : storage(std::move(words)) {
        for (std::string &w : storage) {
            pointers.push_back(w.data());
        }
        pointers.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(storage.size()); }
    char **argv() { return pointers.data(); }
    std::vector<std::string> storage;
    std::vector<char *> pointers;
};

// config.output_root points into args, so a test that reads it keeps args alive.
parse_outcome parse(argv_builder &args, monitor_config &config) {
    testing::internal::CaptureStderr();
    const parse_outcome outcome = parse_command_line(args.argc(), args.argv(), config);
    testing::internal::GetCapturedStderr();
    return outcome;
}

parse_outcome parse(std::vector<std::string> words, monitor_config &config) {
    argv_builder args(std::move(words));
    return parse(args, config);
}

TEST(command_line, interval_is_at_least_one_and_clamped) {
    EXPECT_EQ(parse_period_ms("0"), 1);
    EXPECT_EQ(parse_period_ms("-5"), 1);
    EXPECT_EQ(parse_period_ms("fast"), 1);
    EXPECT_EQ(parse_period_ms("250ms"), 250);
    EXPECT_EQ(parse_period_ms("2147483647"), INT32_MAX);
    EXPECT_EQ(parse_period_ms("2147483648"), INT32_MAX);
    EXPECT_EQ(parse_period_ms("99999999999999999999999"), INT32_MAX);
    EXPECT_EQ(parse_period_ms("-99999999999999999999999"), 1);
}

TEST(command_line, options_defaults_and_overrides) {
    monitor_config config;
    ASSERT_EQ(parse({"vpm"}, config), parse_outcome::run);
    EXPECT_STREQ(config.output_root, "/run/power-monitor");
    EXPECT_EQ(config.period_ms, 1000);
    EXPECT_FALSE(config.single_shot || config.write_raw || config.elapsed_time);

    argv_builder overrides({"vpm", "-i", "100", "--interval-ms", "250", "--once", "--raw", "--etime",
                            "--root-dir", "/a", "--root-dir", "/b", "extra", "words"});
    ASSERT_EQ(parse(overrides, config), parse_outcome::run);
    EXPECT_EQ(config.period_ms, 250);
    EXPECT_STREQ(config.output_root, "/b");
    EXPECT_TRUE(config.single_shot && config.write_raw && config.elapsed_time);

    EXPECT_EQ(parse({"vpm", "-h"}, config), parse_outcome::help);
    EXPECT_EQ(parse({"vpm", "--help"}, config), parse_outcome::help);
    EXPECT_EQ(parse({"vpm", "--bogus"}, config), parse_outcome::bad_option);
    EXPECT_EQ(parse({"vpm", "-x"}, config), parse_outcome::bad_option);
    EXPECT_EQ(parse({"vpm", "-i"}, config), parse_outcome::bad_option);
}

TEST(command_line, metrics_file_must_be_a_prom_name) {
    monitor_config config;
    ASSERT_EQ(parse({"vpm"}, config), parse_outcome::run);
    EXPECT_EQ(config.metrics_file, nullptr);
    argv_builder debian({"vpm", "--metrics", "/var/lib/prometheus/node-exporter/vantrel.prom"});
    ASSERT_EQ(parse(debian, config), parse_outcome::run);
    EXPECT_STREQ(config.metrics_file, "/var/lib/prometheus/node-exporter/vantrel.prom");
    argv_builder joined({"vpm", "--metrics=board.prom"});
    ASSERT_EQ(parse(joined, config), parse_outcome::run);
    EXPECT_STREQ(config.metrics_file, "board.prom");

    for (const char *bad : {"", "board.prom.tmp", "board.txt", "prom", "/var/lib/x/board.PROM"}) {
        argv_builder args({"vpm", "--metrics", bad});
        testing::internal::CaptureStderr();
        EXPECT_EQ(parse_command_line(args.argc(), args.argv(), config), parse_outcome::bad_option) << bad;
        EXPECT_EQ(testing::internal::GetCapturedStderr().rfind("Usage: vpm \n", 0), 0U) << bad;
    }
    EXPECT_EQ(parse({"vpm", "--metrics"}, config), parse_outcome::bad_option);
}

TEST(command_line, usage_text_is_exact) {
    monitor_config config;
    argv_builder args({"/usr/sbin/vpm", "--help"});
    testing::internal::CaptureStderr();
    ASSERT_EQ(parse_command_line(args.argc(), args.argv(), config), parse_outcome::help);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), support::usage_text("/usr/sbin/vpm"));
}

class cycle : public board_test {};

TEST_F(cycle, one_cycle_publishes_or_fails) {
    fakeboard::lay_out(fakeboard::reference_board());
    monitor_state state;
    state.config.output_root = "/run/pm";
    state.config.write_raw = true;
    state.start_time = monotonic_now();
    EXPECT_EQ(run_cycle(state), cycle_outcome::published);
    EXPECT_EQ(fakeboard::read_file("/run/pm/power/vph"), "0.350000\n");
    EXPECT_TRUE(fakeboard::file_exists("/run/pm/power/thermal_raw"));
    EXPECT_TRUE(state.derive.throttle.has_previous);

    // Without --raw no log is touched; the throttle figure is still derived, for the metrics.
    monitor_state plain;
    plain.config.output_root = "/run/plain";
    EXPECT_EQ(run_cycle(plain), cycle_outcome::published);
    EXPECT_TRUE(plain.derive.throttle.has_previous);
    EXPECT_FALSE(fakeboard::file_exists("/run/plain/power/system_raw"));
    EXPECT_TRUE(fakeboard::file_exists("/run/plain/power/vph"));

    fakeboard::write_file("/run/file", "x");
    plain.config.output_root = "/run/file";
    EXPECT_EQ(run_cycle(plain), cycle_outcome::failed);
}

TEST_F(cycle, leaving_returns_only_our_own_devices_to_auto) {
    fakeboard::lay_out(fakeboard::reference_board());
    const std::string mode = fakeboard::hwmon_dir("hwmon2") + "/accumulator_update_mode";
    fakeboard::write_file(mode, "manual");
    monitor_state state;
    leave_devices(state);
    EXPECT_EQ(fakeboard::read_file(mode), "manual") << "another daemon's devices are left alone";
    state.devices_are_ours = true;
    leave_devices(state);
    EXPECT_EQ(fakeboard::read_file(mode), "auto");
}

TEST(cycle_time, monotonic_or_elapsed) {
    monitor_config config;
    const timespec start{100, 500000000};
    const timespec now{103, 250000000};
    EXPECT_DOUBLE_EQ(cycle_time_seconds(config, start, now), 103.25);
    config.elapsed_time = true;
    EXPECT_DOUBLE_EQ(cycle_time_seconds(config, start, now), 2.75);
}

} // namespace
