#include "launch_record.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

#ifdef _WIN32
#include <windows.h>
#endif

namespace store {
namespace {

// The bytes of the character that `rest` (not empty) starts with; a byte that starts no valid
// character (or an incomplete one at the end) is a character of its own.
#ifdef _WIN32
// In Windows code page `code_page`: the shortest start that converts.
std::size_t character_length(std::string_view rest, unsigned code_page) {
    const int longest = static_cast<int>(std::min<std::size_t>(rest.size(), 4));
    for (int length = 1; length <= longest; ++length) {
        if (MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, rest.data(), length, nullptr, 0) >
            0)
            return static_cast<std::size_t>(length);
    }
    return 1;
}
#else
// In the locale's encoding (LC_CTYPE).
std::size_t character_length(std::string_view rest, std::mbstate_t& state) {
    const std::size_t length = std::mbrlen(rest.data(), rest.size(), &state);
    if (length == static_cast<std::size_t>(-1) || length == static_cast<std::size_t>(-2)) {
        state = std::mbstate_t{};
        return 1;
    }
    return length == 0 ? 1 : length;  // 0: an embedded NUL
}
#endif

// The longest run of whole characters of `bytes` within `capacity`, `length_of` telling where
// each ends.
template <typename LengthOf>
std::string cut_between_characters(std::string_view bytes, std::size_t capacity,
                                   LengthOf length_of) {
    if (bytes.size() <= capacity) return std::string(bytes);
    std::size_t cut = 0;
    while (cut < bytes.size()) {
        const std::size_t length = length_of(bytes.substr(cut));
        if (cut + length > capacity) break;
        cut += length;
    }
    return std::string(bytes.substr(0, cut));
}

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

#ifdef _WIN32
// The list holds text in the ANSI code page, which the system's "A" functions (WinExec among
// them) and Qt's local 8-bit text use. The C library's locale is never set on Windows: there
// every byte would count as a character, and the two bytes of a Japanese one could be split.
std::string cut_to_capacity(std::string_view bytes, std::size_t capacity) {
    return cut_to_capacity(bytes, capacity, GetACP());
}

std::string cut_to_capacity(std::string_view bytes, std::size_t capacity, unsigned code_page) {
    return cut_between_characters(bytes, capacity, [code_page](std::string_view rest) {
        return character_length(rest, code_page);
    });
}
#else
std::string cut_to_capacity(std::string_view bytes, std::size_t capacity) {
    std::mbstate_t state{};
    return cut_between_characters(
        bytes, capacity, [&state](std::string_view rest) { return character_length(rest, state); });
}
#endif

}  // namespace store
