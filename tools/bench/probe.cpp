// A preloaded probe for the benchmark: counts heap allocations, counts cycles by the daemon's waits
// for its deadlines, measures how late each wake-up is, and stops the daemon after a set number of
// cycles so that two runs differ by an exact count. The daemon waits with ppoll, its timeout
// recomputed from the absolute deadline; a build that sleeps with clock_nanosleep(TIMER_ABSTIME) is
// counted by that call (scripts/bench --daemon measures older builds too). At exit it writes one line of
// key=value figures to $VPM_PROBE_OUT.
//
//   VPM_PROBE_CYCLES=N  stop after N cycles (a SIGTERM before the N-th sleep: that cycle is the last)
//   VPM_PROBE_OUT=FILE  where the report goes (nothing is written without it)
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

extern "C" {
void *__libc_malloc(std::size_t size);
void *__libc_calloc(std::size_t count, std::size_t size);
void *__libc_realloc(void *ptr, std::size_t size);
void *__libc_memalign(std::size_t alignment, std::size_t size);
}

namespace {

using sleep_function = int (*)(clockid_t, int, const timespec *, timespec *);
using ppoll_function = int (*)(pollfd *, nfds_t, const timespec *, const sigset_t *);

struct probe_state {
    std::uint64_t allocations = 0;
    // Allocations counted when the second and the last sleep began: the cycles between are steady.
    std::uint64_t allocations_at_second_sleep = 0;
    std::uint64_t allocations_at_last_sleep = 0;
    std::uint64_t sleeps = 0;
    std::uint64_t stop_after = 0;
    timespec last_deadline{};
    std::int64_t period_ns = 0;
    // Wake-up lateness of every cycle, in nanoseconds.
    std::int64_t *lateness = nullptr;
    std::uint64_t lateness_count = 0;
    std::uint64_t lateness_capacity = 0;
    // The ppoll wait: whether the last call ended a wait (it timed out, or it only looked because the
    // deadline was already due), so that the next call begins the next cycle's wait; and the
    // deadline that cycle waits for.
    bool wait_ended = true;
    timespec cycle_deadline{};
};

probe_state state;

std::int64_t to_ns(const timespec &t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

void record_lateness(std::int64_t ns) {
    if (state.lateness_count == state.lateness_capacity) {
        const std::uint64_t grown = state.lateness_capacity == 0 ? 4096 : state.lateness_capacity * 2;
        void *p = __libc_realloc(state.lateness, grown * sizeof(std::int64_t));
        if (p == nullptr) {
            return;
        }
        state.lateness = static_cast<std::int64_t *>(p);
        state.lateness_capacity = grown;
    }
    state.lateness[state.lateness_count++] = ns;
}

std::int64_t vm_hwm_kib() {
    const int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    static char text[8192];
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0) {
        return -1;
    }
    text[n] = '\0';
    const char *line = std::strstr(text, "VmHWM:");
    return line != nullptr ? std::strtoll(line + 6, nullptr, 10) : -1;
}

std::int64_t percentile(const std::int64_t *sorted, std::uint64_t count, double fraction) {
    if (count == 0) {
        return 0;
    }
    auto index = static_cast<std::uint64_t>(fraction * static_cast<double>(count - 1) + 0.5);
    return sorted[std::min(index, count - 1)];
}

__attribute__((constructor)) void probe_start() {
    const char *cycles = std::getenv("VPM_PROBE_CYCLES");
    if (cycles != nullptr) {
        state.stop_after = std::strtoull(cycles, nullptr, 10);
    }
}

__attribute__((destructor)) void probe_report() {
    const char *out = std::getenv("VPM_PROBE_OUT");
    // A process that never slept on a deadline is a wrapper the probe was passed through (strace,
    // valgrind's launcher), not the daemon: its figures would overwrite the daemon's.
    if (out == nullptr || state.sleeps == 0) {
        return;
    }
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    // The first wake-up follows the one-second start delay; the schedule is judged from the second.
    std::int64_t *late = state.lateness_count > 1 ? state.lateness + 1 : state.lateness;
    const std::uint64_t count = state.lateness_count > 1 ? state.lateness_count - 1 : state.lateness_count;
    std::sort(late, late + count);
    std::uint64_t late_cycles = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        late_cycles += (state.period_ns > 0 && late[i] > state.period_ns) ? 1 : 0;
    }
    const std::uint64_t steady_cycles = state.sleeps > 2 ? state.sleeps - 2 : 0;
    char line[1024];
    const int n = std::snprintf(
        line, sizeof line,
        "cycles=%llu allocs=%llu steady_cycles=%llu steady_allocs=%llu utime_us=%lld stime_us=%lld "
        "vmhwm_kib=%lld period_ns=%lld wake_count=%llu wake_late=%llu wake_p50_ns=%lld wake_p99_ns=%lld "
        "wake_max_ns=%lld\n",
        static_cast<unsigned long long>(state.sleeps), static_cast<unsigned long long>(state.allocations),
        static_cast<unsigned long long>(steady_cycles),
        static_cast<unsigned long long>(state.allocations_at_last_sleep - state.allocations_at_second_sleep),
        static_cast<long long>(usage.ru_utime.tv_sec) * 1000000LL + usage.ru_utime.tv_usec,
        static_cast<long long>(usage.ru_stime.tv_sec) * 1000000LL + usage.ru_stime.tv_usec,
        static_cast<long long>(vm_hwm_kib()), static_cast<long long>(state.period_ns),
        static_cast<unsigned long long>(count), static_cast<unsigned long long>(late_cycles),
        static_cast<long long>(percentile(late, count, 0.50)),
        static_cast<long long>(percentile(late, count, 0.99)),
        static_cast<long long>(count != 0 ? late[count - 1] : 0));
    const int fd = ::open(out, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0 && n > 0) {
        (void)!::write(fd, line, static_cast<std::size_t>(n));
    }
    if (fd >= 0) {
        ::close(fd);
    }
}

// A cycle's wait begins, whichever call the daemon waits with: count it, note the allocations so far,
// and ask for the stop before the wait starts, so that the loop runs this last cycle, then stops.
void begin_cycle_wait() {
    ++state.sleeps;
    if (state.sleeps == 2) {
        state.allocations_at_second_sleep = state.allocations;
    }
    state.allocations_at_last_sleep = state.allocations;
    if (state.stop_after != 0 && state.sleeps == state.stop_after) {
        ::raise(SIGTERM);
    }
}

} // namespace

extern "C" {

void *malloc(std::size_t size) {
    ++state.allocations;
    return __libc_malloc(size);
}

void *calloc(std::size_t count, std::size_t size) {
    ++state.allocations;
    return __libc_calloc(count, size);
}

void *realloc(void *ptr, std::size_t size) {
    ++state.allocations;
    return __libc_realloc(ptr, size);
}

void *aligned_alloc(std::size_t alignment, std::size_t size) {
    ++state.allocations;
    return __libc_memalign(alignment, size);
}

void *memalign(std::size_t alignment, std::size_t size) {
    ++state.allocations;
    return __libc_memalign(alignment, size);
}

int posix_memalign(void **out, std::size_t alignment, std::size_t size) {
    ++state.allocations;
    void *p = __libc_memalign(alignment, size);
    if (p == nullptr) {
        return ENOMEM;
    }
    *out = p;
    return 0;
}

int clock_nanosleep(clockid_t clock, int flags, const timespec *request, timespec *remain) {
    static const auto real = reinterpret_cast<sleep_function>(::dlsym(RTLD_NEXT, "clock_nanosleep"));
    const bool deadline = (flags & TIMER_ABSTIME) != 0 && clock == CLOCK_MONOTONIC && request != nullptr;
    // The loop repeats a sleep that a signal interrupted with the same deadline: one cycle, one count.
    const bool new_cycle = deadline && (request->tv_sec != state.last_deadline.tv_sec ||
                                        request->tv_nsec != state.last_deadline.tv_nsec);
    if (new_cycle) {
        if (state.sleeps > 0) {
            state.period_ns = to_ns(*request) - to_ns(state.last_deadline);
        }
        state.last_deadline = *request;
        begin_cycle_wait();
    }
    const int rc = real(clock, flags, request, remain);
    if (new_cycle && rc == 0) {
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        record_lateness(to_ns(now) - to_ns(*request));
    }
    return rc;
}

// A wait of the daemon's loop: ppoll with a timeout computed from the cycle's absolute deadline. A
// call after one that ended a wait begins a cycle; calls after a client or a signal woke the wait
// (requests served between cycles) go on with the same cycle. Counting assumes periods of at most a
// second (the daemon waits in slices of a second) and no requests, as in scripts/bench.
int ppoll(pollfd *fds, nfds_t count, const timespec *timeout, const sigset_t *mask) {
    static const auto real = reinterpret_cast<ppoll_function>(::dlsym(RTLD_NEXT, "ppoll"));
    if (timeout == nullptr) {
        return real(fds, count, timeout, mask);
    }
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const bool due = timeout->tv_sec == 0 && timeout->tv_nsec == 0;
    const bool new_cycle = state.wait_ended;
    if (new_cycle) {
        std::int64_t deadline_ns = to_ns(now) + to_ns(*timeout);
        if (due && state.sleeps > 0) {
            // Already overdue: its place in the schedule is one period after the previous deadline.
            deadline_ns = to_ns(state.last_deadline) + state.period_ns;
        } else if (state.sleeps > 0) {
            state.period_ns = deadline_ns - to_ns(state.last_deadline);
        }
        state.cycle_deadline = timespec{static_cast<time_t>(deadline_ns / 1000000000LL),
                                        static_cast<long>(deadline_ns % 1000000000LL)};
        state.last_deadline = state.cycle_deadline;
        begin_cycle_wait();
    }
    const int rc = real(fds, count, timeout, mask);
    state.wait_ended = rc == 0 || due;
    if (state.wait_ended) {
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        record_lateness(to_ns(now) - to_ns(state.cycle_deadline));
    }
    return rc;
}

} // extern "C"
