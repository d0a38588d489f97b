#include "publish/csv_line.h"
#include "publish/value_tree.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string sanitized(const std::string &name) {
    char buffer[k_name_capacity];
    sanitize_name(buffer, sizeof buffer, name.c_str());
    return buffer;
}

TEST(sanitize_name, maps_to_lower_alnum_and_single_underscores) {
    EXPECT_EQ(sanitized("VPH"), "vph");
    EXPECT_EQ(sanitized("APC0 cpu"), "apc0_cpu");
    EXPECT_EQ(sanitized("a--b"), "a_b");
    EXPECT_EQ(sanitized("__x"), "_x");
    EXPECT_EQ(sanitized("mem.1/2"), "mem_1_2");
    EXPECT_EQ(sanitized(""), "");
    EXPECT_EQ(sanitized("../../etc"), "_etc");
    EXPECT_EQ(sanitized("x\xc3\xa9y-"), "x_y_");
    EXPECT_EQ(sanitized(std::string(200, 'A')), std::string(127, 'a'));
}

TEST(csv_line, fields_are_joined_and_bounded) {
    char buffer[16];
    csv_line line;
    csv_line_init(line, buffer, sizeof buffer);
    EXPECT_EQ(csv_line_add_field(line, "time"), 0);
    EXPECT_EQ(csv_line_add_integer(line, 42), 0);
    EXPECT_EQ(csv_line_end(line), 0);
    EXPECT_EQ(std::string(buffer), "time,42\n");
    EXPECT_EQ(line.length, 8U);

    // 15 characters fit a 16-byte buffer, 16 do not, and the line then refuses more text.
    csv_line_init(line, buffer, sizeof buffer);
    EXPECT_EQ(csv_line_append(line, "123456789012345"), 0);
    EXPECT_EQ(csv_line_end(line), -1);
    EXPECT_EQ(line.length, 15U);
    EXPECT_EQ(csv_line_append(line, "x"), -1);

    csv_line_init(line, buffer, sizeof buffer);
    EXPECT_EQ(csv_line_append(line, "12345678901234567890"), -1);
    EXPECT_EQ(line.length, 15U);
    EXPECT_EQ(std::string(buffer), "123456789012345");

    // A number that does not fit is cut like any text, and fails the line.
    csv_line_init(line, buffer, sizeof buffer);
    EXPECT_EQ(csv_line_add_fixed(line, 1234.5, 6), 0);
    EXPECT_EQ(csv_line_add_fixed(line, -1.0, 6), -1);
    EXPECT_EQ(std::string(buffer), "1234.500000,-1.");
    EXPECT_EQ(line.length, 15U);

    // A label is text, never a format.
    csv_line_init(line, buffer, sizeof buffer);
    EXPECT_EQ(csv_line_add_field(line, "%s%n,%d"), 0);
    EXPECT_EQ(std::string(buffer), "%s%n,%d");

    csv_line zero;
    csv_line_init(zero, buffer, 0);
    EXPECT_EQ(csv_line_append(zero, "x"), -1);
    EXPECT_EQ(csv_line_add_integer(zero, 1), -1);
}

} // namespace
