// Fixed-size path buffers, assembled without printf.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

inline constexpr std::size_t k_path_capacity = 1024;
using path_buffer = char[k_path_capacity];

// Joins the parts into `buffer`. Returns false when they do not fit: a cut path would name a
// different file, so callers treat that as a failed operation and never open it.
[[nodiscard]] bool join_path(path_buffer &buffer, std::initializer_list<std::string_view> parts);

// The same, as a string kept for the run; empty when the path would not fit a path_buffer, which
// every reader treats as a failed read.
[[nodiscard]] std::string joined_path(std::initializer_list<std::string_view> parts);
