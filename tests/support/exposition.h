// Reading a Prometheus text exposition back for checks: series and their values, and the rules of the
// format the daemon's file must keep (HELP and TYPE first, one block per metric, no duplicates, no
// timestamps).
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace exposition {

struct parsed {
    std::map<std::string, std::string> samples; // series text, e.g. name{a="b"}, to its value text
    std::map<std::string, std::string> types;   // metric name to its TYPE
    std::vector<std::string> problems;
};

inline std::string metric_name(const std::string &series) {
    return series.substr(0, series.find('{'));
}

inline parsed parse(const std::string &text) {
    parsed out;
    std::set<std::string> helped;
    std::set<std::string> closed;
    std::string current;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            out.problems.push_back("last line has no line feed");
            end = text.size();
        }
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.rfind("# HELP ", 0) == 0 || line.rfind("# TYPE ", 0) == 0) {
            const std::string rest = line.substr(7);
            const std::string name = rest.substr(0, rest.find(' '));
            if (name != current) {
                if (closed.count(name) != 0) {
                    out.problems.push_back("metric reopened: " + name);
                }
                if (!current.empty()) {
                    closed.insert(current);
                }
                current = name;
            }
            if (line[2] == 'H') {
                helped.insert(name);
            } else {
                out.types[name] = rest.substr(rest.find(' ') + 1);
            }
            continue;
        }
        const std::size_t space = line.rfind(' ');
        if (line.empty() || line[0] == '#' || space == std::string::npos) {
            out.problems.push_back("unexpected line: " + line);
            continue;
        }
        const std::string series = line.substr(0, space);
        const std::string value = line.substr(space + 1);
        const std::string name = metric_name(series);
        // A timestamp would leave "name{...} value" before the last space.
        if (series.back() != '}' && series.find(' ') != std::string::npos) {
            out.problems.push_back("sample with a timestamp: " + line);
        }
        if (name != current || helped.count(name) == 0 || out.types.count(name) == 0) {
            out.problems.push_back("sample without its HELP and TYPE just before: " + line);
        }
        if (!out.samples.emplace(series, value).second) {
            out.problems.push_back("duplicate series: " + series);
        }
        char *parse_end = nullptr;
        (void)std::strtod(value.c_str(), &parse_end);
        if (value.empty() || *parse_end != '\0') {
            out.problems.push_back("not a number: " + line);
        }
    }
    return out;
}

inline double value_of(const parsed &p, const std::string &series) {
    const auto it = p.samples.find(series);
    return it == p.samples.end() ? std::nan("") : std::strtod(it->second.c_str(), nullptr);
}

// A directory for metrics files under the host's /tmp, 0755 as node_exporter's default one is, removed
// with everything in it at the end of the test.
struct temporary_directory {
    std::string path;
    temporary_directory() {
        char pattern[] = "/tmp/vpm-metrics-XXXXXX";
        if (::mkdtemp(pattern) != nullptr && ::chmod(pattern, 0755) == 0) {
            path = pattern;
        }
    }
    ~temporary_directory() {
        std::error_code ec;
        if (!path.empty()) {
            std::filesystem::remove_all(path, ec);
        }
    }
    temporary_directory(const temporary_directory &) = delete;
    temporary_directory &operator=(const temporary_directory &) = delete;
};

} // namespace exposition
