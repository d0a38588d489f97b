#include "publish/csv_line.h"

#include <cstdarg>
#include <cstdio>

namespace {

int csv_line_vappend(csv_line &line, const char *format, va_list args) {
    if (line.length >= line.capacity) {
        return -1;
    }
    const std::size_t room = line.capacity - line.length;
    const int n = std::vsnprintf(line.buffer + line.length, room, format, args);
    if (n < 0) {
        return -1;
    }
    if (static_cast<std::size_t>(n) < room) {
        line.length += static_cast<std::size_t>(n);
        return 0;
    }
    line.length = line.capacity - 1;
    return -1;
}

} // namespace

void csv_line_init(csv_line &line, char *buffer, std::size_t capacity) {
    line.buffer = buffer;
    line.capacity = capacity;
    line.length = 0;
    line.first_field = 1;
    if (capacity != 0) {
        buffer[0] = '\0';
    }
}

int csv_line_append(csv_line &line, const char *format, ...) {
    va_list args;
    va_start(args, format);
    const int rc = csv_line_vappend(line, format, args);
    va_end(args);
    return rc;
}

int csv_line_add_field(csv_line &line, const char *format, ...) {
    if (line.first_field == 0 && csv_line_append(line, ",") != 0) {
        return -1;
    }
    line.first_field = 0;
    va_list args;
    va_start(args, format);
    const int rc = csv_line_vappend(line, format, args);
    va_end(args);
    return rc;
}

int csv_line_add_text(csv_line &line, std::string_view text) {
    const bool quoted = text.find_first_of(",\"\r\n") != std::string_view::npos;
    std::size_t needed = text.size() + (line.first_field == 0 ? 1 : 0);
    if (quoted) {
        needed += 2;
        for (char c : text) {
            needed += c == '"' ? 1 : 0;
        }
    }
    // Room for the text and the terminating NUL; a line that cannot hold it is unusable, as with
    // every other field.
    if (line.length >= line.capacity || needed >= line.capacity - line.length) {
        line.length = line.capacity == 0 ? 0 : line.capacity - 1;
        return -1;
    }
    char *out = line.buffer + line.length;
    if (line.first_field == 0) {
        *out++ = ',';
    }
    line.first_field = 0;
    if (quoted) {
        *out++ = '"';
    }
    for (char c : text) {
        *out++ = c;
        if (quoted && c == '"') {
            *out++ = '"';
        }
    }
    if (quoted) {
        *out++ = '"';
    }
    *out = '\0';
    line.length += needed;
    return 0;
}

int csv_line_end(csv_line &line) {
    return csv_line_append(line, "\n");
}
