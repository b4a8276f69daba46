// libFuzzer target: any bytes as applications.dat, taken through what the program does with
// a list it did not write itself:
//  - the start-up load (records in file order, each name and path the stored bytes),
//  - launch-all's reading of the enabled paths, and the launcher's splitting of each path,
//  - the lookups by name of launch-one, Edit Launch and the editing dialog's duplicate check,
//  - the rewrites of a toggle and a delete, whose results are checked record by record,
//  - names and paths stored back through the field cut.
// Any broken expectation aborts, so libFuzzer keeps the input.
//
// Built and run by scripts/fuzz (clang, -fsanitize=fuzzer,address,undefined).

#include <algorithm>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "files.h"
#include "launch_record.h"
#include "launcher.h"
#include "list_file.h"
#include "list_rewrite.h"
#include "records.h"

namespace {

using kestrun_test::read_bytes;
using kestrun_test::record_bytes;

void expect(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "list_file_fuzz: broken expectation: %s\n", what);
    std::abort();
}

std::string directory;

// `text` without any of the characters in `dropped`.
std::string without(const std::string& text, const char* dropped) {
    std::string kept;
    for (const char c : text)
        if (std::strchr(dropped, c) == nullptr || c == '\0') kept += c;
    return kept;
}

void write_list(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    out.close();
    expect(static_cast<bool>(out), "the input is written");
    ::chmod(path.c_str(), 0600);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::setlocale(LC_ALL, "C.UTF-8");  // names are cut on UTF-8 characters, as for most users
    // tmpfs where there is one: a rewrite flushes to disk, which costs nothing there.
    std::string pattern =
        (::access("/dev/shm", W_OK) == 0 ? std::string("/dev/shm") : std::string("/tmp")) +
        "/kestrun-fuzz-XXXXXX";
    expect(::mkdtemp(pattern.data()) != nullptr, "a scratch directory");
    directory = pattern;
    std::atexit([] {
        std::remove((directory + "/applications.dat").c_str());
        std::remove((directory + "/temp.dat").c_str());
        ::rmdir(directory.c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const store::ListPaths paths(directory);
    const std::string path = paths.list_file();
    write_list(path, data, size);
    const std::size_t whole = size / store::record_size;

    // Start-up load and launch-all, one pass each as the window makes them.
    std::vector<std::string> names;
    std::vector<store::LaunchRecord> records;
    {
        store::ListFile list(path);
        expect(list.exists(), "the list is there");
        list.open_existing();
        expect(list.record_count() == whole, "whole records only");
        while (!list.at_end()) {
            const store::LaunchRecord record = list.read_record();
            const std::string name = store::record_name(record);
            const std::string program = store::record_path(record);
            expect(name.size() <= store::name_capacity, "a name fits its field");
            expect(program.size() <= store::path_capacity, "a path fits its field");
            expect(std::memcmp(name.data(), record.name_chars, name.size()) == 0,
                   "the name is the stored bytes");
            if (store::is_enabled(record)) {
                std::string kept;
                for (const std::string& word : platform::split_command_line(program)) {
                    expect(word.find('"') == std::string::npos, "quotes are removed");
                    kept += word;
                }
                expect(without(kept, " \t") == without(program, " \t\""),
                       "the words hold every character but quotes and blanks, in order");
            }
            names.push_back(name);
            records.push_back(record);
        }
        list.close();
        expect(names.size() == whole, "every whole record loaded");
    }

    // Lookups by name: the first record of each name, also for names no record has.
    std::vector<std::string> probes = names;
    if (size > 0) probes.push_back(std::string(reinterpret_cast<const char*>(data), size % 24));
    probes.push_back("no such entry name!");
    for (const std::string& name : probes) {
        long expected = -1;
        for (std::size_t i = 0; i < names.size() && expected < 0; ++i)
            if (names[i] == name) expected = static_cast<long>(i);
        if (records.empty()) continue;  // no item to choose, no line to edit
        store::ListFile list(path);
        list.open_existing();
        const std::optional<store::LaunchRecord> found = store::read_to_named(list, name);
        expect(found.has_value() == (expected >= 0), "the lookup finds a name the list holds");
        if (found) {
            expect(
                record_bytes(*found) == record_bytes(records[static_cast<std::size_t>(expected)]),
                "the lookup finds the first record of the name");
            continue;
        }
        expect(list.at_end(), "a name not found was looked for to the end");
        try {
            list.read_record();
            expect(false, "no record past the end");
        } catch (const store::IoError& error) {
            expect(error.code() == store::read_beyond_end_of_file, "only the end stops the search");
        }
    }

    // Names and paths taken from the input and stored back through the field cut.
    if (size > 0) {
        const std::string text(reinterpret_cast<const char*>(data),
                               std::min<std::size_t>(size, 260));
        const store::LaunchRecord made = store::make_record(text, text, true);
        const std::string name = store::record_name(made);
        expect(name.size() <= store::name_capacity && text.compare(0, name.size(), name) == 0,
               "a stored name is a prefix that fits");
        // glibc's UTF-8 also takes the old 5- and 6-byte forms as one character, so the
        // longest character is MB_CUR_MAX bytes, not 4.
        expect(text.size() <= store::name_capacity
                   ? name == text
                   : name.size() + MB_CUR_MAX > store::name_capacity,
               "a cut loses less than one character");
    }

    // A toggle and a delete of the first record, through the rewrite.
    if (!records.empty()) {
        expect(store::rewrite_with_flag(paths, names[0], !store::is_enabled(records[0])),
               "a toggle finds the first record");
        std::string expected;
        for (std::size_t i = 0; i < records.size(); ++i) {
            store::LaunchRecord record = records[i];
            if (i == 0) record.enabled = store::is_enabled(record) ? 0 : 1;
            expected += record_bytes(record);
        }
        expect(read_bytes(path) == expected, "a toggle changes one enabled byte, drops the tail");

        expect(store::rewrite_without(paths, names[0]), "a delete finds the first record");
        expect(read_bytes(path) == expected.substr(store::record_size),
               "a delete drops exactly the first record of the name");
    }
    return 0;
}
