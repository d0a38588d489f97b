#include "daemon/cycle.h"

#include "common/time_helpers.h"
#include "daemon/monitor.h"
#include "derive/derive.h"
#include "publish/energy_snapshot.h"
#include "publish/metrics.h"
#include "publish/output_tree.h"
#include "publish/raw_logs.h"
#include "publish/value_tree.h"
#include "sensors/accumulators.h"
#include "sensors/platform_sensors.h"

#include <cstdio>

double cycle_time_seconds(const monitor_config &config, const timespec &start_time, const timespec &now) {
    const timespec zero{};
    return timespec_diff_s(config.elapsed_time ? start_time : zero, now);
}

namespace {

energy_run energy_run_of(const monitor_state &state) {
    return energy_run{state.pid, timespec_to_ns(state.start_time), state.config.period_ms};
}

} // namespace

cycle_outcome run_cycle(monitor_state &state) {
    const monitor_config &config = state.config;
    cycle_snapshot &snapshot = state.snapshot;
    const timespec began = config.metrics_file != nullptr ? monotonic_now() : timespec{};

    // 1. Sample: the accumulators, then the platform sensors. Without a device list nothing is
    // published this cycle.
    if (sample_accumulator_devices(state.board, state.controls, snapshot) != 0) {
        return cycle_outcome::skipped;
    }
    sample_platform_sensors(state.board, snapshot);
    snapshot.cycle_time_s = cycle_time_seconds(config, state.start_time, monotonic_now());

    // 2. Derive.
    derive_cycle(state.derive, snapshot);
    const cycle_snapshot &sample = snapshot;

    // 3. The value tree. The root is resolved and checked afresh: it may have been replaced since the
    // last cycle.
    output_tree tree;
    bool failed = open_output_tree(config.output_root, config.count_energy, tree) != 0 ||
                  publish_value_tree(tree, sample, config.write_raw ? &state.log_names : nullptr) != 0 ||
                  (sample.energy != nullptr &&
                   publish_energy_snapshot(tree, state.energy_snapshot, sample, energy_run_of(state)) != 0);

    // 4. The raw logs, only after the tree was written: their inputs are read just before them.
    if (config.write_raw && !failed) {
        // energy_raw's header names every device's channels, as the device logs' headers do.
        const bool energy_header = sample.energy != nullptr && header_pending(state.logs, k_energy_log_name);
        sample_log_inputs(state.board, snapshot, [&](std::size_t device) {
            return energy_header || log_header_pending(state.logs, sample, device);
        });
        failed = publish_raw_logs(tree, state.logs, sample) != 0;
    }
    if (failed) {
        ++state.failure_count;
    }

    // 5. The metrics, a view of what was just published: their own failures never fail the pass.
    if (config.metrics_file != nullptr) {
        publish_metrics(state.metrics, config.metrics_file, sample, state.failure_count, began);
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
        // Slept even when already due: an overdue deadline returns at once.
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

void run_cycle_loop(monitor_state &state, timespec &next_deadline) {
    const monitor_config &config = state.config;
    for (;;) {
        wait_for_deadline(next_deadline);
        // From the previous deadline, not the wake-up: an overrun is caught up, never dropped.
        timespec_add_ms(next_deadline, static_cast<std::uint32_t>(config.period_ms));

        if (run_cycle(state) == cycle_outcome::failed) {
            std::fprintf(stderr, "Error: Could not write to %s\n", config.output_root);
        }

        if (state.failure_count == k_max_failures) {
            std::puts("Error: too many failures..");
            break;
        }
        if (config.single_shot || stop_requested != 0) {
            break;
        }
    }
}
