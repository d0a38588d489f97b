// Memory exhaustion where the daemon defines the outcome. Each test fails every allocation of the
// code under test in turn (the 1st, then the 2nd, ...) and checks that the outcome is one of the
// defined ones: a reading dropped, a cycle's thermal list emptied, a discovery retried next cycle.
#include "failing_allocator.h"
#include "support/board_test.h"
#include "support/readings.h"
#include "support/tree_at.h"

#include "common/readings.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

namespace fa = failing_allocator;
using support::named_values;

constexpr long k_max_attempts = 5000;

// Runs `step` with the nth allocation from here on failing; returns how many allocations were refused.
template <typename Step> long refusals_with_nth_failing(long n, Step step) {
    fa::armed guard;
    fa::fail_nth(n);
    step();
    return fa::refused();
}

// True when `shorter` is `full` with exactly one entry left out, order kept.
bool one_left_out(const std::vector<std::string> &full, const std::vector<std::string> &shorter) {
    if (shorter.size() + 1 != full.size()) {
        return false;
    }
    std::size_t skipped = 0;
    for (std::size_t i = 0, j = 0; i < full.size(); ++i) {
        if (j < shorter.size() && full[i] == shorter[j]) {
            ++j;
        } else {
            ++skipped;
        }
    }
    return skipped == 1;
}

TEST(alloc_faults, reading_list_append_drops_only_the_reading) {
    const std::string long_name = "a_rail_name_too_long_for_the_small_string_buffer";
    reading_list base;
    reading_list_append(base, "vph", 1);
    reading_list_append(base, "apc0", 2);
    long refusals_seen = 0;
    long n = 1;
    for (; n < k_max_attempts; ++n) {
        reading_list list = base;
        list.items.shrink_to_fit(); // full, so the append must grow the array
        const long refused =
            refusals_with_nth_failing(n, [&] { reading_list_append(list, long_name.c_str(), 3); });
        if (refused == 0) {
            // Past the last allocation: the append went through.
            EXPECT_EQ(named_values(list), (std::vector<std::string>{"vph=1", "apc0=2", long_name + "=3"}));
            break;
        }
        ++refusals_seen;
        EXPECT_EQ(named_values(list), named_values(base)) << "allocation " << n;
        // The list is still usable.
        reading_list_append(list, "ddr", 4);
        EXPECT_EQ(named_values(list), (std::vector<std::string>{"vph=1", "apc0=2", "ddr=4"}))
            << "allocation " << n;
    }
    // The name copy and the array growth can each fail.
    EXPECT_GE(refusals_seen, 2);

    reading_list list = base;
    {
        fa::armed guard;
        fa::fail_all();
        for (int i = 0; i < 100; ++i) {
            reading_list_append(list, long_name.c_str(), i);
        }
    }
    EXPECT_EQ(named_values(list), named_values(base));
}

class alloc_board_faults : public board_test {
  protected:
    void lay_out_board() override {
        board_ = fakeboard::reference_board();
        // A type too long for the small-string buffer, so copying it allocates too.
        board_.zones[5].type = "nsp-thermal-zone-with-a-long-type";
        fakeboard::lay_out(board_);
    }

    fakeboard::board board_;
};

struct platform_lists {
    reading_list power;
    reading_list system;
    thermal_readings thermal;
};

platform_lists sample_platform() {
    platform_lists l;
    sample_platform_sensors(l.power, l.system, l.thermal);
    return l;
}

TEST_F(alloc_board_faults, failed_thermal_append_empties_the_thermal_list_and_nothing_else) {
    // Discovery done beforehand: only the cycle's own allocations are failed here.
    const platform_lists reference = sample_platform();
    ASSERT_EQ(reference.thermal.items.size(), 12u);
    ASSERT_EQ(reference.power.items.size(), 1u);
    ASSERT_GE(reference.system.items.size(), 15u);

    long emptied = 0;
    long n = 1;
    for (; n < k_max_attempts; ++n) {
        platform_lists got;
        const long refused = refusals_with_nth_failing(
            n, [&] { sample_platform_sensors(got.power, got.system, got.thermal); });
        if (refused == 0) {
            break;
        }
        const bool thermal_whole = named_values(got.thermal) == named_values(reference.thermal);
        const bool power_whole = named_values(got.power) == named_values(reference.power);
        const bool system_whole = named_values(got.system) == named_values(reference.system);
        // One allocation failed: exactly one list shows it, in its defined way.
        EXPECT_EQ((thermal_whole ? 0 : 1) + (power_whole ? 0 : 1) + (system_whole ? 0 : 1), 1)
            << "allocation " << n;
        EXPECT_TRUE(thermal_whole || got.thermal.items.empty()) << "allocation " << n;
        EXPECT_TRUE(power_whole || got.power.items.empty()) << "allocation " << n;
        EXPECT_TRUE(system_whole || one_left_out(named_values(reference.system), named_values(got.system)))
            << "allocation " << n;
        if (got.thermal.items.empty()) {
            ++emptied;
            EXPECT_EQ(got.thermal.items.capacity(), 0u) << "the list's array is released too";
        }
    }
    EXPECT_LT(n, k_max_attempts);
    // The array growths and the long type's copy.
    EXPECT_GE(emptied, 3);
    // The next cycle is whole again.
    EXPECT_EQ(named_values(sample_platform().thermal), named_values(reference.thermal));
}

TEST_F(alloc_board_faults, failed_device_cache_allocation_skips_the_cycle_and_is_retried_next_cycle) {
    long retried = 0;
    long n = 1;
    for (; n < k_max_attempts; ++n) {
        release_accumulator_devices();
        cycle_readings lists;
        int rc = 0;
        const long refused = refusals_with_nth_failing(n, [&] {
            rc = sample_accumulator_devices(lists.power_readings, lists.voltage_readings,
                                            lists.accumulator_readings, lists.timestamp_readings);
        });
        if (refused == 0) {
            EXPECT_EQ(rc, 0);
            break;
        }
        if (rc != 0) {
            ++retried;
            EXPECT_EQ(rc, -1);
            // Nothing appended, no half-made cache.
            EXPECT_EQ(lists.power_readings.count() + lists.voltage_readings.count() +
                          lists.accumulator_readings.count() + lists.timestamp_readings.count(),
                      0u)
                << "allocation " << n;
            EXPECT_TRUE(accumulator_devices().empty()) << "allocation " << n;
            // The next cycle discovers again and samples both devices.
            cycle_readings next;
            ASSERT_EQ(sample_accumulator_devices(next.power_readings, next.voltage_readings,
                                                 next.accumulator_readings, next.timestamp_readings),
                      0);
            EXPECT_EQ(accumulator_devices().size(), 2u);
            EXPECT_EQ(next.power_readings.count(), 8u);
            EXPECT_EQ(next.voltage_readings.count(), 8u);
            EXPECT_EQ(next.accumulator_readings.count(), 2u);
            EXPECT_EQ(next.timestamp_readings.count(), 2u);
        } else {
            // A failure after the cache was made costs readings (or a device left out), never the cycle.
            EXPECT_LE(accumulator_devices().size(), 2u);
        }
    }
    EXPECT_LT(n, k_max_attempts);
    EXPECT_GE(retried, 1);
}

TEST_F(alloc_board_faults, failed_zone_discovery_is_retried_next_cycle) {
    const std::string late_zone = fakeboard::zone_dir("thermal_zone90");
    const std::string later_zone = fakeboard::zone_dir("thermal_zone91");
    auto add_zone = [](const std::string &dir, const char *type) {
        fakeboard::write_file(dir + "/type", std::string(type) + "\n");
        fakeboard::write_file(dir + "/temp", "1000\n");
    };
    long retried = 0;
    long n = 1;
    for (; n < k_max_attempts; ++n) {
        release_platform_sensors();
        fakeboard::remove_device(late_zone);
        fakeboard::remove_device(later_zone);
        platform_lists first;
        const long refused = refusals_with_nth_failing(
            n, [&] { sample_platform_sensors(first.power, first.system, first.thermal); });
        if (refused == 0) {
            EXPECT_EQ(first.thermal.items.size(), 12u);
            break;
        }
        // A zone that appears now is seen only if the first discovery did not complete.
        add_zone(late_zone, "late");
        const std::vector<std::string> zones = named_values(sample_platform().thermal);
        const std::size_t second = zones.size();
        if (second == 13) {
            ++retried;
            EXPECT_TRUE(first.thermal.items.empty()) << "allocation " << n;
        } else if (second == 11) {
            // A type that cannot be read leaves its zone out, memory or not; only the long type
            // needs memory to be read.
            EXPECT_EQ(std::count(zones.begin(), zones.end(), board_.zones[5].type + "=40000"), 0)
                << "allocation " << n;
        } else {
            EXPECT_EQ(second, 12u) << "allocation " << n;
        }
        // Once complete, the zone list is final.
        add_zone(later_zone, "later");
        EXPECT_EQ(sample_platform().thermal.items.size(), second) << "allocation " << n;
    }
    EXPECT_LT(n, k_max_attempts);
    EXPECT_GE(retried, 1);
}

} // namespace

namespace {

// A log whose header was written is never recreated later in the run, however the allocations of
// that first pass go: a recreated log would lose the lines already appended to it.
TEST_F(alloc_board_faults, a_written_log_header_is_never_forgotten) {
    const std::string log = "/run/power-monitor/power/thermal_raw";
    cycle_readings lists;
    ASSERT_TRUE(thermal_readings_append(lists.thermal, "cpu0-thermal", 41000));
    long n = 1;
    for (; n < k_max_attempts; ++n) {
        release_daemon_state();
        fakeboard::remove_tree(log);
        int first_rc = 0;
        const long refused = refusals_with_nth_failing(
            n, [&] { first_rc = write_thermal_raw_log("/run/power-monitor", lists, 1.0); });
        const std::string after_first = fakeboard::file_exists(log) ? fakeboard::read_file(log) : "";
        ASSERT_EQ(write_thermal_raw_log("/run/power-monitor", lists, 2.0), 0) << "allocation " << n;
        if (refused == 0) {
            break;
        }
        if (first_rc == 0) {
            EXPECT_EQ(fakeboard::read_file(log), "time,cpu0-thermal\n1.000,41.000\n2.000,41.000\n")
                << "allocation " << n;
        } else {
            // Whatever the failed pass left is kept, and the header comes once, at the top.
            EXPECT_EQ(fakeboard::read_file(log),
                      (after_first.empty() ? "time,cpu0-thermal\n" : after_first) + "2.000,41.000\n")
                << "allocation " << n;
        }
    }
    EXPECT_GT(n, 1) << "the header pass allocates, so some attempt must have been refused";
    EXPECT_LT(n, k_max_attempts);
}

} // namespace
