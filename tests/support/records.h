#pragma once
// The one way tests, benchmarks and the fuzzer make list records and list files.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "launch_record.h"

namespace kestrun_test {

// A record as make_record stores it, with the enabled byte exactly as given (2 is "not enabled").
store::LaunchRecord record(const std::string& name, const std::string& path, std::uint8_t enabled);

// One record's 223 bytes exactly as given: the length bytes are not corrected.
std::string raw_record(std::uint8_t name_length, const std::string& name, std::uint8_t path_length,
                       const std::string& path, std::uint8_t enabled);

std::string record_bytes(const store::LaunchRecord& record);
std::string list_bytes(const std::vector<store::LaunchRecord>& records);

// `count` records named `name_prefix` + i, each starting `path_prefix` + i, every other one
// (the even ones) enabled.
std::vector<store::LaunchRecord> numbered_records(
    std::size_t count, const std::string& name_prefix = "entry ",
    const std::string& path_prefix = "/usr/bin/entry");

// Writes `directory`/applications.dat holding the records, then `extra` bytes (a torn tail).
void write_list(const std::string& directory, const std::vector<store::LaunchRecord>& records,
                const std::string& extra = {});

}  // namespace kestrun_test
