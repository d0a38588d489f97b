// Fault matrix, output root: no space, no inodes, read-only, removed, replaced by a file.
#include "fault_harness.h"
#include "support/board_test.h"

#include <signal.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace {

using namespace faults;
using namespace support;

class output_root_faults : public reference_board_test {
  protected:
    // A filesystem of its own at the output root, inside this test's namespace.
    static void mount_root(const char *options) {
        fakeboard::make_directories(k_root);
        ASSERT_EQ(::mount("faultroot", k_root.c_str(), "tmpfs", 0, options), 0) << std::strerror(errno);
    }

    // tmpfs refuses to go read-only while a file is open for writing; the daemon holds one only
    // for the instant of a write, so a few attempts are enough.
    static void remount_root(bool read_only) {
        const unsigned long flags = MS_REMOUNT | (read_only ? MS_RDONLY : 0);
        const bool done =
            wait_until([&] { return ::mount(nullptr, k_root.c_str(), nullptr, flags, nullptr) == 0; }, 2.0);
        ASSERT_TRUE(done) << "remount failed: " << std::strerror(errno);
    }

    static std::size_t write_errors(const running_daemon &d) {
        return count_exact_lines(stderr_so_far(d), k_write_error);
    }
};

// The first power files of a pass, in device order (hwmon10 before hwmon2).
const std::string k_first_file = k_root + "/power/nsp1";
const std::string k_vph_total = k_root + "/power/vph_total";
const std::string k_last_file = k_root + "/timestamp/max34417_b";

TEST_F(output_root_faults, tmpfs_too_small_fails_every_pass_and_stops_after_six) {
    // Two pages: the pass runs out of space on its third file.
    mount_root("size=8k,mode=0755");
    const tree_snapshot before = snapshot_outside_root();
    running_daemon d = start_daemon({"-i", "20"});
    const fakeboard::process_result r = finish(d, 6.0);
    const double elapsed = fakeboard::monotonic_seconds() - d.started_s;

    expect_stopped_by_failures(r);
    // Six failed cycles: the first after one second, five more at the 20 ms period (and six error
    // lines, which the check above counts).
    EXPECT_GE(elapsed, 1.0 + 5 * 0.020);
    // Files before the failing write hold this cycle's values; the pass never reached the totals.
    EXPECT_EQ(try_read(k_first_file).value_or("<none>"), watts_text(450000));
    EXPECT_NE(try_read(k_vph_total).value_or(""), watts_text(350000));
    EXPECT_FALSE(fakeboard::file_exists(k_last_file));
    expect_only_control_attributes_changed(before, snapshot_outside_root());
    expect_update_modes(board_, "auto");
}

TEST_F(output_root_faults, tmpfs_out_of_inodes_fails_every_pass_and_stops_after_six) {
    // The root, its four directories and two files.
    mount_root("nr_inodes=7,mode=0755");
    const tree_snapshot before = snapshot_outside_root();
    running_daemon d = start_daemon({"-i", "20", "--raw"});
    const fakeboard::process_result r = finish(d, 6.0);

    expect_stopped_by_failures(r);
    EXPECT_EQ(try_read(k_first_file).value_or("<none>"), watts_text(450000));
    EXPECT_FALSE(fakeboard::file_exists(k_vph_total));
    EXPECT_FALSE(fakeboard::file_exists(k_root + "/power/system_raw"));
    expect_only_control_attributes_changed(before, snapshot_outside_root());
    expect_update_modes(board_, "auto");
}

TEST_F(output_root_faults, read_only_root_counts_failures_and_publishing_resumes_when_writable) {
    mount_root("size=1m,mode=0755");
    running_daemon d = start_daemon({"-i", "100"});
    ASSERT_TRUE(wait_until([] { return fakeboard::file_exists(k_last_file); }, 3.0));

    remount_root(true);
    ASSERT_TRUE(wait_until([&] { return write_errors(d) >= 2; }, 2.0)) << stderr_so_far(d);
    remount_root(false);

    // Publishing resumes: the snapshot time file moves on again, and no pass fails.
    const std::string stamp = try_read(k_last_file).value_or("");
    ASSERT_TRUE(wait_until([&] { return try_read(k_last_file).value_or(stamp) != stamp; }, 1.0));
    const std::size_t while_read_only = write_errors(d);
    ASSERT_GE(while_read_only, 2u);
    ASSERT_LT(while_read_only, 6u);
    std::this_thread::sleep_for(std::chrono::milliseconds(350));
    EXPECT_EQ(write_errors(d), while_read_only);
    EXPECT_EQ(stdout_so_far(d), k_starting);

    // The failures while read-only still count: the daemon stops after the sixth in total.
    const tree_snapshot before = snapshot_outside_root();
    remount_root(true);
    const fakeboard::process_result r = finish(d, 3.0);
    expect_stopped_by_failures(r);
    expect_only_control_attributes_changed(before, snapshot_outside_root());
    expect_update_modes(board_, "auto");
}

TEST_F(output_root_faults, removed_root_is_recreated_next_cycle) {
    running_daemon d = start_daemon({"-i", "50"});
    ASSERT_TRUE(wait_until([] { return fakeboard::file_exists(k_last_file); }, 3.0));
    for (int round = 0; round < 3; ++round) {
        fakeboard::remove_tree(k_root);
        ASSERT_TRUE(wait_until([] { return try_read(k_last_file).has_value(); }, 1.0)) << "round " << round;
    }
    // A complete tree again, with this cycle's values.
    ASSERT_TRUE(wait_until([] { return try_read(k_vph_total).value_or("") == watts_text(350000); }, 1.0));
    EXPECT_EQ(try_read(k_first_file).value_or("<none>"), watts_text(450000));
    EXPECT_EQ(try_read(k_root + "/accumulator/max34417_b").value_or("<none>"), "1\n");

    const tree_snapshot before = snapshot_outside_root();
    signal_daemon(d, SIGTERM);
    const fakeboard::process_result r = finish(d, 2.0);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, k_starting + k_quitting);
    // A removal in the middle of a pass can fail that one pass; nothing else may.
    EXPECT_LE(count_exact_lines(r.err, k_write_error), 3u) << r.err;
    EXPECT_TRUE(only_lines(r.err, k_write_error)) << r.err;
    expect_only_control_attributes_changed(before, snapshot_outside_root());
    expect_update_modes(board_, "auto");
}

TEST_F(output_root_faults, root_replaced_by_a_regular_file_fails_every_pass_and_is_left_alone) {
    running_daemon d = start_daemon({"-i", "50"});
    ASSERT_TRUE(wait_until([] { return fakeboard::file_exists(k_last_file); }, 3.0));
    const std::string content = "not a directory\n";
    // The daemon may recreate the directory between the removal and the write: try again.
    ASSERT_TRUE(wait_until(
        [&] {
            fakeboard::remove_tree(k_root);
            try {
                fakeboard::write_file(k_root, content);
            } catch (const std::exception &) {
                return false;
            }
            return true;
        },
        1.0));
    const tree_snapshot before = snapshot_outside_root();
    const fakeboard::process_result r = finish(d, 3.0);
    expect_stopped_by_failures(r);
    EXPECT_EQ(try_read(k_root).value_or("<not a file>"), content);
    expect_only_control_attributes_changed(before, snapshot_outside_root());
    expect_update_modes(board_, "auto");
}

} // namespace
