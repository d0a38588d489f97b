#include "publish/metrics.h"

#include "common/paths.h"
#include "common/time_helpers.h"
#include "publish/number_text.h"
#include "publish/value_tree.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

namespace {

struct family {
    const char *name;
    const char *type;
    const char *help;
};

constexpr family k_rail_power = {"vantrel_rail_power_watts", "gauge",
                                 "Average power of a rail over the last accumulator period, in watts."};
constexpr family k_backlight_power = {"vantrel_backlight_power_watts", "gauge",
                                      "Display backlight power estimated from its brightness, in watts."};
constexpr family k_power_total = {"vantrel_power_total_watts", "gauge",
                                  "Derived power figures: vph_total, cores_total and vph_other, in watts."};
constexpr family k_channel_voltage = {"vantrel_channel_voltage_volts", "gauge",
                                      "Input voltage of an accumulator channel, in volts."};
constexpr family k_accumulator = {"vantrel_accumulator_value", "gauge",
                                  "Number read back from a device's accumulator after its latch, unchanged."};
constexpr family k_snapshot = {"vantrel_accumulator_snapshot_seconds", "gauge",
                               "CLOCK_MONOTONIC time of a device's accumulator latch, in seconds."};
constexpr family k_gpu_frequency = {"vantrel_gpu_frequency_hertz", "gauge", "Current GPU clock, in hertz."};
constexpr family k_cpu_frequency = {"vantrel_cpu_frequency_hertz", "gauge",
                                    "Current clock of a CPU, in hertz."};
constexpr family k_gpu_performance = {"vantrel_gpu_perf_now", "gauge",
                                      "GPU performance figure from the DRM debug directory."};
constexpr family k_battery = {"vantrel_battery_charge_ratio", "gauge",
                              "Battery state of charge reported by the charger, 0 to 1 (0 when unreadable)."};
constexpr family k_fan_speed = {"vantrel_fan_speed_rpm", "gauge",
                                "Cooling fan speed, in revolutions per minute."};
constexpr family k_fan_pwm = {"vantrel_fan_pwm", "gauge",
                              "Cooling fan drive level as the controller reports it."};
constexpr family k_bcl_throttle = {"vantrel_bcl_throttle_ratio", "gauge",
                                   "Share of the last cycle the GPU spent throttled by the battery current "
                                   "limit, 0 to 1."};
constexpr family k_bcl_threshold = {"vantrel_bcl_threshold_volts", "gauge",
                                    "Battery current limit voltage thresholds (level 0: in0_min, level 1: "
                                    "in0_lcrit), in volts."};
constexpr family k_thermal_zone = {"vantrel_thermal_zone_celsius", "gauge",
                                   "Temperature of a thermal zone, in degrees Celsius."};
constexpr family k_cycles = {"vantrel_cycles_total", "counter",
                             "Cycles that sampled the board, since the daemon started."};
constexpr family k_failed_passes = {"vantrel_failed_passes_total", "counter",
                                    "Cycles whose publishing pass failed, since the daemon started."};
constexpr family k_cycle_duration = {"vantrel_last_cycle_duration_seconds", "gauge",
                                     "Time the last cycle took from its wake-up until its metrics were "
                                     "built, in seconds."};
constexpr family k_cycle_timestamp = {"vantrel_last_cycle_timestamp_seconds", "gauge",
                                      "Unix time (CLOCK_REALTIME) of the last cycle, in seconds."};

// Emits each family's HELP and TYPE before its first sample, so a family without samples has none.
struct exposition {
    std::string &text;
    const family *current = nullptr;
};

void begin_sample(exposition &out, const family &f) {
    if (out.current != &f) {
        out.text.append("# HELP ").append(f.name).append(" ").append(f.help).append("\n");
        out.text.append("# TYPE ").append(f.name).append(" ").append(f.type).append("\n");
        out.current = &f;
    }
    out.text.append(f.name);
}

// Label values are UTF-8 with backslash, double quote and line feed escaped. Names read from sysfs
// are bytes: a byte that does not start a valid UTF-8 sequence becomes U+FFFD, since one invalid
// value makes the collector refuse the whole file.
std::size_t utf8_sequence_length(std::string_view s, std::size_t i) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xbf;
    if (c >= 0xc2 && c <= 0xdf) {
        length = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
        length = 3;
        low = c == 0xe0 ? 0xa0 : 0x80;  // no overlong forms
        high = c == 0xed ? 0x9f : 0xbf; // no surrogates
    } else if (c >= 0xf0 && c <= 0xf4) {
        length = 4;
        low = c == 0xf0 ? 0x90 : 0x80;
        high = c == 0xf4 ? 0x8f : 0xbf; // nothing beyond U+10FFFF
    } else {
        return 0;
    }
    if (i + length > s.size()) {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(s[i + k]);
        if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xbf)) {
            return 0;
        }
    }
    return length;
}

void append_label_value(std::string &text, std::string_view value) {
    for (std::size_t i = 0; i < value.size();) {
        const char c = value[i];
        if (static_cast<unsigned char>(c) < 0x80) {
            if (c == '\\') {
                text.append("\\\\");
            } else if (c == '"') {
                text.append("\\\"");
            } else if (c == '\n') {
                text.append("\\n");
            } else {
                text.push_back(c);
            }
            ++i;
            continue;
        }
        const std::size_t length = utf8_sequence_length(value, i);
        if (length == 0) {
            text.append("\xef\xbf\xbd");
            ++i;
        } else {
            text.append(value.substr(i, length));
            i += length;
        }
    }
}

void append_label(std::string &text, bool first, const char *name, std::string_view value) {
    text.append(first ? "{" : ",").append(name).append("=\"");
    append_label_value(text, value);
    text.push_back('"');
}

// value × 10^-decimals exactly, as a decimal without trailing zeros; a negative `decimals` appends
// zeros (kilohertz to hertz) so no multiplication can overflow.
void append_scaled(std::string &text, std::int64_t value, int decimals) {
    char digits[32];
    // Two's complement negation in unsigned arithmetic also holds the magnitude of INT64_MIN.
    const auto bits = static_cast<std::uint64_t>(value);
    std::uint64_t magnitude = value < 0 ? ~bits + 1 : bits;
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) {
        text.push_back('-');
    }
    if (decimals <= 0) {
        while (n > 0) {
            text.push_back(digits[--n]);
        }
        if (value != 0) {
            text.append(static_cast<std::size_t>(-decimals), '0');
        }
        return;
    }
    // Integer part: the digits above position `decimals`, or 0.
    for (int k = n - 1; k >= decimals; --k) {
        text.push_back(digits[k]);
    }
    if (n <= decimals) {
        text.push_back('0');
    }
    int last = 0; // lowest non-zero fractional digit
    while (last < decimals && (last >= n || digits[last] == '0')) {
        ++last;
    }
    if (last == decimals) {
        return;
    }
    text.push_back('.');
    for (int k = decimals - 1; k >= last; --k) {
        text.push_back(k < n ? digits[k] : '0');
    }
}

// The shortest of 15, 16 or 17 significant digits that reads back as the same double.
void append_double(std::string &text, double value) {
    if (std::isnan(value)) {
        text.append("NaN");
        return;
    }
    if (std::isinf(value)) {
        text.append(value > 0 ? "+Inf" : "-Inf");
        return;
    }
    char buffer[40];
    char *end = buffer;
    for (int precision = 15; precision <= 17; ++precision) {
        end = put_general(buffer, buffer + sizeof buffer - 1, value, precision);
        if (end == nullptr) {
            return;
        }
        *end = '\0';
        if (precision == 17 || std::strtod(buffer, nullptr) == value) {
            break;
        }
    }
    text.append(buffer, static_cast<std::size_t>(end - buffer));
}

void end_sample_scaled(std::string &text, std::int64_t value, int decimals) {
    text.push_back(' ');
    append_scaled(text, value, decimals);
    text.push_back('\n');
}

void end_sample_double(std::string &text, double value) {
    text.push_back(' ');
    append_double(text, value);
    text.push_back('\n');
}

// A device is named by the name it was latched under this cycle, as its snapshot-time file is.
const std::string *device_name(const device_sample &device) {
    return device.latched ? device.name : nullptr;
}

void append_index(std::string &text, std::size_t index) {
    char digits[24];
    const char *end = put_unsigned(digits, digits + sizeof digits, index);
    append_label(text, false, "index", std::string_view(digits, static_cast<std::size_t>(end - digits)));
}

// Two devices may report the same name: each of them then also carries its position in discovery
// order, so that no two series collide. A device whose name is unknown is told apart the same way.
void append_device_labels(std::string &text, const cycle_snapshot &snapshot, std::size_t d) {
    const std::string *name = device_name(snapshot.devices[d]);
    append_label(text, true, "device", name != nullptr ? std::string_view(*name) : std::string_view());
    bool needs_index = name == nullptr;
    for (std::size_t other = 0; other < snapshot.devices.size() && !needs_index; ++other) {
        const std::string *other_name = device_name(snapshot.devices[other]);
        needs_index = other != d && other_name != nullptr && *other_name == *name;
    }
    if (needs_index) {
        append_index(text, d);
    }
}

// One series per (device, label): when a device reports one label twice the later reading wins, as it
// does for the value file both would write.
template <std::size_t N> bool superseded(const std::array<channel_sample, N> &channels, std::size_t i) {
    for (std::size_t j = i + 1; j < N; ++j) {
        if (channels[j].label != nullptr && *channels[j].label == *channels[i].label) {
            return true;
        }
    }
    return false;
}

template <std::size_t N>
void append_channel_series(exposition &out, const family &f, const cycle_snapshot &snapshot,
                           std::array<channel_sample, N> device_sample::*channels, const char *label,
                           int decimals) {
    for (std::size_t d = 0; d < snapshot.devices.size(); ++d) {
        const std::array<channel_sample, N> &list = snapshot.devices[d].*channels;
        for (std::size_t i = 0; i < N; ++i) {
            if (list[i].label == nullptr || superseded(list, i)) {
                continue;
            }
            begin_sample(out, f);
            append_device_labels(out.text, snapshot, d);
            append_label(out.text, false, label, *list[i].label);
            out.text.push_back('}');
            end_sample_scaled(out.text, list[i].value, decimals);
        }
    }
}

// The accumulator counts and latch times: one series per device that has one this cycle.
void append_device_figure(exposition &out, const family &f, const cycle_snapshot &snapshot, bool latch_time) {
    for (std::size_t d = 0; d < snapshot.devices.size(); ++d) {
        const device_sample &device = snapshot.devices[d];
        if (!(latch_time ? device.latched : device.counted)) {
            continue;
        }
        begin_sample(out, f);
        append_device_labels(out.text, snapshot, d);
        out.text.push_back('}');
        end_sample_scaled(out.text, latch_time ? device.latched_ns : device.count, latch_time ? 9 : 0);
    }
}

void append_plain(exposition &out, const family &f, bool present, std::int64_t value, int decimals) {
    if (present) {
        begin_sample(out, f);
        end_sample_scaled(out.text, value, decimals);
    }
}

void append_one_label(exposition &out, const family &f, const char *label, std::string_view label_value,
                      std::int64_t value, int decimals) {
    begin_sample(out, f);
    append_label(out.text, true, label, label_value);
    out.text.push_back('}');
    end_sample_scaled(out.text, value, decimals);
}

void append_counter(exposition &out, const family &f, std::uint64_t value) {
    begin_sample(out, f);
    char digits[24];
    const char *end = put_unsigned(digits, digits + sizeof digits, value);
    out.text.push_back(' ');
    out.text.append(digits, static_cast<std::size_t>(end - digits));
    out.text.push_back('\n');
}

void append_thermal_zones(exposition &out, const std::vector<thermal_sample> &thermal) {
    const std::size_t zones = thermal.size();
    for (std::size_t z = 0; z < zones; ++z) {
        const std::string &type = *thermal[z].type;
        bool shared = false;
        for (std::size_t other = 0; other < zones && !shared; ++other) {
            shared = other != z && *thermal[other].type == type;
        }
        begin_sample(out, k_thermal_zone);
        append_label(out.text, true, "zone", type);
        if (shared) {
            append_index(out.text, z);
        }
        out.text.push_back('}');
        end_sample_scaled(out.text, thermal[z].millidegrees, 3);
    }
}

void build_exposition(exposition &out, const cycle_snapshot &snapshot, const daemon_self_report &self) {
    const system_figures &figures = snapshot.system;
    // Units: microwatts, millivolts, nanoseconds and millidegrees from the readings, kilohertz from
    // cpufreq; the file holds watts, volts, seconds, degrees and hertz, converted exactly.
    append_channel_series(out, k_rail_power, snapshot, &device_sample::power, "rail", 6);
    const power_totals totals = sum_power_readings(snapshot);
    begin_sample(out, k_backlight_power);
    end_sample_double(out.text, totals.backlight);
    for (const auto &[name, watts] :
         {std::pair{"vph_total", totals.vph}, std::pair{"cores_total", totals.cores},
          std::pair{"vph_other", totals.vph_other}}) {
        begin_sample(out, k_power_total);
        append_label(out.text, true, "total", name);
        out.text.push_back('}');
        end_sample_double(out.text, watts);
    }
    append_channel_series(out, k_channel_voltage, snapshot, &device_sample::voltage, "channel", 3);
    append_device_figure(out, k_accumulator, snapshot, false);
    append_device_figure(out, k_snapshot, snapshot, true);

    append_plain(out, k_gpu_frequency, figures.gpufreq_present, figures.gpufreq_hz, 0);
    for (int cpu = 0; cpu < k_cpus; ++cpu) {
        if (figures.cpufreq_present[cpu]) {
            const char number[2] = {static_cast<char>('0' + cpu), '\0'};
            append_one_label(out, k_cpu_frequency, "cpu", number, figures.cpufreq_khz[cpu], -3);
        }
    }
    append_plain(out, k_gpu_performance, figures.perf_now_present, figures.perf_now_x10, 1);
    // Percent ten times over: the ratio is a thousandth of it.
    append_plain(out, k_battery, figures.battery_soc_present, figures.battery_soc_x10, 3);
    append_plain(out, k_fan_speed, figures.fan_rpm_present, figures.fan_rpm, 0);
    append_plain(out, k_fan_pwm, figures.fan_pwm_present, figures.fan_pwm, 0);
    if (figures.bcl_present) {
        begin_sample(out, k_bcl_throttle);
        end_sample_double(out.text, figures.throttle_percent / 100.0);
    }
    if (figures.bcl0_present) {
        append_one_label(out, k_bcl_threshold, "level", "0", figures.bcl0_mv, 3);
    }
    if (figures.bcl1_present) {
        append_one_label(out, k_bcl_threshold, "level", "1", figures.bcl1_mv, 3);
    }
    append_thermal_zones(out, snapshot.thermal);

    append_counter(out, k_cycles, self.cycles);
    append_counter(out, k_failed_passes, self.failed_passes);
    begin_sample(out, k_cycle_duration);
    end_sample_double(out.text, self.last_cycle_duration_s);
    begin_sample(out, k_cycle_timestamp);
    end_sample_double(out.text, self.last_cycle_unix_s);
}

// ---- writing

// Temporary names: a 64-bit secret from the kernel, stepped by SplitMix64 for each file.
std::uint64_t next_temporary_suffix(std::uint64_t &seed, bool &seeded) {
    if (!seeded) {
        seeded = getrandom(&seed, sizeof seed, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof seed);
        if (!seeded) {
            // Early in boot: the name is still unique, and O_EXCL refuses anything planted there.
            seed ^= static_cast<std::uint64_t>(timespec_to_ns(monotonic_now())) ^
                    (static_cast<std::uint64_t>(getpid()) << 32);
        }
    }
    seed += 0x9e3779b97f4a7c15ULL;
    std::uint64_t z = seed;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

int write_all(int fd, std::string_view text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (n == 0) {
            return EIO;
        }
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

// Everything after the directory has been opened and checked.
int replace_in_directory(int dir_fd, const char *base, std::string_view text, std::uint64_t suffix) {
    // ".<base>.tmp.<16 hex digits>"
    char hex[17];
    for (int k = 15; k >= 0; --k, suffix >>= 4) {
        hex[k] = "0123456789abcdef"[suffix & 0xf];
    }
    hex[16] = '\0';
    char temporary[NAME_MAX + 1];
    const std::string_view parts[] = {".", base, ".tmp.", hex};
    std::size_t n = 0;
    for (std::string_view part : parts) {
        if (part.size() >= sizeof temporary - n) {
            return ENAMETOOLONG;
        }
        std::memcpy(temporary + n, part.data(), part.size());
        n += part.size();
    }
    temporary[n] = '\0';
    const int fd = ::openat(dir_fd, temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        return errno;
    }
    // The exporter reads as its own user: 0644 whatever the umask took away.
    int rc = ::fchmod(fd, 0644) != 0 ? errno : 0;
    if (rc == 0) {
        rc = write_all(fd, text);
    }
    // No fsync: the file is rewritten every period and a view of the present only, so after a crash
    // the next cycle replaces whatever survived; a flush per period would wear flash storage and stall
    // the cycle for nothing.
    if (::close(fd) != 0 && rc == 0) {
        rc = errno;
    }
    if (rc == 0 && ::renameat(dir_fd, temporary, dir_fd, base) != 0) {
        rc = errno;
    }
    if (rc != 0) {
        (void)::unlinkat(dir_fd, temporary, 0);
    }
    return rc;
}

void report_problem(metrics_state &state, const char *path, int code) {
    if (code == 0) {
        state.reported_count = 0;
        return;
    }
    for (std::size_t i = 0; i < state.reported_count; ++i) {
        if (state.reported[i] == code) {
            return;
        }
    }
    if (state.reported_count < sizeof state.reported / sizeof state.reported[0]) {
        state.reported[state.reported_count++] = code;
    }
    std::fprintf(stderr, "Warning: could not write metrics to %s: %s\n", path, metrics_problem_text(code));
}

} // namespace

int build_metrics(std::string &text, const cycle_snapshot &snapshot, const daemon_self_report &self) {
    text.clear();
    exposition out{text};
    try {
        build_exposition(out, snapshot, self);
    } catch (const std::bad_alloc &) {
        return -1;
    }
    return 0;
}

int write_metrics_file(metrics_state &state, const char *path, std::string_view text) {
    const char *slash = std::strrchr(path, '/');
    const char *base = slash != nullptr ? slash + 1 : path;
    if (*base == '\0') {
        return EISDIR;
    }
    path_buffer copy;
    const char *directory = slash == nullptr ? "." : "/";
    if (slash != nullptr && slash != path) {
        const auto length = static_cast<std::size_t>(slash - path);
        if (length >= sizeof copy) {
            return ENAMETOOLONG;
        }
        std::memcpy(copy, path, length);
        copy[length] = '\0';
        directory = copy;
    }

    // Directories on the way may be links (/var/run); the directory itself may not.
    const int dir_fd = ::open(directory, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir_fd < 0) {
        return errno;
    }
    struct stat st {};
    int rc = 0;
    if (::fstat(dir_fd, &st) != 0) {
        rc = errno;
    } else if (st.st_uid != 0 && st.st_uid != state.euid) {
        rc = k_metrics_dir_not_owned;
    } else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        rc = k_metrics_dir_writable;
    } else {
        rc = replace_in_directory(dir_fd, base, text, next_temporary_suffix(state.seed, state.seeded));
    }
    ::close(dir_fd);
    return rc;
}

const char *metrics_problem_text(int code) {
    switch (code) {
    case k_metrics_dir_not_owned:
        return "directory is owned by neither root nor the daemon's user";
    case k_metrics_dir_writable:
        return "directory is writable by group or others";
    default:
        return std::strerror(code);
    }
}

void publish_metrics(metrics_state &state, const char *path, const cycle_snapshot &snapshot, bool failed_pass,
                     const timespec &cycle_began) {
    ++state.self.cycles;
    if (failed_pass) {
        ++state.self.failed_passes;
    }
    state.self.last_cycle_duration_s = timespec_diff_s(cycle_began, monotonic_now());
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    state.self.last_cycle_unix_s = static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;

    const int rc = build_metrics(state.text, snapshot, state.self) != 0
                       ? ENOMEM
                       : write_metrics_file(state, path, state.text);
    report_problem(state, path, rc);
}
