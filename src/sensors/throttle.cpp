#include "sensors/throttle.h"

void derive_throttle(bcl_throttle_history &h, system_figures &f, double cycle_time_s) {
    f.throttle_percent = 0.0;
    if (!f.bcl_present) {
        h.has_previous = false;
        return;
    }
    const double dt = cycle_time_s - h.previous_time_s;
    if (h.has_previous && dt > 0.0 && h.previous_count <= f.bcl_count) {
        // previous <= count, so the true advance fits an unsigned 64-bit value even across the sign.
        const std::uint64_t advance =
            static_cast<std::uint64_t>(f.bcl_count) - static_cast<std::uint64_t>(h.previous_count);
        f.throttle_percent = static_cast<double>(advance) / (dt * k_bcl_counter_hz) * 100.0;
    }
    h.previous_count = f.bcl_count;
    h.previous_time_s = cycle_time_s;
    h.has_previous = true;
}
