// Shared by the fuzz targets: a property check that aborts (libFuzzer records a crash, the corpus runner a
// failed test) and the fuzz input as NUL-terminated text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_CHECK(condition)                                                                                \
    do {                                                                                                     \
        if (!(condition)) {                                                                                  \
            std::fprintf(stderr, "%s:%d: property violated: %s\n", __FILE__, __LINE__, #condition);          \
            std::abort();                                                                                    \
        }                                                                                                    \
    } while (0)

// The parsers take C strings: an embedded NUL ends the text early, as it would in an attribute file.
inline std::string fuzz_text(const std::uint8_t *data, std::size_t size) {
    return {reinterpret_cast<const char *>(data), size};
}

// The C locale's isspace, which strtoll, strtoull and strtod skip before a number.
inline bool c_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// What the parsers accept after a number.
inline bool line_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

inline bool digit(char c) {
    return c >= '0' && c <= '9';
}

// Steps over the white space and the sign the C parsers accept before a number; true for '-'.
inline bool skip_space_and_sign(const char *&p) {
    while (c_space(*p)) {
        ++p;
    }
    const bool negative = *p == '-';
    if (*p == '+' || *p == '-') {
        ++p;
    }
    return negative;
}
