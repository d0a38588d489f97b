// The process fixture runs the built daemon as the black-box tests need it: natively, and in a cross
// build tested under qemu-user through the emulator prefix, with exit statuses and signals intact.
#include "support/board_test.h"
#include "support/expected.h"
#include "support/polling.h"
#include "support/process.h"

#include <signal.h>
#include <unistd.h>

#include <string>

namespace {

class spawn_test : public board_test {};

TEST_F(spawn_test, daemon_exit_statuses_and_usage_come_back) {
    fakeboard::lay_out(fakeboard::reference_board());
    const std::string daemon = fakeboard::daemon_path();

    const fakeboard::process_result help = fakeboard::run({daemon, "--help"}, 30);
    ASSERT_TRUE(help.exited) << help.err;
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_EQ(help.err, support::usage_text(daemon));

    const fakeboard::process_result bad = fakeboard::run({daemon, "--no-such-option"}, 30);
    ASSERT_TRUE(bad.exited) << bad.err;
    EXPECT_EQ(bad.exit_code, 2);
}

TEST_F(spawn_test, host_programs_run_without_the_emulator) {
    const fakeboard::process_result shell = fakeboard::run({"/bin/sh", "-c", "echo here; exit 3"}, 30);
    ASSERT_TRUE(shell.exited) << shell.err;
    EXPECT_EQ(shell.exit_code, 3);
    EXPECT_EQ(shell.out, "here\n");
}

TEST_F(spawn_test, terminate_signal_reaches_the_daemon) {
    fakeboard::lay_out(fakeboard::reference_board());
    fakeboard::child_process child =
        fakeboard::spawn({fakeboard::daemon_path(), "-i", "100", "--root-dir", "/run/spawned"});
    ASSERT_GT(child.pid, 0);
    const bool published =
        support::wait_until([] { return fakeboard::file_exists("/run/spawned/power/vph_total"); }, 20);
    ::kill(child.pid, SIGTERM);
    const fakeboard::process_result result = fakeboard::wait_for(child, 20);
    ASSERT_TRUE(published) << result.err;
    ASSERT_TRUE(result.exited) << "signal " << result.term_signal << "; " << result.err;
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_NE(result.out.find("vantrel power monitor quitting...\n"), std::string::npos) << result.out;
}

} // namespace
