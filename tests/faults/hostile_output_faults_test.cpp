// Fault matrix, a hostile output tree: links, FIFOs and hard links planted at or above the output paths,
// roots others can write to, device names holding "/" and CSV metacharacters, an inherited umask of 077
// and an empty root. The daemon runs as root, so a write that follows what someone else planted could
// overwrite any file of the system.
#include "fault_harness.h"
#include "support/board_test.h"
#include "support/expected.h"

#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <thread>

namespace {

using namespace faults;
using namespace support;
namespace fs = std::filesystem;

const std::string k_victim = "/run/victim";
const std::string k_victim_text = "a file the daemon must never write\n";
const std::string k_vph_total = k_root + "/power/vph_total";
const std::string k_stamp_b = k_root + "/timestamp/max34417_b";

class hostile_output : public board_test {
  protected:
    void lay_out_board() override { board_ = fakeboard::reference_board(); }

    fakeboard::board board_;
};

void make_dir(const std::string &path, mode_t mode) {
    ASSERT_TRUE(::mkdir(path.c_str(), mode) == 0 || errno == EEXIST) << path << ": " << std::strerror(errno);
    // chmod, so that the test's umask does not decide the mode.
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path << ": " << std::strerror(errno);
}

void make_link(const std::string &target, const std::string &path) {
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0) << path << ": " << std::strerror(errno);
}

mode_t mode_of(const std::string &path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

// Waits until the file's content changes from what it holds now.
bool wait_for_change(const std::string &path, double timeout_s) {
    const std::string now = try_read(path).value_or("");
    return wait_until([&] { return try_read(path).value_or(now) != now; }, timeout_s);
}

// ---------------------------------------------------------------------------------------------------
// A root that someone other than root could have prepared: every pass fails, nothing is written in it,
// and a link planted in it is never followed.

struct foreign_root {
    const char *name;
    mode_t run_mode;  // of /run, the directory above the root
    mode_t root_mode; // of the root
};

std::string foreign_root_name(const ::testing::TestParamInfo<foreign_root> &param) {
    return param.param.name;
}

// Printed by its name, not its bytes: the bytes hold a pointer, which would make the test's listed
// name differ between builds (the aarch64 stage compares the lists).
void PrintTo(const foreign_root &param, std::ostream *out) {
    *out << param.name;
}

class foreign_roots : public hostile_output, public ::testing::WithParamInterface<foreign_root> {};

TEST_P(foreign_roots, every_pass_fails_and_nothing_in_it_is_written_or_followed) {
    fakeboard::lay_out(board_);
    fakeboard::write_file(k_victim, k_victim_text);
    make_dir("/run", GetParam().run_mode);
    make_dir(k_root, GetParam().root_mode);
    make_dir(k_root + "/power", 0755);
    make_link(k_victim, k_root + "/power/vph");
    const tree_snapshot root_before = snapshot_under(k_root);
    const tree_snapshot before = snapshot_outside_root();

    running_daemon d = start_daemon({"-i", "50", "--raw"});
    const fakeboard::process_result r = finish(d, 5.0);

    expect_stopped_by_failures(r);
    EXPECT_EQ(fakeboard::read_file(k_victim), k_victim_text);
    EXPECT_EQ(snapshot_under(k_root), root_before) << "written under a root that fails the check";
    expect_only_control_attributes_changed(before, snapshot_outside_root());
    expect_update_modes(board_, "auto");
}

INSTANTIATE_TEST_SUITE_P(fault_matrix, foreign_roots,
                         ::testing::Values(foreign_root{"world_writable_root", 0755, 0777},
                                           foreign_root{"group_writable_root", 0755, 0775},
                                           foreign_root{"sticky_root", 0755, 01777},
                                           foreign_root{"world_writable_directory_above", 0777, 0755}),
                         foreign_root_name);

// ---------------------------------------------------------------------------------------------------
// An ordinary root with something planted at an output path: that write fails (so every pass fails), and
// whatever the plant points at stays as it was.

enum class plant { link_to_file, dangling_link, linked_directory, hard_link, fifo_value_file };

class planted_paths : public hostile_output, public ::testing::WithParamInterface<plant> {};

std::string plant_name(const ::testing::TestParamInfo<plant> &info) {
    switch (info.param) {
    case plant::link_to_file:
        return "link_to_a_file";
    case plant::dangling_link:
        return "dangling_link";
    case plant::linked_directory:
        return "linked_subdirectory";
    case plant::hard_link:
        return "hard_link";
    case plant::fifo_value_file:
        return "fifo";
    }
    return "unknown";
}

TEST_P(planted_paths, the_write_fails_every_pass_and_the_target_is_untouched) {
    fakeboard::lay_out(board_);
    fakeboard::write_file(k_victim, k_victim_text);
    make_dir(k_root, 0755);
    const std::string vph = k_root + "/power/vph";
    switch (GetParam()) {
    case plant::link_to_file:
        make_dir(k_root + "/power", 0755);
        make_link(k_victim, vph);
        break;
    case plant::dangling_link:
        make_dir(k_root + "/power", 0755);
        make_link("/run/created-through-a-link", vph);
        break;
    case plant::linked_directory:
        make_dir("/run/elsewhere", 0755);
        make_link("/run/elsewhere", k_root + "/power");
        break;
    case plant::hard_link:
        make_dir(k_root + "/power", 0755);
        ASSERT_EQ(::link(k_victim.c_str(), vph.c_str()), 0) << std::strerror(errno);
        break;
    case plant::fifo_value_file:
        make_dir(k_root + "/power", 0755);
        ASSERT_EQ(::mkfifo(vph.c_str(), 0644), 0) << std::strerror(errno);
        break;
    }
    const tree_snapshot before = snapshot_outside_root();

    // Without a reader a FIFO would hold an opening writer for ever: the run must end by itself.
    running_daemon d = start_daemon({"-i", "50"});
    const fakeboard::process_result r = finish(d, 5.0);

    expect_stopped_by_failures(r);
    EXPECT_EQ(fakeboard::read_file(k_victim), k_victim_text);
    expect_only_control_attributes_changed(before, snapshot_outside_root());
    expect_update_modes(board_, "auto");
    if (GetParam() == plant::fifo_value_file) {
        EXPECT_TRUE(S_ISFIFO(mode_of(vph)));
    }
    if (GetParam() == plant::linked_directory) {
        EXPECT_TRUE(fs::is_empty("/run/elsewhere"));
    }
}

INSTANTIATE_TEST_SUITE_P(fault_matrix, planted_paths,
                         ::testing::Values(plant::link_to_file, plant::dangling_link, plant::linked_directory,
                                           plant::hard_link, plant::fifo_value_file),
                         plant_name);

TEST_F(hostile_output, fifo_at_a_log_path_fails_the_pass_without_blocking_and_sigterm_ends_promptly) {
    fakeboard::lay_out(board_);
    make_dir(k_root, 0755);
    make_dir(k_root + "/power", 0755);
    ASSERT_EQ(::mkfifo((k_root + "/power/system_raw").c_str(), 0644), 0) << std::strerror(errno);

    running_daemon d = start_daemon({"-i", "200", "--raw"});
    ASSERT_TRUE(wait_until([&] { return count_exact_lines(stderr_so_far(d), k_write_error) >= 2; }, 3.0))
        << "no second failed pass; standard error: " << stderr_so_far(d);
    // The value tree of a pass is written before its logs.
    EXPECT_EQ(try_read(k_vph_total).value_or("<none>"), watts_text(350000));
    signal_daemon(d, SIGTERM);
    const double signalled = fakeboard::monotonic_seconds();
    const fakeboard::process_result r = finish(d, 3.0);
    // One more cycle at the next 200 ms deadline, then the end, within a second after it.
    EXPECT_LT(fakeboard::monotonic_seconds() - signalled, 0.200 + 1.0);

    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, k_starting + k_quitting);
    EXPECT_GE(count_exact_lines(r.err, k_write_error), 3u) << r.err;
    EXPECT_TRUE(only_lines(without_warnings(r.err), k_write_error)) << r.err;
    EXPECT_TRUE(S_ISFIFO(mode_of(k_root + "/power/system_raw")));
    expect_update_modes(board_, "auto");
}

// ---------------------------------------------------------------------------------------------------
// Links and shared directories that are legitimate keep working.

TEST_F(hostile_output, root_given_as_a_link_is_followed_and_a_repointed_link_next_cycle) {
    fakeboard::lay_out(board_);
    make_dir("/run/a", 0755);
    make_dir("/run/b", 0755);
    make_link("/run/a", "/run/out");
    running_daemon d;
    d.started_s = fakeboard::monotonic_seconds();
    d.child = fakeboard::spawn({fakeboard::daemon_path(), "--root-dir", "/run/out", "-i", "50"});
    ASSERT_TRUE(wait_until([] { return try_read("/run/a/power/vph_total").has_value(); }, 3.0));

    // Re-pointed at once, as `ln -sfn` does it.
    make_link("/run/b", "/run/out.new");
    ASSERT_EQ(::rename("/run/out.new", "/run/out"), 0) << std::strerror(errno);
    ASSERT_TRUE(wait_until([] { return try_read("/run/b/timestamp/max34417_b").has_value(); }, 1.0));
    ASSERT_TRUE(wait_for_change("/run/b/timestamp/max34417_b", 1.0));
    const std::string left = try_read("/run/a/timestamp/max34417_b").value_or("<none>");
    ASSERT_TRUE(wait_for_change("/run/b/timestamp/max34417_b", 1.0));
    EXPECT_EQ(try_read("/run/a/timestamp/max34417_b").value_or("<none>"), left);
    EXPECT_EQ(try_read("/run/b/power/vph_total").value_or("<none>"), watts_text(350000));

    signal_daemon(d, SIGTERM);
    const fakeboard::process_result r = finish(d, 3.0);
    // Any failed pass would name /run/out, which the check below does not accept.
    expect_stopped_by_signal(r, 0);
    EXPECT_TRUE(fs::is_symlink("/run/out"));
    expect_update_modes(board_, "auto");
}

TEST_F(hostile_output, sticky_directory_above_the_root_is_accepted) {
    fakeboard::lay_out(board_);
    make_dir("/run", 01777);
    running_daemon d = start_daemon({"-i", "50", "--raw"});
    ASSERT_TRUE(wait_until([] { return try_read(k_stamp_b).has_value(); }, 3.0)) << stderr_so_far(d);
    ASSERT_TRUE(wait_for_change(k_stamp_b, 1.0));
    EXPECT_EQ(try_read(k_vph_total).value_or("<none>"), watts_text(350000));
    signal_daemon(d, SIGTERM);
    expect_stopped_by_signal(finish(d, 3.0), 0);
    expect_update_modes(board_, "auto");
}

// ---------------------------------------------------------------------------------------------------
// Device names are the drivers' text: a "/" in one names no directory.

TEST_F(hostile_output, slash_in_a_device_name_stays_in_the_log_file_name) {
    board_.chips[0].name = "max34417/1";          // hwmon2
    board_.chips[1].name = "max34417/../../../x"; // hwmon10
    fakeboard::lay_out(board_);
    make_dir(k_root, 0755);
    make_dir(k_root + "/power", 0755);
    // Makes the ".." of the second name resolvable, had it been taken for a path.
    make_dir(k_root + "/power/max34417", 0755);
    const tree_snapshot before = snapshot_outside_root();

    running_daemon d = start_daemon({"-i", "50", "--raw"});
    const std::string first_log = k_root + "/power/max34417_1_raw";
    const std::string second_log = k_root + "/power/max34417_.._.._.._x_raw";
    // Value file names were sanitized before: the second device's snapshot time is timestamp/max34417_x.
    const std::string stamp = k_root + "/timestamp/max34417_x";
    ASSERT_TRUE(wait_until([&] { return try_read(stamp).has_value(); }, 3.0)) << stderr_so_far(d);
    ASSERT_TRUE(wait_for_change(stamp, 1.0));
    ASSERT_TRUE(wait_for_change(stamp, 1.0));
    signal_daemon(d, SIGTERM);
    const fakeboard::process_result r = finish(d, 3.0);
    expect_stopped_by_signal(r, 0);
    const std::vector<std::string> first = lines_of(first_log);
    EXPECT_GE(first.size(), 3u);
    EXPECT_EQ(first.empty() ? "<none>" : first[0], "time,atime,acc,vph,apc0,apc1,ddr");
    EXPECT_TRUE(fs::is_empty(k_root + "/power/max34417"));
    expect_only_control_attributes_changed(before, snapshot_outside_root());
    expect_update_modes(board_, "auto");
    const std::vector<std::string> second = lines_of(second_log);
    ASSERT_GE(second.size(), 3u);
    EXPECT_EQ(second[0], "time,atime,acc,nsp1,gpu,apc2_l3,display");
}

// ---------------------------------------------------------------------------------------------------
// CSV: names holding a comma or a double quote are quoted as RFC 4180 does; all other text is unchanged.

// One record as RFC 4180 reads it; nothing when the line is not a well-formed record.
std::optional<std::vector<std::string>> parse_csv_record(const std::string &line) {
    std::vector<std::string> fields;
    std::size_t i = 0;
    for (;;) {
        std::string field;
        if (i < line.size() && line[i] == '"') {
            for (++i;; ++i) {
                if (i >= line.size()) {
                    return std::nullopt; // unterminated quote
                }
                if (line[i] == '"') {
                    if (i + 1 < line.size() && line[i + 1] == '"') {
                        field += '"';
                        ++i;
                        continue;
                    }
                    ++i;
                    break;
                }
                field += line[i];
            }
            if (i < line.size() && line[i] != ',') {
                return std::nullopt; // text after the closing quote
            }
        } else {
            for (; i < line.size() && line[i] != ','; ++i) {
                if (line[i] == '"') {
                    return std::nullopt; // a quote inside an unquoted field
                }
                field += line[i];
            }
        }
        fields.push_back(field);
        if (i >= line.size()) {
            return fields;
        }
        ++i;
    }
}

TEST_F(hostile_output, names_with_commas_and_quotes_are_quoted_and_every_line_parses_to_the_header_width) {
    board_.zones[0].type = "cpu,big";            // thermal_zone0, the first column
    board_.chips[0].power_label[0] = "vph,main"; // hwmon2 channel 1
    board_.chips[1].power_label[1] = "gpu\"x";   // hwmon10 channel 2
    fakeboard::lay_out(board_);

    running_daemon d = start_daemon({"-i", "50", "--raw"});
    ASSERT_TRUE(wait_until(
        [] { return count_lines(try_read(k_root + "/power/thermal_raw").value_or("")) >= 4; }, 3.0))
        << "standard output: " << stdout_so_far(d) << "standard error: " << stderr_so_far(d);
    signal_daemon(d, SIGTERM);
    expect_stopped_by_signal(finish(d, 3.0), 0);

    // Zones in the byte order of their directory names, as the daemon finds them.
    std::vector<fakeboard::thermal_zone> zones = board_.zones;
    std::sort(zones.begin(), zones.end(), [](const auto &a, const auto &b) { return a.dir < b.dir; });
    std::string thermal_header = "time";
    for (const fakeboard::thermal_zone &zone : zones) {
        thermal_header += "," + (zone.type == "cpu,big" ? std::string("\"cpu,big\"") : zone.type);
    }
    const std::map<std::string, std::string> headers = {
        {"max34417_raw", "time,atime,acc,\"vph,main\",apc0,apc1,ddr"},
        {"max34417_b_raw", "time,atime,acc,nsp1,\"gpu\"\"x\",apc2_l3,display"},
        {"system_raw", "time,gpufreq,cpufreq0,cpufreq1,cpufreq2,cpufreq3,cpufreq4,cpufreq5,cpufreq6,cpufreq7,"
                       "perf_now,battery_soc,fan_rpm,fan_pwm,bcl0,bcl0_v,bcl1_v"},
        {"thermal_raw", thermal_header},
    };
    for (const auto &[log, header] : headers) {
        const std::vector<std::string> lines = lines_of(k_root + "/power/" + log);
        ASSERT_GE(lines.size(), 3u) << log;
        EXPECT_EQ(lines[0], header) << log;
        const std::optional<std::vector<std::string>> columns = parse_csv_record(lines[0]);
        ASSERT_TRUE(columns.has_value()) << log << ": " << lines[0];
        for (std::size_t i = 1; i < lines.size(); ++i) {
            const std::optional<std::vector<std::string>> fields = parse_csv_record(lines[i]);
            ASSERT_TRUE(fields.has_value()) << log << ": " << lines[i];
            EXPECT_EQ(fields->size(), columns->size()) << log << ": " << lines[i];
        }
    }
    EXPECT_EQ(parse_csv_record(headers.at("max34417_raw")).value().at(3), "vph,main");
    EXPECT_EQ(parse_csv_record(headers.at("max34417_b_raw")).value().at(4), "gpu\"x");
    EXPECT_EQ(parse_csv_record(thermal_header).value().at(1), "cpu,big");
}

// ---------------------------------------------------------------------------------------------------
// Modes and the empty root.

TEST_F(hostile_output, files_are_0644_and_directories_0755_under_an_inherited_umask_of_077) {
    fakeboard::lay_out(board_);
    const mode_t inherited = ::umask(077);
    running_daemon d = start_daemon({"-i", "50", "--raw"});
    ::umask(inherited);
    ASSERT_TRUE(wait_until(
        [] { return count_lines(try_read(k_root + "/power/thermal_raw").value_or("")) >= 3; }, 3.0))
        << stderr_so_far(d);
    signal_daemon(d, SIGTERM);
    expect_stopped_by_signal(finish(d, 3.0), 0);

    std::vector<std::string> paths = {k_root, k_lock_dir, k_lock_file};
    for (const fs::directory_entry &entry : fs::recursive_directory_iterator(k_root)) {
        paths.push_back(entry.path().string());
    }
    EXPECT_GT(paths.size(), 30u);
    for (const std::string &path : paths) {
        const mode_t mode = mode_of(path);
        if (S_ISDIR(mode)) {
            EXPECT_EQ(mode & 07777, 0755u) << path;
        } else {
            EXPECT_TRUE(S_ISREG(mode)) << path << " is missing or not a regular file";
            EXPECT_EQ(mode & 07777, 0644u) << path;
        }
    }
}

// An empty root would put the tree at /power, /voltage, ... of the machine's own root file system. That
// is made read-only in this test's mount namespace first, so that a daemon taking the option cannot
// write there.
class read_only_slash {
  public:
    read_only_slash() {
        ok_ = ::mount(nullptr, "/", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
        why_ = ok_ ? "" : std::strerror(errno);
    }
    ~read_only_slash() {
        if (ok_) {
            ::mount(nullptr, "/", nullptr, MS_REMOUNT | MS_BIND, nullptr);
        }
    }
    read_only_slash(const read_only_slash &) = delete;
    read_only_slash &operator=(const read_only_slash &) = delete;
    bool ok() const { return ok_; }
    const std::string &why() const { return why_; }

  private:
    bool ok_ = false;
    std::string why_;
};

TEST_F(hostile_output, empty_root_is_a_usage_error_and_nothing_is_created) {
    fakeboard::lay_out(board_);
    const tree_snapshot before = snapshot_outside_root();
    fakeboard::process_result r;
    {
        const read_only_slash guard;
        ASSERT_TRUE(guard.ok()) << "cannot make / read-only in the test's namespace: " << guard.why();
        r = fakeboard::run({fakeboard::daemon_path(), "-i", "20", "--root-dir", ""}, 4.0);
    }
    EXPECT_TRUE(r.exited) << "timed out " << r.timed_out << ", signal " << r.term_signal;
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind(usage_text(fakeboard::daemon_path()), 0), 0u) << r.err;
    EXPECT_FALSE(fs::exists("/power"));
    EXPECT_FALSE(fs::exists(k_lock_dir));
    expect_only_control_attributes_changed(before, snapshot_outside_root());
}

} // namespace
