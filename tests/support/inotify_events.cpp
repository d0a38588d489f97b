#include "inotify_events.h"

#include <sys/inotify.h>
#include <unistd.h>

namespace support {

std::vector<watch_event> read_watch_events(int fd) {
    std::vector<watch_event> events;
    alignas(inotify_event) char buffer[1 << 16];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    for (ssize_t off = 0; off < n;) {
        const auto *ev = reinterpret_cast<const inotify_event *>(buffer + off);
        events.push_back({ev->wd, ev->mask, ev->len > 0 ? std::string(ev->name) : std::string()});
        off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
    }
    return events;
}

} // namespace support
