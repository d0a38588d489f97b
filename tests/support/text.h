// Text of the files and streams tests look at: lines, CSV fields and counts.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace support {

// The lines of `text`; a final newline ends the last line rather than starting an empty one.
std::vector<std::string> lines_in(const std::string &text);
// Every field of one line, empty ones included: "a,,b," has four.
std::vector<std::string> fields_of(const std::string &line, char separator = ',');
// Newline characters in `text`.
std::size_t count_lines(const std::string &text);
// Lines of `text` equal to `line`.
std::size_t count_exact_lines(const std::string &text, const std::string &line);

// A regular file's content; nothing for an absent or unreadable one.
std::optional<std::string> try_read(const std::string &path);
// The lines of a file; an absent file has none.
std::vector<std::string> lines_of(const std::string &path);

} // namespace support
