// The energy counters: exact integer arithmetic, the rules for what counts and what is a gap, and a
// daemon's own cycles on a fake board checked against the sum of its own averages and latch times.
#include "derive/energy.h"

#include "common/platform_paths.h"
#include "common/time_helpers.h"
#include "daemon/control.h"
#include "daemon/cycle.h"
#include "publish/energy_snapshot.h"
#include "publish/number_text.h"
#include "support/board_test.h"
#include "support/snapshot_view.h"
#include "support/text.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>

namespace {

__extension__ typedef __int128 wide;

constexpr std::int64_t k_ns_per_s = 1000000000;

TEST(energy_arithmetic, exact_at_the_extremes) {
    // 10 W for 1 ms: 0.01 J.
    channel_energy one;
    add_energy(one, 10000000, 1000000);
    EXPECT_EQ(one.nanojoules, 10000000);
    EXPECT_EQ(one.remainder, 0);

    // One interval of 2147483647 ms at 10 W: 21474836.47 J, beyond 64 bits as µW·ns.
    channel_energy longest;
    add_energy(longest, 10000000, std::int64_t{2147483647} * 1000000);
    EXPECT_EQ(longest.nanojoules, std::int64_t{21474836470000000});

    // Ten years at 10 W in one-day chunks: 3.1536e9 J, within the counter's 9.2 GJ.
    channel_energy decade;
    for (int day = 0; day < 3650; ++day) {
        add_energy(decade, 10000000, 86400 * k_ns_per_s);
    }
    EXPECT_EQ(decade.nanojoules, std::int64_t{3153600000} * k_ns_per_s);

    // Intervals each below a nanojoule are carried, not dropped: a million of 999 µW·ns is 999 nJ.
    channel_energy tiny;
    for (int i = 0; i < 1000000; ++i) {
        add_energy(tiny, 1, 999);
    }
    EXPECT_EQ(tiny.nanojoules, 999);
    EXPECT_EQ(tiny.remainder, 0);

    // Negative averages carry the same way, and a counter beyond 64 bits saturates.
    channel_energy negative;
    add_energy(negative, -3, 500000);
    add_energy(negative, -3, 500000);
    EXPECT_EQ(negative.nanojoules, -3);
    channel_energy huge;
    huge.nanojoules = std::numeric_limits<std::int64_t>::max() - 1;
    add_energy(huge, 10000000, k_ns_per_s);
    EXPECT_EQ(huge.nanojoules, std::numeric_limits<std::int64_t>::max());
}

TEST(energy_arithmetic, joules_print_from_the_integers) {
    char text[64];
    auto joules = [&](std::int64_t nanojoules) {
        const char *end = put_joules(text, text + sizeof text, nanojoules);
        return end != nullptr ? std::string(static_cast<const char *>(text), end) : std::string("(none)");
    };
    EXPECT_EQ(joules(0), "0.000000");
    EXPECT_EQ(joules(1499), "0.000001");
    EXPECT_EQ(joules(1500), "0.000002");
    EXPECT_EQ(joules(-1500), "-0.000002");
    EXPECT_EQ(joules(21474836470000000), "21474836.470000");
    EXPECT_EQ(joules(std::numeric_limits<std::int64_t>::max()), "9223372036.854776");
    const char *end = put_scaled_fixed(text, text + sizeof text, std::numeric_limits<std::int64_t>::min(), 9);
    ASSERT_NE(end, nullptr);
    EXPECT_EQ(std::string(static_cast<const char *>(text), end), "-9223372036.854775808");
}

// Hand-made cycles: one device with two labelled channels.
class energy_rules : public ::testing::Test {
  protected:
    void SetUp() override {
        b.add_device("max34417");
        b.power_of(0, "vph", 0);
        b.power_of(0, "apc0_l3", 0);
        b.power_of(0, "ddr", 0);
    }
    // A cycle latched at `t_ms` with the channels' averages (µW; negative: unreadable).
    void cycle(std::int64_t t_ms, std::array<std::int64_t, 3> averages, bool latched = true,
               std::int64_t boot_offset_ms = 0) {
        device_sample &d = b.snapshot.devices[0];
        d.latch_written = latched;
        d.latched_ns = t_ms * 1000000;
        d.boot_offset_ns = boot_offset_ms * 1000000;
        for (std::size_t n = 0; n < averages.size(); ++n) {
            d.power[n].read = averages[n] >= 0;
            d.power[n].value = averages[n] >= 0 ? averages[n] : 0;
        }
        ASSERT_EQ(count_energy(counters, b.snapshot), 0);
    }
    const channel_energy &channel(std::size_t n) const { return counters.devices.at(0).channels.at(n); }

    snapshot_builder b;
    energy_counters counters;
};

TEST_F(energy_rules, first_latch_starts_the_count_and_gaps_are_never_guessed) {
    cycle(1000, {5000000, 1000000, 2000000});
    EXPECT_EQ(channel(0).nanojoules, 0) << "the first average covers an unknown time";
    cycle(2000, {2000000, 1000000, 2000000}); // 2 W for 1 s
    EXPECT_EQ(channel(0).nanojoules, 2 * k_ns_per_s);
    // An unreadable average: that channel's interval is a gap, the others count.
    cycle(2500, {-1, 1000000, 2000000});
    EXPECT_EQ(channel(0).nanojoules, 2 * k_ns_per_s);
    EXPECT_EQ(channel(0).gap_ns, 500000000);
    EXPECT_EQ(channel(1).nanojoules, 1500000000);
    // A failed latch write: the whole span to the next good latch is a gap on every channel.
    cycle(3000, {1000000, 1000000, 1000000}, false);
    cycle(3500, {1000000, 1000000, 1000000});
    EXPECT_EQ(channel(0).gap_ns, 1500000000);
    EXPECT_EQ(channel(1).gap_ns, 1000000000);
    EXPECT_EQ(channel(1).nanojoules, 1500000000);
    cycle(4000, {1000000, 1000000, 1000000});
    EXPECT_EQ(channel(1).nanojoules, 2000000000);
    // An interval across a suspend is a gap; a few milliseconds between the two clock reads is not.
    cycle(5000, {1000000, 1000000, 1000000}, true, 3);
    EXPECT_EQ(channel(1).nanojoules, 3000000000);
    cycle(6000, {1000000, 1000000, 1000000}, true, 60003);
    EXPECT_EQ(channel(1).nanojoules, 3000000000);
    EXPECT_EQ(channel(1).gap_ns, 2000000000);
}

TEST_F(energy_rules, totals_follow_the_power_totals_and_take_the_largest_gap) {
    cycle(0, {0, 0, 0});
    cycle(1000, {3000000, 1000000, 500000});
    cycle(2000, {3000000, -1, 500000});
    EXPECT_EQ(counters.vph.nanojoules, 6 * k_ns_per_s);
    EXPECT_EQ(counters.cores.nanojoules, k_ns_per_s) << "apc0_l3 is a core rail";
    EXPECT_EQ(counters.vph_other.nanojoules, 6 * k_ns_per_s - k_ns_per_s - k_ns_per_s);
    EXPECT_EQ(counters.vph.gap_ns, 0);
    EXPECT_EQ(counters.vph_other.gap_ns, k_ns_per_s);
    EXPECT_EQ(counters.cores.gap_ns, k_ns_per_s);

    // A channel whose label is unknown still counts; it joins the totals once its label is read.
    b.snapshot.devices[0].power[2].label = nullptr;
    energy_counters fresh;
    counters = fresh;
    cycle(0, {0, 0, 0});
    cycle(1000, {0, 0, 700000});
    EXPECT_EQ(channel(2).nanojoules, 700000000);
    EXPECT_EQ(counters.vph_other.nanojoules, 0);
}

// A client of the control socket, in the test's own process: the daemon's wait serves it.
struct latch_client {
    unique_fd fd;

    void connect_now() {
        fd.reset(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, platform_paths::control_socket);
        ASSERT_EQ(::connect(fd.fd, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
    }
    // Asks for a latch, lets the daemon wait `wait_ms`, and returns each device's (latch ns, sequence).
    std::vector<std::pair<std::int64_t, std::int64_t>> latch(monitor_state &state, std::uint32_t wait_ms) {
        EXPECT_EQ(::send(fd.fd, "latch\n", 6, 0), 6);
        std::string reply(1 << 20, '\0');
        ssize_t n = -1;
        // Waits of wait_ms until the reply came: a loaded machine may hold the process past one.
        for (int wait = 0; wait < 400 && n < 0; ++wait) {
            timespec deadline = monotonic_now();
            timespec_add_ms(deadline, wait_ms);
            wait_for_deadline(state, deadline);
            n = ::recv(fd.fd, reply.data(), reply.size(), MSG_DONTWAIT);
        }
        EXPECT_GT(n, 0) << "no reply";
        reply.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        std::vector<std::pair<std::int64_t, std::int64_t>> out;
        for (const std::string &line : support::lines_in(reply)) {
            const std::vector<std::string> f = support::fields_of(line);
            if (f[0] == "latch") {
                EXPECT_EQ(std::stoul(f[1]), out.size());
                out.emplace_back(f[2].empty() ? -1 : std::stoll(f[2]), std::stoll(f[3]));
            }
        }
        return out;
    }
};

// The test's own account of one device: what the counters and the published power must be, from the
// averages it wrote and the latch times the daemon reported.
struct device_account {
    std::int64_t previous_latch = -1;
    std::int64_t sequence = 0;
    bool missed = false;
    std::array<wide, 4> expected{}; // µW·ns per channel
    std::array<std::int64_t, 4> gaps{};
    int sub_intervals = 0;
    std::array<wide, 4> period_uw_ns{};
    std::array<std::int64_t, 4> period_ns{};
    std::array<bool, 4> period_unreadable{};

    // A latch reported with `sequence`: counted when the write succeeded (the sequence advanced).
    void latched(std::int64_t ns, std::int64_t new_sequence,
                 const std::array<std::optional<std::int64_t>, 4> &avg) {
        if (new_sequence == sequence) {
            missed = missed || previous_latch >= 0;
            return;
        }
        EXPECT_EQ(new_sequence, sequence + 1);
        sequence = new_sequence;
        if (previous_latch >= 0) {
            const std::int64_t elapsed = ns - previous_latch;
            ++sub_intervals;
            for (std::size_t n = 0; n < 4; ++n) {
                if (avg[n].has_value() && !missed) {
                    expected[n] += static_cast<wide>(*avg[n]) * elapsed;
                } else {
                    gaps[n] += elapsed;
                }
                if (avg[n].has_value()) {
                    period_uw_ns[n] += static_cast<wide>(*avg[n]) * elapsed;
                    period_ns[n] += elapsed;
                } else {
                    period_unreadable[n] = true;
                }
            }
        }
        previous_latch = ns;
        missed = false;
    }
    // What the cycle publishes for channel n given its own average (nullopt: unreadable), and the
    // period starts again.
    std::optional<std::int64_t> published(std::size_t n, std::optional<std::int64_t> own) const {
        if (sub_intervals <= 1) {
            return own;
        }
        if (period_unreadable[n] || !own.has_value()) {
            return std::nullopt;
        }
        const wide half = period_ns[n] / 2;
        return static_cast<std::int64_t>((period_uw_ns[n] + half) / period_ns[n]);
    }
    void new_period() {
        sub_intervals = 0;
        period_uw_ns = {};
        period_ns = {};
        period_unreadable = {};
    }
};

// The averages the daemon finds in a device's files now (nullopt: unreadable).
std::array<std::optional<std::int64_t>, 4> averages_in_files(const accumulator_device &device) {
    std::array<std::optional<std::int64_t>, 4> out;
    for (std::size_t n = 0; n < 4; ++n) {
        const std::string text = fakeboard::read_file(device.power_average[n]);
        char *end = nullptr;
        const long long value = std::strtoll(text.c_str(), &end, 10);
        if (end != text.c_str() && (*end == '\n' || *end == '\0')) {
            out[n] = value;
        }
    }
    return out;
}

// A daemon's own cycles on the reference board, with averages changing every cycle, latches on
// request between cycles (new averages written before each), a spell of unreadable averages and one
// of failed latches: every counter equals the sum of the daemon's own averages times its latch
// intervals, and each cycle publishes Σ average × Δt / Σ Δt of its period.
class energy_cycles : public board_test {};

TEST_F(energy_cycles, counters_equal_the_sum_of_the_daemon_s_own_averages_and_latch_times) {
    fakeboard::board board = fakeboard::reference_board();
    fakeboard::lay_out(board);
    monitor_state state;
    state.config.output_root = "/run/pm";
    state.config.count_energy = true;
    state.derive.count_energy = true;
    state.start_time = monotonic_now();
    ASSERT_EQ(::mkdir(platform_paths::lock_directory, 0755), 0);
    ASSERT_EQ(open_control_socket(state.control, control_access{}), 0);
    latch_client client;
    client.connect_now();

    std::mt19937_64 random(20261209);
    std::vector<device_account> accounts;
    const std::string hwmon2 = fakeboard::hwmon_dir("hwmon2");
    const std::string trigger = hwmon2 + "/accumulator_update";
    auto new_averages = [&] {
        for (fakeboard::accumulator_chip &chip : board.chips) {
            for (auto &average : chip.power_average_uw) {
                average = static_cast<std::int64_t>(random() % 4000000);
            }
        }
        fakeboard::write_live_values(board);
    };
    auto refuse_latches = [&](bool refuse) {
        if (refuse) {
            ASSERT_EQ(::mount(trigger.c_str(), trigger.c_str(), nullptr, MS_BIND, nullptr), 0);
            ASSERT_EQ(::mount(nullptr, trigger.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr),
                      0);
        } else {
            ASSERT_EQ(::umount(trigger.c_str()), 0);
        }
    };
    int requested = 0;
    int split_cycles = 0;
    int unreadable_published = 0;
    for (int cycle = 0; cycle < 120; ++cycle) {
        // Requests on two cycles of three after the first (the device list is the first cycle's): one,
        // or two 10 ms apart.
        const int requests = cycle == 0 ? 0 : cycle % 3;
        const bool refuse = cycle >= 60 && cycle < 65;
        for (int r = 0; r < requests; ++r) {
            new_averages();
            // hwmon2's channel 3 is unreadable for one requested latch only: its cycle must not show it.
            if (cycle % 20 == 7 && r == 0) {
                fakeboard::write_file(hwmon2 + "/power3_average", "junk\n");
            }
            std::vector<std::array<std::optional<std::int64_t>, 4>> averages;
            for (const accumulator_device &device : state.board.devices) {
                averages.push_back(averages_in_files(device));
            }
            if (refuse) {
                refuse_latches(true);
            }
            const auto latches = client.latch(state, 25);
            if (refuse) {
                refuse_latches(false);
            }
            ASSERT_EQ(latches.size(), accounts.size());
            for (std::size_t d = 0; d < accounts.size(); ++d) {
                accounts[d].latched(latches[d].first, latches[d].second, averages[d]);
            }
            ++requested;
        }
        new_averages();
        // hwmon2's channel 2 goes unreadable for a while, and its trigger refuses writes for a while.
        if (cycle >= 30 && cycle < 40) {
            fakeboard::write_file(hwmon2 + "/power2_average", "junk\n");
        }
        std::vector<std::array<std::optional<std::int64_t>, 4>> averages;
        for (const accumulator_device &device : state.board.devices) {
            averages.push_back(averages_in_files(device));
        }
        if (refuse) {
            refuse_latches(true);
        }
        ASSERT_EQ(run_cycle(state), cycle_outcome::published);
        if (refuse) {
            refuse_latches(false);
        }
        const cycle_snapshot &s = state.snapshot;
        if (cycle == 0) {
            accounts.resize(s.devices.size());
            averages.resize(s.devices.size());
            for (const accumulator_device &device : state.board.devices) {
                averages[static_cast<std::size_t>(&device - state.board.devices.data())] =
                    averages_in_files(device);
            }
        }
        for (std::size_t d = 0; d < s.devices.size(); ++d) {
            const device_sample &device = s.devices[d];
            device_account &account = accounts[d];
            const std::int64_t sequence = account.sequence + (device.latch_written ? 1 : 0);
            account.latched(device.latched_ns, sequence, averages[d]);
            split_cycles += account.sub_intervals > 1 ? 1 : 0;
            for (std::size_t n = 0; n < 4; ++n) {
                const std::optional<std::int64_t> own = averages[d][n];
                const std::optional<std::int64_t> want =
                    device.latch_written ? account.published(n, own) : own;
                const channel_sample &channel = device.power[n];
                ASSERT_EQ(channel.read, want.has_value()) << "cycle " << cycle << " " << d << "/" << n;
                unreadable_published += own.has_value() && !want.has_value() ? 1 : 0;
                if (want.has_value()) {
                    ASSERT_EQ(channel.value, *want) << "cycle " << cycle << " " << d << "/" << n;
                }
            }
            account.new_period();
        }
    }
    std::printf("  %d latches on request; %d device periods split by them; %d channels unreadable for a "
                "period only through a requested latch\n",
                requested, split_cycles, unreadable_published);
    EXPECT_GT(split_cycles, 100);
    EXPECT_GT(unreadable_published, 0);

    // What the tree shows is what the cycle computed: the last cycle's vph, to the microwatt.
    char watts[48];
    const channel_sample &vph = state.snapshot.devices[1].power[0];
    const char *watts_end = put_scaled_fixed(watts, watts + sizeof watts, vph.value, 6);
    ASSERT_NE(watts_end, nullptr);
    EXPECT_EQ(fakeboard::read_file("/run/pm/power/vph"),
              std::string(static_cast<const char *>(watts), watts_end) + "\n");

    ASSERT_NE(state.snapshot.energy, nullptr);
    const energy_counters &counters = *state.snapshot.energy;
    for (std::size_t d = 0; d < counters.devices.size(); ++d) {
        for (std::size_t n = 0; n < 4; ++n) {
            const channel_energy &channel = counters.devices[d].channels[n];
            EXPECT_EQ(channel.nanojoules, static_cast<std::int64_t>(accounts[d].expected[n] / 1000000))
                << d << "/" << n;
            EXPECT_EQ(channel.gap_ns, accounts[d].gaps[n]) << d << "/" << n;
        }
        EXPECT_EQ(counters.devices[d].sequence, accounts[d].sequence);
    }
    // hwmon2 is the second device: its unreadable channel and its refused latches left gaps.
    EXPECT_GT(counters.devices[1].channels[1].gap_ns, counters.devices[1].channels[0].gap_ns);
    EXPECT_GT(counters.devices[1].channels[0].gap_ns, 0);
    EXPECT_EQ(counters.devices[0].channels[0].gap_ns, 0);

    // The snapshot file holds the same integers, to the nanojoule.
    std::string text;
    ASSERT_EQ(build_energy_snapshot(text, state.snapshot, energy_run{42, 0, 1000}), 0);
    char joules[48];
    const channel_energy &vph_energy = counters.devices[1].channels[0];
    const char *joules_end = put_scaled_fixed(joules, joules + sizeof joules, vph_energy.nanojoules, 9);
    ASSERT_NE(joules_end, nullptr);
    const std::string row =
        "channel,1,max34417,1,vph," + std::string(static_cast<const char *>(joules), joules_end);
    EXPECT_NE(text.find(row + ","), std::string::npos) << text;
    EXPECT_EQ(text.rfind("vantrel-energy,1\npid,42\nstart,0.000000000\nperiod_ms,1000\n", 0), 0U) << text;
    EXPECT_EQ(text.find("\nlatch,"), std::string::npos) << "latch records are the replies' alone";
}

} // namespace
