// parse_hex_list: the count stays within capacity, slots past the count are untouched, and lists of plain
// hexadecimal words read exactly as a reference tokenizer reads them.
// Input: first byte = options (bit 0: skip to the colon, bits 1-3: capacity 0..7), the rest = the text.
#include "check.h"
#include "sources/attributes.h"

#include <array>
#include <cstring>
#include <vector>

namespace {

constexpr std::uint64_t k_untouched = 0xdeadbeefcafef00dULL;
constexpr std::size_t k_slots = 8;

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Words of hex digits separated by line space. Returns false when the text has any other byte; stops at a
// word beyond 64 bits, as the parser must.
bool reference_words(const char *p, std::vector<std::uint64_t> *words) {
    for (const char *q = p; *q != '\0'; ++q) {
        if (hex_digit(*q) < 0 && !line_space(*q)) {
            return false;
        }
    }
    while (*p != '\0') {
        while (line_space(*p)) {
            ++p;
        }
        if (*p == '\0') {
            break;
        }
        std::uint64_t value = 0;
        int significant = 0;
        for (; hex_digit(*p) >= 0; ++p) {
            if (value != 0 || hex_digit(*p) != 0) {
                ++significant;
            }
            value = (value << 4) | static_cast<std::uint64_t>(hex_digit(*p));
        }
        if (significant > 16) {
            break;
        }
        words->push_back(value);
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const bool skip_to_colon = (data[0] & 1U) != 0;
    const std::size_t capacity = (data[0] >> 1U) & 7U;
    const std::string text = fuzz_text(data + 1, size - 1);

    std::array<std::uint64_t, k_slots> values{};
    values.fill(k_untouched);
    const int rc = parse_hex_list(text.c_str(), skip_to_colon, values.data(), capacity);
    if (capacity == 0) {
        FUZZ_CHECK(rc == -1);
    } else {
        FUZZ_CHECK(rc >= 0 && static_cast<std::size_t>(rc) <= capacity);
    }
    const std::size_t stored = rc > 0 ? static_cast<std::size_t>(rc) : 0;
    for (std::size_t i = stored; i < k_slots; ++i) {
        FUZZ_CHECK(values[i] == k_untouched);
    }

    const char *words_start = text.c_str();
    if (skip_to_colon) {
        const char *colon = std::strchr(words_start, ':');
        if (colon != nullptr) {
            words_start = colon + 1;
        }
    }
    std::vector<std::uint64_t> words;
    if (capacity != 0 && reference_words(words_start, &words)) {
        FUZZ_CHECK(stored == std::min(words.size(), capacity));
        for (std::size_t i = 0; i < stored; ++i) {
            FUZZ_CHECK(values[i] == words[i]);
        }
    }
    return 0;
}
