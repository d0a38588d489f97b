#include "common/paths.h"

#include <cstring>

bool join_path(path_buffer &buffer, std::initializer_list<std::string_view> parts) {
    std::size_t length = 0;
    for (std::string_view part : parts) {
        if (part.size() >= k_path_capacity - length) {
            buffer[0] = '\0';
            return false;
        }
        std::memcpy(buffer + length, part.data(), part.size());
        length += part.size();
    }
    buffer[length] = '\0';
    return true;
}

std::string joined_path(std::initializer_list<std::string_view> parts) {
    path_buffer buffer;
    return join_path(buffer, parts) ? std::string(buffer) : std::string();
}
