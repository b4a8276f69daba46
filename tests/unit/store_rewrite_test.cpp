// Where the list lives, and the rewrite that replaces it in one step.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <string>
#include <vector>

#include "file_system.h"
#include "launch_record.h"
#include "list_file.h"
#include "list_rewrite.h"
#include "store_test_support.h"

namespace {

using namespace store;
using namespace kestrun_test;

const LaunchRecord first = make_record("First", "/bin/first", true);
const LaunchRecord second = make_record("Second", "/bin/second --flag", false);
const LaunchRecord added = make_record("Added", "/opt/added/run", true);

class WorkingDirectory {
  public:
    WorkingDirectory() : saved_(fs::current_path()) {}
    ~WorkingDirectory() { fs::current_path(saved_); }
    WorkingDirectory(const WorkingDirectory&) = delete;
    WorkingDirectory& operator=(const WorkingDirectory&) = delete;

  private:
    fs::path saved_;
};

TEST(ListPaths, RootKeepsItsSeparatorSoNamesDoubleIt) {
    const ListPaths root("/");
    EXPECT_EQ(root.directory(), "/");
    EXPECT_EQ(root.list_file(), "//applications.dat");
    EXPECT_EQ(root.temp_file(), "//temp.dat");

    EXPECT_EQ(ListPaths("/srv/lists/").directory(), "/srv/lists");
    EXPECT_EQ(ListPaths("/srv/lists").list_file(), "/srv/lists/applications.dat");
    EXPECT_EQ(ListPaths("//").directory(), "/");
}

TEST(ListPaths, CurrentIsTheWorkingDirectory) {
    TempDir dir;
    WorkingDirectory restore;
    fs::current_path(dir.path());
    EXPECT_EQ(ListPaths::current().directory(), fs::canonical(dir.path()).string());

    fs::current_path("/");
    const ListPaths root = ListPaths::current();
    EXPECT_EQ(root.directory(), "/");
    EXPECT_EQ(root.list_file(), "//applications.dat");
}

TEST(ListPaths, DoubledSeparatorNamesWork) {
    // Names like the root's "//applications.dat", made in a scratch directory instead.
    TempDir dir;
    const ListPaths paths("/" + dir.path());
    ASSERT_EQ(paths.list_file().substr(0, 2), "//");
    append_through_rewrite(paths, first);
    append_through_rewrite(paths, second);
    EXPECT_EQ(read_bytes(dir.file("applications.dat")), record_bytes(first) + record_bytes(second));
    EXPECT_FALSE(file_exists(dir.file("temp.dat")));
}

TEST(AtomicReplace, SuccessfulRewriteReplacesTheList) {
    TempDir dir;
    const ListPaths paths(dir.path());
    const int open_before = open_descriptor_count();

    append_through_rewrite(paths, first);  // no list yet: the first add creates it
    EXPECT_EQ(read_bytes(paths.list_file()), record_bytes(first));
    append_through_rewrite(paths, second);
    EXPECT_EQ(read_bytes(paths.list_file()), record_bytes(first) + record_bytes(second));

    {
        ListRewrite rewrite(paths);  // a delete of "First": copy all but it
        rewrite.write(second);
        rewrite.commit();
    }
    EXPECT_EQ(read_bytes(paths.list_file()), record_bytes(second));
    EXPECT_FALSE(file_exists(paths.temp_file()));
    EXPECT_EQ(open_descriptor_count(), open_before);
}

// A toggle and a delete change the first record of the name only; duplicates after it, a
// name no record has and a partial record at the end are as the rewrite always treats them.
TEST(NamedRewrite, ChangesOnlyTheFirstRecordOfTheName) {
    TempDir dir;
    const ListPaths paths(dir.path());
    const LaunchRecord twin = make_record("Second", "/bin/twin", false);
    const std::string list = record_bytes(first) + record_bytes(second) + record_bytes(twin);
    write_bytes(paths.list_file(), list + "partial");

    EXPECT_TRUE(rewrite_with_flag(paths, "Second", true));
    LaunchRecord enabled = second;
    enabled.enabled = 1;
    EXPECT_EQ(read_bytes(paths.list_file()),
              record_bytes(first) + record_bytes(enabled) + record_bytes(twin));

    EXPECT_TRUE(rewrite_without(paths, "Second"));
    EXPECT_EQ(read_bytes(paths.list_file()), record_bytes(first) + record_bytes(twin));

    EXPECT_FALSE(rewrite_with_flag(paths, "Nobody", true));
    EXPECT_FALSE(rewrite_without(paths, "Nobody"));
    EXPECT_EQ(read_bytes(paths.list_file()), record_bytes(first) + record_bytes(twin));
    EXPECT_FALSE(file_exists(paths.temp_file()));
}

TEST(NamedRewrite, EmptyListReadsBeyondItsEndAndStaysAsItWas) {
    TempDir dir;
    const ListPaths paths(dir.path());
    const int open_before = open_descriptor_count();
    for (const bool toggle : {true, false}) {
        write_bytes(paths.list_file(), "short");
        try {
            toggle ? rewrite_with_flag(paths, "First", true) : rewrite_without(paths, "First");
            ADD_FAILURE() << "an empty list was rewritten";
        } catch (const IoError& error) {
            EXPECT_EQ(error.code(), read_beyond_end_of_file);
        }
        EXPECT_EQ(read_bytes(paths.list_file()), "short");
        EXPECT_FALSE(file_exists(paths.temp_file()));
        EXPECT_EQ(open_descriptor_count(), open_before);
    }
}

TEST(AtomicReplace, LeftoverTempIsTruncated) {
    TempDir dir;
    const ListPaths paths(dir.path());
    write_bytes(paths.temp_file(), std::string(1000, 'L'));
    append_through_rewrite(paths, first);
    EXPECT_EQ(read_bytes(paths.list_file()), record_bytes(first));
}

TEST(AtomicReplace, UncommittedRewriteRemovesItsScratchFile) {
    TempDir dir;
    const ListPaths paths(dir.path());
    const std::string old = record_bytes(first) + record_bytes(second);
    write_bytes(paths.list_file(), old);
    const int open_before = open_descriptor_count();
    {
        ListRewrite rewrite(paths);
        rewrite.write(added);
        EXPECT_TRUE(file_exists(paths.temp_file()));
    }
    EXPECT_FALSE(file_exists(paths.temp_file()));
    EXPECT_EQ(read_bytes(paths.list_file()), old);
    EXPECT_EQ(open_descriptor_count(), open_before);
}

TEST(AtomicReplace, FailedCreateRemovesAnUntruncatableLeftover) {
    TempDir dir;
    const ListPaths paths(dir.path());
    write_bytes(paths.temp_file(), "partial list from a crash");
    InjectedFileSystem injected;
    injected.fail_on = "open temp.dat";
    injected.error = EACCES;
    {
        ScopedFileSystem scope(injected.table());
        EXPECT_THROW(ListRewrite{paths}, IoError);
    }
    EXPECT_FALSE(file_exists(paths.temp_file()));
    append_through_rewrite(paths, first);  // and the next rewrite goes through
    EXPECT_EQ(read_bytes(paths.list_file()), record_bytes(first));
}

// Fails each call of an add in turn. Up to the rename the old list must stay byte for byte;
// after it (the directory sync) the new list is in place and the add reports no failure, as
// for a read ahead, which is made again record by record.
void fail_each_call_in_turn(int error, const std::string& expected_message) {
    TempDir dir;
    const ListPaths paths(dir.path());
    const std::string old = record_bytes(first) + record_bytes(second);
    const std::string updated = old + record_bytes(added);
    write_bytes(paths.list_file(), old);

    std::set<std::string> failed_kinds;
    for (int call = 1;; ++call) {
        SCOPED_TRACE("failing call " + std::to_string(call));
        InjectedFileSystem injected;
        injected.fail_at = call;
        injected.error = error;
        const int open_before = open_descriptor_count();
        const std::string message =
            injected.error_of([&] { append_through_rewrite(paths, added); });
        EXPECT_EQ(open_descriptor_count(), open_before);
        EXPECT_FALSE(file_exists(paths.temp_file()));

        if (injected.failed_call.empty()) {  // every call has had its turn
            EXPECT_EQ(message, "");
            EXPECT_EQ(read_bytes(paths.list_file()), updated);
            break;
        }
        SCOPED_TRACE("failed " + injected.failed_call);
        failed_kinds.insert(injected.failed_call.substr(0, injected.failed_call.find(' ')));
        if (!message.empty()) {
            EXPECT_EQ(message, expected_message);
            EXPECT_EQ(read_bytes(paths.list_file()), old);
        } else {
            EXPECT_TRUE(failure_goes_unreported(injected.failed_call));
            EXPECT_EQ(read_bytes(paths.list_file()), updated);
            write_bytes(paths.list_file(), old);
        }
        ASSERT_LT(call, 100) << "the add never ran out of calls to fail";
    }
    const std::set<std::string> every_kind = {"lstat", "open",   "flock", "fstat",
                                              "pread", "pwrite", "stat",  "fchmod",
                                              "fsync", "close",  "rename"};
    EXPECT_EQ(failed_kinds, every_kind);
}

TEST(AtomicReplace, FailureAtAnyStepLeavesTheOldList) {
    fail_each_call_in_turn(EIO, "I/O error " + std::to_string(EIO));
}

TEST(AtomicReplace, FullDiskAtAnyStepLeavesTheOldList) {
    fail_each_call_in_turn(ENOSPC, "Disk full");
}

TEST(AtomicReplace, ShortWriteIsDiskFullAndLeavesTheOldList) {
    TempDir dir;
    const ListPaths paths(dir.path());
    const std::string old = record_bytes(first) + record_bytes(second);
    write_bytes(paths.list_file(), old);
    const int open_before = open_descriptor_count();
    InjectedFileSystem injected;
    injected.fail_on = "pwrite temp.dat";
    injected.short_write = true;
    const std::string message = injected.error_of([&] { append_through_rewrite(paths, added); });
    EXPECT_EQ(message, "Disk full");
    EXPECT_EQ(read_bytes(paths.list_file()), old);
    EXPECT_FALSE(file_exists(paths.temp_file()));
    EXPECT_EQ(open_descriptor_count(), open_before);
}

TEST(AtomicReplace, FlushThenRenameThenDirectorySync) {
    TempDir dir;
    const ListPaths paths(dir.path());
    write_bytes(paths.list_file(), record_bytes(first));
    InjectedFileSystem recorder;
    {
        ScopedFileSystem scope(recorder.table());
        append_through_rewrite(paths, added);
    }
    const std::vector<std::string>& calls = recorder.calls;
    ASSERT_GE(calls.size(), 8u);
    // The list's turn first (the folder locked, the list looked at again under the lock), then
    // temp.dat, which there is no leftover of.
    const std::vector<std::string> head(calls.begin(), calls.begin() + 7);
    const std::vector<std::string> expected_head = {
        "lstat applications.dat", "open dir",      "flock dir",      "lstat applications.dat",
        "lstat temp.dat",         "open temp.dat", "fstat temp.dat",
    };
    EXPECT_EQ(head, expected_head);
    const std::vector<std::string> tail(calls.end() - 8, calls.end());
    const std::vector<std::string> expected_tail = {
        "stat applications.dat",
        "fchmod temp.dat",
        "fsync temp.dat",
        "close temp.dat",
        "lstat temp.dat",  // still the file we made
        "rename temp.dat applications.dat",
        "fsync dir",
        "close dir",  // and the list's turn is over
    };
    EXPECT_EQ(tail, expected_tail);
    // Replaced in one step: the old list is never removed first.
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "unlink applications.dat"), 0);
    // Both records in one write.
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(),
                            [](const std::string& c) { return c == "pwrite temp.dat"; }),
              1);
}

}  // namespace
