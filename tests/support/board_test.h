// Test base: every test gets a private /sys and /run holding only what it lays out.
#pragma once

#include "board.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <string>

namespace fakeboard {
inline const bool namespace_entered_before_main = enter_namespace_before_threads();
} // namespace fakeboard

class board_test : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string &why = fakeboard::enter_private_namespace();
        if (!why.empty()) {
            if (fakeboard::running_in_ci()) {
                FAIL() << "cannot make a private mount namespace: " << why;
            }
            GTEST_SKIP() << "no private mount namespace: " << why;
        }
        std::string mount_error;
        ASSERT_TRUE(fakeboard::mount_board_tmpfs(&mount_error)) << mount_error;
        mounted_ = true;
        lay_out_board();
    }

    // What a test suite lays out on its fresh board; runs only once the sandbox is in place.
    virtual void lay_out_board() {}

    void TearDown() override {
        if (mounted_) {
            fakeboard::unmount_board_tmpfs();
        }
    }

  private:
    bool mounted_ = false;
};
