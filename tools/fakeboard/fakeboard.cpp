// Runs a command on a fake board: a private mount namespace with tmpfs over /sys and /run, the board
// laid out in it, and optionally a simulator that keeps the board's values moving.
//
//   fakeboard [--board reference|large[:CHIPS:ZONES]] [--simulate [--seed N]] [--] COMMAND [ARGS...]
//
// With --simulate the accumulator devices are served through FUSE and see every latch, and the
// simulation's ground truth goes to /run/fakeboard/truth.csv (accumulator_fs.h); the command starts
// once the devices are served. A build without libfuse3 rewrites plain files instead.
#include "board.h"
#include "sandbox.h"
#include "simulator.h"
#if VPM_FAKEBOARD_FUSE
#include "accumulator_fs.h"
#endif

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int usage() {
    std::fputs(
        "usage: fakeboard [--board reference|large[:CHIPS:ZONES]] [--simulate [--seed N]] [--] COMMAND "
        "[ARGS...]\n",
        stderr);
    return 2;
}

bool parse_seed(const char *text, std::uint64_t *seed) {
    char *end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || text[0] == '-') {
        return false;
    }
    *seed = value;
    return true;
}

// Starts the simulation in a child process and waits until it serves the board. -1 (after saying why)
// when it cannot.
pid_t start_simulator(const fakeboard::board &board, std::uint64_t seed) {
#if VPM_FAKEBOARD_FUSE
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) {
        std::fprintf(stderr, "fakeboard: pipe: %s\n", std::strerror(errno));
        return -1;
    }
    const pid_t simulator = fork();
    if (simulator == 0) {
        ::close(ready[0]);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        _exit(fakeboard::serve_simulation(board, seed, ready[1]));
    }
    ::close(ready[1]);
    std::string said;
    char buf[256];
    for (ssize_t n = 0; (n = ::read(ready[0], buf, sizeof buf)) != 0;) {
        if (n < 0 && errno != EINTR) {
            break;
        }
        if (n > 0) {
            said.append(buf, static_cast<std::size_t>(n));
        }
    }
    ::close(ready[0]);
    if (simulator > 0 && said == "ready\n") {
        return simulator;
    }
    if (said.rfind("error: ", 0) == 0) {
        said.erase(0, 7);
    }
    while (!said.empty() && said.back() == '\n') {
        said.pop_back();
    }
    std::fprintf(stderr, "fakeboard: the simulation did not start%s%s\n", said.empty() ? "" : ": ",
                 said.c_str());
    if (simulator > 0) {
        kill(simulator, SIGKILL);
        waitpid(simulator, nullptr, 0);
    }
    return -1;
#else
    const pid_t simulator = fork();
    if (simulator == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        fakeboard::run_simulator(board, seed);
    }
    return simulator;
#endif
}

} // namespace

int main(int argc, char **argv) {
    fakeboard::board board = fakeboard::reference_board();
    bool simulate = false;
    std::uint64_t seed = fakeboard::k_default_seed;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--board" && i + 1 < argc) {
            if (!fakeboard::board_by_name(argv[++i], &board)) {
                return usage();
            }
        } else if (arg == "--simulate") {
            simulate = true;
        } else if (arg == "--seed" && i + 1 < argc) {
            if (!parse_seed(argv[++i], &seed)) {
                return usage();
            }
        } else if (arg == "--") {
            ++i;
            break;
        } else if (arg.rfind("--", 0) == 0) {
            return usage();
        } else {
            break;
        }
    }
    if (i >= argc) {
        return usage();
    }

    const std::string &why = fakeboard::enter_private_namespace();
    if (!why.empty()) {
        std::fprintf(stderr, "fakeboard: %s\n", why.c_str());
        return 125;
    }
    std::string mount_error;
    if (!fakeboard::mount_board_tmpfs(&mount_error)) {
        std::fprintf(stderr, "fakeboard: %s\n", mount_error.c_str());
        return 125;
    }
    fakeboard::lay_out(board);

    pid_t simulator = -1;
    if (simulate) {
        simulator = start_simulator(board, seed);
        if (simulator < 0) {
            return 125;
        }
    }

    const pid_t command = fork();
    if (command == 0) {
        execvp(argv[i], argv + i);
        std::fprintf(stderr, "fakeboard: cannot run %s: %s\n", argv[i], std::strerror(errno));
        _exit(127);
    }
    // Signals meant for the command (a service manager's SIGTERM, a ^C) are passed on to it.
    static pid_t forward_to = -1;
    forward_to = command;
    struct sigaction action {};
    action.sa_handler = [](int sig) {
        if (forward_to > 0) {
            kill(forward_to, sig);
        }
    };
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        sigaction(sig, &action, nullptr);
    }
    int status = 0;
    while (waitpid(command, &status, 0) < 0 && errno == EINTR) {
    }
    if (simulator > 0) {
        kill(simulator, SIGTERM);
        waitpid(simulator, nullptr, 0);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return WEXITSTATUS(status);
}
