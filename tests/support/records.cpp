#include "records.h"

#include <algorithm>

#include "files.h"
#include "list_rewrite.h"

namespace kestrun_test {

store::LaunchRecord record(const std::string& name, const std::string& path, std::uint8_t enabled) {
    store::LaunchRecord r = store::make_record(name, path, enabled == 1);
    r.enabled = enabled;
    return r;
}

std::string raw_record(std::uint8_t name_length, const std::string& name, std::uint8_t path_length,
                       const std::string& path, std::uint8_t enabled) {
    std::string bytes(store::record_size, '\0');
    bytes[0] = static_cast<char>(name_length);
    bytes.replace(1, std::min(name.size(), store::name_capacity), name, 0, store::name_capacity);
    bytes[1 + store::name_capacity] = static_cast<char>(path_length);
    bytes.replace(2 + store::name_capacity, std::min(path.size(), store::path_capacity), path, 0,
                  store::path_capacity);
    bytes[store::record_size - 1] = static_cast<char>(enabled);
    return bytes;
}

std::string record_bytes(const store::LaunchRecord& record) {
    return std::string(reinterpret_cast<const char*>(&record), sizeof record);
}

std::string list_bytes(const std::vector<store::LaunchRecord>& records) {
    std::string bytes;
    bytes.reserve(records.size() * store::record_size);
    for (const store::LaunchRecord& r : records) bytes += record_bytes(r);
    return bytes;
}

std::vector<store::LaunchRecord> numbered_records(std::size_t count, const std::string& name_prefix,
                                                  const std::string& path_prefix) {
    std::vector<store::LaunchRecord> records;
    records.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::string n = std::to_string(i);
        records.push_back(store::make_record(name_prefix + n, path_prefix + n, i % 2 == 0));
    }
    return records;
}

void write_list(const std::string& directory, const std::vector<store::LaunchRecord>& records,
                const std::string& extra) {
    write_bytes(store::ListPaths(directory).list_file(), list_bytes(records) + extra);
}

}  // namespace kestrun_test
