// Memory exhaustion where the daemon defines the outcome. A cycle after discovery allocates nothing,
// so no allocation failure can touch it; the discoveries that do allocate are failed at every
// allocation in turn (the 1st, then the 2nd, ...) and must end in a defined outcome: nothing half
// found, a discovery made again next cycle, a log header never forgotten.
#include "failing_allocator.h"
#include "support/board_test.h"
#include "support/snapshot_view.h"
#include "support/tree_at.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

namespace fa = failing_allocator;

constexpr long k_max_attempts = 5000;

// Runs `step` with the nth allocation from here on failing; returns how many allocations were refused.
template <typename Step> long refusals_with_nth_failing(long n, Step step) {
    fa::armed guard;
    fa::fail_nth(n);
    step();
    return fa::refused();
}

std::vector<std::string> names(const cycle_snapshot &s) {
    std::vector<std::string> out;
    for (const thermal_sample &z : s.thermal) {
        out.push_back(*z.type + "=" + std::to_string(z.millidegrees));
    }
    return out;
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

TEST_F(alloc_board_faults, a_cycle_after_discovery_allocates_nothing) {
    monitor_state state;
    state.config.output_root = "/run/pm";
    state.config.write_raw = true;
    state.config.metrics_file = "/run/pm.prom";
    ASSERT_EQ(run_cycle(state), cycle_outcome::published); // the first cycle finds the board
    for (int cycle = 0; cycle < 3; ++cycle) {
        long allocations = 0;
        cycle_outcome outcome{};
        {
            fa::armed guard;
            fa::fail_all();
            outcome = run_cycle(state);
            allocations = fa::allocations();
        }
        EXPECT_EQ(outcome, cycle_outcome::published);
        EXPECT_EQ(allocations, 0) << "cycle " << cycle;
    }
    const std::string log = fakeboard::read_file("/run/pm/power/max34417_raw");
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 5) << log;
    EXPECT_NE(fakeboard::read_file("/run/pm.prom").find("vantrel_cycles_total 4\n"), std::string::npos);
}

TEST_F(alloc_board_faults, a_failed_hwmon_search_finds_nothing_at_all) {
    long n = 1;
    long failed = 0;
    for (; n < k_max_attempts; ++n) {
        board_inventory board;
        int devices_rc = 0;
        int fan_rc = 0;
        int bcl_rc = 0;
        const long refused = refusals_with_nth_failing(n, [&] {
            devices_rc = find_accumulator_devices(board.devices);
            fan_rc = find_fan(board);
            bcl_rc = find_bcl_sensor(board);
        });
        if (refused == 0) {
            ASSERT_EQ(devices_rc | fan_rc | bcl_rc, 0);
            EXPECT_EQ(board.devices.size(), 2u);
            EXPECT_TRUE(board.fan_found && board.bcl_found);
            break;
        }
        // A name that could not be read for want of memory skips its directory, as any unreadable
        // name does; otherwise the search fails whole and is made again next cycle.
        if (devices_rc != 0) {
            ++failed;
            EXPECT_TRUE(board.devices.empty()) << "allocation " << n;
        }
        EXPECT_EQ(board.fan_searched, fan_rc == 0) << "allocation " << n;
        EXPECT_EQ(board.bcl_searched, bcl_rc == 0) << "allocation " << n;
    }
    EXPECT_LT(n, k_max_attempts);
    EXPECT_GE(failed, 1);
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
        monitor_state state; // a fresh process
        fakeboard::remove_device(late_zone);
        fakeboard::remove_device(later_zone);
        const long refused =
            refusals_with_nth_failing(n, [&] { sample_platform_sensors(state.board, state.snapshot); });
        if (refused == 0) {
            EXPECT_EQ(state.snapshot.thermal.size(), 12u);
            break;
        }
        const bool first_empty = state.snapshot.thermal.empty();
        // A zone that appears now is seen only if the first discovery did not complete.
        add_zone(late_zone, "late");
        sample_platform_sensors(state.board, state.snapshot);
        const std::vector<std::string> zones = names(state.snapshot);
        const std::size_t second = zones.size();
        if (second == 13) {
            ++retried;
            EXPECT_TRUE(first_empty) << "allocation " << n;
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
        sample_platform_sensors(state.board, state.snapshot);
        EXPECT_EQ(state.snapshot.thermal.size(), second) << "allocation " << n;
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
    snapshot_builder b;
    b.add_zone("cpu0-thermal", 41000);
    long n = 1;
    for (; n < k_max_attempts; ++n) {
        raw_log_state logs; // a fresh run
        fakeboard::remove_tree(log);
        int first_rc = 0;
        b.snapshot.cycle_time_s = 1.0;
        const long refused = refusals_with_nth_failing(
            n, [&] { first_rc = write_thermal_log("/run/power-monitor", logs, b.snapshot); });
        const std::string after_first = fakeboard::file_exists(log) ? fakeboard::read_file(log) : "";
        b.snapshot.cycle_time_s = 2.0;
        ASSERT_EQ(write_thermal_log("/run/power-monitor", logs, b.snapshot), 0) << "allocation " << n;
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
