// Watching a process or a file from outside while it runs.
#pragma once

#include <functional>
#include <string>

namespace support {

// Polls until `ready` holds or timeout_s passes; returns whether it held.
bool wait_until(const std::function<bool()> &ready, double timeout_s);

// What a spawned process has written so far to one of its captured streams (a file the fixture
// reads with pread, so the capture is not disturbed).
std::string captured_so_far(int fd);

} // namespace support
