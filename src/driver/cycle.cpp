#include "driver/cycle.h"

#include "common/time_helpers.h"
#include "publish/metrics.h"
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

    const bool failed =
        publish_value_tree(config.output_root, lists) != 0 ||
        (config.write_raw && publish_raw_logs(config.output_root, lists, figures, cycle_time_s) != 0);
    // A view of what was just published: its own failures never fail the pass.
    if (config.metrics_file != nullptr) {
        publish_metrics(config.metrics_file, lists, figures, failed, began);
    }
    return failed ? cycle_outcome::failed : cycle_outcome::published;
}

void run_cycle_loop(const monitor_config &config, const timespec &start_time, timespec &next_deadline) {
    int failure_count = 0;
    // Kept across cycles so the lists' arrays are reused; every name is freed at the end of each cycle.
    cycle_readings lists;
    for (;;) {
        // A signal never shortens the wait: the schedule stays on its absolute deadlines.
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next_deadline, nullptr) == EINTR) {
        }
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
