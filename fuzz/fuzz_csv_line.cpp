// The CSV line builder under random sequences of add_field / append / add_integer / end on small buffers.
// Invariants after every operation: length <= capacity - 1, the buffer NUL-terminated at length, a failed
// operation never grows the line past its capacity. Until the first failure the line must hold exactly
// the fields given, and an operation must succeed exactly when its text fits.
// Input: first byte = capacity (0..63), then operations: kind byte, length byte, that many text bytes.
#include "check.h"
#include "publish/csv_line.h"

#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t capacity = data[0] & 63U;
    // Exactly `capacity` bytes on the heap, so a write past the end is an AddressSanitizer report.
    const auto buffer = std::make_unique<char[]>(capacity == 0 ? 1 : capacity);
    csv_line line;
    csv_line_init(line, buffer.get(), capacity);
    FUZZ_CHECK(line.length == 0);
    if (capacity != 0) {
        FUZZ_CHECK(buffer[0] == '\0');
    }

    std::string expected; // the line's text while no operation has failed
    bool first_field = true;
    bool failed = false;
    std::size_t pos = 1;
    while (pos < size) {
        const std::uint8_t kind = data[pos++] % 4U;
        std::string text;
        if (pos < size) {
            const std::size_t want = data[pos++] % 24U;
            for (; text.size() < want && pos < size; ++pos) {
                text.push_back(data[pos] == 0 ? '0' : static_cast<char>(data[pos]));
            }
        }

        std::string attempted = expected;
        int rc = 0;
        const std::size_t before = line.length;
        switch (kind) {
        case 0:
            rc = csv_line_add_field(line, text);
            attempted += (first_field ? "" : ",") + text;
            break;
        case 1:
            rc = csv_line_append(line, text);
            attempted += text;
            break;
        case 2:
            rc = csv_line_end(line);
            attempted += "\n";
            break;
        default: {
            const int number = static_cast<int>(text.size()) * 1000 - 7;
            rc = csv_line_add_integer(line, number);
            attempted += (first_field ? "" : ",") + std::to_string(number);
            break;
        }
        }
        FUZZ_CHECK(rc == 0 || rc == -1);

        if (capacity == 0) {
            FUZZ_CHECK(rc == -1 && line.length == 0);
            continue;
        }
        FUZZ_CHECK(line.length <= capacity - 1);
        FUZZ_CHECK(buffer[line.length] == '\0');
        FUZZ_CHECK(std::strlen(buffer.get()) == line.length);
        if (rc != 0) {
            FUZZ_CHECK(line.length >= before);
        }
        if (failed) {
            continue;
        }
        const bool fits = attempted.size() <= capacity - 1;
        FUZZ_CHECK((rc == 0) == fits);
        if (rc == 0) {
            FUZZ_CHECK(attempted == buffer.get());
            expected = attempted;
            if (kind == 0 || kind == 3) {
                first_field = false;
            }
        } else {
            // What did get in is the start of what was asked for, cut at the capacity.
            FUZZ_CHECK(attempted.compare(0, line.length, buffer.get()) == 0);
            failed = true;
        }
    }
    return 0;
}
