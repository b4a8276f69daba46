// libFuzzer target: any bytes as applications.dat, taken through what the program does with
// a list it did not write itself:
//  - the start-up load (records in file order, each name kept as bytes for the check list and
//    the submenu, the same bytes given back by the text the views show),
//  - launch-all's reading of the enabled paths, and the launcher's splitting of each path,
//  - the lookups by name of launch-one, Edit Launch and the editing dialog's duplicate check,
//  - the rewrites of a toggle and a delete, whose results are checked record by record,
//  - names and paths stored back through the field cut.
// Any broken expectation aborts, so libFuzzer keeps the input.
//
// Built and run by scripts/fuzz (clang, -fsanitize=fuzzer,address,undefined).

#include <QByteArray>
#include <QString>
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

#include "launch_record.h"
#include "launcher.h"
#include "list_file.h"
#include "list_rewrite.h"

namespace {

void expect(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "list_file_fuzz: broken expectation: %s\n", what);
    std::abort();
}

std::string directory;

std::string record_bytes(const store::LaunchRecord& record) {
    return std::string(reinterpret_cast<const char*>(&record), sizeof record);
}

void write_list(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    out.close();
    expect(static_cast<bool>(out), "the input is written");
    ::chmod(path.c_str(), 0600);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The text a view shows for a name, and the bytes the view keeps beside it.
void through_the_views(const std::string& name) {
    const QByteArray kept(name.data(), static_cast<qsizetype>(name.size()));
    const QString shown = QString::fromLocal8Bit(kept);
    expect(shown.size() <= static_cast<qsizetype>(name.size()), "no text longer than its bytes");
    expect(std::string(kept.constData(), static_cast<std::size_t>(kept.size())) == name,
           "a line keeps its exact name bytes");
}

// The first record named `name`, as launch-one searches: index, or -1.
long first_named(const std::string& path, const std::string& name) {
    store::ListFile list(path);
    list.open_existing();
    long index = 0;
    while (!list.at_end()) {
        if (store::record_name(list.read_record()) == name) return index;
        ++index;
    }
    return -1;
}

// Edit Launch's search: past the last record it reads beyond the end of the file.
bool edit_search_finds(const std::string& path, const std::string& name) {
    store::ListFile list(path);
    list.open_existing();
    try {
        store::LaunchRecord record;
        do {
            record = list.read_record();
        } while (store::record_name(record) != name);
        return true;
    } catch (const store::IoError& error) {
        expect(error.code() == store::read_beyond_end_of_file, "only the end stops the search");
        return false;
    }
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
            through_the_views(name);
            if (store::is_enabled(record)) {
                for (const std::string& word : platform::split_command_line(program)) {
                    expect(word.find('"') == std::string::npos, "quotes are removed");
                    expect(word.size() <= program.size(), "no word longer than its line");
                }
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
        expect(first_named(path, name) == expected, "launch-one finds the first of a name");
        expect(edit_search_finds(path, name) == (expected >= 0), "Edit Launch finds it too");
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
        expect(read_file(path) == expected, "a toggle changes one enabled byte, drops the tail");

        expect(store::rewrite_without(paths, names[0]), "a delete finds the first record");
        expect(read_file(path) == expected.substr(store::record_size),
               "a delete drops exactly the first record of the name");
    }
    return 0;
}
