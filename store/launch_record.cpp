#include "launch_record.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

namespace store {
namespace {

std::string stored_field(std::uint8_t length, const char* chars, std::size_t capacity) {
    return std::string(chars, std::min<std::size_t>(length, capacity));
}

void store_field(std::uint8_t& length, char* chars, std::size_t capacity, std::string_view bytes) {
    const std::string cut = cut_to_capacity(bytes, capacity);
    length = static_cast<std::uint8_t>(cut.size());
    std::memcpy(chars, cut.data(), cut.size());
    std::memset(chars + cut.size(), 0, capacity - cut.size());
}

}  // namespace

std::string record_name(const LaunchRecord& record) {
    return stored_field(record.name_length, record.name_chars, name_capacity);
}

std::string record_path(const LaunchRecord& record) {
    return stored_field(record.path_length, record.path_chars, path_capacity);
}

bool is_enabled(const LaunchRecord& record) {
    return record.enabled == 1;
}

void set_name(LaunchRecord& record, std::string_view bytes) {
    store_field(record.name_length, record.name_chars, name_capacity, bytes);
}

void set_path(LaunchRecord& record, std::string_view bytes) {
    store_field(record.path_length, record.path_chars, path_capacity, bytes);
}

LaunchRecord make_record(std::string_view name, std::string_view path, bool enabled) {
    LaunchRecord record;
    set_name(record, name);
    set_path(record, path);
    record.enabled = enabled ? 1 : 0;
    return record;
}

std::string cut_to_capacity(std::string_view bytes, std::size_t capacity) {
    if (bytes.size() <= capacity) return std::string(bytes);
    // Walk whole characters of the locale's encoding; a byte that starts no valid character
    // (or an incomplete one at the end) is a character of its own.
    std::mbstate_t state{};
    std::size_t cut = 0;
    while (cut < bytes.size()) {
        std::size_t length = std::mbrlen(bytes.data() + cut, bytes.size() - cut, &state);
        if (length == static_cast<std::size_t>(-1) || length == static_cast<std::size_t>(-2)) {
            state = std::mbstate_t{};
            length = 1;
        } else if (length == 0) {
            length = 1;  // an embedded NUL
        }
        if (cut + length > capacity) break;
        cut += length;
    }
    return std::string(bytes.substr(0, cut));
}

}  // namespace store
