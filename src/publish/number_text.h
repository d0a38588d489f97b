// Numbers as the published files have always printed them ("%.6f", "%lld", "%.17g"), without printf:
// std::to_chars is specified to give exactly printf's characters in the "C" locale, at a fraction of
// its cost. Each writes into [first, last) and returns the end, or nullptr when the text does not fit.
#pragma once

#include <cstddef>
#include <cstdint>

// Room for any double in fixed notation at the precisions the files use (309 integer digits at most).
inline constexpr std::size_t k_number_text_capacity = 352;

[[nodiscard]] char *put_fixed(char *first, char *last, double value, int precision);   // "%.*f"
[[nodiscard]] char *put_general(char *first, char *last, double value, int precision); // "%.*g"
[[nodiscard]] char *put_integer(char *first, char *last, std::int64_t value);          // "%lld"
[[nodiscard]] char *put_unsigned(char *first, char *last, std::uint64_t value);        // "%llu"
