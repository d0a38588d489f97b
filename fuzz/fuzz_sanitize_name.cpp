// sanitize_name: output only [a-z0-9_] with no "__", NUL-terminated within capacity, never written past it,
// a prefix of the whole name's sanitized form (equal when the name fits), and stable when applied again.
// Input: first byte = capacity (0..255), the rest = the name.
#include "check.h"
#include "publish/value_tree.h"

#include <cstring>
#include <memory>

namespace {

// The whole name mapped byte by byte and collapsed, with no length limit.
std::string reference_sanitized(const char *name) {
    std::string out;
    for (const char *p = name; *p != '\0'; ++p) {
        const char c = *p;
        char mapped = '_';
        if (digit(c) || (c >= 'a' && c <= 'z')) {
            mapped = c;
        } else if (c >= 'A' && c <= 'Z') {
            mapped = static_cast<char>(c - 'A' + 'a');
        }
        if (mapped == '_' && !out.empty() && out.back() == '_') {
            continue;
        }
        out.push_back(mapped);
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t capacity = data[0];
    const std::string name = fuzz_text(data + 1, size - 1);

    // Exactly `capacity` bytes on the heap, so a write past the end is an AddressSanitizer report.
    const auto buffer = std::make_unique<char[]>(capacity == 0 ? 1 : capacity);
    if (capacity == 0) {
        buffer[0] = '#';
        sanitize_name(buffer.get(), 0, name.c_str());
        FUZZ_CHECK(buffer[0] == '#');
        return 0;
    }
    std::memset(buffer.get(), '#', capacity);
    sanitize_name(buffer.get(), capacity, name.c_str());

    const void *nul = std::memchr(buffer.get(), '\0', capacity);
    FUZZ_CHECK(nul != nullptr);
    const std::string out(buffer.get());
    FUZZ_CHECK(out.size() <= capacity - 1);
    for (std::size_t i = 0; i < out.size(); ++i) {
        const char c = out[i];
        FUZZ_CHECK(digit(c) || (c >= 'a' && c <= 'z') || c == '_');
        FUZZ_CHECK(!(c == '_' && i > 0 && out[i - 1] == '_'));
    }

    const std::string whole = reference_sanitized(name.c_str());
    FUZZ_CHECK(whole.compare(0, out.size(), out) == 0);
    if (std::strlen(name.c_str()) <= capacity - 1) {
        FUZZ_CHECK(out == whole);
    }

    const auto again = std::make_unique<char[]>(capacity);
    sanitize_name(again.get(), capacity, out.c_str());
    FUZZ_CHECK(out == again.get());
    return 0;
}
