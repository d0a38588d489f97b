// A crowd at the control socket: run alone (RUN_SERIAL), since sixteen clients asking as fast as they
// can take every core and would disturb other tests' timing.
#include "support/control_client.h"

#include <atomic>
#include <cmath>
#include <thread>

namespace {

using blackbox::daemon_args;
using blackbox::k_root;
using namespace control;

class control_load : public control_socket_test {};

// 16 clients asking as fast as they can for 10 s at -i 100 --raw --energy: no cycle is lost, at most
// 100 latches on request a second, the counters stay exact, descriptors and memory stay flat.
TEST_F(control_load, sixteen_clients_asking_as_fast_as_they_can) {
    fakeboard::child_process child = start({"-i", "100", "--raw", "--energy"});
    fd_holder first_client(connect_client());
    ASSERT_GE(first_client.fd, 0);
    const reply first = parse_reply(ask(first_client.fd)); // after the first cycle
    ::usleep(500000);
    const long descriptors_idle = open_descriptors(child.pid);
    const std::int64_t idle_cpu_from = cpu_ns(child.pid);
    const double idle_from = fakeboard::monotonic_seconds();
    ::usleep(2000000);
    const double idle_s = fakeboard::monotonic_seconds() - idle_from;
    const std::int64_t idle_cpu = cpu_ns(child.pid) - idle_cpu_from;

    constexpr int k_clients = 16;
    constexpr double k_seconds = 10;
    std::vector<fd_holder> clients;
    clients.push_back(std::move(first_client));
    for (int i = 1; i < k_clients; ++i) {
        clients.emplace_back(connect_client());
        ASSERT_GE(clients.back().fd, 0);
    }
    std::vector<std::vector<std::pair<std::int64_t, std::int64_t>>> seen(k_clients); // (seq, ns)
    std::atomic<bool> go{false};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    const double load_from = fakeboard::monotonic_seconds();
    const std::int64_t load_cpu_from = cpu_ns(child.pid);
    long resident_early = 0;
    for (int i = 0; i < k_clients; ++i) {
        threads.emplace_back([&, i] {
            while (!go.load()) {
            }
            std::string request = "latch";
            while (fakeboard::monotonic_seconds() - load_from < k_seconds) {
                const std::string text = ask(clients[static_cast<std::size_t>(i)].fd, request);
                const std::size_t at = text.find("\nlatch,1,");
                if (at == std::string::npos) {
                    ++failures;
                    return;
                }
                const std::vector<std::string> f =
                    fields_of(text.substr(at + 1, text.find('\n', at + 1) - at - 1));
                seen[static_cast<std::size_t>(i)].emplace_back(std::stoll(f[3]), std::stoll(f[2]));
            }
        });
    }
    go = true;
    ::usleep(2000000);
    resident_early = resident_kib(child.pid);
    const long descriptors_loaded = open_descriptors(child.pid);
    for (std::thread &t : threads) {
        t.join();
    }
    const double load_s = fakeboard::monotonic_seconds() - load_from;
    const std::int64_t load_cpu = cpu_ns(child.pid) - load_cpu_from;
    const long resident_late = resident_kib(child.pid);
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(open_descriptors(child.pid), descriptors_loaded) << "descriptors flat";
    EXPECT_EQ(descriptors_loaded, descriptors_idle + k_clients - 1);
    EXPECT_LE(resident_late, resident_early + 64) << "resident memory flat (KiB)";
    const reply last = parse_reply(ask(clients[0].fd));
    ASSERT_TRUE(running(child));
    stop(child);

    // Every latch the clients saw, by its sequence: cycles' and requests' alike.
    std::map<std::int64_t, std::int64_t> latches;
    std::size_t replies = 0;
    for (const auto &client : seen) {
        replies += client.size();
        for (const auto &[sequence, ns] : client) {
            const auto [it, added] = latches.emplace(sequence, ns);
            EXPECT_EQ(it->second, ns) << "one sequence, one latch";
        }
    }
    // The cycles, from the device log: one line per period, none lost.
    const std::vector<std::string> log = support::lines_of(k_root + "/power/max34417_raw");
    std::vector<std::int64_t> cycle_ns;
    for (std::size_t i = 1; i < log.size(); ++i) {
        cycle_ns.push_back(std::llround(std::stod(fields_of(log[i])[1]) * 1e9));
    }
    ASSERT_GE(cycle_ns.size(), 100U);
    const double span_periods = static_cast<double>(cycle_ns.back() - cycle_ns.front()) / 1e8;
    EXPECT_EQ(static_cast<long long>(cycle_ns.size()) - 1, std::llround(span_periods)) << "a cycle was lost";
    std::int64_t latest_ns = 0;
    for (std::size_t i = 0; i < cycle_ns.size(); ++i) {
        latest_ns =
            std::max(latest_ns, cycle_ns[i] - (cycle_ns[0] + static_cast<std::int64_t>(i) * 100000000));
    }
    // Latches on request: those not within a tenth of a millisecond of a cycle's logged latch.
    std::vector<std::int64_t> requested;
    for (const auto &[sequence, ns] : latches) {
        const auto near = std::lower_bound(cycle_ns.begin(), cycle_ns.end(), ns - 100000);
        if (near == cycle_ns.end() || *near > ns + 100000) {
            requested.push_back(ns);
        }
    }
    std::int64_t closest_ns = INT64_MAX;
    for (std::size_t i = 1; i < requested.size(); ++i) {
        closest_ns = std::min(closest_ns, requested[i] - requested[i - 1]);
    }
    const double rate = static_cast<double>(requested.size()) / load_s;
    std::printf("  %zu replies in %.2f s from %zu latches: %zu on request (%.1f a second, closest %.3f ms "
                "apart); %zu cycles, the latest %.3f ms after its place in the schedule\n",
                replies, load_s, latches.size(), requested.size(), rate,
                static_cast<double>(closest_ns) / 1e6, cycle_ns.size(), static_cast<double>(latest_ns) / 1e6);
    const double per_latch_ns =
        static_cast<double>(load_cpu -
                            static_cast<std::int64_t>(static_cast<double>(idle_cpu) * load_s / idle_s)) /
        static_cast<double>(requested.size());
    std::printf("  daemon CPU: %.0f us/s idle, %.0f us/s under load; %.0f ns per latch on request; "
                "descriptors %ld idle, %ld loaded; resident %ld -> %ld KiB\n",
                static_cast<double>(idle_cpu) / 1e3 / idle_s, static_cast<double>(load_cpu) / 1e3 / load_s,
                per_latch_ns, descriptors_idle, descriptors_loaded, resident_early, resident_late);
    EXPECT_GE(closest_ns, 10000000) << "latches on request at least 10 ms apart";
    EXPECT_LE(rate, 100.0 + 1.0 / load_s);
    EXPECT_GT(requested.size(), 100U) << "the clients were served between cycles";
    expect_exact(first, last);
}

} // namespace
