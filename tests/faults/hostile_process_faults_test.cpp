// Fault matrix, a hostile run: sources that block, flood or point elsewhere, standard output that goes
// away, a second instance, stop requests during long periods, and control attributes that cannot be
// written.
#include "fault_harness.h"
#include "support/board_test.h"
#include "support/expected.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#ifndef VPM_DAEMON_SANITIZED
#define VPM_DAEMON_SANITIZED 0
#endif

namespace {

using namespace faults;
using namespace support;
namespace fs = std::filesystem;

const std::string k_system_log = k_root + "/power/system_raw";
const std::string k_stamp_b = k_root + "/timestamp/max34417_b";
const std::string k_busy = "Error: another instance holds /run/vantrel-power-monitor/lock\n";

class hostile_run : public board_test {
  protected:
    void lay_out_board() override { board_ = fakeboard::reference_board(); }

    void TearDown() override {
        for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) {
            ::umount2(it->c_str(), MNT_DETACH);
        }
        board_test::TearDown();
    }

    // Bind-mounts `source` over `target`, read-only if asked, until the test ends.
    void bind(const std::string &source, const std::string &target, bool read_only) {
        ASSERT_EQ(::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr), 0)
            << target << ": " << std::strerror(errno);
        mounts_.push_back(target);
        if (read_only) {
            ASSERT_EQ(::mount(nullptr, target.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0)
                << target << ": " << std::strerror(errno);
        }
    }

    fakeboard::board board_;
    std::vector<std::string> mounts_;
};

running_daemon start_with(const std::vector<std::string> &args, const fakeboard::spawn_options &options) {
    std::vector<std::string> argv{fakeboard::daemon_path(), "--root-dir", k_root};
    argv.insert(argv.end(), args.begin(), args.end());
    running_daemon d;
    d.started_s = fakeboard::monotonic_seconds();
    d.child = fakeboard::spawn(argv, options);
    return d;
}

std::vector<std::string> data_lines(const std::string &log) {
    std::vector<std::string> lines = lines_of(log);
    if (!lines.empty()) {
        lines.erase(lines.begin());
    }
    return lines;
}

bool wait_for_cycles(std::size_t cycles, double timeout_s) {
    return wait_until([&] { return data_lines(k_system_log).size() >= cycles; }, timeout_s);
}

// Waits until the file's content changes from what it holds now.
bool wait_for_change(const std::string &path, double timeout_s) {
    const std::string now = try_read(path).value_or("");
    return wait_until([&] { return try_read(path).value_or(now) != now; }, timeout_s);
}

// A field of /proc/PID/status in kB; -1 when the process or the field is gone.
long status_kib(pid_t pid, const std::string &field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
        }
    }
    return -1;
}

// Still running: neither gone nor a zombie waiting to be collected.
bool running(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t end = stat.rfind(')');
    return end != std::string::npos && end + 2 < stat.size() && stat[end + 2] != 'Z';
}

void set_update_modes(const fakeboard::board &b, const std::string &mode) {
    for (const fakeboard::accumulator_chip &chip : b.chips) {
        fakeboard::write_file(fakeboard::hwmon_dir(chip.hwmon) + "/accumulator_update_mode", mode);
    }
}

// ---------------------------------------------------------------------------------------------------
// Sources

const std::size_t k_battery_column = 11; // time, gpufreq, cpufreq0..7, perf_now, battery_soc

TEST_F(hostile_run, fifo_as_the_battery_source_reads_as_zero_and_never_blocks) {
    board_.battery_percent.reset();
    fakeboard::lay_out(board_);
    fakeboard::make_directories("/run/vantrelcharger");
    ASSERT_EQ(::mkfifo("/run/vantrelcharger/battery_percent", 0644), 0) << std::strerror(errno);

    running_daemon d = start_daemon({"-i", "50", "--raw"});
    ASSERT_TRUE(wait_for_cycles(4, 3.0)) << "cycles blocked; log lines: " << data_lines(k_system_log).size();
    for (const std::string &line : data_lines(k_system_log)) {
        EXPECT_EQ(fields_of(line).at(k_battery_column), "0.0") << line;
    }
    signal_daemon(d, SIGTERM);
    const double signalled = fakeboard::monotonic_seconds();
    const fakeboard::process_result r = finish(d, 3.0);
    // A stop ends the wait for the next 50 ms deadline, one more cycle runs, and the daemon ends: within
    // a second after that cycle whatever it read.
    EXPECT_LT(fakeboard::monotonic_seconds() - signalled, 0.050 + 1.0);
    expect_stopped_by_signal(r, 0);
    expect_update_modes(board_, "auto");
}

TEST_F(hostile_run, battery_source_linked_to_another_file_is_not_read) {
    const std::string secret = "61.7";
    board_.battery_percent.reset();
    fakeboard::lay_out(board_);
    fakeboard::write_file("/run/secret", secret + "\n");
    fakeboard::make_directories("/run/vantrelcharger");
    ASSERT_EQ(::symlink("/run/secret", "/run/vantrelcharger/battery_percent"), 0) << std::strerror(errno);

    running_daemon d = start_daemon({"-i", "50", "--raw"});
    ASSERT_TRUE(wait_for_cycles(4, 3.0)) << stderr_so_far(d);
    signal_daemon(d, SIGTERM);
    expect_stopped_by_signal(finish(d, 3.0), 0);

    for (const std::string &line : data_lines(k_system_log)) {
        EXPECT_EQ(fields_of(line).at(k_battery_column), "0.0") << line;
    }
    // Nowhere in the tree: no field of any line of any file holds the number.
    for (const fs::directory_entry &entry : fs::recursive_directory_iterator(k_root)) {
        if (!entry.is_regular_file()) {
            continue;
        }
        for (const std::string &line : lines_in(fakeboard::read_file(entry.path().string()))) {
            for (const std::string &field : fields_of(line)) {
                EXPECT_NE(field, secret) << entry.path() << ": " << line;
            }
        }
    }
}

TEST_F(hostile_run, endless_attribute_is_cut_off_and_memory_stays_small) {
    fakeboard::lay_out(board_);
    // A driver that never stops answering: /dev/zero over hwmon2's power1_average (rail vph).
    bind("/dev/zero", fakeboard::device_dir(fakeboard::hwmon_dir("hwmon2")) + "/power1_average", false);
    fakeboard::spawn_options options;
    // A daemon that reads without end fails its allocations here instead of taking the machine's memory.
    // Under a user-mode emulator the limit would apply to the emulator itself; a sanitized daemon needs
    // its shadow memory mapped.
    if (!fakeboard::under_emulator() && VPM_DAEMON_SANITIZED == 0) {
        options.address_space = 128u << 20;
    }
    running_daemon d = start_with({"-i", "50"}, options);

    long peak_kib = 0;
    int changes = 0;
    std::string stamp = try_read(k_stamp_b).value_or("");
    wait_until(
        [&] {
            peak_kib = std::max(peak_kib, status_kib(d.child.pid, "VmHWM"));
            const std::string now = try_read(k_stamp_b).value_or("");
            if (now != stamp) {
                stamp = now;
                ++changes;
            }
            return changes >= 6;
        },
        4.0);
    EXPECT_GE(changes, 6) << "the cycle did not go on";
    EXPECT_GT(peak_kib, 0);
    EXPECT_LT(peak_kib, 32 * 1024) << "VmHWM in kB";
    // The endless reading is unreadable: vph leaves the total.
    EXPECT_EQ(try_read(k_root + "/power/vph_total").value_or("<none>"), watts_text(0));
    EXPECT_EQ(try_read(k_root + "/power/apc0").value_or("<none>"), watts_text(600000));

    signal_daemon(d, SIGTERM);
    expect_stopped_by_signal(finish(d, 3.0), 0);
    expect_update_modes(board_, "auto");
}

// ---------------------------------------------------------------------------------------------------
// Standard output that nobody reads

// Both ends close-on-exec: the daemon gets only the copy made its standard output.
struct pipe_ends {
    int read_fd = -1;
    int write_fd = -1;
    pipe_ends() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) == 0) {
            read_fd = fds[0];
            write_fd = fds[1];
        }
    }
    ~pipe_ends() {
        close_read();
        close_write();
    }
    pipe_ends(const pipe_ends &) = delete;
    pipe_ends &operator=(const pipe_ends &) = delete;
    void close_read() {
        if (read_fd >= 0) {
            ::close(read_fd);
            read_fd = -1;
        }
    }
    void close_write() {
        if (write_fd >= 0) {
            ::close(write_fd);
            write_fd = -1;
        }
    }
};

// Asks the daemon to stop; it must end by itself, report no error and give the devices back.
void expect_clean_stop(running_daemon &d, const fakeboard::board &b) {
    signal_daemon(d, SIGTERM);
    const fakeboard::process_result r = finish(d, 3.0);
    EXPECT_TRUE(r.exited) << "signal " << r.term_signal;
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(without_warnings(r.err), "");
    expect_update_modes(b, "auto");
}

TEST_F(hostile_run, standard_output_into_a_pipe_nobody_reads) {
    fakeboard::lay_out(board_);
    pipe_ends out;
    ASSERT_GE(out.read_fd, 0);
    // Like `vantrel_power_monitor | true` once true has gone.
    out.close_read();
    fakeboard::spawn_options options;
    options.stdout_fd = out.write_fd;
    running_daemon d = start_with({"-i", "50"}, options);
    out.close_write();

    ASSERT_TRUE(wait_until([] { return try_read(k_stamp_b).has_value(); }, 3.0)) << stderr_so_far(d);
    ASSERT_TRUE(wait_for_change(k_stamp_b, 1.0));
    ASSERT_TRUE(wait_for_change(k_stamp_b, 1.0));
    EXPECT_TRUE(running(d.child.pid));
    expect_clean_stop(d, board_);
}

TEST_F(hostile_run, standard_output_reader_that_reads_one_byte_and_leaves) {
    fakeboard::lay_out(board_);
    pipe_ends out;
    ASSERT_GE(out.read_fd, 0);
    fakeboard::spawn_options options;
    options.stdout_fd = out.write_fd;
    running_daemon d = start_with({"-i", "50"}, options);
    out.close_write();

    pollfd ready{out.read_fd, POLLIN, 0};
    ASSERT_EQ(::poll(&ready, 1, 3000), 1) << "nothing written to standard output";
    char first = 0;
    ASSERT_EQ(::read(out.read_fd, &first, 1), 1);
    EXPECT_EQ(first, 'v');
    out.close_read();

    ASSERT_TRUE(wait_until([] { return try_read(k_stamp_b).has_value(); }, 3.0)) << stderr_so_far(d);
    ASSERT_TRUE(wait_for_change(k_stamp_b, 1.0));
    EXPECT_TRUE(running(d.child.pid));
    expect_update_modes(board_, "manual");
    // The quitting notice finds no reader.
    expect_clean_stop(d, board_);
}

// ---------------------------------------------------------------------------------------------------
// One daemon at a time

TEST_F(hostile_run, second_daemon_help_and_bad_option_leave_the_running_one_alone) {
    fakeboard::lay_out(board_);
    running_daemon first = start_daemon({"-i", "50"});
    ASSERT_TRUE(wait_until([] { return try_read(k_stamp_b).has_value(); }, 3.0)) << stderr_so_far(first);
    expect_update_modes(board_, "manual");
    const tree_snapshot before = snapshot_outside_root();

    const fakeboard::process_result second =
        fakeboard::run({fakeboard::daemon_path(), "--root-dir", "/run/pm2", "-i", "50"}, 3.0);
    EXPECT_TRUE(second.exited) << "timed out " << second.timed_out << ", signal " << second.term_signal;
    EXPECT_EQ(second.exit_code, 1);
    EXPECT_EQ(second.out, "");
    EXPECT_EQ(second.err, k_busy);
    EXPECT_FALSE(fakeboard::file_exists("/run/pm2"));
    expect_update_modes(board_, "manual");

    const fakeboard::process_result help = fakeboard::run({fakeboard::daemon_path(), "--help"}, 3.0);
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_EQ(help.err, usage_text(fakeboard::daemon_path()));
    expect_update_modes(board_, "manual");
    const fakeboard::process_result bad = fakeboard::run({fakeboard::daemon_path(), "--bogus"}, 3.0);
    EXPECT_EQ(bad.exit_code, 2);
    expect_update_modes(board_, "manual");
    expect_only_control_attributes_changed(before, snapshot_outside_root({"/run/pm2"}));

    // The first goes on publishing.
    ASSERT_TRUE(wait_for_change(k_stamp_b, 1.0));
    signal_daemon(first, SIGTERM);
    expect_stopped_by_signal(finish(first, 3.0), 0);
    expect_update_modes(board_, "auto");
}

TEST_F(hostile_run, lock_held_elsewhere_the_daemon_opens_no_device_file_and_help_writes_nothing) {
    fakeboard::lay_out(board_);
    set_update_modes(board_, "manual\n");
    fakeboard::make_directories(k_lock_dir);
    const int lock = ::open(k_lock_file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(::flock(lock, LOCK_EX | LOCK_NB), 0);
    const tree_snapshot before = snapshot_outside_root();

    // Any open, write or creation in a device directory shows.
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    for (const fakeboard::accumulator_chip &chip : board_.chips) {
        ASSERT_GE(::inotify_add_watch(watch, fakeboard::device_dir(fakeboard::hwmon_dir(chip.hwmon)).c_str(),
                                      IN_OPEN | IN_MODIFY | IN_CREATE),
                  0);
    }
    const fakeboard::process_result daemon =
        fakeboard::run({fakeboard::daemon_path(), "--root-dir", k_root, "-i", "20"}, 3.0);
    char events[4096];
    const ssize_t seen = ::read(watch, events, sizeof events);
    ::close(watch);
    EXPECT_TRUE(daemon.exited) << "timed out " << daemon.timed_out << ", signal " << daemon.term_signal;
    EXPECT_EQ(daemon.exit_code, 1);
    EXPECT_EQ(daemon.out, "");
    EXPECT_EQ(daemon.err, k_busy);
    EXPECT_LT(seen, 0) << "device directories were opened or written";

    // Help and a bad option print their usage and leave the devices to the lock's holder.
    const fakeboard::process_result help = fakeboard::run({fakeboard::daemon_path(), "-h"}, 3.0);
    const fakeboard::process_result bad = fakeboard::run({fakeboard::daemon_path(), "-x"}, 3.0);
    ::close(lock);
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_EQ(help.err, usage_text(fakeboard::daemon_path()));
    EXPECT_EQ(bad.exit_code, 2);
    EXPECT_EQ(snapshot_outside_root(), before);
    EXPECT_FALSE(fakeboard::file_exists(k_root));
    expect_update_modes(board_, "manual\n");
}

TEST_F(hostile_run, without_a_daemon_help_restores_auto_and_creates_nothing) {
    fakeboard::lay_out(board_);
    for (const bool lock_file_left : {false, true}) {
        if (lock_file_left) {
            // Left by an earlier run: present, but nobody holds it.
            fakeboard::write_file(k_lock_file, "");
        }
        set_update_modes(board_, "manual\n");
        const tree_snapshot before = snapshot_outside_root();
        const fakeboard::process_result help = fakeboard::run({fakeboard::daemon_path(), "--help"}, 3.0);
        EXPECT_EQ(help.exit_code, 0);
        expect_update_modes(board_, "auto");
        EXPECT_FALSE(fakeboard::file_exists("/run/power-monitor"));
        EXPECT_EQ(fakeboard::file_exists(k_lock_dir), lock_file_left);
        expect_only_control_attributes_changed(before, snapshot_outside_root());
    }
}

TEST_F(hostile_run, lock_that_cannot_be_made_ends_the_run_before_any_device_is_touched) {
    fakeboard::lay_out(board_);
    set_update_modes(board_, "manual\n");
    ASSERT_EQ(::mount(nullptr, "/run", nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0) << std::strerror(errno);
    const fakeboard::process_result r =
        fakeboard::run({fakeboard::daemon_path(), "--root-dir", k_root, "-i", "20"}, 4.0);
    ASSERT_EQ(::mount(nullptr, "/run", nullptr, MS_REMOUNT, nullptr), 0) << std::strerror(errno);

    EXPECT_TRUE(r.exited) << "timed out " << r.timed_out << ", signal " << r.term_signal;
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error: could not lock " + k_lock_file + ": Read-only file system\n");
    expect_update_modes(board_, "manual\n");
}

// ---------------------------------------------------------------------------------------------------
// Stop requests during long periods

std::string period_name(const ::testing::TestParamInfo<const char *> &param) {
    return std::string("ms_") + param.param;
}

class long_period : public hostile_run, public ::testing::WithParamInterface<const char *> {};

TEST_P(long_period, stop_request_ends_the_wait_within_a_second_after_one_final_cycle) {
    fakeboard::lay_out(board_);
    running_daemon d = start_daemon({"-i", GetParam(), "--raw"});
    // The first cycle is a second after start; the long wait begins after it.
    ASSERT_TRUE(wait_for_cycles(1, 3.0)) << stderr_so_far(d);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(data_lines(k_system_log).size(), 1u);

    signal_daemon(d, SIGTERM);
    const double signalled = fakeboard::monotonic_seconds();
    const fakeboard::process_result r = finish(d, 4.0);
    const double took = fakeboard::monotonic_seconds() - signalled;
    EXPECT_LT(took, 2.5) << "seconds from SIGTERM to exit";
    expect_stopped_by_signal(r, 0);
    EXPECT_EQ(data_lines(k_system_log).size(), 2u) << "one final cycle";
    expect_update_modes(board_, "auto");
}

INSTANTIATE_TEST_SUITE_P(fault_matrix, long_period, ::testing::Values("8000", "2147483647"), period_name);

// ---------------------------------------------------------------------------------------------------
// Control attributes

TEST_F(hostile_run, read_only_trigger_is_reported_once_and_sampling_goes_on) {
    fakeboard::lay_out(board_);
    const std::string trigger = fakeboard::device_dir(fakeboard::hwmon_dir("hwmon2")) + "/accumulator_update";
    bind(trigger, trigger, true);

    running_daemon d = start_daemon({"-i", "20", "--raw"});
    ASSERT_TRUE(wait_for_cycles(25, 4.0)) << stderr_so_far(d);
    // Every reading of the cycle, that device's included, is still published.
    EXPECT_EQ(try_read(k_root + "/power/vph_total").value_or("<none>"), watts_text(350000));
    EXPECT_EQ(try_read(k_root + "/accumulator/max34417").value_or("<none>"), "1000\n");
    ASSERT_TRUE(wait_for_change(k_root + "/timestamp/max34417", 1.0));
    signal_daemon(d, SIGTERM);
    const fakeboard::process_result r = finish(d, 3.0);

    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, k_starting + k_quitting);
    EXPECT_EQ(r.err, "Warning: could not write \"1\" to /sys/class/hwmon/hwmon2/accumulator_update: "
                     "Read-only file system\n");
    expect_update_modes(board_, "auto");
}

TEST_F(hostile_run, missing_mode_attributes_are_reported_once_each_and_never_created) {
    fakeboard::lay_out(board_);
    const std::string device = fakeboard::device_dir(fakeboard::hwmon_dir("hwmon10"));
    fakeboard::remove_tree(device + "/measurement_mode");
    fakeboard::remove_tree(device + "/accumulator_update_mode");

    running_daemon d = start_daemon({"-i", "20"});
    ASSERT_TRUE(wait_until([] { return try_read(k_stamp_b).has_value(); }, 3.0)) << stderr_so_far(d);
    ASSERT_TRUE(wait_for_change(k_stamp_b, 1.0));
    ASSERT_TRUE(wait_for_change(k_stamp_b, 1.0));
    EXPECT_EQ(try_read(k_root + "/power/nsp1").value_or("<none>"), watts_text(450000));
    signal_daemon(d, SIGTERM);
    const fakeboard::process_result r = finish(d, 3.0);

    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, k_starting + k_quitting);
    const std::string where = " to /sys/class/hwmon/hwmon10/";
    const std::string missing = ": No such file or directory";
    for (const std::string &line :
         {"Warning: could not write \"normal\"" + where + "measurement_mode" + missing,
          "Warning: could not write \"manual\"" + where + "accumulator_update_mode" + missing,
          "Warning: could not write \"auto\"" + where + "accumulator_update_mode" + missing}) {
        EXPECT_EQ(count_exact_lines(r.err, line), 1u) << line << "\nin:\n" << r.err;
    }
    EXPECT_EQ(count_lines(r.err), 3u) << r.err;
    EXPECT_FALSE(fakeboard::file_exists(device + "/measurement_mode"));
    EXPECT_FALSE(fakeboard::file_exists(device + "/accumulator_update_mode"));
    EXPECT_EQ(try_read(fakeboard::hwmon_dir("hwmon2") + "/accumulator_update_mode").value_or(""), "auto");
}

} // namespace
