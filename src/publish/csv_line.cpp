#include "publish/csv_line.h"

#include "publish/number_text.h"

#include <cstring>

void csv_line_init(csv_line &line, char *buffer, std::size_t capacity) {
    line.buffer = buffer;
    line.capacity = capacity;
    line.length = 0;
    line.first_field = 1;
    if (capacity != 0) {
        buffer[0] = '\0';
    }
}

int csv_line_append(csv_line &line, std::string_view text) {
    if (line.length >= line.capacity) {
        return -1;
    }
    // As much as fits is kept, as a cut line: the caller then drops the whole line.
    const std::size_t room = line.capacity - 1 - line.length;
    const bool fits = text.size() <= room;
    const std::size_t taken = fits ? text.size() : room;
    std::memcpy(line.buffer + line.length, text.data(), taken);
    line.length += taken;
    line.buffer[line.length] = '\0';
    return fits ? 0 : -1;
}

int csv_line_add_field(csv_line &line, std::string_view text) {
    if (line.first_field == 0 && csv_line_append(line, ",") != 0) {
        return -1;
    }
    line.first_field = 0;
    return csv_line_append(line, text);
}

int csv_line_add_integer(csv_line &line, std::int64_t value) {
    char text[24];
    const char *end = put_integer(text, text + sizeof text, value);
    return end != nullptr
               ? csv_line_add_field(line, std::string_view(text, static_cast<std::size_t>(end - text)))
               : -1;
}

int csv_line_add_fixed(csv_line &line, double value, int precision) {
    char text[k_number_text_capacity];
    const char *end = put_fixed(text, text + sizeof text, value, precision);
    return end != nullptr
               ? csv_line_add_field(line, std::string_view(text, static_cast<std::size_t>(end - text)))
               : -1;
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

namespace {

int add_number(csv_line &line, const char *text, const char *end) {
    return end != nullptr
               ? csv_line_add_field(line, std::string_view(text, static_cast<std::size_t>(end - text)))
               : -1;
}

} // namespace

int csv_line_add_scaled(csv_line &line, std::int64_t value, int decimals) {
    char text[48];
    return add_number(line, text, put_scaled_fixed(text, text + sizeof text, value, decimals));
}

int csv_line_add_joules(csv_line &line, std::int64_t nanojoules) {
    char text[48];
    return add_number(line, text, put_joules(text, text + sizeof text, nanojoules));
}
