// parse_decimal_i64 against a complete reference of the accepted grammar:
// leading space, an optional sign, decimal digits, trailing line space, within the 64-bit range.
#include "check.h"
#include "sources/attributes.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::int64_t k_untouched = 0x5a5a5a5a5a5a5a5a;

// Returns 0 and the value when the text is a valid in-range decimal, otherwise -1.
int reference_decimal(const char *p, std::int64_t *value) {
    const bool negative = skip_space_and_sign(p);
    if (!digit(*p)) {
        return -1;
    }
    // Magnitude up to 2^63 (the most negative value); anything beyond is out of range.
    constexpr std::uint64_t k_limit = std::uint64_t{1} << 63;
    std::uint64_t magnitude = 0;
    bool overflow = false;
    for (; digit(*p); ++p) {
        const auto d = static_cast<std::uint64_t>(*p - '0');
        if (magnitude > (k_limit - d) / 10) {
            overflow = true;
        } else {
            magnitude = magnitude * 10 + d;
        }
    }
    while (line_space(*p)) {
        ++p;
    }
    if (*p != '\0' || overflow || (!negative && magnitude == k_limit)) {
        return -1;
    }
    *value = negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string text = fuzz_text(data, size);
    std::int64_t value = k_untouched;
    const int rc = parse_decimal_i64(text.c_str(), &value);
    FUZZ_CHECK(rc == 0 || rc == -1);

    std::int64_t expected = 0;
    const int expected_rc = reference_decimal(text.c_str(), &expected);
    FUZZ_CHECK(rc == expected_rc);
    if (rc != 0) {
        FUZZ_CHECK(value == k_untouched);
        return 0;
    }
    FUZZ_CHECK(value == expected);

    // What the parser accepts it also reads back from its own printed form.
    char printed[32];
    std::snprintf(printed, sizeof printed, "%" PRId64 "\n", value);
    std::int64_t again = k_untouched;
    FUZZ_CHECK(parse_decimal_i64(printed, &again) == 0 && again == value);
    return 0;
}
