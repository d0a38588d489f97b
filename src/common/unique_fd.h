// Sole owner of one file descriptor.
#pragma once

#include <unistd.h>

#include <utility>

struct unique_fd {
    int fd = -1;

    unique_fd() = default;
    explicit unique_fd(int f) : fd(f) {}
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    unique_fd(unique_fd &&other) noexcept : fd(std::exchange(other.fd, -1)) {}
    unique_fd &operator=(unique_fd &&other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.fd, -1));
        }
        return *this;
    }
    ~unique_fd() { reset(); }

    void reset(int f = -1) {
        if (fd >= 0) {
            ::close(fd);
        }
        fd = f;
    }
    [[nodiscard]] bool valid() const { return fd >= 0; }
};
