#include "sysfs/sysfs.h"

#include "board.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

namespace {

class sysfs_files : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/vpm-sysfs-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fakeboard::remove_tree(dir_); }
    std::string file(const std::string &name, const std::string &text) {
        const std::string path = dir_ + "/" + name;
        fakeboard::write_file(path, text);
        return path;
    }
    std::string dir_;
};

TEST(parsers, decimal_accepts_only_trailing_line_space) {
    std::int64_t v = 7;
    EXPECT_EQ(parse_decimal_i64("42\n", &v), 0);
    EXPECT_EQ(v, 42);
    EXPECT_EQ(parse_decimal_i64("  -17 \t\r\n", &v), 0);
    EXPECT_EQ(v, -17);
    v = 7;
    for (const char *bad : {"42x", "42 43", "", "\n", "-", "x42", "42\v"}) {
        EXPECT_EQ(parse_decimal_i64(bad, &v), -1) << bad;
        EXPECT_EQ(v, 7) << "output must be untouched for " << bad;
    }
}

TEST(parsers, decimal_out_of_range_fails_and_keeps_value) {
    std::int64_t v = 5;
    EXPECT_EQ(parse_decimal_i64("9223372036854775808", &v), -1);
    EXPECT_EQ(parse_decimal_i64("-9223372036854775809", &v), -1);
    EXPECT_EQ(v, 5);
    EXPECT_EQ(parse_decimal_i64("9223372036854775807", &v), 0);
    EXPECT_EQ(v, LLONG_MAX);
}

TEST(parsers, real_and_hex_list) {
    double d = 1.0;
    EXPECT_EQ(parse_real("57.25\n", &d), 0);
    EXPECT_DOUBLE_EQ(d, 57.25);
    EXPECT_EQ(parse_real("abc", &d), -1);
    EXPECT_DOUBLE_EQ(d, 57.25);

    std::uint64_t values[3] = {};
    EXPECT_EQ(parse_hex_list("bcl: 1f 2 ffffffffffffffff", true, values, 3), 3);
    EXPECT_EQ(values[0], 0x1fU);
    EXPECT_EQ(values[1], 2U);
    EXPECT_EQ(values[2], UINT64_MAX);
    EXPECT_EQ(parse_hex_list("bcl: 1f 2", true, values, 3), 2);
    EXPECT_EQ(parse_hex_list("bcl: zz", true, values, 3), 0);
    // Without a colon parsing starts at the beginning.
    EXPECT_EQ(parse_hex_list("a b c d", true, values, 3), 3);
    EXPECT_EQ(values[2], 0xcU);
    EXPECT_EQ(parse_hex_list("1 2 3", true, nullptr, 3), -1);
    EXPECT_EQ(parse_hex_list("1 2 3", true, values, 0), -1);
    // An overflowing number stops the list.
    EXPECT_EQ(parse_hex_list("x: 1 10000000000000000 3", true, values, 3), 1);
}

TEST_F(sysfs_files, readers_on_files) {
    std::int64_t v = 0;
    EXPECT_EQ(sysfs_read_i64(file("a", "42\n").c_str(), &v), 0);
    EXPECT_EQ(v, 42);
    EXPECT_EQ(sysfs_read_i64(file("b", "42 \t\r\n").c_str(), &v), 0);
    EXPECT_EQ(sysfs_read_i64(file("c", "").c_str(), &v), -1);
    EXPECT_EQ(sysfs_read_i64((dir_ + "/missing").c_str(), &v), -1);
    EXPECT_EQ(sysfs_read_i64(dir_.c_str(), &v), -1) << "a directory is not an attribute";

    double d = 0;
    // Only the first 32 bytes count: the 33rd character would make this fail.
    EXPECT_EQ(sysfs_read_real(file("r", "1.25" + std::string(28, '0') + "x5678").c_str(), &d), 0);
    EXPECT_DOUBLE_EQ(d, 1.25);
    EXPECT_EQ(sysfs_read_real(file("r2", "1.25" + std::string(27, '0') + "x5678").c_str(), &d), -1);

    std::string line;
    EXPECT_EQ(sysfs_read_line(file("l", "word\r\nmore").c_str(), &line), 0);
    EXPECT_EQ(line, "word");
    EXPECT_EQ(sysfs_read_line(file("m", "whole").c_str(), &line), 0);
    EXPECT_EQ(line, "whole");

    std::uint64_t values[3] = {};
    EXPECT_EQ(sysfs_read_hex_list(file("h", "accum: a b c\n").c_str(), true, values, 3), 3);
    EXPECT_EQ(sysfs_read_hex_list((dir_ + "/missing").c_str(), true, values, 3), -1);

    std::string text;
    std::size_t length = 99;
    EXPECT_EQ(sysfs_read_all((dir_ + "/missing").c_str(), &text, &length, 0), -1);
    EXPECT_EQ(length, 0U);
    EXPECT_EQ(sysfs_read_all(file("x", "abc").c_str(), nullptr, nullptr, 0), -1);
}

TEST_F(sysfs_files, whole_file_reads_go_past_the_first_page) {
    // A number followed by more than a page of white space still parses: the whole file counts.
    std::int64_t v = 0;
    EXPECT_EQ(sysfs_read_i64(file("big", "123" + std::string(10000, ' ') + "\n").c_str(), &v), 0);
    EXPECT_EQ(v, 123);
    EXPECT_EQ(sysfs_read_i64(file("bigjunk", "123" + std::string(10000, ' ') + "x").c_str(), &v), -1);

    std::string text;
    std::size_t length = 0;
    const std::string content(3 * 65536 + 17, 'q');
    EXPECT_EQ(sysfs_read_all(file("all", content).c_str(), &text, &length, 0), 0);
    EXPECT_EQ(length, content.size());
    EXPECT_EQ(text, content);
    EXPECT_EQ(sysfs_read_all(file("lim", content).c_str(), &text, &length, 5000), 0);
    EXPECT_EQ(length, 5000U);
}

TEST_F(sysfs_files, write_truncates_or_appends) {
    const std::string path = file("w", "a much longer old value\n");
    EXPECT_EQ(sysfs_write(path.c_str(), "1", false), 0);
    EXPECT_EQ(fakeboard::read_file(path), "1");
    EXPECT_EQ(sysfs_write(path.c_str(), "2\n", true), 0);
    EXPECT_EQ(fakeboard::read_file(path), "12\n");
    EXPECT_EQ(sysfs_write((dir_ + "/nodir/f").c_str(), "1", false), -1);

    struct stat st {};
    const std::string fresh = dir_ + "/fresh";
    const mode_t old_mask = umask(022);
    EXPECT_EQ(sysfs_write(fresh.c_str(), "x", false), 0);
    umask(old_mask);
    ASSERT_EQ(stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644U);
}

TEST_F(sysfs_files, make_dirs_creates_levels_and_rejects_files) {
    const std::string two = dir_ + "/one/two";
    EXPECT_EQ(make_dirs(two.c_str(), 0755), 0);
    EXPECT_TRUE(path_exists(two.c_str()));
    EXPECT_EQ(make_dirs(two.c_str(), 0755), 0);
    const std::string through = file("plain", "x") + "/sub";
    EXPECT_EQ(make_dirs(through.c_str(), 0755), -1);
    EXPECT_FALSE(path_exists((dir_ + "/nothing").c_str()));
}

TEST(paths, a_path_that_does_not_fit_is_refused_not_cut) {
    path_buffer path;
    const std::string long_dir(1100, 'd');
    EXPECT_FALSE(format_path(path, "/tmp/%s/x", long_dir.c_str()));
    EXPECT_TRUE(format_path(path, "%s", std::string(1023, 'a').c_str()));
    EXPECT_FALSE(format_path(path, "%s", std::string(1024, 'a').c_str()));
    EXPECT_EQ(make_dirs(("/tmp/" + long_dir).c_str(), 0755), -1);
}

} // namespace
