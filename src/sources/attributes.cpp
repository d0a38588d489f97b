#include "sources/attributes.h"

#include "common/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace {

constexpr std::size_t k_local_text = 4096;
constexpr std::size_t k_real_limit = 32;
constexpr std::size_t k_spill_chunk = 65536;

// An attribute's text: small files stay on the stack, larger ones spill to the heap.
struct attribute_text {
    char local[k_local_text + 1];
    std::string spill;
    char *text = local;
    std::size_t length = 0;
};

// Opens a source for reading. A symlink as the last component is never followed: a link planted
// there would publish whatever it points at. A source that a non-root user can create is opened
// without blocking (a FIFO there would freeze the cycle) and read only when it is a regular file.
// Kernel files keep a plain blocking open, since a driver may honour O_NONBLOCK on read.
int open_source(const char *path, source_trust trust) {
    if (trust == source_trust::kernel) {
        return ::open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    }
    unique_fd file(::open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
    struct stat st {};
    if (!file.valid() || ::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return -1;
    }
    return std::exchange(file.fd, -1);
}

// Why a single read is enough: a sysfs attribute hands out its whole text in the first read at
// offset 0 (its show() output is at most a page), and a regular file returns all of its bytes up
// to its end in one read. So a read that comes back shorter than the room offered has reached the
// end and no size query or confirming read is needed. Only a read that fills the room goes on,
// until the file reports its end. With no limit of its own, a source longer than
// k_max_source_bytes is unreadable: an endless one (a character device) must not grow memory.
int read_attribute(const char *path, std::size_t limit, attribute_text &out,
                   source_trust trust = source_trust::kernel) {
    if (path[0] == '\0') {
        return -1;
    }
    unique_fd file(open_source(path, trust));
    if (!file.valid()) {
        return -1;
    }
    const std::size_t room = (limit != 0 && limit < k_local_text) ? limit : k_local_text;
    const ssize_t first = ::read(file.fd, out.local, room);
    if (first < 0) {
        return -1;
    }
    auto total = static_cast<std::size_t>(first);
    if (total < room || (limit != 0 && total >= limit)) {
        out.local[total] = '\0';
        out.text = out.local;
        out.length = total;
        return 0;
    }
    // One byte beyond the cap tells an over-long source from one that fills it exactly.
    const std::size_t stop = limit != 0 ? std::min(limit, k_max_source_bytes) : k_max_source_bytes + 1;
    try {
        out.spill.assign(out.local, total);
        while (total < stop) {
            const std::size_t chunk = std::min(k_spill_chunk, stop - total);
            const std::size_t old = out.spill.size();
            out.spill.resize(old + chunk);
            const ssize_t got = ::read(file.fd, out.spill.data() + old, chunk);
            if (got < 0) {
                return -1;
            }
            out.spill.resize(old + static_cast<std::size_t>(got));
            total += static_cast<std::size_t>(got);
            if (got == 0) {
                break;
            }
        }
    } catch (const std::bad_alloc &) {
        return -1;
    }
    if (total > k_max_source_bytes) {
        return -1;
    }
    out.text = out.spill.data();
    out.length = total;
    return 0;
}

// Cuts text in place at the first '\n' or '\r'; returns the remaining length.
std::size_t cut_at_line_end(char *text) {
    const std::size_t n = std::strcspn(text, "\n\r");
    text[n] = '\0';
    return n;
}

bool only_line_space(const char *p) {
    for (; *p != '\0'; ++p) {
        if (*p != ' ' && *p != '\t' && *p != '\n' && *p != '\r') {
            return false;
        }
    }
    return true;
}

} // namespace

int parse_decimal_i64(const char *text, std::int64_t *value) {
    char *end = nullptr;
    errno = 0;
    const long long parsed = std::strtoll(text, &end, 10);
    const int parse_errno = errno;
    if (end == text || !only_line_space(end) || parse_errno != 0) {
        return -1;
    }
    *value = parsed;
    return 0;
}

int parse_real(const char *text, double *value) {
    char *end = nullptr;
    errno = 0;
    const double parsed = std::strtod(text, &end);
    const int parse_errno = errno;
    if (end == text || !only_line_space(end) || parse_errno != 0) {
        return -1;
    }
    *value = parsed;
    return 0;
}

int parse_hex_list(const char *text, bool skip_to_colon, std::uint64_t *values, std::size_t capacity) {
    if (values == nullptr || capacity == 0) {
        return -1;
    }
    const char *p = text;
    if (skip_to_colon) {
        const char *colon = std::strchr(text, ':');
        if (colon != nullptr) {
            p = colon + 1;
        }
    }
    std::size_t count = 0;
    while (count < capacity) {
        char *end = nullptr;
        errno = 0;
        const unsigned long long parsed = std::strtoull(p, &end, 16);
        if (end == p || errno != 0) {
            break;
        }
        values[count++] = parsed;
        p = end;
    }
    return static_cast<int>(count);
}

int sysfs_read_all(const char *path, std::string *text, std::size_t *length, std::size_t limit) {
    if (text == nullptr) {
        return -1;
    }
    text->clear();
    if (length != nullptr) {
        *length = 0;
    }
    attribute_text raw;
    if (read_attribute(path, limit, raw) != 0) {
        return -1;
    }
    try {
        text->assign(raw.text, raw.length);
    } catch (const std::bad_alloc &) {
        return -1;
    }
    if (length != nullptr) {
        *length = raw.length;
    }
    return 0;
}

int sysfs_read_line(const char *path, std::string *text) {
    if (text == nullptr) {
        return -1;
    }
    text->clear();
    attribute_text raw;
    if (read_attribute(path, 0, raw) != 0) {
        return -1;
    }
    const std::size_t n = cut_at_line_end(raw.text);
    try {
        text->assign(raw.text, n);
    } catch (const std::bad_alloc &) {
        return -1;
    }
    return 0;
}

int sysfs_read_i64(const char *path, std::int64_t *value) {
    attribute_text raw;
    if (read_attribute(path, 0, raw) != 0) {
        return -1;
    }
    return parse_decimal_i64(raw.text, value);
}

int source_read_real(const char *path, double *value, source_trust trust) {
    attribute_text raw;
    if (read_attribute(path, k_real_limit, raw, trust) != 0) {
        return -1;
    }
    return parse_real(raw.text, value);
}

int sysfs_read_hex_list(const char *path, bool skip_to_colon, std::uint64_t *values, std::size_t capacity) {
    if (values == nullptr || capacity == 0) {
        return -1;
    }
    attribute_text raw;
    // Room for `capacity` numbers of 16 hex digits with one separator each, and 64 bytes for the
    // label before the colon: a longer file is cut there and fails to parse, as a corrupt one should.
    if (read_attribute(path, capacity * 17 + 64, raw) != 0) {
        return -1;
    }
    return parse_hex_list(raw.text, skip_to_colon, values, capacity);
}

int sysfs_write_control(const char *path, std::string_view text) {
    if (path[0] == '\0') {
        errno = ENAMETOOLONG;
        return -1;
    }
    // Never O_CREAT: a missing attribute is a failed write, not a new file under /sys.
    unique_fd file(::open(path, O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW));
    if (!file.valid()) {
        return -1;
    }
    const ssize_t written = ::write(file.fd, text.data(), text.size());
    if (written >= 0 && static_cast<std::size_t>(written) != text.size()) {
        errno = EIO;
        return -1;
    }
    return written < 0 ? -1 : 0;
}

bool path_exists(const char *path) {
    struct stat st {};
    return ::stat(path, &st) == 0;
}
