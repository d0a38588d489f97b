#include "polling.h"

#include "process.h"

#include <unistd.h>

namespace support {

bool wait_until(const std::function<bool()> &ready, double timeout_s) {
    const double deadline = fakeboard::monotonic_seconds() + timeout_s;
    for (;;) {
        if (ready()) {
            return true;
        }
        if (fakeboard::monotonic_seconds() > deadline) {
            return false;
        }
        ::usleep(2000);
    }
}

std::string captured_so_far(int fd) {
    std::string text;
    if (fd < 0) {
        return text;
    }
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

} // namespace support
