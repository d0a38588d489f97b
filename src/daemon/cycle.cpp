#include "daemon/cycle.h"

#include "common/time_helpers.h"
#include "daemon/control.h"
#include "daemon/monitor.h"
#include "derive/derive.h"
#include "publish/energy_snapshot.h"
#include "publish/metrics.h"
#include "publish/output_tree.h"
#include "publish/raw_logs.h"
#include "publish/value_tree.h"
#include "sensors/accumulators.h"
#include "sensors/platform_sensors.h"

#include <poll.h>

#include <algorithm>
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

timespec remaining(const timespec &now, const timespec &target) {
    if (reached(now, target)) {
        return timespec{};
    }
    timespec left{target.tv_sec - now.tv_sec, target.tv_nsec - now.tv_nsec};
    if (left.tv_nsec < 0) {
        left.tv_nsec += 1000000000L;
        --left.tv_sec;
    }
    return left;
}

timespec from_ns(std::int64_t ns) {
    return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

// Sends the latest counters to every waiting client; a reply that cannot be built is an error line.
void answer_requests(monitor_state &state) {
    control_state &control = state.control;
    if (build_latch_reply(control.reply, state.snapshot, energy_run_of(state)) != 0) {
        answer_waiting(control, "error,no counters\n");
        return;
    }
    answer_waiting(control, control.reply);
}

// One latch on request for every waiting client: the same pass as a cycle's latch, counted by the
// same rules; nothing is published.
void latch_on_request(monitor_state &state) {
    control_state &control = state.control;
    if (latch_accumulator_devices(state.board, state.controls, state.snapshot) != 0) {
        return;
    }
    // The spacing counts from the pass's last latch, so that every device's latches on request are
    // at least the spacing apart.
    control.latched_on_request = true;
    for (const device_sample &device : state.snapshot.devices) {
        control.last_requested_latch_ns = std::max(control.last_requested_latch_ns, device.latched_ns);
    }
    if (count_energy(state.derive.energy, state.snapshot) == 0) {
        state.snapshot.energy = &state.derive.energy;
    }
    answer_requests(state);
}

} // namespace

namespace {

enum class request_turn { none, served, later };

// Waiting requests are served between cycles once the spacing allows: served now, or `when` is set
// to when they may be. A request before the first cycle, or one whose turn would come at the
// deadline, is the cycle's to serve.
request_turn requested_latch_turn(monitor_state &state, const timespec &now, const timespec &deadline,
                                  timespec &when) {
    control_state &control = state.control;
    if (!control.listener.valid() || !requests_waiting(control) || !state.board.devices_found ||
        reached(now, deadline)) {
        return request_turn::none;
    }
    when = from_ns(control.latched_on_request ? control.last_requested_latch_ns + k_requested_latch_spacing_ns
                                              : 0);
    if (!reached(now, when)) {
        return request_turn::later;
    }
    latch_on_request(state);
    return request_turn::served;
}

// One wait call, serving the clients it wakes for. True when it timed out.
bool wait_once(control_state &control, const timespec &timeout) {
    const std::size_t count = control.listener.valid() ? control_poll_set(control) : 0;
    const int rc = ::ppoll(count != 0 ? control.polls.data() : nullptr, count, &timeout, nullptr);
    if (rc > 0) {
        handle_control_events(control);
    }
    return rc == 0;
}

} // namespace

void wait_for_deadline(monitor_state &state, const timespec &deadline) {
    // A stop request ends the wait at most a second after it is seen, however long the period.
    // Without one, the wait goes in slices of at most a second, so that a request that lands
    // between the flag check and the wait is still seen within a second.
    //
    // The wait is ppoll with a timeout recomputed from the absolute deadline at every call, rather
    // than a timer descriptor set to it: one system call per wait, as the plain sleep it replaces,
    // where a timer would add a timerfd_settime (and a read) to every cycle. Computed from the
    // deadline, never from the previous wake-up, the timeout cannot move the schedule.
    bool stop_seen = false;
    timespec stop_by{};
    for (;;) {
        const timespec now = monotonic_now();
        if (stop_requested != 0 && !stop_seen) {
            stop_seen = true;
            stop_by = now;
            timespec_add_ms(stop_by, k_stop_grace_ms);
        }
        timespec slice_end = now;
        timespec_add_ms(slice_end, k_stop_grace_ms);
        const timespec *target = &earlier(deadline, stop_seen ? stop_by : slice_end);
        timespec next_latch{};
        const request_turn turn = requested_latch_turn(state, now, deadline, next_latch);
        if (turn == request_turn::served) {
            continue;
        }
        if (turn == request_turn::later) {
            target = &earlier(*target, next_latch);
        }
        // Called even when already due: an overdue deadline returns at once. A signal or a client
        // ends the call early; the targets are then computed afresh.
        const bool due = reached(now, *target);
        if (!wait_once(state.control, remaining(now, *target)) && !due) {
            continue;
        }
        if (target == &deadline || (stop_seen && target == &stop_by)) {
            return;
        }
        // A whole slice passed with no interruption: a request seen now came within that slice,
        // so at most a second ago.
        if (target != &next_latch && stop_requested != 0) {
            return;
        }
    }
}

void run_cycle_loop(monitor_state &state, timespec &next_deadline) {
    const monitor_config &config = state.config;
    for (;;) {
        wait_for_deadline(state, next_deadline);
        // From the previous deadline, not the wake-up: an overrun is caught up, never dropped.
        timespec_add_ms(next_deadline, static_cast<std::uint32_t>(config.period_ms));

        const cycle_outcome outcome = run_cycle(state);
        if (outcome == cycle_outcome::failed) {
            std::fprintf(stderr, "Error: Could not write to %s\n", config.output_root);
        }
        // The cycle's latch came after every waiting request: it serves them.
        if (outcome != cycle_outcome::skipped && state.snapshot.energy != nullptr &&
            requests_waiting(state.control)) {
            answer_requests(state);
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
