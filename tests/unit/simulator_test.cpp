// The board simulator behind the demo: physical invariants of its values over a few minutes.
#include "simulator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

namespace {

using fakeboard::board;

constexpr double k_step = fakeboard::k_simulation_step_s;
constexpr double k_span_s = 240.0;

board at(const board &layout, double t) {
    board b = layout;
    fakeboard::simulate_step(b, t);
    return b;
}

double battery_percent(const board &b) {
    return std::strtod(b.battery_percent->c_str(), nullptr);
}

std::uint64_t throttle_counter(const board &b, int which) {
    const std::string &text = *b.bcl_throttle_accum;
    const char *p = text.c_str() + text.find(':') + 1;
    std::uint64_t value = 0;
    for (int i = 0; i <= which; ++i) {
        char *end = nullptr;
        value = std::strtoull(p, &end, 16);
        EXPECT_NE(end, p) << "counter " << i << " missing in '" << text << "'";
        p = end;
    }
    return value;
}

std::size_t zone_index(const board &b, const std::string &type) {
    for (std::size_t z = 0; z < b.zones.size(); ++z) {
        if (b.zones[z].type == type) {
            return z;
        }
    }
    ADD_FAILURE() << "no zone " << type;
    return 0;
}

double correlation(const std::vector<double> &x, const std::vector<double> &y) {
    double mx = 0, my = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        mx += x[i];
        my += y[i];
    }
    mx /= static_cast<double>(x.size());
    my /= static_cast<double>(y.size());
    double sxy = 0, sxx = 0, syy = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        sxy += (x[i] - mx) * (y[i] - my);
        sxx += (x[i] - mx) * (x[i] - mx);
        syy += (y[i] - my) * (y[i] - my);
    }
    return sxy / std::sqrt(sxx * syy);
}

TEST(simulator, a_step_depends_only_on_time) {
    const board layout = fakeboard::reference_board();
    const board first = at(layout, 12.75);
    // Going through other times first must not change the result.
    board b = layout;
    for (double t = 0.0; t < 30.0; t += k_step) {
        fakeboard::simulate_step(b, t);
    }
    fakeboard::simulate_step(b, 12.75);
    EXPECT_EQ(b, first);
    EXPECT_NE(at(layout, 13.0), first);
    // Labels, names and layout stay as they were.
    EXPECT_EQ(first.chips[0].power_label, layout.chips[0].power_label);
    EXPECT_EQ(first.chips[1].name, layout.chips[1].name);
    EXPECT_EQ(first.zones.size(), layout.zones.size());
    EXPECT_EQ(first.brightness, layout.brightness);
}

TEST(simulator, input_rail_carries_the_other_rails) {
    const board layout = fakeboard::reference_board();
    ASSERT_EQ(layout.chips[0].power_label[0], "vph");
    for (double t = 0.0; t < k_span_s; t += k_step) {
        const board b = at(layout, t);
        std::int64_t vph_device_others = 0;
        std::int64_t all_others = 0;
        std::int64_t all_others_now = 0;
        for (std::size_t c = 0; c < b.chips.size(); ++c) {
            for (std::size_t k = 0; k < 4; ++k) {
                if (c == 0 && k == 0) {
                    continue;
                }
                ASSERT_GT(*b.chips[c].power_average_uw[k], 0) << "t=" << t;
                if (c == 0) {
                    vph_device_others += *b.chips[c].power_average_uw[k];
                }
                all_others += *b.chips[c].power_average_uw[k];
                all_others_now += *b.chips[c].power_input_uw[k];
            }
        }
        const std::int64_t vph = *b.chips[0].power_average_uw[0];
        ASSERT_GE(vph, vph_device_others) << "t=" << t;
        ASSERT_GE(vph, all_others) << "t=" << t;
        // Losses and unmeasured loads stay a plausible share, not an arbitrary gap.
        ASSERT_LT(vph, all_others * 3 / 2 + 600000) << "t=" << t;
        ASSERT_GE(*b.chips[0].power_input_uw[0], all_others_now) << "t=" << t;
        // The cell voltage under load.
        ASSERT_GT(*b.chips[0].voltage_mv[0], 3500);
        ASSERT_LT(*b.chips[0].voltage_mv[0], 4400);
    }
}

TEST(simulator, each_input_rail_of_a_large_board_carries_its_own_chip) {
    const board layout = fakeboard::large_board(3, 20);
    for (double t = 0.0; t < 60.0; t += k_step) {
        const board b = at(layout, t);
        for (const auto &chip : b.chips) {
            ASSERT_EQ(chip.power_label[0]->rfind("vph", 0), 0U);
            const std::int64_t others =
                *chip.power_average_uw[1] + *chip.power_average_uw[2] + *chip.power_average_uw[3];
            ASSERT_GE(*chip.power_average_uw[0], others) << "t=" << t;
        }
    }
}

TEST(simulator, loads_rise_and_fall) {
    const board layout = fakeboard::reference_board();
    for (std::size_t c = 0; c < layout.chips.size(); ++c) {
        for (std::size_t k = 0; k < 4; ++k) {
            std::int64_t low = INT64_MAX, high = INT64_MIN;
            for (double t = 0.0; t < 60.0; t += k_step) {
                const std::int64_t p = *at(layout, t).chips[c].power_average_uw[k];
                low = std::min(low, p);
                high = std::max(high, p);
            }
            EXPECT_GT(high - low, high / 10) << *layout.chips[c].power_label[k] << " hardly moves";
        }
    }
}

TEST(simulator, counters_advance_and_battery_drains) {
    const board layout = fakeboard::reference_board();
    board previous = at(layout, 0.0);
    const double start_percent = battery_percent(previous);
    for (double t = k_step; t < k_span_s; t += k_step) {
        const board b = at(layout, t);
        for (std::size_t c = 0; c < b.chips.size(); ++c) {
            ASSERT_GT(b.chips[c].accumulator, previous.chips[c].accumulator) << "chip " << c << " t=" << t;
        }
        ASSERT_LE(battery_percent(b), battery_percent(previous)) << "t=" << t;
        for (int i = 0; i < 3; ++i) {
            ASSERT_GE(throttle_counter(b, i), throttle_counter(previous, i)) << "counter " << i << " t=" << t;
        }
        previous = b;
    }
    // Slowly: a few percent in four minutes at these loads, not nothing.
    EXPECT_LT(battery_percent(previous), start_percent - 0.5);
    EXPECT_GT(battery_percent(previous), start_percent - 10.0);
}

TEST(simulator, throttle_counter_advances_in_bursts) {
    const board layout = fakeboard::reference_board();
    int quiet = 0, busy = 0;
    double max_percent = 0.0;
    for (double t = 0.0; t < 48.0; t += 1.0) {
        const double ticks = static_cast<double>(throttle_counter(at(layout, t + 1.0), 0) -
                                                 throttle_counter(at(layout, t), 0));
        const double percent = ticks / 19200000.0 * 100.0;
        (percent == 0.0 ? quiet : busy)++;
        max_percent = std::max(max_percent, percent);
    }
    EXPECT_GE(busy, 4);
    EXPECT_GT(quiet, busy * 3) << "throttling is the exception, not the rule";
    EXPECT_GT(max_percent, 10.0);
    EXPECT_LE(max_percent, 100.0);
}

TEST(simulator, temperatures_follow_power) {
    const board layout = fakeboard::reference_board();
    const std::size_t gpu_zone = zone_index(layout, "gpu-thermal");
    std::vector<double> gpu_power, gpu_temp;
    for (double t = 0.0; t < 120.0; t += k_step) {
        const board b = at(layout, t);
        // The gpu rail is channel 2 of the second chip.
        gpu_power.push_back(static_cast<double>(*b.chips[1].power_input_uw[1]));
        gpu_temp.push_back(static_cast<double>(*b.zones[gpu_zone].temp_mc));
        for (const auto &zone : b.zones) {
            ASSERT_GT(*zone.temp_mc, 25000) << zone.type;
            ASSERT_LT(*zone.temp_mc, 95000) << zone.type;
        }
    }
    // A heat sink lags: the temperature goes with the power of the last few seconds.
    const std::size_t window = static_cast<std::size_t>(5.0 / k_step);
    std::vector<double> recent_power, later_temp;
    for (std::size_t i = window; i < gpu_power.size(); ++i) {
        double sum = 0.0;
        for (std::size_t j = i - window; j < i; ++j) {
            sum += gpu_power[j];
        }
        recent_power.push_back(sum / static_cast<double>(window));
        later_temp.push_back(gpu_temp[i]);
    }
    EXPECT_GT(correlation(recent_power, later_temp), 0.8);
    EXPECT_GT(correlation(gpu_power, gpu_temp), 0.3);
    EXPECT_GT(*std::max_element(gpu_temp.begin(), gpu_temp.end()) -
                  *std::min_element(gpu_temp.begin(), gpu_temp.end()),
              5000.0);
}

TEST(simulator, clocks_step_through_operating_points_with_the_load) {
    const board layout = fakeboard::reference_board();
    std::set<std::int64_t> little, gpu;
    std::vector<double> little_clock, little_power;
    for (double t = 0.0; t < 120.0; t += k_step) {
        const board b = at(layout, t);
        little.insert(*b.cpu_khz[0]);
        gpu.insert(*b.gpu_hz);
        EXPECT_EQ(*b.cpu_khz[0], *b.cpu_khz[3]) << "one cluster, one clock";
        EXPECT_GE(*b.cpu_khz[7], 844800);
        little_clock.push_back(static_cast<double>(*b.cpu_khz[0]));
        little_power.push_back(static_cast<double>(*b.chips[0].power_input_uw[1])); // apc0
    }
    EXPECT_GE(little.size(), 4U);
    EXPECT_LE(little.size(), 6U);
    EXPECT_GE(gpu.size(), 4U);
    EXPECT_LE(gpu.size(), 7U);
    EXPECT_GT(correlation(little_clock, little_power), 0.7);
}

TEST(simulator, fan_follows_the_hottest_zone) {
    const board layout = fakeboard::reference_board();
    std::set<std::int64_t> drives;
    for (double t = 0.0; t < 120.0; t += 1.0) {
        const board b = at(layout, t);
        ASSERT_GE(b.fan->pwm1, 0);
        ASSERT_LE(b.fan->pwm1, 255);
        ASSERT_EQ(b.fan->fan1_input, b.fan->pwm1 * 44);
        drives.insert(b.fan->pwm1);
    }
    EXPECT_GE(drives.size(), 5U);
}

TEST(simulator, missing_sources_stay_missing) {
    board layout = fakeboard::reference_board();
    layout.chips[0].power_average_uw[3].reset();
    layout.cpu_khz[7].reset();
    layout.gpu_hz.reset();
    layout.bcl_throttle_accum.reset();
    layout.zones[5].temp_mc.reset();
    const board b = at(layout, 5.0);
    EXPECT_FALSE(b.chips[0].power_average_uw[3]);
    EXPECT_TRUE(b.chips[0].power_input_uw[3]);
    EXPECT_FALSE(b.cpu_khz[7]);
    EXPECT_FALSE(b.gpu_hz);
    EXPECT_FALSE(b.bcl_throttle_accum);
    EXPECT_FALSE(b.zones[5].temp_mc);
}

// Bursts: one pulse per slot, inside its slot, at times that vary from slot to slot and with the seed;
// the integral is exact however the interval falls on the pulses.
TEST(simulator, pulse_trains_integrate_exactly) {
    const fakeboard::pulse_train train{2.0, 0.040, 0.25, 7};
    const fakeboard::waveform w{0.3, {}, {train}};
    std::vector<double> starts;
    for (std::int64_t k = -8; k < 240; ++k) {
        const double start = fakeboard::pulse_start(train, k);
        ASSERT_GE(start, static_cast<double>(k) * 0.25) << k;
        ASSERT_LE(start + 0.040, static_cast<double>(k + 1) * 0.25 + 1e-12) << k;
        if (k >= 0) {
            starts.push_back(start);
        }
    }
    double shortest = 1.0, longest = 0.0;
    for (std::size_t i = 1; i < starts.size(); ++i) {
        shortest = std::min(shortest, starts[i] - starts[i - 1]);
        longest = std::max(longest, starts[i] - starts[i - 1]);
    }
    EXPECT_LT(shortest, 0.08) << "pseudo-random times, not a fixed rhythm";
    EXPECT_GT(longest, 0.40);
    EXPECT_EQ(fakeboard::pulse_start(train, 17), fakeboard::pulse_start(train, 17));
    const fakeboard::pulse_train other{2.0, 0.040, 0.25, 8};
    EXPECT_NE(fakeboard::pulse_start(other, 17), fakeboard::pulse_start(train, 17));

    // The energy of [a, b] counted pulse by pulse, against the integral.
    const auto by_pulses = [&](double a, double b) {
        double joules = 0.3 * (b - a);
        for (std::int64_t k = static_cast<std::int64_t>(std::floor(a / 0.25)) - 1;
             static_cast<double>(k) * 0.25 <= b; ++k) {
            const double start = fakeboard::pulse_start(train, k);
            joules += 2.0 * std::max(0.0, std::min(b, start + 0.040) - std::max(a, start));
        }
        return joules;
    };
    for (const auto &[a, b] : {std::pair{0.0, 60.0}, std::pair{1.2345, 1.3345}, std::pair{-1.01, 0.37},
                               std::pair{starts[9] + 0.01, starts[9] + 0.02}, std::pair{12.0, 12.001}}) {
        EXPECT_NEAR(fakeboard::integral_to(w, b) - fakeboard::integral_to(w, a), by_pulses(a, b), 1e-12)
            << a << " to " << b;
    }
    // And against the value: a fine midpoint sum is off only where a step holds an edge of a pulse.
    const double step = 1e-5;
    double sum = 0.0;
    for (double t = 5.0 + step / 2; t < 10.0; t += step) {
        sum += fakeboard::value_at(w, t) * step;
    }
    EXPECT_NEAR(sum, fakeboard::integral_to(w, 10.0) - fakeboard::integral_to(w, 5.0), 2 * 21 * 2.0 * step);
}

// On the reference board the NSP rail bursts: most instantaneous readings are its base, some are 2 W
// above it, so readings once a second miss or hit bursts and their trapezoid is far from the energy,
// as on a real board. The input rail carries the bursts too.
TEST(simulator, bursty_rails_read_apart_from_their_averages) {
    const board layout = fakeboard::reference_board();
    ASSERT_EQ(layout.chips[1].power_label[0], "nsp1");
    const fakeboard::board_model m = fakeboard::make_model(layout);
    const fakeboard::waveform &nsp = m.rails[1][0].power_w;
    int in_burst = 0, samples = 0;
    for (double t = 0.0; t < 120.0; t += 0.001) {
        in_burst += fakeboard::value_at(nsp, t) > 2.2 ? 1 : 0;
        ++samples;
    }
    const double share = static_cast<double>(in_burst) / samples;
    EXPECT_GT(share, 0.14); // 40 ms in every 250 ms
    EXPECT_LT(share, 0.18);
    double worst = 0.0;
    for (double from = 0.0; from < 120.0; from += 10.0) {
        double trapezoid = 0.0;
        for (double t = from; t < from + 10.0; t += 1.0) {
            trapezoid += (fakeboard::value_at(nsp, t) + fakeboard::value_at(nsp, t + 1.0)) / 2;
        }
        const double exact = fakeboard::integral_to(nsp, from + 10.0) - fakeboard::integral_to(nsp, from);
        worst = std::max(worst, std::fabs(trapezoid - exact) / exact);
    }
    EXPECT_GT(worst, 0.2) << "sampled once a second, the bursts are missed or overcounted";

    double others_j = 0.0;
    for (std::size_t c = 0; c < 2; ++c) {
        for (std::size_t k = 0; k < 4; ++k) {
            if (c != 0 || k != 0) {
                others_j += fakeboard::integral_to(m.rails[c][k].power_w, 100.0);
            }
        }
    }
    EXPECT_NEAR(fakeboard::integral_to(m.rails[0][0].power_w, 100.0), others_j / 0.9 + 0.4 * 100.0, 1e-9);
}

} // namespace
