// Numbers as the published files print them ("%.6f", "%lld", "%.17g"), without printf:
// std::to_chars is specified to give exactly printf's characters in the "C" locale, at a fraction of
// its cost. Each writes into [first, last) and returns the end, or nullptr when the text does not fit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Room for any double in fixed notation at the precisions the files use (309 integer digits at most).
inline constexpr std::size_t k_number_text_capacity = 352;

[[nodiscard]] char *put_fixed(char *first, char *last, double value, int precision);   // "%.*f"
[[nodiscard]] char *put_general(char *first, char *last, double value, int precision); // "%.*g"
[[nodiscard]] char *put_integer(char *first, char *last, std::int64_t value);          // "%lld"
[[nodiscard]] char *put_unsigned(char *first, char *last, std::uint64_t value);        // "%llu"
// value × 10^-decimals exactly, with `decimals` digits after the point (1 to 18): counters kept as
// integers are printed from the integers, never through a double.
[[nodiscard]] char *put_scaled_fixed(char *first, char *last, std::int64_t value, int decimals);
// Nanojoules as joules with six decimals, rounded half away from zero.
[[nodiscard]] char *put_joules(char *first, char *last, std::int64_t nanojoules);

// For the metrics exposition, appended to a string:
// value × 10^-decimals exactly, as a decimal without trailing zeros; a negative `decimals` appends
// zeros (kilohertz to hertz) so that no multiplication can overflow.
void append_scaled(std::string &text, std::int64_t value, int decimals);
// The shortest of 15, 16 or 17 significant digits that reads back as the same double; NaN, +Inf, -Inf.
void append_double(std::string &text, double value);
// A label value: UTF-8 with backslash, double quote and line feed escaped. Names read from sysfs are
// bytes: a byte that does not start a valid UTF-8 sequence becomes U+FFFD, since one invalid value
// makes a collector refuse the whole file.
void append_label_value(std::string &text, std::string_view value);
