// A bounded builder of one comma-separated line in a caller-owned buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

struct csv_line {
    char *buffer = nullptr;
    std::size_t capacity = 0; // bytes in buffer, the terminating NUL included
    std::size_t length = 0;   // bytes of text so far, NUL excluded
    int first_field = 1;
};

void csv_line_init(csv_line &line, char *buffer, std::size_t capacity);
// Appends text as it is, with no separator. -1 when it does not fit: as much as fits is kept and the
// line is then unusable.
[[nodiscard]] int csv_line_append(csv_line &line, std::string_view text);
// Like csv_line_append, preceded by "," unless this is the line's first field.
[[nodiscard]] int csv_line_add_field(csv_line &line, std::string_view text);
// Number fields, as "%lld" and "%.*f" print them.
[[nodiscard]] int csv_line_add_integer(csv_line &line, std::int64_t value);
[[nodiscard]] int csv_line_add_fixed(csv_line &line, double value, int precision);
// value × 10^-decimals with `decimals` digits, from the integer (put_scaled_fixed).
[[nodiscard]] int csv_line_add_scaled(csv_line &line, std::int64_t value, int decimals);
// Nanojoules as joules with six decimals (put_joules).
[[nodiscard]] int csv_line_add_joules(csv_line &line, std::int64_t nanojoules);
// A text field, preceded by "," unless first. A field holding a comma, a double quote, CR or LF is
// quoted, with each double quote doubled, so that it stays one field; any other text is kept as is.
[[nodiscard]] int csv_line_add_text(csv_line &line, std::string_view text);
[[nodiscard]] int csv_line_end(csv_line &line);
