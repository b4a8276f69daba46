// The list file handle: file shapes, opening and closing, and the I/O error each cause gives.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "file_system.h"
#include "launch_record.h"
#include "list_file.h"
#include "list_rewrite.h"
#include "store_test_support.h"

namespace {

using namespace store;
using namespace kestrun_test;

std::string two_records() {
    return record_bytes(make_record("First", "/bin/first", true)) +
           record_bytes(make_record("Second", "/bin/second", false));
}

TEST(ListFileShape, TrailingBytesAreIgnoredAndDroppedByTheNextRewrite) {
    TempDir dir;
    const ListPaths paths(dir.path());
    write_bytes(paths.list_file(), two_records() + "\x7f");
    ASSERT_EQ(read_bytes(paths.list_file()).size(), 447u);

    ListFile list(paths.list_file());
    list.open_existing();
    EXPECT_EQ(list.record_count(), 2u);
    EXPECT_EQ(record_name(list.read_record()), "First");
    EXPECT_FALSE(list.at_end());
    EXPECT_EQ(record_name(list.read_record()), "Second");
    EXPECT_TRUE(list.at_end());
    EXPECT_EQ(error_of([&] { list.read_record(); }), "Read beyond end of file");
    list.close();

    copy_through_rewrite(paths);
    EXPECT_EQ(read_bytes(paths.list_file()), two_records());
}

TEST(ListFileShape, EnabledByteTwoIsOffAndSurvivesACopy) {
    TempDir dir;
    const ListPaths paths(dir.path());
    LaunchRecord odd = make_record("Odd", "/bin/odd", false);
    odd.enabled = 2;
    write_bytes(paths.list_file(), record_bytes(odd));

    ListFile list(paths.list_file());
    list.open_existing();
    EXPECT_FALSE(is_enabled(list.read_record()));
    list.close();

    copy_through_rewrite(paths);
    const std::string bytes = read_bytes(paths.list_file());
    ASSERT_EQ(bytes.size(), 223u);
    EXPECT_EQ(bytes[222], 2);
}

TEST(ListFileShape, EmptyAndAbsentFilesAreEmptyLists) {
    TempDir dir;
    ListFile empty(dir.file("empty.dat"));
    write_bytes(empty.name(), "");
    EXPECT_TRUE(empty.exists());
    empty.open_existing();
    EXPECT_EQ(empty.record_count(), 0u);
    EXPECT_TRUE(empty.at_end());
    EXPECT_EQ(error_of([&] { empty.read_record(); }), "Read beyond end of file");

    ListFile absent(dir.file("absent.dat"));
    EXPECT_FALSE(absent.exists());
    EXPECT_EQ(error_of([&] { absent.open_existing(); }), "File not found");
    EXPECT_FALSE(absent.is_open());

    EXPECT_FALSE(ListFile(dir.file("empty.dat/applications.dat")).exists());  // ENOTDIR
}

TEST(ListFileShape, FailedExistenceCheckDoesNotEmptyTheList) {
    TempDir dir;
    const ListPaths paths(dir.path());
    write_bytes(paths.list_file(), two_records());
    InjectedFileSystem injected;
    injected.fail_on = "stat applications.dat";
    ScopedFileSystem scope(injected.table());

    // Unsure means "there": the open that follows reports whatever is wrong.
    EXPECT_TRUE(ListFile(paths.list_file()).exists());
    EXPECT_EQ(injected.failed_call, "stat applications.dat");

    injected.failed_call.clear();
    append_through_rewrite(paths, make_record("Third", "/bin/third", true));
    EXPECT_EQ(read_bytes(paths.list_file()),
              two_records() + record_bytes(make_record("Third", "/bin/third", true)));
}

TEST(ListFileShape, PartialLastRecordCannotBeRead) {
    TempDir dir;
    ListFile list(dir.file("applications.dat"));
    write_bytes(list.name(), two_records().substr(0, 300));
    list.open_existing();
    EXPECT_EQ(list.record_count(), 1u);
    EXPECT_EQ(record_name(list.read_record()), "First");
    EXPECT_TRUE(list.at_end());
    try {
        list.read_record();
        FAIL() << "read past the last whole record";
    } catch (const IoError& error) {
        EXPECT_EQ(error.code(), read_beyond_end_of_file);
    }
}

TEST(ListFileHandle, WritesAdvanceAndReopeningStartsAtRecordZero) {
    TempDir dir;
    ListFile list(dir.file("applications.dat"));
    list.create();
    list.write_record(make_record("One", "/1", true));
    list.write_record(make_record("Two", "/2", true));
    list.write_record(make_record("Three", "/3", true));
    EXPECT_EQ(list.record_count(), 3u);
    EXPECT_TRUE(list.at_end());

    const int open_before = open_descriptor_count();
    list.open_existing();
    EXPECT_EQ(open_descriptor_count(), open_before);  // the old descriptor was closed
    EXPECT_EQ(record_name(list.read_record()), "One");
    EXPECT_EQ(record_name(list.read_record()), "Two");
    list.open_existing();
    EXPECT_EQ(record_name(list.read_record()), "One");

    // Writing at the position replaces that record in place.
    list.write_record(make_record("Deux", "/2", false));
    list.close();
    const std::string bytes = read_bytes(list.name());
    ASSERT_EQ(bytes.size(), 3u * 223u);
    EXPECT_EQ(bytes.substr(223, 223), record_bytes(make_record("Deux", "/2", false)));
    EXPECT_EQ(bytes.substr(446, 6), std::string("\x05Three", 6));
}

TEST(ListFileHandle, CreateTruncatesWithMode0644) {
    TempDir dir;
    const std::string path = dir.file("temp.dat");
    write_bytes(path, std::string(500, 'z'));
    const mode_t old_mask = ::umask(022);
    ListFile file(path);
    file.create();
    ::umask(old_mask);
    EXPECT_EQ(file.record_count(), 0u);
    file.close();

    fs::remove(path);  // a new file takes its mode from create
    ::umask(022);
    file.create();
    ::umask(old_mask);
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
}

TEST(ListFileHandle, DescriptorsAreCloseOnExec) {
    TempDir dir;
    ListFile file(dir.file("applications.dat"));
    file.create();
    int fd = descriptor_of(file.name());
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC) << "create";

    file.open_existing();
    fd = descriptor_of(file.name());
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC) << "open_existing";
}

TEST(ListFileHandle, BindingAgainAndDestroyingReleaseTheFile) {
    TempDir dir;
    const int open_before = open_descriptor_count();
    {
        ListFile file(dir.file("a.dat"));
        file.create();
        EXPECT_EQ(open_descriptor_count(), open_before + 1);
        file.bind(dir.file("b.dat"));
        EXPECT_FALSE(file.is_open());
        EXPECT_EQ(open_descriptor_count(), open_before);
        EXPECT_EQ(file.name(), dir.file("b.dat"));

        file.create();
        EXPECT_EQ(open_descriptor_count(), open_before + 1);
    }
    EXPECT_EQ(open_descriptor_count(), open_before);
}

TEST(ListFileHandle, FailedCloseStillReleasesTheDescriptor) {
    TempDir dir;
    const int open_before = open_descriptor_count();
    ListFile file(dir.file("a.dat"));
    file.create();
    InjectedFileSystem injected;
    injected.fail_on = "close";
    ScopedFileSystem scope(injected.table());
    EXPECT_EQ(error_of([&] { file.close(); }), "I/O error 5");
    EXPECT_FALSE(file.is_open());
    EXPECT_EQ(open_descriptor_count(), open_before);
    EXPECT_EQ(error_of([&] { file.close(); }), "");  // nothing left to close
}

TEST(ListFileHandle, EraseAndRename) {
    TempDir dir;
    ListFile file(dir.file("temp.dat"));
    file.create();
    file.write_record(make_record("New", "/new", true));
    write_bytes(dir.file("applications.dat"), two_records());

    file.rename(dir.file("applications.dat"));  // closes first, replaces the target
    EXPECT_FALSE(file.is_open());
    EXPECT_EQ(file.name(), dir.file("applications.dat"));
    EXPECT_FALSE(file_exists(dir.file("temp.dat")));
    EXPECT_EQ(read_bytes(dir.file("applications.dat")),
              record_bytes(make_record("New", "/new", true)));

    file.erase();
    EXPECT_FALSE(file_exists(dir.file("applications.dat")));
    EXPECT_EQ(error_of([&] { file.erase(); }), "File not found");
    EXPECT_EQ(error_of([&] { file.rename(dir.file("x.dat")); }), "File not found");
}

TEST(ListFileHandle, ClosedHandleRefusesRecordOperations) {
    TempDir dir;
    ListFile file(dir.file("a.dat"));
    EXPECT_EQ(error_of([&] { file.record_count(); }), "I/O error 103");
    EXPECT_EQ(error_of([&] { file.at_end(); }), "I/O error 103");
    EXPECT_EQ(error_of([&] { file.read_record(); }), "I/O error 103");
    EXPECT_EQ(error_of([&] { file.write_record(LaunchRecord{}); }), "I/O error 103");
    EXPECT_EQ(error_of([&] { file.sync(); }), "I/O error 103");
}

TEST(IoErrorText, MessagesByCode) {
    const std::vector<std::pair<int, std::string>> expected = {
        {2, "File not found"},     {3, "Invalid filename"},          {4, "Too many open files"},
        {5, "File access denied"}, {100, "Read beyond end of file"}, {101, "Disk full"},
        {32, "I/O error 32"},      {183, "I/O error 183"},           {0, "I/O error 0"},
    };
    for (const auto& [code, message] : expected) {
        EXPECT_EQ(io_error_message(code), message);
        const IoError error(code);
        EXPECT_EQ(error.code(), code);
        EXPECT_EQ(std::string(error.what()), message);
    }
}

TEST(IoErrorText, OsErrorsMapToCodes) {
    const std::vector<std::pair<int, int>> mapping = {
        {ENOENT, 2},   {ENOTDIR, 3},  {ENAMETOOLONG, 3}, {EINVAL, 3},    {ELOOP, 3},
        {EMFILE, 4},   {ENFILE, 4},   {EACCES, 5},       {EPERM, 5},     {EROFS, 5},
        {ENOSPC, 101}, {EDQUOT, 101}, {EBUSY, EBUSY},    {EXDEV, EXDEV},
    };
    for (const auto& [os_error, code] : mapping) {
        EXPECT_EQ(io_error_code_from_os(os_error), code) << "errno " << os_error;
        const IoError error = IoError::from_os(os_error);
        EXPECT_EQ(error.code(), code);
        EXPECT_EQ(std::string(error.what()), io_error_message(code)) << "errno " << os_error;
    }
    // An unnamed errno that happens to equal a named code still shows its number.
    EXPECT_EQ(std::string(IoError::from_os(EIO).what()), "I/O error " + std::to_string(EIO));
}

TEST(IoErrorCause, ReadOnlyFileIsAccessDenied) {
    // As root, which ignores permission bits, the list is `nobody`'s and opened as `nobody`.
    TempDir dir;
    ListFile list(dir.file("applications.dat"));
    write_bytes(list.name(), two_records());
    ASSERT_EQ(::chmod(list.name().c_str(), 0444), 0);
    give_to_nobody(dir.path());
    give_to_nobody(list.name());
    const auto seen = without_root([&] {
        return (list.exists() ? "there, " : "missing, ") + error_of([&] { list.open_existing(); });
    });
    EXPECT_EQ(seen, std::optional<std::string>("there, File access denied"));
}

TEST(IoErrorCause, InjectedAccessDenied) {
    TempDir dir;
    ListFile list(dir.file("applications.dat"));
    write_bytes(list.name(), two_records());
    InjectedFileSystem injected;
    injected.fail_on = "open applications.dat";
    injected.error = EACCES;
    ScopedFileSystem scope(injected.table());
    EXPECT_EQ(error_of([&] { list.open_existing(); }), "File access denied");
    EXPECT_FALSE(list.is_open());

    injected.failed_call.clear();
    injected.error = EROFS;
    EXPECT_EQ(error_of([&] { list.create(); }), "File access denied");
}

TEST(IoErrorCause, BadNamesAreInvalidFilename) {
    TempDir dir;
    ListFile too_long(dir.file(std::string(NAME_MAX + 1, 'n')));
    EXPECT_EQ(error_of([&] { too_long.create(); }), "Invalid filename");

    write_bytes(dir.file("plain"), "");
    ListFile under_a_file(dir.file("plain/applications.dat"));
    EXPECT_EQ(error_of([&] { under_a_file.create(); }), "Invalid filename");
}

TEST(IoErrorCause, DescriptorLimitIsTooManyOpenFiles) {
    TempDir dir;
    write_bytes(dir.file("applications.dat"), two_records());
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit none = saved;
    none.rlim_cur = 0;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none), 0);
    ListFile list(dir.file("applications.dat"));
    const std::string message = error_of([&] { list.open_existing(); });
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(message, "Too many open files");
}

TEST(IoErrorCause, FullDiskIsDiskFull) {
    if (::access("/dev/full", W_OK) == 0) {  // the kernel's always-full device: a real ENOSPC
        ListFile full("/dev/full");          // not a list: opened as a scratch file would be
        full.create();
        EXPECT_EQ(error_of([&] { full.write_record(make_record("x", "y", true)); }), "Disk full");
        full.close();
    }

    TempDir dir;
    ListFile file(dir.file("temp.dat"));
    file.create();
    InjectedFileSystem injected;
    ScopedFileSystem scope(injected.table());
    injected.fail_on = "pwrite";
    injected.short_write = true;
    EXPECT_EQ(error_of([&] { file.write_record(make_record("x", "y", true)); }), "Disk full");

    injected.failed_call.clear();
    injected.fail_on = "fsync";
    injected.error = ENOSPC;
    EXPECT_EQ(error_of([&] { file.sync(); }), "Disk full");

    injected.failed_call.clear();
    injected.fail_on = "pwrite";
    injected.short_write = false;
    injected.error = EDQUOT;
    EXPECT_EQ(error_of([&] { file.write_record(make_record("x", "y", true)); }), "Disk full");
}

TEST(IoErrorCause, UnnamedErrorsShowTheirNumber) {
    TempDir dir;
    ListFile list(dir.file("applications.dat"));
    write_bytes(list.name(), two_records());
    list.open_existing();
    InjectedFileSystem injected;
    ScopedFileSystem scope(injected.table());

    injected.fail_when = [](const FileCall& call) {
        return call.label.rfind("pread", 0) == 0 ? EIO : 0;  // the read ahead and the retry
    };
    EXPECT_EQ(error_of([&] { list.read_record(); }), "I/O error 5");

    injected.failed_call.clear();
    injected.fail_when = nullptr;
    injected.fail_on = "fstat";
    injected.error = EOVERFLOW;
    EXPECT_EQ(error_of([&] { list.record_count(); }), "I/O error " + std::to_string(EOVERFLOW));

    injected.failed_call.clear();
    injected.fail_on = "open";
    injected.error = EBUSY;
    EXPECT_EQ(error_of([&] { list.open_existing(); }), "I/O error " + std::to_string(EBUSY));
}

}  // namespace
