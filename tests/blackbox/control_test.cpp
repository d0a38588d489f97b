// The control socket (--energy) as its clients see it: its life beside the instance lock, who may
// connect, and what hostile clients can and cannot do.
#include "support/control_client.h"

#include <grp.h>
#include <sys/stat.h>

namespace {

using blackbox::daemon_args;
using namespace control;

class control_socket : public control_socket_test {};

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
    // Asked before the first cycle (a second after start): that cycle's latch, each device's first,
    // serves it.
    const reply first = parse_reply(ask(client.fd));
    EXPECT_EQ(first.sequence.at("max34417"), 1);
    EXPECT_EQ(first.sequence.at("max34417_b"), 1);

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

    for (const auto &[group, gid] : {std::pair{"4242", 4242U}, std::pair{"root", 0U}}) {
        child = start({"-i", "100", "--energy", "--control-group", group});
        ASSERT_EQ(::lstat(k_socket.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0660U) << group;
        EXPECT_EQ(st.st_gid, gid) << group;
        stop(child);
    }
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

} // namespace
