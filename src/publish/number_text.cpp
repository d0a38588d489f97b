#include "publish/number_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <system_error>

namespace {

char *checked(std::to_chars_result result) {
    return result.ec == std::errc() ? result.ptr : nullptr;
}

// printf spells the non-finite values "inf" and "nan", signed when negative; to_chars may not sign a
// NaN the same way, so they are written here.
char *put_non_finite(char *first, const char *last, double value) {
    const std::string_view text =
        std::isnan(value) ? (std::signbit(value) ? "-nan" : "nan") : (value < 0 ? "-inf" : "inf");
    if (static_cast<std::size_t>(last - first) < text.size()) {
        return nullptr;
    }
    return std::copy(text.begin(), text.end(), first);
}

} // namespace

char *put_fixed(char *first, char *last, double value, int precision) {
    if (!std::isfinite(value)) {
        return put_non_finite(first, last, value);
    }
    return checked(std::to_chars(first, last, value, std::chars_format::fixed, precision));
}

char *put_general(char *first, char *last, double value, int precision) {
    if (!std::isfinite(value)) {
        return put_non_finite(first, last, value);
    }
    return checked(std::to_chars(first, last, value, std::chars_format::general, precision));
}

char *put_integer(char *first, char *last, std::int64_t value) {
    return checked(std::to_chars(first, last, value));
}

char *put_unsigned(char *first, char *last, std::uint64_t value) {
    return checked(std::to_chars(first, last, value));
}

char *put_scaled_fixed(char *first, char *last, std::int64_t value, int decimals) {
    if (decimals < 1 || decimals > 18) {
        return nullptr;
    }
    // Two's complement negation in unsigned arithmetic also holds the magnitude of INT64_MIN.
    const auto bits = static_cast<std::uint64_t>(value);
    const std::uint64_t magnitude = value < 0 ? ~bits + 1 : bits;
    std::uint64_t scale = 1;
    for (int k = 0; k < decimals; ++k) {
        scale *= 10;
    }
    char digits[24];
    const char *end = put_unsigned(digits, digits + sizeof digits, magnitude % scale + scale);
    if (end == nullptr || static_cast<std::size_t>(last - first) < static_cast<std::size_t>(decimals) + 2) {
        return nullptr;
    }
    if (value < 0) {
        *first++ = '-';
    }
    first = put_unsigned(first, last, magnitude / scale);
    if (first == nullptr || last - first < decimals + 1) {
        return nullptr;
    }
    *first++ = '.';
    // magnitude % scale + scale has one leading 1 before exactly `decimals` digits.
    return std::copy(static_cast<const char *>(digits) + 1, end, first);
}

char *put_joules(char *first, char *last, std::int64_t nanojoules) {
    // Rounded to microjoules in the magnitude, so that the sign is kept whatever the remainder.
    const auto bits = static_cast<std::uint64_t>(nanojoules);
    const std::uint64_t magnitude = nanojoules < 0 ? ~bits + 1 : bits;
    const std::uint64_t microjoules = magnitude / 1000 + (magnitude % 1000 >= 500 ? 1 : 0);
    const auto rounded = static_cast<std::int64_t>(microjoules); // below 2^63 / 1000 + 1
    return put_scaled_fixed(first, last, nanojoules < 0 ? -rounded : rounded, 6);
}

namespace {

// The length of the valid UTF-8 sequence at s[i], 0 when none starts there.
std::size_t utf8_sequence_length(std::string_view s, std::size_t i) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xbf;
    if (c >= 0xc2 && c <= 0xdf) {
        length = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
        length = 3;
        low = c == 0xe0 ? 0xa0 : 0x80;  // no overlong forms
        high = c == 0xed ? 0x9f : 0xbf; // no surrogates
    } else if (c >= 0xf0 && c <= 0xf4) {
        length = 4;
        low = c == 0xf0 ? 0x90 : 0x80;
        high = c == 0xf4 ? 0x8f : 0xbf; // nothing beyond U+10FFFF
    } else {
        return 0;
    }
    if (i + length > s.size()) {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(s[i + k]);
        if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xbf)) {
            return 0;
        }
    }
    return length;
}

} // namespace

void append_label_value(std::string &text, std::string_view value) {
    for (std::size_t i = 0; i < value.size();) {
        const char c = value[i];
        if (static_cast<unsigned char>(c) < 0x80) {
            if (c == '\\') {
                text.append("\\\\");
            } else if (c == '"') {
                text.append("\\\"");
            } else if (c == '\n') {
                text.append("\\n");
            } else {
                text.push_back(c);
            }
            ++i;
            continue;
        }
        const std::size_t length = utf8_sequence_length(value, i);
        if (length == 0) {
            text.append("\xef\xbf\xbd");
            ++i;
        } else {
            text.append(value.substr(i, length));
            i += length;
        }
    }
}

void append_scaled(std::string &text, std::int64_t value, int decimals) {
    char digits[32];
    // Two's complement negation in unsigned arithmetic also holds the magnitude of INT64_MIN.
    const auto bits = static_cast<std::uint64_t>(value);
    std::uint64_t magnitude = value < 0 ? ~bits + 1 : bits;
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) {
        text.push_back('-');
    }
    if (decimals <= 0) {
        while (n > 0) {
            text.push_back(digits[--n]);
        }
        if (value != 0) {
            text.append(static_cast<std::size_t>(-decimals), '0');
        }
        return;
    }
    // Integer part: the digits above position `decimals`, or 0.
    for (int k = n - 1; k >= decimals; --k) {
        text.push_back(digits[k]);
    }
    if (n <= decimals) {
        text.push_back('0');
    }
    int last = 0; // lowest non-zero fractional digit
    while (last < decimals && (last >= n || digits[last] == '0')) {
        ++last;
    }
    if (last == decimals) {
        return;
    }
    text.push_back('.');
    for (int k = decimals - 1; k >= last; --k) {
        text.push_back(k < n ? digits[k] : '0');
    }
}

void append_double(std::string &text, double value) {
    if (std::isnan(value)) {
        text.append("NaN");
        return;
    }
    if (std::isinf(value)) {
        text.append(value > 0 ? "+Inf" : "-Inf");
        return;
    }
    char buffer[40];
    char *end = buffer;
    for (int precision = 15; precision <= 17; ++precision) {
        end = put_general(buffer, buffer + sizeof buffer - 1, value, precision);
        if (end == nullptr) {
            return;
        }
        *end = '\0';
        if (precision == 17 || std::strtod(buffer, nullptr) == value) {
            break;
        }
    }
    text.append(buffer, static_cast<std::size_t>(end - buffer));
}
