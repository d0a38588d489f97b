// Runs a command on a fake board: a private mount namespace with tmpfs over /sys and /run, the board
// laid out in it, and optionally a simulator that keeps the board's values moving.
//
//   fakeboard [--board reference|large[:CHIPS:ZONES]] [--simulate] [--] COMMAND [ARGS...]
#include "board.h"
#include "sandbox.h"
#include "simulator.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int usage() {
    std::fputs(
        "usage: fakeboard [--board reference|large[:CHIPS:ZONES]] [--simulate] [--] COMMAND [ARGS...]\n",
        stderr);
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    fakeboard::board board = fakeboard::reference_board();
    bool simulate = false;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--board" && i + 1 < argc) {
            if (!fakeboard::board_by_name(argv[++i], &board)) {
                return usage();
            }
        } else if (arg == "--simulate") {
            simulate = true;
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
        simulator = fork();
        if (simulator == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            fakeboard::run_simulator(board, fakeboard::k_default_seed);
            _exit(0);
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
