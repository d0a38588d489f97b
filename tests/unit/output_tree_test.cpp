#include "publish/output_tree.h"

#include "board.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

using fakeboard::file_exists;
using fakeboard::read_file;
using fakeboard::write_file;

// A private directory under /tmp: sticky and world-writable above, ours below.
class output_tree_files : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/vpm-tree-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
        root_ = dir_ + "/root";
    }
    void TearDown() override { fakeboard::remove_tree(dir_); }

    int write(const std::string &root, const char *name, const char *text, bool append = false) {
        output_tree tree;
        if (open_output_tree(root.c_str(), false, tree) != 0) {
            return -2;
        }
        return write_output_file(tree, output_dir::power, name, text, append);
    }

    std::string dir_;
    std::string root_;
};

// Modes under an inherited umask are the daemon's (it sets its own); the black-box suite checks them.
TEST_F(output_tree_files, writes_truncate_or_append_and_make_the_whole_tree) {
    EXPECT_EQ(write(root_, "vph", "a much longer old value\n"), 0);
    EXPECT_EQ(write(root_, "vph", "1"), 0);
    EXPECT_EQ(write(root_, "vph", "2\n", true), 0);
    EXPECT_EQ(read_file(root_ + "/power/vph"), "12\n");
    for (const char *dir : {"/voltage", "/accumulator", "/timestamp"}) {
        EXPECT_TRUE(file_exists(root_ + dir)) << dir;
    }
    // The whole path must still fit in a path buffer, as it did when paths were formatted.
    EXPECT_EQ(write(root_, std::string(1100, 'n').c_str(), "1\n"), -1);
}

TEST_F(output_tree_files, the_root_path_is_followed_and_resolved_afresh) {
    const std::string link = dir_ + "/link";
    ASSERT_EQ(symlink("root", link.c_str()), 0);
    EXPECT_EQ(write(link, "vph", "1\n"), 0);
    EXPECT_EQ(read_file(root_ + "/power/vph"), "1\n");
    // Re-pointed while running: the next open follows the new target.
    ASSERT_EQ(unlink(link.c_str()), 0);
    ASSERT_EQ(symlink((dir_ + "/other").c_str(), link.c_str()), 0);
    EXPECT_EQ(write(link, "vph", "2\n"), 0);
    EXPECT_EQ(read_file(dir_ + "/other/power/vph"), "2\n");
    // "..", "." and repeated slashes resolve like the kernel resolves them; relative roots too.
    EXPECT_EQ(write(dir_ + "//other/./power/../", "vph", "3\n"), 0);
    EXPECT_EQ(read_file(dir_ + "/other/power/vph"), "3\n");
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    EXPECT_EQ(write("other", "vph", "4\n"), 0);
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_EQ(read_file(dir_ + "/other/power/vph"), "4\n");
}

TEST_F(output_tree_files, a_root_others_can_change_is_refused_with_nothing_written) {
    fakeboard::make_directories(root_);
    for (mode_t mode : {0775, 0757, 01777}) {
        ASSERT_EQ(chmod(root_.c_str(), mode), 0);
        EXPECT_EQ(write(root_, "vph", "1\n"), -2) << std::oct << mode;
        EXPECT_FALSE(file_exists(root_ + "/power")) << std::oct << mode;
    }
    // Above the root, a writable directory is accepted only when sticky.
    ASSERT_EQ(chmod(root_.c_str(), 0755), 0);
    ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
    EXPECT_EQ(write(root_ + "/sub", "vph", "1\n"), -2);
    ASSERT_EQ(chmod(dir_.c_str(), 01777), 0);
    EXPECT_EQ(write(root_ + "/sub", "vph", "1\n"), 0);
    // A root that is a file, or lies beyond one, cannot be had.
    write_file(dir_ + "/plain", "x");
    EXPECT_EQ(write(dir_ + "/plain", "vph", "1\n"), -2);
    EXPECT_EQ(write(dir_ + "/plain/sub", "vph", "1\n"), -2);
    EXPECT_EQ(read_file(dir_ + "/plain"), "x");
}

TEST_F(output_tree_files, nothing_below_the_root_but_our_own_regular_files_is_written) {
    const std::string victim = dir_ + "/victim";
    write_file(victim, "root:x:0:0\n");
    ASSERT_EQ(write(root_, "first", "1\n"), 0);

    ASSERT_EQ(symlink(victim.c_str(), (root_ + "/power/vph").c_str()), 0);
    EXPECT_EQ(write(root_, "vph", "1\n"), -1);
    ASSERT_EQ(link(victim.c_str(), (root_ + "/power/hard").c_str()), 0);
    EXPECT_EQ(write(root_, "hard", "1\n"), -1);
    EXPECT_EQ(write(root_, "hard", "1\n", true), -1);
    ASSERT_EQ(mkfifo((root_ + "/power/fifo").c_str(), 0644), 0);
    EXPECT_EQ(write(root_, "fifo", "1\n"), -1) << "and must not block";
    fakeboard::make_directories(root_ + "/power/dir");
    EXPECT_EQ(write(root_, "dir", "1\n"), -1);
    EXPECT_EQ(read_file(victim), "root:x:0:0\n");

    // A directory of the tree replaced by a link: nothing goes through it.
    const std::string elsewhere = dir_ + "/elsewhere";
    fakeboard::make_directories(elsewhere);
    fakeboard::remove_tree(root_ + "/power");
    ASSERT_EQ(symlink(elsewhere.c_str(), (root_ + "/power").c_str()), 0);
    EXPECT_EQ(write(root_, "vph", "1\n"), -1);
    EXPECT_FALSE(file_exists(elsewhere + "/vph"));
}

} // namespace
