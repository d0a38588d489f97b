// The metrics file with the real components a lab runs, from Debian's packages (scripts/lib/deps.sh, group
// "metrics"): promtool accepts it, node_exporter's textfile collector serves it, Prometheus scrapes it and
// evaluates the rules of docs/fleet.md. Servers listen on loopback ports of their own and are stopped by
// the test.
#include "support/board_test.h"
#include "support/daemon_run.h"
#include "support/exposition.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gmock/gmock.h>

#include <cmath>
#include <fstream>
#include <set>

#ifndef VPM_SOURCE_DIR
#error "VPM_SOURCE_DIR must name the source tree (docs/fleet.md)"
#endif

namespace {

using blackbox::daemon_args;
using fakeboard::read_file;

const char *const k_promtool = "/usr/bin/promtool";
const char *const k_prometheus = "/usr/bin/prometheus";
const char *const k_node_exporter = "/usr/bin/prometheus-node-exporter";

// A port nobody listens on now. Ports of our own, never the well-known 9090 and 9100.
int free_loopback_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = -1;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(fd);
    return port == 9090 || port == 9100 ? free_loopback_port() : port;
}

// Body of GET http://127.0.0.1:port/path, or "" when there is no 200 answer.
std::string http_get(int port, const std::string &path) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return "";
    }
    timeval timeout{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string response;
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
        const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (::write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
            char buffer[65536];
            ssize_t n = 0;
            while ((n = ::read(fd, buffer, sizeof buffer)) > 0) {
                response.append(buffer, static_cast<std::size_t>(n));
            }
        }
    }
    ::close(fd);
    const std::size_t body = response.find("\r\n\r\n");
    if (response.rfind("HTTP/1.0 200", 0) != 0 && response.rfind("HTTP/1.1 200", 0) != 0) {
        return "";
    }
    return body == std::string::npos ? "" : response.substr(body + 4);
}

// Series keyed with their labels in name order, as the exporter prints them.
std::map<std::string, double> canonical(const exposition::parsed &p, const std::string &prefix) {
    std::map<std::string, double> out;
    for (const auto &[series, value] : p.samples) {
        if (series.rfind(prefix, 0) != 0) {
            continue;
        }
        std::vector<std::string> labels;
        const std::size_t open = series.find('{');
        if (open != std::string::npos) {
            std::string label;
            bool quoted = false;
            for (std::size_t i = open + 1; i + 1 < series.size(); ++i) {
                const char c = series[i];
                if (quoted && c == '\\') {
                    label += c;
                    label += series[++i];
                    continue;
                }
                quoted = c == '"' ? !quoted : quoted;
                if (c == ',' && !quoted) {
                    labels.push_back(label);
                    label.clear();
                } else {
                    label += c;
                }
            }
            labels.push_back(label);
        }
        std::sort(labels.begin(), labels.end());
        std::string key = exposition::metric_name(series) + "{";
        for (const std::string &l : labels) {
            key += l + ",";
        }
        out[key + "}"] = std::strtod(value.c_str(), nullptr);
    }
    return out;
}

// The number of the first sample in a query API answer, NaN without one.
double first_value(const std::string &answer) {
    const std::size_t at = answer.find("\"value\":[");
    const std::size_t quote = at == std::string::npos ? at : answer.find(",\"", at);
    return quote == std::string::npos ? std::nan("") : std::strtod(answer.c_str() + quote + 2, nullptr);
}

// The rules file as docs/fleet.md shows it: the yaml block after its name.
std::string rules_from_fleet_doc() {
    const std::string doc = read_file(std::string(VPM_SOURCE_DIR) + "/docs/fleet.md");
    const std::size_t named = doc.find("`/etc/prometheus/rules/vantrel.rules.yml`");
    const std::size_t start = doc.find("```yaml\n", named);
    const std::size_t end = doc.find("```\n", start + 8);
    if (named == std::string::npos || start == std::string::npos || end == std::string::npos) {
        return "";
    }
    return doc.substr(start + 8, end - start - 8);
}

// A server the test started: stopped, and waited for, when the test ends however it ends.
struct server {
    fakeboard::child_process child;
    ~server() {
        if (child.pid > 0) {
            ::kill(child.pid, SIGTERM);
            (void)fakeboard::wait_for(child, 10);
        }
    }
};

class prometheus_stack : public board_test {
  protected:
    void lay_out_board() override {
        for (const char *program : {k_promtool, k_prometheus, k_node_exporter}) {
            if (::access(program, X_OK) != 0) {
                const std::string why = std::string(program) +
                                        " is missing: ./scripts/test installs it (scripts/lib/deps.sh, group "
                                        "metrics)";
                if (fakeboard::running_in_ci()) {
                    FAIL() << why;
                }
                GTEST_SKIP() << why;
            }
        }
        fakeboard::lay_out(fakeboard::reference_board());
    }
    exposition::temporary_directory textfiles;  // what the exporter reads
    exposition::temporary_directory server_dir; // Prometheus's configuration and storage
};

TEST_F(prometheus_stack, promtool_exporter_and_prometheus_take_the_file) {
    ASSERT_FALSE(textfiles.path.empty() || server_dir.path.empty());
    const std::string file = textfiles.path + "/vantrel.prom";
    server daemon{fakeboard::spawn(daemon_args({"-i", "1000", "--energy", "--metrics", file}))};
    // Every value the file's vph energy counter takes, read far more often than it changes.
    std::set<double> vph_joules;
    const auto remember = [&] {
        const std::string text = fakeboard::file_exists(file) ? read_file(file) : std::string();
        const std::string series = "vantrel_rail_energy_joules_total{device=\"max34417\",rail=\"vph\"} ";
        const std::size_t at = text.find(series);
        if (at != std::string::npos) {
            vph_joules.insert(std::strtod(text.c_str() + at + series.size(), nullptr));
        }
    };
    ASSERT_TRUE(
        support::wait_until([&] { return fakeboard::file_exists(file); }, 5 + fakeboard::timing_slack_s()));
    const exposition::parsed own = exposition::parse(read_file(file));

    // promtool's parser and linter (HELP on every metric, units, _total only on counters).
    const auto check =
        fakeboard::run({"/bin/sh", "-c", std::string(k_promtool) + " check metrics < " + file}, 30);
    ASSERT_TRUE(check.exited);
    EXPECT_EQ(check.exit_code, 0) << check.out << check.err;

    // node_exporter with only its textfile collector, serving the file's directory.
    const int exporter_port = free_loopback_port();
    ASSERT_GT(exporter_port, 0);
    server exporter{
        fakeboard::spawn({k_node_exporter, "--web.listen-address=127.0.0.1:" + std::to_string(exporter_port),
                          "--collector.disable-defaults", "--collector.textfile",
                          "--collector.textfile.directory=" + textfiles.path})};
    std::string served;
    ASSERT_TRUE(support::wait_until(
        [&] {
            served = http_get(exporter_port, "/metrics");
            return served.find("\nvantrel_cycles_total ") != std::string::npos;
        },
        15))
        << support::captured_so_far(exporter.child.err_fd);
    EXPECT_THAT(served, testing::HasSubstr("\nnode_textfile_scrape_error 0\n"));
    const auto from_exporter = canonical(exposition::parse(served), "vantrel_");
    const auto from_file = canonical(own, "vantrel_");
    ASSERT_EQ(from_exporter.size(), from_file.size());
    for (const auto &[series, value] : from_file) {
        ASSERT_EQ(from_exporter.count(series), 1U) << series;
        // The board holds still; only the daemon's clock, counts and energy move between the two reads.
        if (series.find("_seconds") == std::string::npos &&
            series.find("_joules_total") == std::string::npos &&
            series.rfind("vantrel_cycles_total", 0) != 0) {
            EXPECT_EQ(from_exporter.at(series), value) << series;
        }
    }
    EXPECT_NEAR(from_exporter.at("vantrel_rail_power_watts{device=\"max34417\",rail=\"vph\",}"),
                std::strtod(read_file("/run/power-monitor/power/vph").c_str(), nullptr), 5e-7);
    EXPECT_NEAR(from_exporter.at("vantrel_power_total_watts{total=\"vph_other\",}"),
                std::strtod(read_file("/run/power-monitor/power/vph_other").c_str(), nullptr), 5e-7);

    // The rules of docs/fleet.md pass promtool and are loaded by the server below.
    const std::string rules = server_dir.path + "/vantrel.rules.yml";
    const std::string rules_text = rules_from_fleet_doc();
    ASSERT_FALSE(rules_text.empty());
    std::ofstream(rules) << rules_text;
    const auto rules_check = fakeboard::run({k_promtool, "check", "rules", rules}, 30);
    ASSERT_TRUE(rules_check.exited);
    EXPECT_EQ(rules_check.exit_code, 0) << rules_check.out << rules_check.err;
    EXPECT_THAT(rules_check.out, testing::HasSubstr("SUCCESS: 3 rules found"));

    // Prometheus scraping that exporter every second, with a board label as in docs/fleet.md.
    const int prometheus_port = free_loopback_port();
    ASSERT_GT(prometheus_port, 0);
    std::ofstream(server_dir.path + "/prometheus.yml")
        << "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
        << "rule_files:\n  - " << rules << "\n"
        << "scrape_configs:\n  - job_name: vantrel-boards\n    static_configs:\n"
        << "      - targets: ['127.0.0.1:" << exporter_port
        << "']\n        labels:\n          board: fake-01\n";
    server prometheus{
        fakeboard::spawn({k_prometheus, "--config.file=" + server_dir.path + "/prometheus.yml",
                          "--storage.tsdb.path=" + server_dir.path + "/data",
                          "--web.listen-address=127.0.0.1:" + std::to_string(prometheus_port)})};
    const auto query = [&](const std::string &encoded) {
        return http_get(prometheus_port, "/api/v1/query?query=" + encoded);
    };
    std::string answer;
    ASSERT_TRUE(support::wait_until(
        [&] {
            remember();
            answer = query("vantrel_rail_power_watts%7Brail%3D%22vph%22%2Cboard%3D%22fake-01%22%7D");
            return answer.find("\"value\":[") != std::string::npos;
        },
        30))
        << answer << support::captured_so_far(prometheus.child.err_fd);
    EXPECT_THAT(answer, testing::HasSubstr("\"device\":\"max34417\""));
    EXPECT_EQ(first_value(answer), 0.35);

    // The recording rule: energy per rail per board, the mean power over the hour so far times 3600 s.
    ASSERT_TRUE(support::wait_until(
        [&] {
            remember();
            answer = query("board_rail%3Avantrel_rail_energy_joules%3A1h%7Brail%3D%22vph%22%7D");
            return answer.find("\"value\":[") != std::string::npos;
        },
        15))
        << answer;
    EXPECT_THAT(answer, testing::HasSubstr("\"board\":\"fake-01\""));
    EXPECT_NEAR(first_value(answer), 0.35 * 3600, 1e-9);

    // The energy counter as Prometheus stored it is a value the file held, once it has counted.
    ASSERT_TRUE(support::wait_until(
        [&] {
            remember();
            answer = query("vantrel_rail_energy_joules_total%7Brail%3D%22vph%22%7D");
            return first_value(answer) > 0.0;
        },
        20))
        << answer;
    remember();
    EXPECT_EQ(vph_joules.count(first_value(answer)), 1U) << answer << " among " << vph_joules.size();
}

} // namespace
