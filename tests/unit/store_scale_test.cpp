// A long list through the store: every byte kept, and a pass over it reads and writes a few
// hundred records a system call, not one a record.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "list_file.h"
#include "list_rewrite.h"
#include "store_test_support.h"

namespace {

using namespace store;
using namespace kestrun_test;

constexpr std::size_t long_list = 1000;

std::string long_list_bytes() {
    std::string bytes;
    for (std::size_t i = 0; i < long_list; ++i) {
        const std::string n = std::to_string(i);
        bytes +=
            record_bytes(make_record("entry " + n, "/opt/entry/" + n + " --n " + n, i % 3 != 0));
    }
    return bytes;
}

std::size_t count_of(const std::vector<std::string>& calls, const std::string& call) {
    return static_cast<std::size_t>(std::count(calls.begin(), calls.end(), call));
}

TEST(LongList, RewriteKeepsEveryByteWithFewReadsAndWritesAndOneSizeLookUpPerPass) {
    TempDir dir;
    const ListPaths paths(dir.path());
    const std::string old = long_list_bytes();
    write_bytes(paths.list_file(), old);
    InjectedFileSystem recorder;
    {
        ScopedFileSystem scope(recorder.table());
        toggle_through_rewrite(paths, 700);
    }
    std::string expected = old;
    const std::size_t enabled_byte = 700 * record_size + record_size - 1;
    expected[enabled_byte] = expected[enabled_byte] == 1 ? 0 : 1;
    EXPECT_EQ(read_bytes(paths.list_file()), expected);
    EXPECT_FALSE(file_exists(paths.temp_file()));

    const std::size_t reads = count_of(recorder.calls, "pread applications.dat");
    EXPECT_GE(reads, 1u);
    EXPECT_LE(reads, long_list / 100);
    const std::size_t writes = count_of(recorder.calls, "pwrite temp.dat");
    EXPECT_GE(writes, 1u);
    EXPECT_LE(writes, long_list / 100);
    // The size is looked up when the pass starts and where it seems to end, not per record.
    EXPECT_LE(count_of(recorder.calls, "fstat applications.dat"), 3u);
}

TEST(LongList, AWriteFailingMidwayLeavesTheOldListAndNoScratchFile) {
    for (const int error : {EIO, ENOSPC}) {
        SCOPED_TRACE(error);
        TempDir dir;
        const ListPaths paths(dir.path());
        const std::string old = long_list_bytes();
        write_bytes(paths.list_file(), old);
        const int open_before = open_descriptor_count();
        InjectedFileSystem injected;
        injected.fail_on = "pwrite temp.dat";
        injected.error = error;
        const std::string message = injected.error_of([&] { toggle_through_rewrite(paths, 3); });
        EXPECT_EQ(message, error == ENOSPC ? "Disk full" : "I/O error " + std::to_string(EIO));
        // The first gathered write failed before the last record was even read.
        EXPECT_LT(count_of(injected.calls, "pread applications.dat"), long_list);
        EXPECT_EQ(read_bytes(paths.list_file()), old);
        EXPECT_FALSE(file_exists(paths.temp_file()));
        EXPECT_EQ(open_descriptor_count(), open_before);
    }
}

TEST(LongList, ABadSpotFailsTheReadOfItsRecordOnlyAfterEveryRecordBeforeIt) {
    TempDir dir;
    const ListPaths paths(dir.path());
    write_bytes(paths.list_file(), long_list_bytes());
    InjectedFileSystem injected;
    injected.fail_when = nth_read_fails(701, EIO);
    ScopedFileSystem scope(injected.table());
    ListFile list(paths.list_file());
    list.open_existing();
    for (std::size_t i = 0; i < 700; ++i)
        ASSERT_EQ(record_name(list.read_record()), "entry " + std::to_string(i));
    EXPECT_EQ(error_of([&] { list.read_record(); }), "I/O error " + std::to_string(EIO));
}

TEST(LongList, TheEndOfAPassStillSeesRecordsAddedMeanwhile) {
    TempDir dir;
    const ListPaths paths(dir.path());
    write_bytes(paths.list_file(), record_bytes(make_record("One", "/1", true)) +
                                       record_bytes(make_record("Two", "/2", true)));
    ListFile list(paths.list_file());
    list.open_existing();
    EXPECT_FALSE(list.at_end());
    EXPECT_EQ(record_name(list.read_record()), "One");
    EXPECT_FALSE(list.at_end());
    {
        ListFile other(paths.list_file());
        other.open_existing();
        other.read_record();
        other.read_record();
        other.write_record(make_record("Three", "/3", true));
    }
    EXPECT_EQ(record_name(list.read_record()), "Two");
    EXPECT_FALSE(list.at_end());
    EXPECT_EQ(record_name(list.read_record()), "Three");
    EXPECT_TRUE(list.at_end());
}

TEST(LongList, WriteRecordsPutsThemAtThePositionInOneGo) {
    TempDir dir;
    ListFile list(dir.file("applications.dat"));
    list.create();
    const std::vector<LaunchRecord> records = {make_record("A", "/a", true),
                                               make_record("B", "/b", false)};
    list.write_records(records.data(), records.size());
    list.write_records(records.data(), 0);  // nothing, and no harm
    list.write_record(make_record("C", "/c", true));
    EXPECT_EQ(list.record_count(), 3u);
    EXPECT_TRUE(list.at_end());
    list.close();
    EXPECT_EQ(read_bytes(dir.file("applications.dat")),
              record_bytes(records[0]) + record_bytes(records[1]) +
                  record_bytes(make_record("C", "/c", true)));
    EXPECT_THROW(list.write_records(records.data(), 1), IoError);  // closed: I/O error 103
}

}  // namespace
