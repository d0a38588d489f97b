// A bounded builder of one comma-separated line in a caller-owned buffer.
#pragma once

#include <cstddef>

struct csv_line {
    char *buffer = nullptr;
    std::size_t capacity = 0; // bytes in buffer, the terminating NUL included
    std::size_t length = 0;   // bytes of text so far, NUL excluded
    int first_field = 1;
};

void csv_line_init(csv_line &line, char *buffer, std::size_t capacity);
// printf-style append with no separator. -1 when the text does not fit; the line is then unusable.
[[nodiscard]] int csv_line_append(csv_line &line, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
// Like csv_line_append, preceded by "," unless this is the line's first field.
[[nodiscard]] int csv_line_add_field(csv_line &line, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
[[nodiscard]] int csv_line_end(csv_line &line);
