// Helpers for black-box tests: the daemon as a child process on the current fake board.
#pragma once

#include "board.h"
#include "process.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace blackbox {

// Lines of a text file; an absent file has none.
inline std::vector<std::string> lines_of(const std::string &path) {
    std::vector<std::string> out;
    if (!fakeboard::file_exists(path)) {
        return out;
    }
    const std::string text = fakeboard::read_file(path);
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            out.push_back(text.substr(start));
            break;
        }
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

inline std::vector<std::string> split(const std::string &line, char sep = ',') {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = line.find(sep, start);
        out.push_back(line.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) {
            return out;
        }
        start = end + 1;
    }
}

// What a captured stream holds so far, while the child still runs.
inline std::string peek(int fd) {
    std::string text;
    char buffer[4096];
    off_t offset = 0;
    for (;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, offset);
        if (n <= 0) {
            return text;
        }
        text.append(buffer, static_cast<std::size_t>(n));
        offset += n;
    }
}

inline std::size_t count_lines(const std::string &text, const std::string &line) {
    std::size_t n = 0;
    for (const std::string &l : split(text, '\n')) {
        n += l == line ? 1 : 0;
    }
    return n;
}

// Polls until `done` holds or timeout_s passes; returns whether it held.
template <typename Predicate> bool wait_until(Predicate done, double timeout_s) {
    const double deadline = fakeboard::monotonic_seconds() + timeout_s;
    while (!done()) {
        if (fakeboard::monotonic_seconds() > deadline) {
            return false;
        }
        ::usleep(2000);
    }
    return true;
}

inline std::vector<std::string> daemon_args(std::vector<std::string> options) {
    options.insert(options.begin(), fakeboard::daemon_path());
    return options;
}

} // namespace blackbox
