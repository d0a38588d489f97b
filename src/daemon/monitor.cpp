#include "daemon/monitor.h"

#include "common/platform_paths.h"
#include "common/time_helpers.h"
#include "common/unique_fd.h"
#include "daemon/cycle.h"
#include "publish/output_tree.h"
#include "sensors/accumulators.h"
#include "sensors/discovery.h"

#include <fcntl.h>
#include <getopt.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

volatile std::sig_atomic_t stop_requested = 0;

namespace {

constexpr const char *k_usage = "Usage: %s \n"
                                "  -i, --interval-ms MS   sampling period (default 1000)\n"
                                "      --once             do one sample/write then exit\n"
                                "      --root-dir DIR     base output dir (default /run/power-monitor)\n"
                                "      --raw              create _raw file\n"
                                "      --metrics FILE     write Prometheus metrics to FILE (*.prom)\n"
                                "      --energy           keep energy counters (energy/)\n"
                                "      --control-group GROUP  GROUP may ask for latches too (--energy)\n";

enum long_only_option {
    opt_once = 256,
    opt_root_dir,
    opt_raw,
    opt_etime,
    opt_metrics,
    opt_energy,
    opt_control_group
};

// node_exporter's textfile collector reads only "*.prom" files.
bool valid_metrics_file(const char *path) {
    const std::string_view text(path);
    return text.size() >= 5 && text.substr(text.size() - 5) == ".prom";
}

void request_stop(int /*signal*/) {
    stop_requested = 1;
}

void install_signal_handlers() {
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a pending sleep returns with EINTR and the loop decides what to do.
    action.sa_flags = 0;
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        (void)sigaction(signal, &action, nullptr);
    }
}

void print_usage(const char *program) {
    std::fprintf(stderr, k_usage, program != nullptr ? program : "");
}

bool lock_exclusively(int fd) {
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

void report_lock_failure(int error) {
    std::fprintf(stderr, "Error: could not lock %s: %s\n", platform_paths::lock_file, std::strerror(error));
}

// Takes the instance lock for a daemon about to run, creating its directory and file if needed.
// Prints why and returns false when it cannot be had.
bool take_instance_lock(unique_fd &instance_lock) {
    if (::mkdir(platform_paths::lock_directory, 0755) != 0 && errno != EEXIST) {
        report_lock_failure(errno);
        return false;
    }
    unique_fd file(::open(platform_paths::lock_file,
                          O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644));
    struct stat st {};
    if (!file.valid() || ::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        report_lock_failure(file.valid() ? EINVAL : errno);
        return false;
    }
    if (!lock_exclusively(file.fd)) {
        if (errno == EWOULDBLOCK) {
            std::fprintf(stderr, "Error: another instance holds %s\n", platform_paths::lock_file);
        } else {
            report_lock_failure(errno);
        }
        return false;
    }
    instance_lock = std::move(file);
    return true;
}

// For --help and bad options: true unless a running daemon holds the lock. Creates nothing; when
// the lock is free it is kept until exit, so no daemon starts while the devices are being reset.
bool no_other_instance(unique_fd &instance_lock) {
    unique_fd file(
        ::open(platform_paths::lock_file, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file.valid()) {
        return true;
    }
    if (!lock_exclusively(file.fd)) {
        return errno != EWOULDBLOCK;
    }
    instance_lock = std::move(file);
    return true;
}

bool accumulator_devices_present() {
    std::vector<accumulator_device> found;
    return find_accumulator_devices(found) == 0 && !found.empty();
}

// For --help and bad options: the devices are returned to "auto" on the way out unless a running
// daemon holds them.
void claim_devices_unless_running(monitor_state &state) {
    state.devices_are_ours = no_other_instance(state.instance_lock);
}

} // namespace

std::int32_t parse_period_ms(const char *text) {
    // atoi's reading of the text, but a value beyond the 32-bit range is clamped rather than undefined.
    const long long parsed = std::strtoll(text, nullptr, 10);
    if (parsed > INT32_MAX) {
        return INT32_MAX;
    }
    if (parsed < 1) {
        return 1;
    }
    return static_cast<std::int32_t>(parsed);
}

parse_outcome parse_command_line(int argc, char **argv, monitor_config &config) {
    config = monitor_config{};
    config.output_root = platform_paths::default_output_root;

    static const option long_options[] = {
        {"interval-ms", required_argument, nullptr, 'i'},
        {"once", no_argument, nullptr, opt_once},
        {"root-dir", required_argument, nullptr, opt_root_dir},
        {"raw", no_argument, nullptr, opt_raw},
        {"etime", no_argument, nullptr, opt_etime},
        {"metrics", required_argument, nullptr, opt_metrics},
        {"energy", no_argument, nullptr, opt_energy},
        {"control-group", required_argument, nullptr, opt_control_group},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    optind = 0; // full re-initialisation, so the parser can be run more than once in a process
    for (;;) {
        const int c = getopt_long(argc, argv, "i:h", long_options, nullptr);
        if (c == -1) {
            break;
        }
        switch (c) {
        case 'i':
            config.period_ms = parse_period_ms(optarg);
            break;
        case opt_once:
            config.single_shot = true;
            break;
        case opt_root_dir:
            config.output_root = optarg;
            break;
        case opt_raw:
            config.write_raw = true;
            break;
        case opt_etime:
            config.elapsed_time = true;
            break;
        case opt_metrics:
            if (!valid_metrics_file(optarg)) {
                print_usage(argc > 0 ? argv[0] : nullptr);
                return parse_outcome::bad_option;
            }
            config.metrics_file = optarg;
            break;
        case opt_energy:
            config.count_energy = true;
            break;
        case opt_control_group:
            if (parse_control_group(optarg, &config.control.group) != 0) {
                std::fprintf(stderr, "Error: no such group: %s\n", optarg);
                return parse_outcome::bad_option;
            }
            config.control.group_given = true;
            break;
        case 'h':
            print_usage(argc > 0 ? argv[0] : nullptr);
            return parse_outcome::help;
        default:
            print_usage(argc > 0 ? argv[0] : nullptr);
            return parse_outcome::bad_option;
        }
    }
    // An empty root would put the tree's directories at the filesystem root.
    if (config.output_root[0] == '\0') {
        print_usage(argc > 0 ? argv[0] : nullptr);
        return parse_outcome::bad_option;
    }
    return parse_outcome::run;
}

void leave_devices(monitor_state &state) {
    if (state.devices_are_ours) {
        set_update_mode(state.controls, update_mode::automatic);
        state.devices_are_ours = false;
    }
}

namespace {

// Leaving monitor_main by any path returns the devices to "auto", as the last thing the daemon does.
struct devices_left_on_exit {
    monitor_state &state;
    explicit devices_left_on_exit(monitor_state &s) : state(s) {}
    devices_left_on_exit(const devices_left_on_exit &) = delete;
    devices_left_on_exit &operator=(const devices_left_on_exit &) = delete;
    ~devices_left_on_exit() { leave_devices(state); }
};

} // namespace

int monitor_main(int argc, char **argv) {
    // A reader that went away (a closed pipe, a journal that stopped) must not end the daemon: a
    // notice that cannot be written is dropped.
    (void)std::signal(SIGPIPE, SIG_IGN);
    // The tree is for every reader: files 0644 and directories 0755, whatever umask was inherited.
    (void)::umask(022);
    monitor_state state;
    const devices_left_on_exit leaving{state};
    state.start_time = monotonic_now();
    // The first cycle comes a fixed second after start, whatever the interval.
    timespec next_deadline = state.start_time;
    timespec_add_ms(next_deadline, 1000);

    // Notices must reach a journal or pipe as they happen, not at exit.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    switch (parse_command_line(argc, argv, state.config)) {
    case parse_outcome::help:
        claim_devices_unless_running(state);
        return 0;
    case parse_outcome::bad_option:
        claim_devices_unless_running(state);
        return 2;
    case parse_outcome::run:
        break;
    }
    // Before any device is touched: a second daemon must leave the first one's chips alone.
    if (!take_instance_lock(state.instance_lock)) {
        return 1;
    }
    state.devices_are_ours = true;

    // The presence check has a search of its own; the cycles find the devices they sample later.
    if (!accumulator_devices_present()) {
        std::fputs("Error: Could not find MAX34417 HWMON\n", stderr);
        return 1;
    }

    install_signal_handlers();
    state.derive.count_energy = state.config.count_energy;
    if (state.config.count_energy) {
        state.pid = ::getpid();
    }

    {
        // The tree's directories exist from the start; a root that cannot be had is reported by the
        // first cycle.
        output_tree tree;
        (void)open_output_tree(state.config.output_root, state.config.count_energy, tree);
    }
    set_measurement_mode(state.controls, "normal");
    set_update_mode(state.controls, update_mode::manual);

    // Only now, with the lock held and the chips in manual mode: a second instance never gets here.
    if (state.config.count_energy) {
        const int rc = open_control_socket(state.control, state.config.control);
        if (rc != 0) {
            std::fprintf(stderr, "Warning: no latches on request: could not open %s: %s\n",
                         platform_paths::control_socket, std::strerror(-rc));
        }
    }

    std::puts("vantrel power monitor starting...");
    run_cycle_loop(state, next_deadline);
    close_control_socket(state.control);
    std::puts("vantrel power monitor quitting...");
    return 0;
}
