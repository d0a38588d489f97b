// MAX34417 accumulator devices: mode control, the per-cycle latch and readings.
#pragma once

#include "common/snapshot.h"
#include "sensors/discovery.h"

#include <string>
#include <string_view>
#include <vector>

enum class update_mode { manual, automatic };

// A control write that failed and was reported: one warning per (text, path) and run.
struct control_report {
    std::string text;
    std::string path;
};
struct control_reports {
    std::vector<control_report> reported;
};

// Writes a control attribute; a failure is reported on standard error once per path and text, and
// sampling goes on. False when the write failed.
bool write_control(control_reports &reports, const std::string &path, std::string_view text);
// Each mode write finds the devices afresh and writes every one it finds; when the search fails,
// nothing is written.
void set_measurement_mode(control_reports &reports, std::string_view text);
void set_update_mode(control_reports &reports, update_mode mode);

// Latches every device in one quick pass, then reads each one's values into the snapshot. The first
// call finds the devices and sizes the snapshot for them; -1 when that could not be done (nothing is
// then sampled, and the next call tries again).
[[nodiscard]] int sample_accumulator_devices(board_inventory &board, control_reports &reports,
                                             cycle_snapshot &snapshot);

// A latch on request, between cycles: the same one quick pass of trigger writes and clock readings,
// then every power%d_average into the snapshot's latch fields and channel values, and nothing else
// (labels, names, voltages and counts are left as the last cycle read them). -1 before the first
// cycle has found the devices.
[[nodiscard]] int latch_accumulator_devices(board_inventory &board, control_reports &reports,
                                            cycle_snapshot &snapshot);

void load_log_labels(accumulator_device &device, device_sample &sample);
void read_power_inputs(const accumulator_device &device, device_sample &sample);

// The device logs' inputs, read once per published cycle just before the logs are written: every
// device's instantaneous power%d_input and, for a device whose log still needs its header
// (`header_pending(i)`), every power channel's label.
template <typename HeaderPending>
void sample_log_inputs(board_inventory &board, cycle_snapshot &snapshot, HeaderPending header_pending) {
    for (std::size_t i = 0; i < snapshot.devices.size() && i < board.devices.size(); ++i) {
        if (header_pending(i)) {
            load_log_labels(board.devices[i], snapshot.devices[i]);
        }
        read_power_inputs(board.devices[i], snapshot.devices[i]);
    }
}
