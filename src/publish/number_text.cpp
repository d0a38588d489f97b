#include "publish/number_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
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
