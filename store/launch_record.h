#pragma once
// One entry of the launch list as it sits in applications.dat: 223 bytes, no padding.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace store {

inline constexpr std::size_t name_capacity = 20;
inline constexpr std::size_t path_capacity = 200;
inline constexpr std::size_t record_size = 223;

#pragma pack(push, 1)
struct LaunchRecord {
    std::uint8_t name_length = 0;
    char name_chars[name_capacity] = {};
    std::uint8_t path_length = 0;
    char path_chars[path_capacity] = {};
    std::uint8_t enabled = 0;  // exactly 1 means enabled; any other value means not
};
#pragma pack(pop)
static_assert(sizeof(LaunchRecord) == record_size, "a record is 223 bytes on disk");

// The stored bytes of a field; a length byte above the capacity reads as the capacity.
std::string record_name(const LaunchRecord& record);
std::string record_path(const LaunchRecord& record);
bool is_enabled(const LaunchRecord& record);  // byte == 1

// Stores `bytes` cut to the field's capacity; the cut never splits a multi-byte
// character of the locale's encoding (LC_CTYPE; on Windows the ANSI code page).
void set_name(LaunchRecord& record, std::string_view bytes);
void set_path(LaunchRecord& record, std::string_view bytes);
LaunchRecord make_record(std::string_view name, std::string_view path, bool enabled);

// The longest prefix of `bytes` of at most `capacity` bytes that ends on a character boundary.
std::string cut_to_capacity(std::string_view bytes, std::size_t capacity);
#ifdef _WIN32
// The same in the characters of code page `code_page`.
std::string cut_to_capacity(std::string_view bytes, std::size_t capacity, unsigned code_page);
#endif

}  // namespace store
