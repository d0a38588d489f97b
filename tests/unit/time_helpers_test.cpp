#include "common/time_helpers.h"

#include <gtest/gtest.h>

TEST(time_helpers, add_ms_carries_into_seconds) {
    timespec t{5, 999000000};
    timespec_add_ms(t, 1500);
    EXPECT_EQ(t.tv_sec, 7);
    EXPECT_EQ(t.tv_nsec, 499000000);

    timespec u{0, 0};
    timespec_add_ms(u, 999);
    EXPECT_EQ(u.tv_sec, 0);
    EXPECT_EQ(u.tv_nsec, 999000000);
    timespec_add_ms(u, 1);
    EXPECT_EQ(u.tv_sec, 1);
    EXPECT_EQ(u.tv_nsec, 0);
}

TEST(time_helpers, diff_borrows_a_second) {
    EXPECT_DOUBLE_EQ(timespec_diff_s(timespec{1, 900000000}, timespec{3, 100000000}), 1.2);
    EXPECT_DOUBLE_EQ(timespec_diff_s(timespec{3, 100000000}, timespec{1, 900000000}), -1.2);
    EXPECT_EQ(timespec_to_ns(timespec{12345, 678901234}), 12345678901234LL);
}
