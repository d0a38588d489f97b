#include "driver/monitor.h"

#include "common/platform_paths.h"
#include "common/time_helpers.h"
#include "driver/cycle.h"
#include "publish/metrics.h"
#include "publish/raw_logs.h"
#include "publish/system_figures.h"
#include "sensors/accumulators.h"
#include "sensors/platform_sensors.h"
#include "sysfs/sysfs.h"

#include <getopt.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string_view>

volatile std::sig_atomic_t stop_requested = 0;

namespace {

constexpr const char *k_usage = "Usage: %s \n"
                                "  -i, --interval-ms MS   sampling period (default 1000)\n"
                                "      --once             do one sample/write then exit\n"
                                "      --root-dir DIR     base output dir (default /run/power-monitor)\n"
                                "      --raw              create _raw file\n"
                                "      --metrics FILE     write Prometheus metrics to FILE (*.prom)\n";

enum long_only_option { opt_once = 256, opt_root_dir, opt_raw, opt_etime, opt_metrics };

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
        case 'h':
            print_usage(argc > 0 ? argv[0] : nullptr);
            return parse_outcome::help;
        default:
            print_usage(argc > 0 ? argv[0] : nullptr);
            return parse_outcome::bad_option;
        }
    }
    return parse_outcome::run;
}

void monitor_shutdown() {
    set_accumulator_update_mode(update_mode::automatic);
    release_accumulator_devices();
    release_platform_sensors();
    release_raw_logs();
    release_throttle_history();
    release_metrics();
}

int monitor_main(int argc, char **argv) {
    const timespec start_time = monotonic_now();
    // The first cycle comes a fixed second after start, whatever the interval.
    timespec next_deadline = start_time;
    timespec_add_ms(next_deadline, 1000);

    // Registered before the options are read so every exit returns the devices to "auto".
    std::atexit(monitor_shutdown);
    // Notices must reach a journal or pipe as they happen, not at exit.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    monitor_config config;
    switch (parse_command_line(argc, argv, config)) {
    case parse_outcome::help:
        return 0;
    case parse_outcome::bad_option:
        return 2;
    case parse_outcome::run:
        break;
    }

    {
        device_list found;
        if (find_accumulator_devices(found) != 0 || found.empty()) {
            std::fputs("Error: Could not find MAX34417 HWMON\n", stderr);
            return 1;
        }
    }

    install_signal_handlers();

    for (const char *directory : {"power", "voltage"}) {
        path_buffer path;
        if (format_path(path, "%s/%s", config.output_root, directory)) {
            (void)make_dirs(path, 0755);
        }
    }
    set_measurement_mode("normal");
    set_accumulator_update_mode(update_mode::manual);

    std::puts("vantrel power monitor starting...");
    run_cycle_loop(config, start_time, next_deadline);
    std::puts("vantrel power monitor quitting...");
    return 0;
}
