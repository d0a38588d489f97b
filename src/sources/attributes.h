// The board's sources: reading and parsing small attribute files, writing control attributes.
// Every operation returns 0 on success and -1 on failure (or a count) and prints nothing. An empty
// path (one that did not fit when it was assembled) is a failed operation.
#pragma once

#include "common/paths.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The most any source is read: the largest page size on arm64, beyond any sysfs attribute.
inline constexpr std::size_t k_max_source_bytes = 65536;

// Who can create or replace a source file: the kernel (sysfs, debugfs) or a service user (/run).
enum class source_trust { kernel, user_owned };

// Whole file (limit 0; longer than k_max_source_bytes is a failure) or at most `limit` bytes. `text` is
// required; `length` is optional.
[[nodiscard]] int sysfs_read_all(const char *path, std::string *text, std::size_t *length, std::size_t limit);
// Whole file, cut at the first '\n' or '\r'.
[[nodiscard]] int sysfs_read_line(const char *path, std::string *text);
[[nodiscard]] int sysfs_read_i64(const char *path, std::int64_t *value);
// At most 32 bytes of the file. Not only sysfs: the charger's battery file under /run is read this way,
// with `trust` saying who may have planted it.
[[nodiscard]] int source_read_real(const char *path, double *value,
                                   source_trust trust = source_trust::kernel);
// Returns the number of values stored (0 up to capacity), or -1.
[[nodiscard]] int sysfs_read_hex_list(const char *path, bool skip_to_colon, std::uint64_t *values,
                                      std::size_t capacity);
// Writes a control attribute that must already exist; on failure errno says why.
[[nodiscard]] int sysfs_write_control(const char *path, std::string_view text);
[[nodiscard]] bool path_exists(const char *path);

// The parsers behind the readers, on NUL-terminated text. Outputs are written only on success.
[[nodiscard]] int parse_decimal_i64(const char *text, std::int64_t *value);
[[nodiscard]] int parse_real(const char *text, double *value);
[[nodiscard]] int parse_hex_list(const char *text, bool skip_to_colon, std::uint64_t *values,
                                 std::size_t capacity);
