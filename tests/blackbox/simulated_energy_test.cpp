// The simulated board against its own ground truth: its accumulator devices latch as a chip does, and
// the daemon's energy counters (--energy) agree with the energy the simulation says each rail used.
// Each run is `fakeboard --simulate` with a shell script that drives the board and prints what the
// test reads, in sections that begin with a "== NAME" line.
#include "sandbox.h"
#include "support/daemon_run.h"
#include "support/process.h"
#include "support/text.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#ifndef VPM_LATCH_CLIENT
#define VPM_LATCH_CLIENT ""
#endif
#ifndef VPM_SIMULATING_FAKEBOARD
#define VPM_SIMULATING_FAKEBOARD ""
#endif

namespace {

using support::fields_of;
using support::lines_in;

// Relative, every counter against the truth, beside what the daemon's latch readings allow: each
// reading comes a little after its latch (tens of us natively, milliseconds under an emulator on a
// loaded machine), and an interval's counter is off by its true power times the change in that delay.
constexpr double k_tolerance = 1e-4;
constexpr std::int64_t k_late_ns = 20000000;     // a reading later than this after a latch is not its own
constexpr std::int64_t k_atime_step_ns = 100000; // the resolution of a device log's atime

using sections = std::map<std::string, std::vector<std::string>>;

sections split_sections(const std::string &out) {
    sections s;
    std::string current;
    for (const std::string &line : lines_in(out)) {
        if (line.rfind("== ", 0) == 0) {
            current = line.substr(3);
            s[current];
        } else if (!current.empty()) {
            s[current].push_back(line);
        }
    }
    return s;
}

// Why the simulated board cannot run here; empty when it can.
std::string why_no_simulated_board() {
    if (std::string(VPM_SIMULATING_FAKEBOARD).empty()) {
        return "no fakeboard with FUSE was built (libfuse3-dev and pkg-config are needed)";
    }
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
        return "/dev/fuse is missing or not usable";
    }
    return std::string();
}

// Runs `script` with sh on the simulated reference board, the daemon's command as "$@".
fakeboard::process_result on_simulated_board(const std::string &script, double timeout_s) {
    std::vector<std::string> argv{VPM_SIMULATING_FAKEBOARD, "--simulate", "--", "sh", "-c", script, "sh"};
    for (const std::string &word : fakeboard::command_words(fakeboard::daemon_path())) {
        argv.push_back(word);
    }
    return fakeboard::run(argv, timeout_s);
}

// One line of the simulation's truth: a latch's time and each channel's energy since the start.
struct truth_latch {
    std::int64_t ns = 0;
    std::array<double, 4> joules{};
};

// The truth's latches by device name, in order.
std::map<std::string, std::vector<truth_latch>> truth_by_device(const std::vector<std::string> &lines) {
    std::map<std::string, std::vector<truth_latch>> out;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::vector<std::string> f = fields_of(lines[i]);
        if (f.size() != 7) {
            ADD_FAILURE() << "truth line " << lines[i];
            continue;
        }
        truth_latch latch;
        latch.ns = std::stoll(f[0]);
        for (std::size_t k = 0; k < 4; ++k) {
            latch.joules[k] = f[3 + k].empty() ? 0.0 : std::stod(f[3 + k]);
        }
        out[f[2]].push_back(latch);
    }
    return out;
}

// The counters of energy/snapshot.csv.
struct counter_row {
    std::string device; // empty for a total
    std::size_t channel = 0;
    std::string label;
    double joules = 0.0;
    double gap_s = 0.0;
};

struct energy_snapshot {
    std::map<std::string, std::int64_t> latch_ns; // by device name
    std::vector<counter_row> rows;
};

energy_snapshot parse_snapshot(const std::vector<std::string> &lines) {
    energy_snapshot s;
    for (const std::string &line : lines) {
        const std::vector<std::string> f = fields_of(line);
        if (f[0] == "device" && f.size() == 4) {
            s.latch_ns[f[2]] = std::llround(std::stod(f[3]) * 1e9);
        } else if (f[0] == "channel" && f.size() == 7) {
            s.rows.push_back({f[2], std::stoul(f[3]) - 1, f[4], std::stod(f[5]), std::stod(f[6])});
        } else if (f[0] == "total" && f.size() == 4) {
            s.rows.push_back({"", 0, f[1], std::stod(f[2]), std::stod(f[3])});
        }
    }
    return s;
}

// The truth's energy of each rail and total, by label, from the totals' rules on the reference board.
std::map<std::string, double> with_totals(std::map<std::string, double> rails) {
    const double vph = rails["vph"];
    double others = 0.0;
    for (const auto &[label, joules] : rails) {
        others += label == "vph" ? 0.0 : joules;
    }
    rails["vph_total"] = vph;
    rails["cores_total"] = rails["apc0"] + rails["apc1"] + rails["apc2_l3"] + rails["nsp1"];
    rails["vph_other"] = vph - others;
    return rails;
}

// A total's allowance: the sum of its members'.
std::map<std::string, double> with_total_allowances(std::map<std::string, double> rails) {
    double all = 0.0;
    for (const auto &[label, joules] : rails) {
        all += joules;
    }
    rails["vph_total"] = rails["vph"];
    rails["cores_total"] = rails["apc0"] + rails["apc1"] + rails["apc2_l3"] + rails["nsp1"];
    rails["vph_other"] = all;
    return rails;
}

// Every counter against the truth within k_tolerance and its allowance (J, by label), and its gap
// seconds against the expected gap (0 unless given) within 2 ms and its allowance (s, by label);
// prints the table the errors come from.
void expect_counters_match(const energy_snapshot &s, const std::map<std::string, double> &truth,
                           const std::map<std::string, double> &allowed_j,
                           const std::map<std::string, double> &gap_s,
                           const std::map<std::string, double> &allowed_gap_s) {
    std::printf("  %-12s %14s %14s %10s %10s %10s\n", "counter", "daemon (J)", "truth (J)", "rel. error",
                "gap (s)", "gap error");
    double worst = 0.0;
    double worst_gap = 0.0;
    for (const counter_row &row : s.rows) {
        ASSERT_EQ(truth.count(row.label), 1U) << row.label;
        const double expected = truth.at(row.label);
        const double error = std::fabs(row.joules - expected) / std::fabs(expected);
        const double gap = gap_s.count(row.label) != 0 ? gap_s.at(row.label) : 0.0;
        const double slack_j = allowed_j.count(row.label) != 0 ? allowed_j.at(row.label) : 0.0;
        const double slack_s = allowed_gap_s.count(row.label) != 0 ? allowed_gap_s.at(row.label) : 0.0;
        worst = std::max(worst, error);
        worst_gap = std::max(worst_gap, std::fabs(row.gap_s - gap));
        std::printf("  %-12s %14.9f %14.9f %10.2e %10.6f %10.6f\n", row.label.c_str(), row.joules, expected,
                    error, row.gap_s, row.gap_s - gap);
        EXPECT_LE(std::fabs(row.joules - expected), k_tolerance * std::fabs(expected) + slack_j)
            << row.label << ": " << row.joules << " J, truth " << expected << " J, allowed " << slack_j
            << " J";
        EXPECT_NEAR(row.gap_s, gap, 2e-3 + slack_s) << row.label;
    }
    std::printf(
        "  largest relative error %.2e (limit %.0e besides the readings' allowance), largest gap error "
        "%.6f s (limit 0.002 besides it)\n",
        worst, k_tolerance, worst_gap);
}

// The latch of `latches` nearest to `ns`; fails the test unless `ns` follows it by less than k_late_ns.
std::size_t matching_latch(const std::vector<truth_latch> &latches, std::int64_t ns,
                           const std::string &what) {
    std::size_t best = 0;
    for (std::size_t i = 1; i < latches.size(); ++i) {
        if (std::llabs(latches[i].ns - ns) < std::llabs(latches[best].ns - ns)) {
            best = i;
        }
    }
    const std::int64_t offset = ns - latches.at(best).ns;
    std::printf("  %s: the daemon's latch time is %.1f us after the simulation's latch %zu\n", what.c_str(),
                static_cast<double>(offset) / 1e3, best);
    EXPECT_GE(offset, -k_atime_step_ns) << what;
    EXPECT_LT(offset, k_late_ns) << what;
    return best;
}

// The daemon's latch readings of a device, from its log's atime column, in order.
std::vector<std::int64_t> log_readings_ns(const std::vector<std::string> &log) {
    std::vector<std::int64_t> out;
    for (std::size_t i = 1; i < log.size(); ++i) {
        const std::vector<std::string> f = fields_of(log[i]);
        if (f.size() > 1 && !f[1].empty()) {
            out.push_back(std::llround(std::stod(f[1]) * 1e9));
        }
    }
    return out;
}

// How long after `latch` the daemon's reading of it came: the first reading that follows it.
double delay_s(const truth_latch &latch, const std::vector<std::int64_t> &readings) {
    const auto it = std::lower_bound(readings.begin(), readings.end(), latch.ns - k_atime_step_ns);
    if (it == readings.end() || *it - latch.ns >= k_late_ns) {
        ADD_FAILURE() << "no latch reading within " << k_late_ns << " ns after the latch at " << latch.ns;
        return 0.0;
    }
    return static_cast<double>(*it - latch.ns) / 1e9;
}

// What the readings allow a channel's counter over all of `latches` to differ from the truth: each
// interval's true power x (the change in the readings' delay + their resolution).
double allowed_joules(const std::vector<truth_latch> &latches, const std::vector<std::int64_t> &readings,
                      std::size_t channel) {
    double allowed = 0.0;
    for (std::size_t i = 0; i + 1 < latches.size(); ++i) {
        const truth_latch &a = latches[i];
        const truth_latch &b = latches[i + 1];
        const double power_w =
            (b.joules[channel] - a.joules[channel]) / (static_cast<double>(b.ns - a.ns) / 1e9);
        const double change_s = std::fabs(delay_s(b, readings) - delay_s(a, readings));
        allowed += std::fabs(power_w) * (change_s + static_cast<double>(k_atime_step_ns) / 1e9);
    }
    return allowed;
}

// The daemon's first latch time of a device, from its log's atime column (seconds, 4 decimals: up to
// 50 us off).
std::int64_t first_log_latch_ns(const std::vector<std::string> &log) {
    return std::llround(std::stod(fields_of(log.at(1)).at(1)) * 1e9);
}

// What an energy run prints after its daemon's exit status: its stderr, the energy snapshot, both
// device logs (their atime column gives the latch readings) and the simulation's truth.
const std::string k_energy_sections = R"(echo '== stderr'; cat /run/daemon.err
echo '== snapshot'; cat /run/pm/energy/snapshot.csv
echo '== log max34417'; cat /run/pm/power/max34417_raw
echo '== log max34417_b'; cat /run/pm/power/max34417_b_raw
echo '== truth'; cat /run/fakeboard/truth.csv
)";

class simulated_board : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string why = why_no_simulated_board();
        if (why.empty()) {
            return;
        }
        if (fakeboard::running_in_ci()) {
            FAIL() << why;
        }
        GTEST_SKIP() << why;
    }

    // Runs the script, and skips (fails under CI) when no private namespace can be had.
    sections run(const std::string &script, double timeout_s) {
        const fakeboard::process_result r = on_simulated_board(script, timeout_s);
        if (r.exited && r.exit_code == 125 && !fakeboard::running_in_ci()) {
            skipped_ = true;
            return {};
        }
        EXPECT_TRUE(r.exited) << r.err;
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.err, "");
        return split_sections(r.out);
    }

    bool skipped_ = false;
};

// Without the daemon: a device's averages are exact means between latches and hold until the next,
// its count is the latched one, refused writes latch nothing, the modes are files, and a bursty
// rail's instantaneous power is mostly its base with bursts of 2 W more.
TEST_F(simulated_board, a_device_latches_as_a_chip_does) {
    const sections s = run(R"(
d=/sys/class/hwmon/hwmon2
show() { echo "== $1"; cat $d/power1_average $d/power2_average $d/power3_average $d/power4_average $d/accumulator_update; }
echo 1 > $d/accumulator_update; sleep 0.2
echo 1 > $d/accumulator_update; show first; sleep 0.3; show held
echo 1 > $d/accumulator_update; show second
echo '== refused'
printf 2 2>/dev/null > $d/accumulator_update && echo accepted-2
chmod a-w $d/accumulator_update && stat -c %a $d/accumulator_update
(echo 1 > $d/accumulator_update) 2>/dev/null && echo accepted-read-only
chmod u+w $d/accumulator_update && echo 1 > $d/accumulator_update && echo accepted-writable
echo '== modes'; printf manual > $d/accumulator_update_mode; cat $d/accumulator_update_mode; echo; cat $d/measurement_mode
echo '== bursts'; for i in $(seq 150); do cat /sys/class/hwmon/hwmon10/power1_input; sleep 0.004; done
echo '== truth'; cat /run/fakeboard/truth.csv
)",
                           30);
    if (skipped_) {
        GTEST_SKIP() << "no private namespace for the fake board";
    }
    ASSERT_FALSE(HasFailure());
    const auto truth = truth_by_device(s.at("truth"));
    ASSERT_EQ(truth.count("max34417"), 1U);
    const std::vector<truth_latch> &latches = truth.at("max34417");
    ASSERT_EQ(latches.size(), 4U) << "three latches, two refused writes, one more latch";
    EXPECT_EQ(s.at("refused"), (std::vector<std::string>{"444", "accepted-writable"}));

    // The averages after latches 2 and 3: the exact mean power of the interval, to the microwatt.
    for (const auto &[section, latch] : {std::pair{"first", 1}, std::pair{"second", 2}}) {
        const std::vector<std::string> &values = s.at(section);
        ASSERT_EQ(values.size(), 5U) << section;
        const truth_latch &from = latches[static_cast<std::size_t>(latch - 1)];
        const truth_latch &to = latches[static_cast<std::size_t>(latch)];
        const double seconds = static_cast<double>(to.ns - from.ns) / 1e9;
        for (std::size_t k = 0; k < 4; ++k) {
            const double mean_uw = (to.joules[k] - from.joules[k]) / seconds * 1e6;
            EXPECT_NEAR(std::stod(values[k]), mean_uw, 1.0) << section << " power" << k + 1;
        }
    }
    EXPECT_EQ(s.at("held"), s.at("first")) << "a latched value holds until the next latch";
    EXPECT_GT(std::stoll(s.at("second")[4]), std::stoll(s.at("first")[4])) << "the count advances";
    EXPECT_EQ(s.at("modes"), (std::vector<std::string>{"manual", "normal"}));

    int in_burst = 0;
    int at_base = 0;
    for (const std::string &value : s.at("bursts")) {
        const double watts = std::stod(value) / 1e6;
        in_burst += watts > 2.2 ? 1 : 0;
        at_base += watts < 0.5 ? 1 : 0;
    }
    std::printf(
        "  nsp1's instantaneous power, %zu reads: %d in a burst (> 2.2 W), %d at its base (< 0.5 W)\n",
        s.at("bursts").size(), in_burst, at_base);
    EXPECT_GE(in_burst, 3);
    EXPECT_GE(at_base, 90);
    EXPECT_EQ(in_burst + at_base, static_cast<int>(s.at("bursts").size()));
}

// The latches the replies of the control socket report, by device name: (sequence, CLOCK_MONOTONIC ns),
// in the order they came; and each reply's lines.
struct replies {
    std::map<std::string, std::vector<std::pair<std::int64_t, std::int64_t>>> latches;
    std::vector<std::vector<std::string>> texts;
};

replies parse_replies(const std::vector<std::string> &lines) {
    replies r;
    std::map<std::string, std::string> names;
    for (const std::string &line : lines) {
        const std::vector<std::string> f = fields_of(line);
        if (f[0] == "vantrel-energy") {
            r.texts.emplace_back();
        }
        if (r.texts.empty()) {
            ADD_FAILURE() << "reply line before a header: " << line;
            continue;
        }
        r.texts.back().push_back(line);
        if (f[0] == "device" && f.size() == 4) {
            names[f[1]] = f[2];
        } else if (f[0] == "latch" && f.size() == 4) {
            r.latches[names[f[1]]].emplace_back(std::stoll(f[3]), std::stoll(f[2]));
        }
    }
    return r;
}

// The daemon at -i 100 with --energy for about 110 cycles on bursty rails, with two bursts of 40
// latches on request from the documented client: every latch on the board is the daemon's, each
// reply's latch is the simulation's latch of that sequence number, each reply's counters and the
// final snapshot's equal the truth's energy since the daemon's first latch, within 1e-4 beside what
// its latch readings allow.
TEST_F(simulated_board, energy_counters_agree_with_the_truth) {
    std::string client;
    for (const std::string &word : fakeboard::command_words(VPM_LATCH_CLIENT)) {
        client += (client.empty() ? "" : " ") + word;
    }
    const sections s = run("c='" + client + R"('
"$@" -i 100 --energy --raw --root-dir /run/pm >/dev/null 2>/run/daemon.err & pid=$!
sleep 2.5; $c 40 >/run/replies; sleep 3; $c 40 >>/run/replies
sleep 6.5; kill -TERM $pid; wait $pid; echo "== status"; echo $?
echo '== replies'; cat /run/replies
)" + k_energy_sections,
                           40);
    if (skipped_) {
        GTEST_SKIP() << "no private namespace for the fake board";
    }
    ASSERT_FALSE(HasFailure());
    EXPECT_EQ(s.at("status"), std::vector<std::string>{"0"});
    EXPECT_TRUE(s.at("stderr").empty()) << s.at("stderr").front();
    const energy_snapshot snapshot = parse_snapshot(s.at("snapshot"));
    const auto truth = truth_by_device(s.at("truth"));
    ASSERT_EQ(snapshot.rows.size(), 11U);
    const replies answered = parse_replies(s.at("replies"));
    ASSERT_EQ(answered.texts.size(), 80U);

    std::map<std::string, double> rails;
    std::map<std::string, double> allowed;
    std::map<std::string, std::vector<std::int64_t>> readings_of;
    for (const std::string name : {"max34417", "max34417_b"}) {
        ASSERT_EQ(truth.count(name), 1U) << name;
        const std::vector<truth_latch> &latches = truth.at(name);
        const std::vector<std::string> &log = s.at("log " + name);
        // The daemon's latch readings: its cycles' (the log's atime) and its replies' (exact).
        std::vector<std::int64_t> readings = log_readings_ns(log);
        const std::size_t cycles = readings.size();
        std::set<std::int64_t> requested;
        for (const auto &[sequence, ns] : answered.latches.at(name)) {
            const auto near = std::lower_bound(readings.begin(), readings.begin() + static_cast<long>(cycles),
                                               ns - k_atime_step_ns);
            if (near == readings.begin() + static_cast<long>(cycles) || *near > ns + k_atime_step_ns) {
                requested.insert(ns);
            }
        }
        readings.insert(readings.end(), requested.begin(), requested.end());
        std::sort(readings.begin(), readings.end());
        readings_of[name] = readings;
        // Every latch on the board was the daemon's: a cycle's or one on request.
        ASSERT_EQ(latches.size(), cycles + requested.size()) << name;
        ASSERT_GE(requested.size(), 60U) << name << ": latches on request, 10 ms apart at the most";
        // A reply's sequence numbers the device's latches: its latch is the truth's latch of that number.
        for (const auto &[sequence, ns] : answered.latches.at(name)) {
            ASSERT_GE(sequence, 1);
            ASSERT_LE(static_cast<std::size_t>(sequence), latches.size());
            const std::int64_t offset = ns - latches[static_cast<std::size_t>(sequence - 1)].ns;
            EXPECT_GE(offset, 0) << name << " latch " << sequence;
            EXPECT_LT(offset, k_late_ns) << name << " latch " << sequence;
        }
        const std::size_t first = matching_latch(latches, first_log_latch_ns(log), name + " first latch");
        const std::size_t last = matching_latch(latches, snapshot.latch_ns.at(name), name + " last latch");
        EXPECT_EQ(first, 0U);
        EXPECT_EQ(last, latches.size() - 1);
        for (const counter_row &row : snapshot.rows) {
            if (row.device == name) {
                rails[row.label] = latches[last].joules[row.channel] - latches[first].joules[row.channel];
                allowed[row.label] = allowed_joules(latches, readings, row.channel);
            }
        }
    }
    std::printf("  %zu and %zu latches, %.3f s from the first to the last\n", truth.at("max34417").size(),
                truth.at("max34417_b").size(),
                static_cast<double>(truth.at("max34417").back().ns - truth.at("max34417").front().ns) / 1e9);
    expect_counters_match(snapshot, with_totals(rails), with_total_allowances(allowed), {}, {});

    // The last reply of each burst against the truth up to its own latches.
    for (const std::size_t index : {std::size_t{39}, std::size_t{79}}) {
        const energy_snapshot reply = parse_snapshot(answered.texts[index]);
        std::map<std::string, double> reply_rails;
        std::map<std::string, double> reply_allowed;
        for (const auto &[name, latches] : truth) {
            const std::int64_t sequence = answered.latches.at(name)[index].first;
            const std::vector<truth_latch> upto(latches.begin(), latches.begin() + sequence);
            for (const counter_row &row : reply.rows) {
                if (row.device == name) {
                    reply_rails[row.label] =
                        upto.back().joules[row.channel] - upto.front().joules[row.channel];
                    reply_allowed[row.label] = allowed_joules(upto, readings_of.at(name), row.channel);
                }
            }
        }
        std::printf("  reply %zu:\n", index + 1);
        expect_counters_match(reply, with_totals(reply_rails), with_total_allowances(reply_allowed), {}, {});
    }
}

// The same with hwmon2's trigger read-only for about half a second: its channels' gap is the span
// between the good latches around it, and their energy outside the span is exact; the other device
// counts on without a gap.
TEST_F(simulated_board, a_read_only_trigger_leaves_a_gap_of_its_span) {
    const sections s = run(R"(
t=/sys/class/hwmon/hwmon2/accumulator_update
"$@" -i 100 --energy --raw --root-dir /run/pm >/dev/null 2>/run/daemon.err & pid=$!
sleep 4; chmod a-w $t; sleep 0.55; chmod u+w $t
sleep 3.5; kill -TERM $pid; wait $pid; echo "== status"; echo $?
)" + k_energy_sections,
                           40);
    if (skipped_) {
        GTEST_SKIP() << "no private namespace for the fake board";
    }
    ASSERT_FALSE(HasFailure());
    EXPECT_EQ(s.at("status"), std::vector<std::string>{"0"});
    EXPECT_EQ(s.at("stderr"),
              std::vector<std::string>{"Warning: could not write \"1\" to "
                                       "/sys/class/hwmon/hwmon2/accumulator_update: Permission denied"});
    const energy_snapshot snapshot = parse_snapshot(s.at("snapshot"));
    const auto truth = truth_by_device(s.at("truth"));
    ASSERT_EQ(snapshot.rows.size(), 11U);
    ASSERT_EQ(truth.count("max34417"), 1U);
    ASSERT_EQ(truth.count("max34417_b"), 1U);

    // The span: the longest time between two good latches of hwmon2.
    const std::vector<truth_latch> &latches = truth.at("max34417");
    std::size_t before = 0;
    std::int64_t next_longest_ns = 0;
    for (std::size_t i = 1; i + 1 < latches.size(); ++i) {
        const std::int64_t gap = latches[i + 1].ns - latches[i].ns;
        const std::int64_t longest = latches[before + 1].ns - latches[before].ns;
        if (gap > longest) {
            next_longest_ns = longest;
            before = i;
        } else {
            next_longest_ns = std::max(next_longest_ns, gap);
        }
    }
    const truth_latch &from = latches[before];
    const truth_latch &to = latches[before + 1];
    const double span_s = static_cast<double>(to.ns - from.ns) / 1e9;
    std::printf("  hwmon2's trigger refused writes between latches %zu and %zu: %.6f s (the next longest "
                "interval %.6f s)\n",
                before, before + 1, span_s, static_cast<double>(next_longest_ns) / 1e9);
    EXPECT_GT(span_s, 0.4) << "several latches were refused";
    EXPECT_LT(static_cast<double>(next_longest_ns) / 1e9, span_s / 2);

    std::map<std::string, double> rails;
    std::map<std::string, double> allowed;
    std::map<std::string, double> gaps;
    std::map<std::string, double> allowed_gaps;
    for (const std::string name : {"max34417", "max34417_b"}) {
        const std::vector<truth_latch> &device = truth.at(name);
        const std::vector<std::int64_t> readings = log_readings_ns(s.at("log " + name));
        matching_latch(device, snapshot.latch_ns.at(name), name + " last latch");
        for (const counter_row &row : snapshot.rows) {
            if (row.device != name) {
                continue;
            }
            double joules = device.back().joules[row.channel] - device.front().joules[row.channel];
            if (name == "max34417") {
                joules -= to.joules[row.channel] - from.joules[row.channel];
                gaps[row.label] = span_s;
                allowed_gaps[row.label] = std::fabs(delay_s(to, readings) - delay_s(from, readings));
            }
            rails[row.label] = joules;
            allowed[row.label] = allowed_joules(device, readings, row.channel);
        }
    }
    for (const char *total : {"vph_total", "cores_total", "vph_other"}) {
        gaps[total] = span_s; // each has a member on hwmon2
        allowed_gaps[total] = allowed_gaps["vph"];
    }
    expect_counters_match(snapshot, with_totals(rails), with_total_allowances(allowed), gaps, allowed_gaps);
}

} // namespace
