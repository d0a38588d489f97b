#include "sources/attributes.h"

#include "board.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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
    EXPECT_EQ(source_read_real(file("r", "1.25" + std::string(28, '0') + "x5678").c_str(), &d), 0);
    EXPECT_DOUBLE_EQ(d, 1.25);
    EXPECT_EQ(source_read_real(file("r2", "1.25" + std::string(27, '0') + "x5678").c_str(), &d), -1);

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

TEST_F(sysfs_files, whole_file_reads_go_past_the_first_page_up_to_the_source_cap) {
    // A number followed by more than a page of white space still parses: the whole file counts.
    std::int64_t v = 0;
    EXPECT_EQ(sysfs_read_i64(file("big", "123" + std::string(10000, ' ') + "\n").c_str(), &v), 0);
    EXPECT_EQ(v, 123);
    EXPECT_EQ(sysfs_read_i64(file("bigjunk", "123" + std::string(10000, ' ') + "x").c_str(), &v), -1);

    std::string text;
    std::size_t length = 0;
    const std::string content(k_max_source_bytes, 'q');
    EXPECT_EQ(sysfs_read_all(file("all", content).c_str(), &text, &length, 0), 0);
    EXPECT_EQ(length, content.size());
    EXPECT_EQ(text, content);
    // One byte more and the source is unreadable, unless the caller asked for a prefix.
    EXPECT_EQ(sysfs_read_all(file("over", content + "q").c_str(), &text, &length, 0), -1);
    EXPECT_EQ(sysfs_read_i64(file("overnum", "1" + std::string(k_max_source_bytes, ' ')).c_str(), &v), -1);
    EXPECT_EQ(sysfs_read_all(file("lim", content + "q").c_str(), &text, &length, 5000), 0);
    EXPECT_EQ(length, 5000U);
}

TEST_F(sysfs_files, sources_are_never_read_through_a_final_symlink) {
    const std::string secret = file("secret", "4242\n");
    const std::string link = dir_ + "/link";
    ASSERT_EQ(symlink(secret.c_str(), link.c_str()), 0);
    std::int64_t v = 0;
    double real = 0.0;
    EXPECT_EQ(sysfs_read_i64(link.c_str(), &v), -1);
    EXPECT_EQ(source_read_real(link.c_str(), &real, source_trust::user_owned), -1);
    // A linked directory on the way is fine, as sysfs class entries are.
    const std::string linked_dir = dir_ + "/classlink";
    ASSERT_EQ(symlink(dir_.c_str(), linked_dir.c_str()), 0);
    EXPECT_EQ(sysfs_read_i64((linked_dir + "/secret").c_str(), &v), 0);
    EXPECT_EQ(v, 4242);
}

TEST_F(sysfs_files, user_owned_sources_must_be_regular_files_and_never_block) {
    const std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    double real = 0.0;
    // A blocking open of a FIFO with no writer would never return.
    EXPECT_EQ(source_read_real(fifo.c_str(), &real, source_trust::user_owned), -1);
    EXPECT_EQ(source_read_real(dir_.c_str(), &real, source_trust::user_owned), -1);
    EXPECT_EQ(source_read_real(file("pct", "87.5\n").c_str(), &real, source_trust::user_owned), 0);
    EXPECT_DOUBLE_EQ(real, 87.5);
}

TEST_F(sysfs_files, control_writes_truncate_and_never_create) {
    const std::string path = file("w", "a much longer old value\n");
    EXPECT_EQ(sysfs_write_control(path.c_str(), "1"), 0);
    EXPECT_EQ(fakeboard::read_file(path), "1");
    errno = 0;
    EXPECT_EQ(sysfs_write_control((dir_ + "/absent").c_str(), "1"), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(path_exists((dir_ + "/absent").c_str()));
}

TEST(paths, a_path_that_does_not_fit_is_refused_not_cut) {
    path_buffer path;
    const std::string long_dir(1100, 'd');
    EXPECT_FALSE(join_path(path, {"/tmp/", long_dir, "/x"}));
    EXPECT_STREQ(path, "");
    EXPECT_TRUE(join_path(path, {std::string(1000, 'a'), std::string(23, 'b')}));
    EXPECT_EQ(std::string(path), std::string(1000, 'a') + std::string(23, 'b'));
    EXPECT_FALSE(join_path(path, {std::string(1000, 'a'), std::string(24, 'b')}));
    // A path kept for the run that did not fit is empty, and reading or writing it fails unopened.
    EXPECT_EQ(joined_path({std::string(1024, 'a')}), "");
    std::int64_t v = 0;
    EXPECT_EQ(sysfs_read_i64("", &v), -1);
    EXPECT_EQ(sysfs_write_control("", "1"), -1);
}

} // namespace
