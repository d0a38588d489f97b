// Expected output kept as files under tests/data, reviewed by diff like any other change.
//
// Golden files: a test compares what the daemon wrote, with its run-dependent values masked, against
// tests/data/NAME. When the daemon's output changes on purpose, run the test with
// VPM_UPDATE_GOLDEN=1 in its environment: it rewrites the files instead of comparing (and says so),
// and the diff of tests/data shows the change for review. See tests/data/README.md.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace support {

// The content of tests/data/NAME (the test fails when it cannot be read).
std::string data_file(const std::string &name);

// The daemon's usage message as `program` prints it (tests/data/usage.txt, with PROGRAM replaced).
std::string usage_text(const std::string &program);

// Fails the test unless `actual` is the content of tests/data/NAME; with VPM_UPDATE_GOLDEN=1 it
// writes `actual` there instead.
void expect_golden(const std::string &name, const std::string &actual);

// Marks a value that differs from run to run, in place of the value.
inline const std::string k_masked = "<masked>";

// `csv` with the given columns of every line after the header replaced by k_masked (fields split at
// every comma: the daemon quotes none in data lines).
std::string mask_columns(const std::string &csv, const std::vector<std::size_t> &columns);

} // namespace support
