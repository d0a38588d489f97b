#include "text.h"

#include "board.h"

#include <algorithm>
#include <filesystem>

namespace support {

std::vector<std::string> fields_of(const std::string &line, char separator) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = line.find(separator, start);
        if (end == std::string::npos) {
            fields.push_back(line.substr(start));
            return fields;
        }
        fields.push_back(line.substr(start, end - start));
        start = end + 1;
    }
}

std::vector<std::string> lines_in(const std::string &text) {
    if (text.empty()) {
        return {};
    }
    std::vector<std::string> lines = fields_of(text, '\n');
    if (text.back() == '\n') {
        lines.pop_back();
    }
    return lines;
}

std::size_t count_lines(const std::string &text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

std::size_t count_exact_lines(const std::string &text, const std::string &line) {
    std::size_t n = 0;
    for (const std::string &l : lines_in(text)) {
        n += l == line ? 1 : 0;
    }
    return n;
}

std::optional<std::string> try_read(const std::string &path) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        return std::nullopt;
    }
    try {
        return fakeboard::read_file(path);
    } catch (const std::exception &) {
        return std::nullopt;
    }
}

std::vector<std::string> lines_of(const std::string &path) {
    return lines_in(try_read(path).value_or(""));
}

} // namespace support
