// The events an inotify descriptor has queued, decoded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace support {

struct watch_event {
    int wd = -1;
    std::uint32_t mask = 0;
    std::string name; // empty for an event on the watched object itself
};

// Reads what is queued on a non-blocking inotify descriptor (one read, up to 64 KiB of events).
// Nothing queued gives an empty list.
std::vector<watch_event> read_watch_events(int fd);

} // namespace support
