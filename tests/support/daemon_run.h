// Helpers for black-box tests: the daemon as a child process on the current fake board.
#pragma once

#include "board.h"
#include "process.h"
#include "support/polling.h"
#include "support/text.h"

#include <string>
#include <vector>

namespace blackbox {

// Where the daemon publishes unless told otherwise.
inline const std::string k_root = "/run/power-monitor";

// A file of the output tree, by its path below the root.
inline std::string output_file(const std::string &relative) {
    return fakeboard::read_file(k_root + "/" + relative);
}

inline std::vector<std::string> daemon_args(std::vector<std::string> options) {
    options.insert(options.begin(), fakeboard::daemon_path());
    return options;
}

} // namespace blackbox
