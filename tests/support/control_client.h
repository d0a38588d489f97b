// Clients of the daemon's control socket for black-box tests, and the check that its counters stayed
// exact on the plain reference board: there every average holds still, so between any two replies
// each counter must grow by exactly its average × the interval between the two latches they report.
#pragma once

#include "board.h"
#include "common/platform_paths.h"
#include "process.h"
#include "support/board_test.h"
#include "support/daemon_run.h"
#include "support/polling.h"
#include "support/text.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace control {

using support::fields_of;
using support::lines_in;

inline const std::string k_socket = platform_paths::control_socket;

struct fd_holder {
    int fd = -1;
    fd_holder() = default;
    explicit fd_holder(int f) : fd(f) {}
    fd_holder(fd_holder &&o) noexcept : fd(std::exchange(o.fd, -1)) {}
    fd_holder &operator=(fd_holder &&o) noexcept {
        std::swap(fd, o.fd);
        return *this;
    }
    ~fd_holder() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

// A connected client, or -errno.
inline int connect_client() {
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, k_socket.c_str());
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(fd);
        return -error;
    }
    return fd;
}

// The next message within timeout_s; "<eof>" when the daemon closed the connection, "<none>" when
// nothing came.
inline std::string receive(int fd, double timeout_s) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout_s * 1000)) <= 0) {
        return "<none>";
    }
    std::string buffer(1 << 20, '\0');
    const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (n <= 0) {
        return "<eof>";
    }
    buffer.resize(static_cast<std::size_t>(n));
    return buffer;
}

inline std::string ask(int fd, const std::string &request = "latch\n", double timeout_s = 5) {
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
        return "<send failed>";
    }
    return receive(fd, timeout_s);
}

// A latch reply: each device's latch and sequence, each channel's counter (nJ) and gap (ns), by label.
struct reply {
    std::map<std::string, std::int64_t> latch_ns; // by device name
    std::map<std::string, std::int64_t> sequence;
    std::map<std::string, std::pair<std::string, std::int64_t>> joules_nj; // label -> (device, nJ)
    std::map<std::string, std::int64_t> gap_ns;
};

inline std::int64_t nano(const std::string &decimal) {
    std::string digits = decimal;
    digits.erase(std::remove(digits.begin(), digits.end(), '.'), digits.end());
    return std::stoll(digits);
}

inline reply parse_reply(const std::string &text) {
    reply r;
    std::map<std::string, std::string> names; // position -> device name
    const std::vector<std::string> lines = lines_in(text);
    EXPECT_FALSE(lines.empty());
    EXPECT_EQ(lines.empty() ? "" : lines[0], "vantrel-energy,1") << text;
    std::string previous;
    for (const std::string &line : lines) {
        const std::vector<std::string> f = fields_of(line);
        if (f[0] == "device") {
            names[f[1]] = f[2];
        } else if (f[0] == "latch") {
            EXPECT_EQ(fields_of(previous)[0], "device") << "a latch record follows its device's";
            r.latch_ns[names[f[1]]] = std::stoll(f[2]);
            r.sequence[names[f[1]]] = std::stoll(f[3]);
        } else if (f[0] == "channel") {
            r.joules_nj[f[4]] = {f[2], nano(f[5])};
            r.gap_ns[f[4]] = nano(f[6]);
        }
        previous = line;
    }
    return r;
}

// Between two replies on the plain board, every channel grew by exactly average × interval (to the
// nanojoule that the carried remainder allows) and no gap opened.
inline void expect_exact(const reply &before, const reply &after) {
    std::map<std::string, std::int64_t> average_uw;
    for (const fakeboard::accumulator_chip &chip : fakeboard::reference_board().chips) {
        for (std::size_t n = 0; n < 4; ++n) {
            if (chip.power_label[n] && chip.power_average_uw[n]) {
                average_uw[*chip.power_label[n]] = *chip.power_average_uw[n];
            }
        }
    }
    ASSERT_EQ(after.joules_nj.size(), 8U);
    for (const auto &[label, counter] : after.joules_nj) {
        const std::string &device = counter.first;
        const std::int64_t interval = after.latch_ns.at(device) - before.latch_ns.at(device);
        __extension__ typedef __int128 wide;
        const wide exact = static_cast<wide>(average_uw.at(label)) * interval / 1000000;
        const std::int64_t grown = counter.second - before.joules_nj.at(label).second;
        EXPECT_LE(std::llabs(grown - static_cast<std::int64_t>(exact)), 1) << label;
        EXPECT_EQ(after.gap_ns.at(label), 0) << label;
    }
}

inline long open_descriptors(pid_t pid) {
    long count = 0;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        (void)entry;
        ++count;
    }
    return count;
}

inline long resident_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return -1;
}

inline std::int64_t cpu_ns(pid_t pid) {
    std::ifstream schedstat("/proc/" + std::to_string(pid) + "/schedstat");
    std::int64_t ns = -1;
    schedstat >> ns;
    return ns;
}

class control_socket_test : public board_test {
  protected:
    void lay_out_board() override { fakeboard::lay_out(fakeboard::reference_board()); }

    // Starts the daemon and waits for its socket.
    fakeboard::child_process start(std::vector<std::string> options) {
        fakeboard::child_process child = fakeboard::spawn(blackbox::daemon_args(std::move(options)));
        EXPECT_TRUE(support::wait_until(
            [&] { return support::captured_so_far(child.out_fd).find("starting") != std::string::npos; }, 5));
        return child;
    }
    static void stop(fakeboard::child_process &child) {
        ::kill(child.pid, SIGTERM);
        const fakeboard::process_result r = fakeboard::wait_for(child, 10);
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.err, "");
    }
    static bool running(const fakeboard::child_process &child) {
        int status = 0;
        return ::waitpid(child.pid, &status, WNOHANG) == 0;
    }
};

} // namespace control
