#include "driver/cycle.h"

#include "common/time_helpers.h"
#include "publish/metrics.h"
#include "publish/output_tree.h"
#include "publish/raw_logs.h"
#include "publish/system_figures.h"
#include "publish/value_tree.h"
#include "sensors/accumulators.h"
#include "sensors/platform_sensors.h"

#include <cerrno>
#include <cstdio>

double cycle_time_seconds(const monitor_config &config, const timespec &start_time, const timespec &now) {
    const timespec zero{};
    return timespec_diff_s(config.elapsed_time ? start_time : zero, now);
}

cycle_outcome run_cycle(const monitor_config &config, const timespec &start_time, cycle_readings &lists) {
    const timespec began = config.metrics_file != nullptr ? monotonic_now() : timespec{};
    if (sample_accumulator_devices(lists.power_readings, lists.voltage_readings, lists.accumulator_readings,
                                   lists.timestamp_readings) != 0) {
        return cycle_outcome::skipped;
    }
    sample_platform_sensors(lists.power_readings, lists.system_readings, lists.thermal);
    const double cycle_time_s = cycle_time_seconds(config, start_time, monotonic_now());
    const system_figures figures = derive_system_figures(lists.system_readings, cycle_time_s);

    // The root is resolved and checked afresh: it may have been replaced since the last cycle.
    output_tree tree;
    const bool failed = open_output_tree(config.output_root, tree) != 0 ||
                        publish_value_tree(tree, lists) != 0 ||
                        (config.write_raw && publish_raw_logs(tree, lists, figures, cycle_time_s) != 0);
    // A view of what was just published: its own failures never fail the pass.
    if (config.metrics_file != nullptr) {
        publish_metrics(config.metrics_file, lists, figures, failed, began);
    }
    return failed ? cycle_outcome::failed : cycle_outcome::published;
}

namespace {

constexpr std::uint32_t k_stop_grace_ms = 1000;

bool reached(const timespec &now, const timespec &when) {
    return now.tv_sec > when.tv_sec || (now.tv_sec == when.tv_sec && now.tv_nsec >= when.tv_nsec);
}

const timespec &earlier(const timespec &a, const timespec &b) {
    return reached(a, b) ? b : a;
}

} // namespace

void wait_for_deadline(const timespec &deadline) {
    // A stop request ends the wait at most a second after it is seen, however long the period.
    // Without one, the wait goes in slices of at most a second, so that a request that lands
    // between the flag check and the sleep is still seen within a second.
    bool stop_seen = false;
    timespec stop_by{};
    for (;;) {
        timespec now = monotonic_now();
        if (stop_requested != 0 && !stop_seen) {
            stop_seen = true;
            stop_by = now;
            timespec_add_ms(stop_by, k_stop_grace_ms);
        }
        timespec slice_end = now;
        timespec_add_ms(slice_end, k_stop_grace_ms);
        // Slept even when already due, as before: an overdue deadline returns at once.
        const timespec &target = earlier(deadline, stop_seen ? stop_by : slice_end);
        const int rc = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &target, nullptr);
        if (rc == EINTR) {
            continue;
        }
        if (&target == &deadline || stop_seen) {
            return;
        }
        // A whole slice passed with no interruption: a request seen now came within that slice,
        // so at most a second ago.
        if (stop_requested != 0) {
            return;
        }
    }
}

void run_cycle_loop(const monitor_config &config, const timespec &start_time, timespec &next_deadline) {
    int failure_count = 0;
    // Kept across cycles so the lists' arrays are reused; every name is freed at the end of each cycle.
    cycle_readings lists;
    for (;;) {
        wait_for_deadline(next_deadline);
        // From the previous deadline, not the wake-up: an overrun is caught up, never dropped.
        timespec_add_ms(next_deadline, static_cast<std::uint32_t>(config.period_ms));

        if (run_cycle(config, start_time, lists) == cycle_outcome::failed) {
            std::fprintf(stderr, "Error: Could not write to %s\n", config.output_root);
            ++failure_count;
        }
        cycle_readings_clear(lists);

        if (failure_count == k_max_failures) {
            std::puts("Error: too many failures..");
            break;
        }
        if (config.single_shot || stop_requested != 0) {
            break;
        }
    }
}
