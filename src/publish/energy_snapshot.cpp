#include "publish/energy_snapshot.h"

#include "derive/energy.h"
#include "publish/csv_line.h"

#include <new>

namespace {

constexpr std::size_t k_row_capacity = 4096;

struct rows {
    std::string &text;
    char buffer[k_row_capacity];
    csv_line line;
};

void begin(rows &r, const char *kind) {
    csv_line_init(r.line, r.buffer, sizeof r.buffer);
    (void)csv_line_add_field(r.line, kind);
}

int end(rows &r, int rc) {
    if (rc != 0 || csv_line_end(r.line) != 0) {
        return -1;
    }
    r.text.append(r.line.buffer, r.line.length);
    return 0;
}

int add_total(rows &r, const char *name, const energy_total &total) {
    begin(r, "total");
    int rc = csv_line_add_field(r.line, name);
    rc |= csv_line_add_scaled(r.line, total.nanojoules, 9);
    rc |= csv_line_add_scaled(r.line, total.gap_ns, 9);
    return end(r, rc);
}

// A device's record, its latch record (replies only), then its channels' records.
int add_device(rows &r, std::size_t d, const device_sample &device, const device_energy &energy,
               bool latch_records) {
    const std::string_view name =
        device.name != nullptr ? std::string_view(*device.name) : std::string_view();
    begin(r, "device");
    int rc = csv_line_add_integer(r.line, static_cast<std::int64_t>(d));
    rc |= csv_line_add_text(r.line, name);
    rc |= energy.latched_before ? csv_line_add_scaled(r.line, energy.latch_ns, 9)
                                : csv_line_add_field(r.line, "");
    if (end(r, rc) != 0) {
        return -1;
    }
    if (latch_records) {
        begin(r, "latch");
        rc = csv_line_add_integer(r.line, static_cast<std::int64_t>(d));
        rc |= energy.latched_before ? csv_line_add_integer(r.line, energy.latch_ns)
                                    : csv_line_add_field(r.line, "");
        rc |= csv_line_add_integer(r.line, energy.sequence);
        if (end(r, rc) != 0) {
            return -1;
        }
    }
    for (std::size_t n = 0; n < energy.channels.size(); ++n) {
        const channel_energy &channel = energy.channels[n];
        begin(r, "channel");
        rc = csv_line_add_integer(r.line, static_cast<std::int64_t>(d));
        rc |= csv_line_add_text(r.line, name);
        rc |= csv_line_add_integer(r.line, static_cast<std::int64_t>(n + 1));
        rc |= csv_line_add_text(r.line, channel.label != nullptr ? std::string_view(*channel.label)
                                                                 : std::string_view());
        rc |= csv_line_add_scaled(r.line, channel.nanojoules, 9);
        rc |= csv_line_add_scaled(r.line, channel.gap_ns, 9);
        if (end(r, rc) != 0) {
            return -1;
        }
    }
    return 0;
}

int build(rows &r, const cycle_snapshot &snapshot, const energy_counters &counters, const energy_run &run,
          bool latch_records) {
    begin(r, "vantrel-energy");
    if (end(r, csv_line_add_integer(r.line, 1)) != 0) {
        return -1;
    }
    begin(r, "pid");
    if (end(r, csv_line_add_integer(r.line, run.pid)) != 0) {
        return -1;
    }
    begin(r, "start");
    if (end(r, csv_line_add_scaled(r.line, run.start_ns, 9)) != 0) {
        return -1;
    }
    begin(r, "period_ms");
    if (end(r, csv_line_add_integer(r.line, run.period_ms)) != 0) {
        return -1;
    }
    const std::size_t count = std::min(snapshot.devices.size(), counters.devices.size());
    for (std::size_t d = 0; d < count; ++d) {
        if (add_device(r, d, snapshot.devices[d], counters.devices[d], latch_records) != 0) {
            return -1;
        }
    }
    if (add_total(r, "vph_total", counters.vph) != 0 || add_total(r, "cores_total", counters.cores) != 0) {
        return -1;
    }
    return add_total(r, "vph_other", counters.vph_other);
}

} // namespace

namespace {

int build_text(std::string &text, const cycle_snapshot &snapshot, const energy_run &run, bool latch_records) {
    text.clear();
    if (snapshot.energy == nullptr) {
        return -1;
    }
    rows r{text, {}, {}};
    try {
        return build(r, snapshot, *snapshot.energy, run, latch_records);
    } catch (const std::bad_alloc &) {
        return -1;
    }
}

} // namespace

int build_energy_snapshot(std::string &text, const cycle_snapshot &snapshot, const energy_run &run) {
    return build_text(text, snapshot, run, false);
}

int build_latch_reply(std::string &text, const cycle_snapshot &snapshot, const energy_run &run) {
    return build_text(text, snapshot, run, true);
}

int publish_energy_snapshot(const output_tree &tree, energy_snapshot_state &state,
                            const cycle_snapshot &snapshot, const energy_run &run) {
    const int dir_fd = tree.dirs[static_cast<std::size_t>(output_dir::energy)].fd;
    if (dir_fd < 0 || build_energy_snapshot(state.text, snapshot, run) != 0) {
        return -1;
    }
    return replace_file(dir_fd, k_energy_snapshot_name, state.text, state.names) == 0 ? 0 : -1;
}
