// MAX34417 accumulator devices: mode control, the per-cycle latch and readings.
#pragma once

#include "common/snapshot.h"
#include "sensors/discovery.h"

#include <string>
#include <string_view>
#include <vector>

enum class update_mode { manual, automatic };

// Control writes that failed and were reported, as "text\npath": one warning each per run.
struct control_reports {
    std::vector<std::string> reported;
};

// Writes a control attribute; a failure is reported on standard error once per path and text, and
// sampling goes on.
void write_control(control_reports &reports, const std::string &path, std::string_view text);
void set_measurement_mode(const board_inventory &board, control_reports &reports, std::string_view text);
void set_update_mode(const board_inventory &board, control_reports &reports, update_mode mode);
// Finds the devices afresh and returns each to automatic updating (the exit path).
void return_devices_to_auto(control_reports &reports);

// Latches every device in one quick pass, then reads each one's values into `samples` (one per
// device, already sized).
void sample_accumulator_devices(board_inventory &board, control_reports &reports,
                                std::vector<device_sample> &samples);
// The device log's header columns: every power channel's label, read now if not yet known.
void load_log_labels(accumulator_device &device, device_sample &sample);
// Each power channel's instantaneous power%d_input, for the device log; read just before its line.
void read_power_inputs(const accumulator_device &device, device_sample &sample);
