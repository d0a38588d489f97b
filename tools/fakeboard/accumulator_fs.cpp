#define FUSE_USE_VERSION 31

#include "accumulator_fs.h"

#include "common/unique_fd.h"
#include "simulator.h"

#include <fuse.h>
#include <fuse_lowlevel.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace fakeboard {

namespace {

std::int64_t monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

struct simulation {
    board_model model;
    std::int64_t start_ns = 0;
    unique_fd truth;

    double seconds_at(std::int64_t ns) const { return static_cast<double>(ns - start_ns) / 1e9; }
};

enum class attribute_kind { text, control, trigger, average, input, voltage };

struct attribute {
    attribute_kind kind = attribute_kind::text;
    std::size_t channel = 0;
    std::string text; // what a text or control attribute holds
    mode_t mode = 0444;
};

// One accumulator device: its attributes, and what its last latch left in its registers.
struct served_device {
    const simulation *sim = nullptr;
    std::size_t chip = 0;
    std::string hwmon;
    std::string name;
    std::map<std::string, attribute> attributes;
    bool latched = false;
    double latch_s = 0.0;                   // the previous latch, seconds into the simulation
    std::array<double, 4> latch_energy_j{}; // each channel's energy up to then
    std::array<std::int64_t, 4> average_uw{};
    std::int64_t count = 0;
};

// What one open of an attribute reads: rendered at its first read, as sysfs renders a page.
struct open_file {
    std::string text;
    bool filled = false;
};

served_device &this_device() {
    return *static_cast<served_device *>(fuse_get_context()->private_data);
}

attribute *find(served_device &d, const char *path) {
    if (path[0] != '/') {
        return nullptr;
    }
    const auto it = d.attributes.find(path + 1);
    return it == d.attributes.end() ? nullptr : &it->second;
}

std::string number_line(std::int64_t value) {
    return std::to_string(value) + "\n";
}

std::string rendered(const served_device &d, const attribute &a) {
    const double t = d.sim->seconds_at(monotonic_ns());
    const board_model &m = d.sim->model;
    const rail &r = m.rails[d.chip][a.channel];
    switch (a.kind) {
    case attribute_kind::text:
    case attribute_kind::control:
        return a.text;
    case attribute_kind::trigger:
        return number_line(d.latched ? d.count : accumulator_count_at(m, d.chip, t));
    case attribute_kind::average:
        if (d.latched) {
            return number_line(d.average_uw[a.channel]);
        }
        return number_line(std::llround((integral_to(r.power_w, t) - integral_to(r.power_w, t - 1.0)) * 1e6));
    case attribute_kind::input:
        return number_line(std::llround(value_at(r.power_w, t) * 1e6));
    case attribute_kind::voltage:
        return number_line(voltage_mv_at(m, d.chip, a.channel, t));
    }
    return std::string();
}

// The chip hands over its accumulators: every average becomes the exact mean since the previous latch,
// and the truth gets each channel's energy up to this moment.
void latch(served_device &d) {
    const std::int64_t ns = monotonic_ns();
    const double t = d.sim->seconds_at(ns);
    const double elapsed_s = t - d.latch_s;
    std::string line = std::to_string(ns) + "," + d.hwmon + "," + d.name;
    for (std::size_t k = 0; k < 4; ++k) {
        line += ",";
        const rail &r = d.sim->model.rails[d.chip][k];
        if (!r.present) {
            continue;
        }
        const double energy_j = integral_to(r.power_w, t);
        const double mean_w =
            elapsed_s > 0.0 ? (energy_j - d.latch_energy_j[k]) / elapsed_s : value_at(r.power_w, t);
        d.average_uw[k] = std::llround(mean_w * 1e6);
        d.latch_energy_j[k] = energy_j;
        char joules[64];
        std::snprintf(joules, sizeof joules, "%.9f", energy_j);
        line += joules;
    }
    line += "\n";
    d.count = accumulator_count_at(d.sim->model, d.chip, t);
    d.latch_s = t;
    d.latched = true;
    // One write per line: a reader never sees half of one.
    if (::write(d.sim->truth.fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
        std::fprintf(stderr, "fakeboard: cannot append to %s: %s\n", k_truth_path, std::strerror(errno));
    }
}

void *fs_init(fuse_conn_info * /*conn*/, fuse_config *cfg) {
    // Every open and read reaches the device, as with a real sysfs attribute: nothing is cached.
    cfg->direct_io = 1;
    cfg->attr_timeout = 0;
    cfg->entry_timeout = 0;
    cfg->negative_timeout = 0;
    return fuse_get_context()->private_data;
}

int fs_getattr(const char *path, struct stat *st, fuse_file_info * /*fi*/) {
    std::memset(st, 0, sizeof *st);
    if (std::strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    const attribute *a = find(this_device(), path);
    if (a == nullptr) {
        return -ENOENT;
    }
    st->st_mode = S_IFREG | a->mode;
    st->st_nlink = 1;
    st->st_size = 4096; // sysfs attributes report a page
    return 0;
}

int fs_readdir(const char *path, void *buf, fuse_fill_dir_t fill, off_t /*offset*/, fuse_file_info * /*fi*/,
               fuse_readdir_flags /*flags*/) {
    if (std::strcmp(path, "/") != 0) {
        return -ENOENT;
    }
    const auto none = static_cast<fuse_fill_dir_flags>(0);
    fill(buf, ".", nullptr, 0, none);
    fill(buf, "..", nullptr, 0, none);
    for (const auto &[name, a] : this_device().attributes) {
        fill(buf, name.c_str(), nullptr, 0, none);
    }
    return 0;
}

bool writable_kind(attribute_kind kind) {
    return kind == attribute_kind::control || kind == attribute_kind::trigger;
}

int fs_open(const char *path, fuse_file_info *fi) {
    attribute *a = find(this_device(), path);
    if (a == nullptr) {
        return -ENOENT;
    }
    const int access = fi->flags & O_ACCMODE;
    const bool writing = access != O_RDONLY;
    const bool reading = access != O_WRONLY;
    if ((writing && ((a->mode & 0222) == 0 || !writable_kind(a->kind))) ||
        (reading && (a->mode & 0444) == 0)) {
        return -EACCES;
    }
    if ((fi->flags & O_TRUNC) != 0 && a->kind == attribute_kind::control) {
        a->text.clear();
    }
    fi->direct_io = 1;
    fi->fh = reinterpret_cast<std::uint64_t>(std::make_unique<open_file>().release());
    return 0;
}

int fs_release(const char * /*path*/, fuse_file_info *fi) {
    std::unique_ptr<open_file> done(reinterpret_cast<open_file *>(fi->fh));
    fi->fh = 0;
    return 0;
}

int fs_truncate(const char *path, off_t size, fuse_file_info * /*fi*/) {
    attribute *a = find(this_device(), path);
    if (a == nullptr) {
        return -ENOENT;
    }
    if ((a->mode & 0222) == 0 || !writable_kind(a->kind)) {
        return -EACCES;
    }
    if (a->kind == attribute_kind::control) {
        a->text.resize(static_cast<std::size_t>(size));
    }
    return 0;
}

int fs_chmod(const char *path, mode_t mode, fuse_file_info * /*fi*/) {
    attribute *a = find(this_device(), path);
    if (a == nullptr) {
        return std::strcmp(path, "/") == 0 ? -EPERM : -ENOENT;
    }
    a->mode = mode & 07777;
    return 0;
}

int fs_read(const char *path, char *buf, size_t size, off_t offset, fuse_file_info *fi) {
    served_device &d = this_device();
    const attribute *a = find(d, path);
    if (a == nullptr) {
        return -ENOENT;
    }
    auto *file = reinterpret_cast<open_file *>(fi->fh);
    if (!file->filled || offset == 0) {
        file->text = rendered(d, *a);
        file->filled = true;
    }
    if (offset < 0 || static_cast<std::size_t>(offset) >= file->text.size()) {
        return 0;
    }
    const std::size_t n = std::min(size, file->text.size() - static_cast<std::size_t>(offset));
    std::memcpy(buf, file->text.data() + offset, n);
    return static_cast<int>(n);
}

int fs_write(const char *path, const char *buf, size_t size, off_t offset, fuse_file_info * /*fi*/) {
    served_device &d = this_device();
    attribute *a = find(d, path);
    if (a == nullptr) {
        return -ENOENT;
    }
    if (a->kind == attribute_kind::trigger) {
        std::string_view text(buf, size);
        if (!text.empty() && text.back() == '\n') {
            text.remove_suffix(1);
        }
        if (text != "1") {
            return -EINVAL;
        }
        latch(d);
        return static_cast<int>(size);
    }
    if (a->kind != attribute_kind::control) {
        return -EACCES;
    }
    const auto end = static_cast<std::size_t>(offset) + size;
    if (a->text.size() < end) {
        a->text.resize(end);
    }
    a->text.replace(static_cast<std::size_t>(offset), size, buf, size);
    return static_cast<int>(size);
}

// The attributes the fake board lays out for `chip`, with the modes a hwmon driver gives them.
std::map<std::string, attribute> attributes_of(const accumulator_chip &chip) {
    std::map<std::string, attribute> out;
    out["name"] = {attribute_kind::text, 0, chip.name + "\n", 0444};
    out["measurement_mode"] = {attribute_kind::control, 0, "normal\n", 0644};
    out["accumulator_update_mode"] = {attribute_kind::control, 0, "auto\n", 0644};
    out["accumulator_update"] = {attribute_kind::trigger, 0, "", 0644};
    for (std::size_t k = 0; k < 4; ++k) {
        const std::string power = "power" + std::to_string(k + 1);
        const std::string in = "in" + std::to_string(k);
        if (chip.power_label[k]) {
            out[power + "_label"] = {attribute_kind::text, k, *chip.power_label[k] + "\n", 0444};
        }
        if (chip.power_average_uw[k]) {
            out[power + "_average"] = {attribute_kind::average, k, "", 0444};
        }
        if (chip.power_input_uw[k]) {
            out[power + "_input"] = {attribute_kind::input, k, "", 0444};
        }
        if (chip.voltage_label[k]) {
            out[in + "_label"] = {attribute_kind::text, k, *chip.voltage_label[k] + "\n", 0444};
        }
        if (chip.voltage_mv[k]) {
            out[in + "_input"] = {attribute_kind::voltage, k, "", 0444};
        }
    }
    return out;
}

fuse_operations operations() {
    fuse_operations ops{};
    ops.init = fs_init;
    ops.getattr = fs_getattr;
    ops.readdir = fs_readdir;
    ops.open = fs_open;
    ops.release = fs_release;
    ops.truncate = fs_truncate;
    ops.chmod = fs_chmod;
    ops.read = fs_read;
    ops.write = fs_write;
    return ops;
}

// A mounted device directory; unmounted when it goes.
struct fuse_closer {
    void operator()(fuse *f) const {
        fuse_unmount(f);
        fuse_destroy(f);
    }
};
using mounted_fs = std::unique_ptr<fuse, fuse_closer>;

volatile sig_atomic_t stop_requested = 0;

void tell(int fd, const std::string &line) {
    if (::write(fd, line.data(), line.size()) < 0) {
        std::fprintf(stderr, "fakeboard: %s", line.c_str());
    }
    ::close(fd);
}

// Answers whatever the kernel asks of the devices until the next step's deadline (or a signal).
void answer_until(std::vector<pollfd> &fds, const std::vector<fuse_session *> &sessions, fuse_buf &buf,
                  std::int64_t deadline_ns) {
    for (;;) {
        const std::int64_t left_ns = deadline_ns - monotonic_ns();
        if (left_ns <= 0 || stop_requested != 0) {
            return;
        }
        const int ready = ::poll(fds.data(), fds.size(), static_cast<int>((left_ns + 999999) / 1000000));
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::fprintf(stderr, "fakeboard: poll: %s\n", std::strerror(errno));
            stop_requested = 1;
            return;
        }
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if ((fds[i].revents & POLLIN) != 0) {
                const int got = fuse_session_receive_buf(sessions[i], &buf);
                if (got == -EINTR || got == -EAGAIN) {
                    continue;
                }
                if (got > 0) {
                    fuse_session_process_buf(sessions[i], &buf);
                    continue;
                }
            }
            if ((fds[i].revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) != 0) {
                // Unmounted from outside: nothing more will come from it.
                fds[i].fd = -1;
            }
        }
    }
}

} // namespace

int serve_simulation(const board &b, std::uint64_t seed, int ready_fd) {
    simulation sim;
    sim.model = make_model(b, seed);
    sim.start_ns = monotonic_ns();

    ::mkdir(k_truth_dir, 0755);
    sim.truth.reset(::open(k_truth_path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644));
    const std::string header = k_truth_header;
    if (!sim.truth.valid() ||
        ::write(sim.truth.fd, header.data(), header.size()) != static_cast<ssize_t>(header.size())) {
        tell(ready_fd,
             "error: cannot write " + std::string(k_truth_path) + ": " + std::strerror(errno) + "\n");
        return 1;
    }

    std::vector<std::unique_ptr<served_device>> devices;
    std::vector<mounted_fs> mounts;
    std::vector<fuse_session *> sessions;
    std::vector<pollfd> fds;
    const fuse_operations ops = operations();
    for (std::size_t c = 0; c < b.chips.size(); ++c) {
        const accumulator_chip &chip = b.chips[c];
        auto device = std::make_unique<served_device>();
        device->sim = &sim;
        device->chip = c;
        device->hwmon = chip.hwmon;
        device->name = chip.name;
        device->attributes = attributes_of(chip);
        const std::string mount_point = device_dir(hwmon_dir(chip.hwmon));
        char program[] = "fakeboard";
        char *argv[] = {program, nullptr};
        fuse_args args = FUSE_ARGS_INIT(1, argv);
        mounted_fs fs;
        fuse *f = fuse_new(&args, &ops, sizeof ops, device.get());
        fuse_opt_free_args(&args);
        if (f != nullptr && fuse_mount(f, mount_point.c_str()) == 0) {
            fs.reset(f);
        } else if (f != nullptr) {
            fuse_destroy(f);
        }
        if (!fs) {
            tell(ready_fd,
                 "error: cannot serve " + mount_point + " through FUSE (is /dev/fuse there and usable?)\n");
            return 1;
        }
        fuse_session *session = fuse_get_session(fs.get());
        sessions.push_back(session);
        fds.push_back(pollfd{fuse_session_fd(session), POLLIN, 0});
        mounts.push_back(std::move(fs));
        devices.push_back(std::move(device));
    }

    // fakeboard stops the simulation with SIGTERM once the command is done; a ^C meant for the command
    // must not take the devices away from under it.
    struct sigaction stop {};
    stop.sa_handler = [](int) { stop_requested = 1; };
    sigaction(SIGTERM, &stop, nullptr);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGINT, &ignore, nullptr);
    sigaction(SIGHUP, &ignore, nullptr);
    tell(ready_fd, "ready\n");

    board live = b;
    fuse_buf buf{};
    const auto step_ns = static_cast<std::int64_t>(std::llround(k_simulation_step_s * 1e9));
    std::int64_t next_step_ns = sim.start_ns;
    while (stop_requested == 0) {
        const std::int64_t now_ns = monotonic_ns();
        if (now_ns >= next_step_ns) {
            simulate_step(live, sim.seconds_at(now_ns), seed);
            write_platform_live_values(live);
            // Absolute deadlines: the files keep their pace however long a rewrite takes.
            while (next_step_ns <= now_ns) {
                next_step_ns += step_ns;
            }
        }
        answer_until(fds, sessions, buf, next_step_ns);
    }
    std::free(buf.mem);
    return 0;
}

} // namespace fakeboard
