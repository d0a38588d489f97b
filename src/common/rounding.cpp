#include "common/rounding.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

// 128-bit arithmetic holds the exact sum for every x that does not saturate.
__extension__ typedef __int128 wide;
__extension__ typedef unsigned __int128 uwide;

// x * 10 + 0.5 rounded once to a double, as a fused multiply-add gives it, then truncated toward zero.
// Done exactly in integers so that the daemon does not need the maths library, whose mapping alone costs
// a few hundred kilobytes of resident memory on hosts without a fused multiply-add instruction.
std::int64_t round_x10(double x) {
    constexpr std::int64_t max = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t min = std::numeric_limits<std::int64_t>::min();
    if (std::isnan(x)) {
        return 0;
    }
    // From 2^61 on, |x * 10| is beyond 2^63 whatever the rounding.
    constexpr double saturating = 2305843009213693952.0;
    if (x >= saturating) {
        return max;
    }
    if (x <= -saturating) {
        return min;
    }
    // Below 2^-10, x * 10 + 0.5 stays strictly between 0 and 1.
    if (x > -0.0009765625 && x < 0.0009765625) {
        return 0;
    }

    // x = sign * mantissa * 2^exponent with a 53-bit mantissa; here exponent lies in -62 ... 8.
    const auto bits = std::bit_cast<std::uint64_t>(x);
    const bool negative = (bits >> 63) != 0;
    const std::uint64_t mantissa = (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
    const int exponent = static_cast<int>((bits >> 52) & 0x7ff) - 1075;

    // The exact sum in units of 2^unit, unit <= -1 so that 0.5 is a whole number of units.
    const int unit = std::min(exponent, -1);
    const wide product = static_cast<wide>(mantissa) * 10 * (wide{1} << (exponent - unit));
    const wide sum = (negative ? -product : product) + (wide{1} << (-1 - unit));
    const bool sum_negative = sum < 0;
    auto magnitude = static_cast<uwide>(sum_negative ? -sum : sum);

    // Round to 53 significant bits, ties to even.
    int length = 0;
    for (uwide m = magnitude; m != 0; m >>= 1) {
        ++length;
    }
    if (length > 53) {
        const int drop = length - 53;
        const uwide rest = magnitude & ((uwide{1} << drop) - 1);
        const uwide half = uwide{1} << (drop - 1);
        magnitude >>= drop;
        if (rest > half || (rest == half && (magnitude & 1) != 0)) {
            ++magnitude;
        }
        magnitude <<= drop;
    }

    // Truncate toward zero, then clamp to the 64-bit range.
    const uwide whole = magnitude >> (-unit);
    const auto limit = static_cast<uwide>(max);
    if (!sum_negative) {
        return whole > limit ? max : static_cast<std::int64_t>(whole);
    }
    return whole > limit ? min : -static_cast<std::int64_t>(whole);
}
