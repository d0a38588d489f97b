// parse_real: outputs untouched on failure, junk never accepted, and short plain decimals read exactly.
#include "check.h"
#include "sources/attributes.h"

#include <cmath>
#include <cstring>

namespace {

constexpr double k_untouched = -12345.678;

// A byte that no number accepted by the parser (decimal, hexadecimal, inf, nan(...)) and no trailing
// line space can contain.
bool never_in_number(char c) {
    const auto u = static_cast<unsigned char>(c);
    const bool alnum = (u >= '0' && u <= '9') || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z');
    return !alnum && !c_space(c) && std::strchr("+-._()", c) == nullptr;
}

// A plain decimal with at most 15 significant digits: [space][sign]digits[.digits][line space].
// Its mantissa and the power of ten are exact doubles, so one correctly rounded division gives
// exactly the correctly rounded value the parser must return. Returns false outside that form.
bool reference_plain_decimal(const char *p, double *value) {
    const bool negative = skip_space_and_sign(p);
    std::uint64_t mantissa = 0;
    int digits = 0;
    int fraction_digits = 0;
    for (; digit(*p); ++p, ++digits) {
        mantissa = mantissa * 10 + static_cast<std::uint64_t>(*p - '0');
        if (digits == 15) {
            return false;
        }
    }
    if (*p == '.') {
        for (++p; digit(*p); ++p, ++digits, ++fraction_digits) {
            mantissa = mantissa * 10 + static_cast<std::uint64_t>(*p - '0');
            if (digits == 15) {
                return false;
            }
        }
    }
    if (digits == 0) {
        return false;
    }
    while (line_space(*p)) {
        ++p;
    }
    if (*p != '\0') {
        return false;
    }
    double scale = 1.0;
    for (int i = 0; i < fraction_digits; ++i) {
        scale *= 10.0;
    }
    const double magnitude = static_cast<double>(mantissa) / scale;
    *value = negative ? -magnitude : magnitude;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string text = fuzz_text(data, size);
    double value = k_untouched;
    const int rc = parse_real(text.c_str(), &value);
    FUZZ_CHECK(rc == 0 || rc == -1);
    if (rc != 0) {
        FUZZ_CHECK(value == k_untouched);
    }

    bool has_junk = false;
    bool has_digit_or_letter = false;
    for (const char *p = text.c_str(); *p != '\0'; ++p) {
        has_junk = has_junk || never_in_number(*p);
        has_digit_or_letter = has_digit_or_letter || (!c_space(*p) && std::strchr("+-.()", *p) == nullptr);
    }
    if (has_junk || !has_digit_or_letter) {
        FUZZ_CHECK(rc == -1);
    }

    double expected = 0.0;
    if (reference_plain_decimal(text.c_str(), &expected)) {
        FUZZ_CHECK(rc == 0);
        FUZZ_CHECK(value == expected && std::signbit(value) == std::signbit(expected));
    }
    return 0;
}
