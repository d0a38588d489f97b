// The published numbers are formatted without printf; they must stay byte for byte what printf gave.
#include "publish/number_text.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

namespace {

std::string by_printf(const char *format, int precision, double value) {
    char text[512];
    const int n = std::snprintf(text, sizeof text, format, precision, value);
    return std::string(text, static_cast<std::size_t>(n));
}

std::string fixed(double value, int precision) {
    char text[512];
    const char *end = put_fixed(text, text + sizeof text, value, precision);
    return end != nullptr ? std::string(text, static_cast<std::size_t>(end - text)) : "(no room)";
}

std::string general(double value, int precision) {
    char text[512];
    const char *end = put_general(text, text + sizeof text, value, precision);
    return end != nullptr ? std::string(text, static_cast<std::size_t>(end - text)) : "(no room)";
}

// What the daemon divides: counts in micro-, milli- and nano-units and tenths, over the whole range.
std::vector<double> sample_values() {
    std::vector<double> values = {0.0,
                                  -0.0,
                                  1.0,
                                  -1.0,
                                  0.5,
                                  2.5,
                                  0.125,
                                  1e-7,
                                  5e-7,
                                  0.0000005,
                                  0.00005,
                                  0.0005,
                                  0.005,
                                  0.05,
                                  0.15,
                                  0.25,
                                  0.35,
                                  1.0 / 3.0,
                                  2.0 / 3.0,
                                  1e15,
                                  1e16,
                                  1e17,
                                  9007199254740993.0,
                                  1e22,
                                  1e300,
                                  -1e300,
                                  std::numeric_limits<double>::max(),
                                  std::numeric_limits<double>::lowest(),
                                  std::numeric_limits<double>::min(),
                                  std::numeric_limits<double>::denorm_min(),
                                  std::numeric_limits<double>::infinity(),
                                  -std::numeric_limits<double>::infinity(),
                                  std::numeric_limits<double>::quiet_NaN(),
                                  -std::numeric_limits<double>::quiet_NaN()};
    for (const std::int64_t edge :
         {std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max(), std::int64_t{0},
          std::int64_t{1}, std::int64_t{-1}}) {
        for (const double unit : {1e6, 1e3, 1e9, 10.0, 1.0}) {
            values.push_back(static_cast<double>(edge) / unit);
        }
    }
    // The rounding boundaries: k + 5 * 10^-(p+1) for every precision used, and their neighbours.
    for (int p = 1; p <= 6; ++p) {
        const double half = 5.0 * std::pow(10.0, -(p + 1));
        for (int k = -3000; k <= 3000; ++k) {
            const double point = static_cast<double>(k) * std::pow(10.0, -p) + half;
            values.push_back(point);
            values.push_back(std::nextafter(point, INFINITY));
            values.push_back(std::nextafter(point, -INFINITY));
        }
    }
    // Every reading the logs and the tree divide, in a band of ordinary sizes.
    std::uint64_t state = 0x2545f4914f6cdd1dULL;
    for (int i = 0; i < 200000; ++i) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        const auto count = static_cast<std::int64_t>(state >> (state % 64));
        const double unit = std::array<double, 5>{1e6, 1e3, 1e9, 10.0, 1.0}[state % 5];
        values.push_back(static_cast<double>(state % 2 != 0 ? -count : count) / unit);
        values.push_back(std::bit_cast<double>(state));
    }
    return values;
}

TEST(number_text, fixed_and_general_are_printf_byte_for_byte) {
    std::size_t mismatches = 0;
    for (const double value : sample_values()) {
        for (int precision = 1; precision <= 6; ++precision) {
            if (fixed(value, precision) != by_printf("%.*f", precision, value) && ++mismatches < 10) {
                ADD_FAILURE() << std::hexfloat << value << " %." << precision
                              << "f: " << fixed(value, precision) << " vs "
                              << by_printf("%.*f", precision, value);
            }
        }
        for (int precision = 15; precision <= 17; ++precision) {
            if (general(value, precision) != by_printf("%.*g", precision, value) && ++mismatches < 10) {
                ADD_FAILURE() << std::hexfloat << value << " %." << precision
                              << "g: " << general(value, precision) << " vs "
                              << by_printf("%.*g", precision, value);
            }
        }
    }
    EXPECT_EQ(mismatches, 0U);
}

TEST(number_text, integers_are_printf_byte_for_byte) {
    std::vector<std::int64_t> values = {0,
                                        1,
                                        -1,
                                        9,
                                        10,
                                        -10,
                                        std::numeric_limits<std::int64_t>::min(),
                                        std::numeric_limits<std::int64_t>::max()};
    for (std::int64_t v = 1; v < std::numeric_limits<std::int64_t>::max() / 10; v *= 10) {
        values.insert(values.end(), {v - 1, v, v + 1, -v, -(v - 1)});
    }
    for (const std::int64_t v : values) {
        char text[32];
        char reference[32];
        const char *end = put_integer(text, text + sizeof text, v);
        ASSERT_NE(end, nullptr);
        std::snprintf(reference, sizeof reference, "%lld", static_cast<long long>(v));
        EXPECT_EQ(std::string(static_cast<const char *>(text), end), reference);
        end = put_unsigned(text, text + sizeof text, static_cast<std::uint64_t>(v));
        std::snprintf(reference, sizeof reference, "%llu", static_cast<unsigned long long>(v));
        EXPECT_EQ(std::string(static_cast<const char *>(text), end), reference);
    }
}

TEST(number_text, too_little_room_is_refused) {
    char text[8];
    EXPECT_EQ(put_fixed(text, text + sizeof text, 12345.678, 6), nullptr);
    EXPECT_EQ(put_integer(text, text + 3, 1234), nullptr);
    EXPECT_EQ(put_fixed(text, text + 3, -std::numeric_limits<double>::quiet_NaN(), 6), nullptr);
    const char *end = put_fixed(text, text + sizeof text, 1.5, 6);
    ASSERT_NE(end, nullptr);
    EXPECT_EQ(std::string(static_cast<const char *>(text), end), "1.500000");
}

} // namespace
