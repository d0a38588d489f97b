#include "daemon/cycle.h"

#include "common/time_helpers.h"
#include "daemon/monitor.h"
#include "publish/metrics.h"
#include "publish/output_tree.h"
#include "publish/raw_logs.h"
#include "publish/value_tree.h"
#include "sensors/accumulators.h"
#include "sensors/platform_sensors.h"
#include "sensors/throttle.h"

#include <cstdio>
#include <new>

double cycle_time_seconds(const monitor_config &config, const timespec &start_time, const timespec &now) {
    const timespec zero{};
    return timespec_diff_s(config.elapsed_time ? start_time : zero, now);
}

int prepare_snapshot(monitor_state &state) {
    try {
        state.snapshot.devices.assign(state.board.devices.size(), device_sample{});
    } catch (const std::bad_alloc &) {
        return -1;
    }
    return 0;
}

int publish_raw_logs(monitor_state &state, const output_tree &tree) {
    cycle_snapshot &snapshot = state.snapshot;
    for (std::size_t i = 0; i < snapshot.devices.size(); ++i) {
        device_sample &device = snapshot.devices[i];
        const device_log log = find_device_log(state.logs, device);
        if (log.pending) {
            load_log_labels(state.board.devices[i], device);
        }
        if (write_device_log_header(tree, state.logs, log, device) != 0) {
            return -1;
        }
        read_power_inputs(state.board.devices[i], device);
        if (write_device_log_line(tree, state.logs, log, device, snapshot.cycle_time_s) != 0) {
            return -1;
        }
    }
    if (write_system_log(tree, state.logs, snapshot) != 0) {
        return -1;
    }
    return write_thermal_log(tree, state.logs, snapshot);
}

cycle_outcome run_cycle(monitor_state &state) {
    const monitor_config &config = state.config;
    cycle_snapshot &snapshot = state.snapshot;
    const timespec began = config.metrics_file != nullptr ? monotonic_now() : timespec{};

    sample_accumulator_devices(state.board, state.controls, snapshot.devices);
    sample_platform_sensors(state.board, snapshot);
    snapshot.cycle_time_s = cycle_time_seconds(config, state.start_time, monotonic_now());
    derive_throttle(state.throttle, snapshot.system, snapshot.cycle_time_s);

    // The root is resolved and checked afresh: it may have been replaced since the last cycle.
    output_tree tree;
    const bool failed = open_output_tree(config.output_root, tree) != 0 ||
                        publish_value_tree(tree, snapshot) != 0 ||
                        (config.write_raw && publish_raw_logs(state, tree) != 0);
    // A view of what was just published: its own failures never fail the pass.
    if (config.metrics_file != nullptr) {
        publish_metrics(state.metrics, config.metrics_file, snapshot, failed, began);
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

void run_cycle_loop(monitor_state &state, timespec &next_deadline) {
    const monitor_config &config = state.config;
    for (;;) {
        wait_for_deadline(next_deadline);
        // From the previous deadline, not the wake-up: an overrun is caught up, never dropped.
        timespec_add_ms(next_deadline, static_cast<std::uint32_t>(config.period_ms));

        if (run_cycle(state) == cycle_outcome::failed) {
            std::fprintf(stderr, "Error: Could not write to %s\n", config.output_root);
            ++state.failure_count;
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
