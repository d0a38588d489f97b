// The control socket (--energy) as its clients see it: its life beside the instance lock, who may
// connect, what hostile clients can and cannot do, and a crowd asking as fast as it can. On the plain
// reference board every average holds still, so between any two replies each counter must grow by
// exactly its average × the interval between the two latches the replies report.
#include "common/platform_paths.h"
#include "support/board_test.h"
#include "support/daemon_run.h"

#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>

namespace {

using blackbox::daemon_args;
using blackbox::k_root;
using support::fields_of;
using support::lines_in;

const std::string k_socket = platform_paths::control_socket;

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
int connect_client() {
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
std::string receive(int fd, double timeout_s) {
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

std::string ask(int fd, const std::string &request = "latch\n", double timeout_s = 5) {
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

std::int64_t nano(const std::string &decimal) {
    std::string digits = decimal;
    digits.erase(std::remove(digits.begin(), digits.end(), '.'), digits.end());
    return std::stoll(digits);
}

reply parse_reply(const std::string &text) {
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
void expect_exact(const reply &before, const reply &after) {
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

long open_descriptors(pid_t pid) {
    long count = 0;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        (void)entry;
        ++count;
    }
    return count;
}

long resident_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return -1;
}

std::int64_t cpu_ns(pid_t pid) {
    std::ifstream schedstat("/proc/" + std::to_string(pid) + "/schedstat");
    std::int64_t ns = -1;
    schedstat >> ns;
    return ns;
}

class control_socket : public board_test {
  protected:
    void lay_out_board() override { fakeboard::lay_out(fakeboard::reference_board()); }

    // Starts the daemon and waits for its socket.
    fakeboard::child_process start(std::vector<std::string> options) {
        fakeboard::child_process child = fakeboard::spawn(daemon_args(std::move(options)));
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

// Made after the lock and the modes, replacing a killed daemon's socket, left alone by a second
// instance, removed at exit; never without --energy; mode 0600, or 0660 and the group with
// --control-group; a group that does not exist is a bad option.
TEST_F(control_socket, lives_beside_the_lock_while_the_daemon_runs) {
    fakeboard::process_result r = fakeboard::run(daemon_args({"--once"}), 10);
    EXPECT_EQ(r.exit_code, 0);
    struct stat st {};
    EXPECT_NE(::lstat(k_socket.c_str(), &st), 0) << "no socket without --energy";

    r = fakeboard::run(daemon_args({"--energy", "--control-group", "no-such-group-here"}), 10);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err, "Error: no such group: no-such-group-here\n");

    // A killed daemon's socket: a path nobody listens on.
    ::mkdir(platform_paths::lock_directory, 0755);
    {
        fd_holder stale(::socket(AF_UNIX, SOCK_SEQPACKET, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, k_socket.c_str());
        ASSERT_EQ(::bind(stale.fd, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
    }
    EXPECT_EQ(connect_client(), -ECONNREFUSED);

    fakeboard::child_process child = start({"-i", "100", "--energy"});
    ASSERT_EQ(::lstat(k_socket.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600U);
    EXPECT_EQ(st.st_uid, 0U);
    fd_holder client(connect_client());
    ASSERT_GE(client.fd, 0) << std::strerror(-client.fd);
    const reply first = parse_reply(ask(client.fd));

    const fakeboard::process_result second = fakeboard::run(daemon_args({"-i", "100", "--energy"}), 10);
    EXPECT_EQ(second.exit_code, 1);
    struct stat after {};
    ASSERT_EQ(::lstat(k_socket.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, st.st_ino) << "a second instance never touches the socket";
    const reply later = parse_reply(ask(client.fd));
    expect_exact(first, later);
    EXPECT_GT(later.sequence.at("max34417"), first.sequence.at("max34417"));
    stop(child);
    EXPECT_NE(::lstat(k_socket.c_str(), &st), 0) << "removed at exit";

    child = start({"-i", "100", "--energy", "--control-group", "4242"});
    ASSERT_EQ(::lstat(k_socket.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0660U);
    EXPECT_EQ(st.st_gid, 4242U);
    stop(child);
}

// In a child: take the given groups and an unprivileged user, then ask for a latch. Exit status 0
// when a reply came, 1 when connecting was refused for permission, 2 otherwise.
int latch_as(uid_t uid, std::vector<gid_t> groups) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const gid_t primary = 4343;
        if (::setgroups(groups.size(), groups.data()) != 0 || ::setgid(primary) != 0 || ::setuid(uid) != 0) {
            ::_exit(3);
        }
        const int fd = connect_client();
        if (fd == -EACCES) {
            ::_exit(1);
        }
        ::_exit(fd >= 0 && ask(fd).rfind("vantrel-energy,1\n", 0) == 0 ? 0 : 2);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A member of the group may latch; a user outside it cannot even connect.
TEST_F(control_socket, only_root_and_the_group_may_latch) {
    if (::geteuid() != 0 || ::setgroups(0, nullptr) != 0) {
        GTEST_SKIP() << "needs root with more than one mapped id to take other users' groups";
    }
    fakeboard::child_process child = start({"-i", "100", "--energy", "--control-group", "4242"});
    ASSERT_TRUE(support::wait_until([] { return ::access(k_socket.c_str(), F_OK) == 0; }, 5));
    EXPECT_EQ(latch_as(4343, {4242}), 0) << "a member of the group";
    EXPECT_EQ(latch_as(4343, {}), 1) << "a user outside it";
    stop(child);

    child = start({"-i", "100", "--energy"});
    EXPECT_EQ(latch_as(4343, {4242}), 1) << "without --control-group the socket is root's alone";
    stop(child);
}

// Each hostile client leaves the daemon running, answering others, and its counters exact.
TEST_F(control_socket, hostile_clients_cost_the_daemon_nothing) {
    fakeboard::child_process child = start({"-i", "100", "--energy"});
    fd_holder good(connect_client());
    ASSERT_GE(good.fd, 0);
    reply previous = parse_reply(ask(good.fd));
    auto still_exact = [&](const std::string &what) {
        ASSERT_TRUE(running(child)) << what;
        const reply now = parse_reply(ask(good.fd));
        SCOPED_TRACE(what);
        expect_exact(previous, now);
        previous = now;
    };

    // Sixteen at once, the good one included; the seventeenth is closed at once.
    std::vector<fd_holder> crowd;
    for (int i = 0; i < 15; ++i) {
        crowd.emplace_back(connect_client());
        ASSERT_GE(crowd.back().fd, 0);
    }
    fd_holder seventeenth(connect_client());
    ASSERT_GE(seventeenth.fd, 0) << "the listener's queue takes it";
    EXPECT_EQ(receive(seventeenth.fd, 5), "<eof>");
    still_exact("a seventeenth client");
    EXPECT_EQ(ask(crowd.back().fd).rfind("vantrel-energy,1\n", 0), 0U) << "the sixteen are served";
    crowd.clear();

    struct bad_case {
        std::string request;
        std::string answer;
    };
    const std::vector<bad_case> cases = {
        {std::string(65, 'l'), "error,request longer than 64 bytes\n"},
        {"latch" + std::string(60, ' '), "error,request longer than 64 bytes\n"},
        {std::string("\x00\xff\x01latch", 8), "error,not a text request\n"},
        {"unlatch", "error,unknown request\n"},
        {"latch\n\n", "error,unknown request\n"},
        {"LATCH", "error,unknown request\n"},
    };
    for (const bad_case &c : cases) {
        fd_holder client(connect_client());
        ASSERT_GE(client.fd, 0);
        EXPECT_EQ(ask(client.fd, c.request), c.answer);
        EXPECT_EQ(receive(client.fd, 5), "<eof>") << "closed after the error";
        still_exact("a bad request");
    }

    // A silent client and one that asks and never reads: the second is dropped once its replies no
    // longer fit, the first stays connected; neither stops the others.
    fd_holder silent(connect_client());
    fd_holder deaf(connect_client());
    ASSERT_GE(silent.fd, 0);
    ASSERT_GE(deaf.fd, 0);
    int sent = 0;
    bool dropped = false;
    for (int i = 0; i < 4000 && !dropped; ++i) {
        const ssize_t n = ::send(deaf.fd, "latch", 5, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN) {
            dropped = true; // EPIPE or ECONNRESET: the daemon closed it
        } else if (n < 0) {
            ::usleep(2000);
        } else {
            ++sent;
        }
        if (i % 100 == 99) {
            still_exact("a client that never reads");
        }
    }
    std::printf("  the client that never reads sent %d requests before the daemon dropped it\n", sent);
    EXPECT_TRUE(dropped);
    EXPECT_EQ(receive(silent.fd, 0.3), "<none>") << "the silent client is still connected, untouched";
    still_exact("a silent client");
    stop(child);
}

// 16 clients asking as fast as they can for 10 s at -i 100 --raw --energy: no cycle is lost, at most
// 100 latches on request a second, the counters stay exact, descriptors and memory stay flat.
TEST_F(control_socket, sixteen_clients_asking_as_fast_as_they_can) {
    fakeboard::child_process child = start({"-i", "100", "--raw", "--energy"});
    fd_holder first_client(connect_client());
    ASSERT_GE(first_client.fd, 0);
    const reply first = parse_reply(ask(first_client.fd)); // after the first cycle
    ::usleep(500000);
    const long descriptors_idle = open_descriptors(child.pid);
    const std::int64_t idle_cpu_from = cpu_ns(child.pid);
    const double idle_from = fakeboard::monotonic_seconds();
    ::usleep(2000000);
    const double idle_s = fakeboard::monotonic_seconds() - idle_from;
    const std::int64_t idle_cpu = cpu_ns(child.pid) - idle_cpu_from;

    constexpr int k_clients = 16;
    constexpr double k_seconds = 10;
    std::vector<fd_holder> clients;
    clients.push_back(std::move(first_client));
    for (int i = 1; i < k_clients; ++i) {
        clients.emplace_back(connect_client());
        ASSERT_GE(clients.back().fd, 0);
    }
    std::vector<std::vector<std::pair<std::int64_t, std::int64_t>>> seen(k_clients); // (seq, ns)
    std::atomic<bool> go{false};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    const double load_from = fakeboard::monotonic_seconds();
    const std::int64_t load_cpu_from = cpu_ns(child.pid);
    long resident_early = 0;
    for (int i = 0; i < k_clients; ++i) {
        threads.emplace_back([&, i] {
            while (!go.load()) {
            }
            std::string request = "latch";
            while (fakeboard::monotonic_seconds() - load_from < k_seconds) {
                const std::string text = ask(clients[static_cast<std::size_t>(i)].fd, request);
                const std::size_t at = text.find("\nlatch,1,");
                if (at == std::string::npos) {
                    ++failures;
                    return;
                }
                const std::vector<std::string> f =
                    fields_of(text.substr(at + 1, text.find('\n', at + 1) - at - 1));
                seen[static_cast<std::size_t>(i)].emplace_back(std::stoll(f[3]), std::stoll(f[2]));
            }
        });
    }
    go = true;
    ::usleep(2000000);
    resident_early = resident_kib(child.pid);
    const long descriptors_loaded = open_descriptors(child.pid);
    for (std::thread &t : threads) {
        t.join();
    }
    const double load_s = fakeboard::monotonic_seconds() - load_from;
    const std::int64_t load_cpu = cpu_ns(child.pid) - load_cpu_from;
    const long resident_late = resident_kib(child.pid);
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(open_descriptors(child.pid), descriptors_loaded) << "descriptors flat";
    EXPECT_EQ(descriptors_loaded, descriptors_idle + k_clients - 1);
    EXPECT_LE(resident_late, resident_early + 64) << "resident memory flat (KiB)";
    const reply last = parse_reply(ask(clients[0].fd));
    ASSERT_TRUE(running(child));
    stop(child);

    // Every latch the clients saw, by its sequence: cycles' and requests' alike.
    std::map<std::int64_t, std::int64_t> latches;
    std::size_t replies = 0;
    for (const auto &client : seen) {
        replies += client.size();
        for (const auto &[sequence, ns] : client) {
            const auto [it, added] = latches.emplace(sequence, ns);
            EXPECT_EQ(it->second, ns) << "one sequence, one latch";
        }
    }
    // The cycles, from the device log: one line per period, none lost.
    const std::vector<std::string> log = support::lines_of(k_root + "/power/max34417_raw");
    std::vector<std::int64_t> cycle_ns;
    for (std::size_t i = 1; i < log.size(); ++i) {
        cycle_ns.push_back(std::llround(std::stod(fields_of(log[i])[1]) * 1e9));
    }
    ASSERT_GE(cycle_ns.size(), 100U);
    const double span_periods = static_cast<double>(cycle_ns.back() - cycle_ns.front()) / 1e8;
    EXPECT_EQ(static_cast<long long>(cycle_ns.size()) - 1, std::llround(span_periods)) << "a cycle was lost";
    std::int64_t latest_ns = 0;
    for (std::size_t i = 0; i < cycle_ns.size(); ++i) {
        latest_ns =
            std::max(latest_ns, cycle_ns[i] - (cycle_ns[0] + static_cast<std::int64_t>(i) * 100000000));
    }
    // Latches on request: those not within a tenth of a millisecond of a cycle's logged latch.
    std::vector<std::int64_t> requested;
    for (const auto &[sequence, ns] : latches) {
        const auto near = std::lower_bound(cycle_ns.begin(), cycle_ns.end(), ns - 100000);
        if (near == cycle_ns.end() || *near > ns + 100000) {
            requested.push_back(ns);
        }
    }
    std::int64_t closest_ns = INT64_MAX;
    for (std::size_t i = 1; i < requested.size(); ++i) {
        closest_ns = std::min(closest_ns, requested[i] - requested[i - 1]);
    }
    const double rate = static_cast<double>(requested.size()) / load_s;
    std::printf("  %zu replies in %.2f s from %zu latches: %zu on request (%.1f a second, closest %.3f ms "
                "apart); %zu cycles, the latest %.3f ms after its place in the schedule\n",
                replies, load_s, latches.size(), requested.size(), rate,
                static_cast<double>(closest_ns) / 1e6, cycle_ns.size(), static_cast<double>(latest_ns) / 1e6);
    const double per_latch_ns =
        static_cast<double>(load_cpu -
                            static_cast<std::int64_t>(static_cast<double>(idle_cpu) * load_s / idle_s)) /
        static_cast<double>(requested.size());
    std::printf("  daemon CPU: %.0f us/s idle, %.0f us/s under load; %.0f ns per latch on request; "
                "descriptors %ld idle, %ld loaded; resident %ld -> %ld KiB\n",
                static_cast<double>(idle_cpu) / 1e3 / idle_s, static_cast<double>(load_cpu) / 1e3 / load_s,
                per_latch_ns, descriptors_idle, descriptors_loaded, resident_early, resident_late);
    EXPECT_GE(closest_ns, 10000000) << "latches on request at least 10 ms apart";
    EXPECT_LE(rate, 100.0 + 1.0 / load_s);
    EXPECT_GT(requested.size(), 100U) << "the clients were served between cycles";
    expect_exact(first, last);
}

} // namespace
