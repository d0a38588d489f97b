// Fixed-point figures: the performance figure and the battery charge are kept as integer tenths, so
// that every file and log prints them exactly, with one rounding rule wherever they are made.
#pragma once

#include <cstdint>

// x * 10 + 0.5 rounded once (as one fused multiply-add gives it), then truncated toward zero: positive
// values round half up, negative ones are truncated after adding 0.5. NaN gives 0; beyond the 64-bit
// range the nearest limit.
[[nodiscard]] std::int64_t round_x10(double x);
