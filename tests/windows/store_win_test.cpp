// The list file on the Windows file API: binary records whatever bytes they hold, the rewrite
// replacing an existing list (MoveFileEx), the old list kept when it cannot be replaced, the
// errors the system reports, and names built with backslashes.

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "cannot_run.h"
#include "files.h"
#include "launch_record.h"
#include "list_file.h"
#include "list_rewrite.h"
#include "records.h"
#include "rewrite_drivers.h"

namespace {

namespace fs = std::filesystem;
using namespace store;

using kestrun_test::append_through_rewrite;
using kestrun_test::read_bytes;
using kestrun_test::record_bytes;
using kestrun_test::rewrite_to;
using kestrun_test::TempDir;
using kestrun_test::write_bytes;

int io_error_code(void (*action)(const std::string&), const std::string& path) {
    try {
        action(path);
    } catch (const IoError& error) {
        return error.code();
    }
    return 0;
}

// Bytes that text-mode I/O would change: LF (10) and CR (13) become or lose a CR, Ctrl-Z (26)
// ends a text file. Here they are a length byte, the enabled byte and path characters.
TEST(WindowsListFile, RecordsAreBinaryWhateverBytesTheyHold) {
    TempDir dir;
    const std::string path = dir.file("applications.dat");
    LaunchRecord lf = make_record("abcdefghij",
                                  std::string("C:\\a\r\nb\x1a"
                                              "c\n",
                                              10),
                                  true);
    LaunchRecord odd = make_record("Editor", "C:\\" + std::string(23, 'x'), false);  // 26 bytes
    odd.enabled = 13;
    {
        ListFile file(path);
        file.create();
        file.write_record(lf);
        file.write_record(odd);
        file.close();
    }
    const std::string bytes = read_bytes(path);
    ASSERT_EQ(bytes.size(), 2 * record_size) << "text-mode translation changed the size";
    EXPECT_EQ(bytes.substr(0, record_size), record_bytes(lf));
    EXPECT_EQ(bytes.substr(record_size), record_bytes(odd));
    EXPECT_EQ(bytes[0], '\n');
    EXPECT_EQ(bytes[21], 10);
    EXPECT_EQ(bytes.substr(22, 10), std::string("C:\\a\r\nb\x1a"
                                                "c\n",
                                                10));
    EXPECT_EQ(bytes[record_size + 21], '\x1a');
    EXPECT_EQ(bytes[2 * record_size - 1], '\r');

    ListFile file(path);
    file.open_existing();
    EXPECT_EQ(file.record_count(), 2u);
    EXPECT_EQ(record_bytes(file.read_record()), record_bytes(lf));
    EXPECT_EQ(record_bytes(file.read_record()), record_bytes(odd));
    EXPECT_TRUE(file.at_end());
    try {
        file.read_record();
        FAIL() << "read past the end";
    } catch (const IoError& error) {
        EXPECT_EQ(error.code(), read_beyond_end_of_file);
    }
}

TEST(WindowsListFile, RewriteReplacesAnExistingListAndLeavesNoScratchFile) {
    TempDir dir;
    const ListPaths paths(dir.path());
    rewrite_to(paths, {make_record("Old", "C:\\old.exe", true)});
    rewrite_to(paths, {make_record("New", "C:\\new.exe", true), make_record("Two", "two", false)});

    EXPECT_EQ(read_bytes(paths.list_file()), record_bytes(make_record("New", "C:\\new.exe", true)) +
                                                 record_bytes(make_record("Two", "two", false)));
    EXPECT_FALSE(fs::exists(paths.temp_file()));
}

// Another program (an editor, a scanner) holding the list open without sharing its deletion:
// the list cannot be replaced, the rewrite fails, and the old list and no scratch file remain.
TEST(WindowsListFile, ListHeldOpenByAnotherProgramIsNotReplacedAndTheOldOneStays) {
    TempDir dir;
    const ListPaths paths(dir.path());
    rewrite_to(paths, {make_record("Old", "C:\\old.exe", true)});
    const std::string before = read_bytes(paths.list_file());
    const HANDLE held =
        CreateFileA(paths.list_file().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);

    int code = 0;
    try {
        rewrite_to(paths, {make_record("New", "C:\\new.exe", true)});
    } catch (const IoError& error) {
        code = error.code();
    }
    CloseHandle(held);
    EXPECT_TRUE(code == file_access_denied || code == ERROR_SHARING_VIOLATION)
        << "the rewrite gave " << code;
    EXPECT_EQ(read_bytes(paths.list_file()), before);
    EXPECT_FALSE(fs::exists(paths.temp_file()));

    // Once it is let go, the next rewrite goes through.
    rewrite_to(paths, {make_record("New", "C:\\new.exe", true)});
    EXPECT_EQ(read_bytes(paths.list_file()), record_bytes(make_record("New", "C:\\new.exe", true)));
}

// Wine run as root lets root write read-only files, as POSIX does; Windows refuses. So
// wine_test.sh runs this program as `nobody` (CI runs as root); the check says whether it did.
bool read_only_is_enforced(const TempDir& dir) {
    const std::string probe = dir.file("readonly-probe.dat");
    write_bytes(probe, "x");
    SetFileAttributesA(probe.c_str(), FILE_ATTRIBUTE_READONLY);
    const HANDLE handle = CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return true;
    CloseHandle(handle);
    return false;
}

TEST(WindowsListFile, ReadOnlyListIsFileAccessDeniedAndIsNotReplaced) {
    TempDir dir;
    // wine_test.sh runs this program as `nobody` when it is root.
    if (!read_only_is_enforced(dir))
        SKIP_OR_FAIL_IN_CI("read-only attributes are not enforced here (wine as root)");
    const ListPaths paths(dir.path());
    rewrite_to(paths, {make_record("Old", "C:\\old.exe", true)});
    const std::string before = read_bytes(paths.list_file());
    ASSERT_TRUE(SetFileAttributesA(paths.list_file().c_str(), FILE_ATTRIBUTE_READONLY));

    try {
        ListFile(paths.list_file()).open_existing();
        FAIL() << "a read-only list opened for writing";
    } catch (const IoError& error) {
        EXPECT_EQ(error.code(), file_access_denied);
        EXPECT_STREQ(error.what(), "File access denied");
    }
    // A change as the windows make it reads the list first, so it stops there. (Wine lets
    // MoveFileEx replace a read-only file, which Windows refuses: not relied on.)
    EXPECT_THROW(append_through_rewrite(paths, make_record("New", "C:\\new.exe", true)), IoError);
    EXPECT_EQ(read_bytes(paths.list_file()), before);
    EXPECT_FALSE(fs::exists(paths.temp_file()));
}

TEST(WindowsListFile, SystemErrorsCarryTheirCodesAndMessages) {
    TempDir dir;
    const auto open = [](const std::string& path) { ListFile(path).open_existing(); };
    EXPECT_EQ(io_error_code(open, dir.file("missing.dat")), file_not_found);
    EXPECT_EQ(io_error_code(open, dir.file("no-such-dir\\applications.dat")), invalid_filename);
    EXPECT_EQ(IoError::from_os(ERROR_FILE_NOT_FOUND).what(), std::string("File not found"));
    EXPECT_EQ(IoError::from_os(ERROR_PATH_NOT_FOUND).what(), std::string("Invalid filename"));
    EXPECT_EQ(IoError::from_os(ERROR_SHARING_VIOLATION).what(), std::string("I/O error 32"));
    EXPECT_EQ(IoError::from_os(ERROR_ACCESS_DENIED).what(), std::string("File access denied"));
    EXPECT_EQ(IoError::from_os(ERROR_HANDLE_DISK_FULL).what(), std::string("Disk full"));
}

TEST(WindowsListFile, AnythingAtTheNameExistsAndOnlyARegularFileIsAList) {
    TempDir dir;
    EXPECT_FALSE(ListFile(dir.file("applications.dat")).exists());
    EXPECT_FALSE(ListFile(dir.file("missing\\applications.dat")).exists());
    write_bytes(dir.file("list.dat"), "");
    EXPECT_TRUE(ListFile(dir.file("list.dat")).exists());

    // A folder at the list's name is there, and refused: never an empty list to replace.
    const ListPaths paths(dir.path());
    fs::create_directory(paths.list_file());
    EXPECT_TRUE(ListFile(paths.list_file()).exists());
    const std::string refused =
        "applications.dat is not a regular file: a directory, a device or a pipe cannot hold the "
        "list";
    try {
        ListFile(paths.list_file()).open_existing();
        FAIL() << "a folder opened as a list";
    } catch (const NotRegularFileError& error) {
        EXPECT_EQ(error.what(), refused);
    }
    EXPECT_TRUE(fs::is_directory(paths.list_file()));
}

// Rewrites take turns through temp.dat, which a rewrite holds open sharing nothing: nobody else
// opens or removes it meanwhile, and a second rewrite waits (up to its bound) for the first.
TEST(WindowsListFile, RewritesTakeTurnsThroughTheirScratchFile) {
    TempDir dir;
    const ListPaths paths(dir.path());
    rewrite_to(paths, {make_record("Old", "C:\\old.exe", true)});
    const std::string busy =
        "applications.dat is being changed by another program: try again in a moment";
    {
        ListRewrite first(paths);
        first.write(make_record("First", "C:\\first.exe", true));
        const HANDLE other = CreateFileA(paths.temp_file().c_str(), GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_EQ(other, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        if (other != INVALID_HANDLE_VALUE) CloseHandle(other);

        const ULONGLONG started = GetTickCount64();
        try {
            ListRewrite second(paths, std::chrono::milliseconds(300));
            ADD_FAILURE() << "a second rewrite started while the first was under way";
        } catch (const ListBusyError& error) {
            EXPECT_EQ(error.what(), busy);
            EXPECT_EQ(error.code(), ERROR_SHARING_VIOLATION);
        }
        EXPECT_GE(GetTickCount64() - started, 250u);
        EXPECT_TRUE(fs::exists(paths.temp_file())) << "the first one's scratch file was removed";
        first.commit();
    }
    EXPECT_EQ(read_bytes(paths.list_file()),
              record_bytes(make_record("First", "C:\\first.exe", true)));
    rewrite_to(paths, {make_record("Next", "C:\\next.exe", true)});  // and the next goes through
    EXPECT_FALSE(fs::exists(paths.temp_file()));

    // Another program holding a scratch file open the same way: waited for, then refused.
    const HANDLE held = CreateFileA(paths.temp_file().c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_THROW(ListRewrite(paths, std::chrono::milliseconds(200)), ListBusyError);
    CloseHandle(held);
    EXPECT_EQ(read_bytes(paths.list_file()),
              record_bytes(make_record("Next", "C:\\next.exe", true)));
    // Let go, it is a leftover like any other: removed by the next rewrite.
    rewrite_to(paths, {make_record("Last", "C:\\last.exe", true)});
    EXPECT_EQ(read_bytes(paths.list_file()),
              record_bytes(make_record("Last", "C:\\last.exe", true)));
    EXPECT_FALSE(fs::exists(paths.temp_file()));
}

TEST(WindowsListPaths, NamesUseBackslashesAndTheRootKeepsItsSeparator) {
    EXPECT_EQ(ListPaths("C:\\Users\\me\\").list_file(), "C:\\Users\\me\\applications.dat");
    EXPECT_EQ(ListPaths("C:\\Users\\me").temp_file(), "C:\\Users\\me\\temp.dat");
    EXPECT_EQ(ListPaths("C:/Users/me/").list_file(), "C:/Users/me\\applications.dat");
    EXPECT_EQ(ListPaths("C:\\").directory(), "C:\\");
    EXPECT_EQ(ListPaths("C:\\").list_file(),
              "C:\\\\applications.dat");  // doubled, as it always was
}

// A doubled separator (as the root gives) still names the file in that directory.
TEST(WindowsListPaths, DoubledSeparatorNamesTheSameFile) {
    TempDir dir;
    const ListPaths paths(dir.path() + "\\");
    ASSERT_EQ(paths.directory(), dir.path());
    rewrite_to(ListPaths(dir.path()), {make_record("One", "one.exe", true)});
    ListFile doubled(dir.path() + "\\\\applications.dat");
    ASSERT_TRUE(doubled.exists());
    doubled.open_existing();
    EXPECT_EQ(doubled.record_count(), 1u);
    EXPECT_EQ(record_name(doubled.read_record()), "One");
}

TEST(WindowsListPaths, CurrentIsTheWorkingDirectoryAndItsListIsFound) {
    TempDir dir;
    char previous[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryA(dir.path().c_str()));
    const ListPaths paths = ListPaths::current();
    SetCurrentDirectoryA(previous);

    EXPECT_EQ(fs::equivalent(paths.directory(), dir.path()), true) << paths.directory();
    rewrite_to(paths, {make_record("Here", "here.exe", true)});
    EXPECT_EQ(read_bytes(dir.file("applications.dat")),
              record_bytes(make_record("Here", "here.exe", true)));
}

// Names and paths are bytes of the ANSI code page. A cut at a field's capacity never splits one
// of its characters: two bytes in the Japanese and Chinese code pages (a trail byte may even be
// an ASCII letter), up to four in UTF-8. A byte that starts no character counts alone.
TEST(WindowsRecordText, CutNeverSplitsACharacterOfTheCodePage) {
    const std::string a18(18, 'a');
    const std::string a19(19, 'a');
    const std::string hiragana_a = "\x82\xa0";  // Shift-JIS (932)
    EXPECT_EQ(cut_to_capacity(a19 + hiragana_a, 20, 932), a19);
    EXPECT_EQ(cut_to_capacity(a18 + hiragana_a + "b", 20, 932), a18 + hiragana_a);
    std::string ten_katakana;
    for (int i = 0; i < 10; ++i) ten_katakana += "\x83\x41";  // katakana A: its trail byte is 'A'
    EXPECT_EQ(cut_to_capacity("x" + ten_katakana, 20, 932), "x" + ten_katakana.substr(0, 18));
    EXPECT_EQ(cut_to_capacity(a19 + "\xd6\xd0", 20, 936), a19);          // GBK
    EXPECT_EQ(cut_to_capacity(a18 + "\xe2\x82\xac", 20, CP_UTF8), a18);  // the euro sign
    EXPECT_EQ(cut_to_capacity(std::string(25, '\xff'), 20, CP_UTF8), std::string(20, '\xff'));
    // A lead byte whose next byte is no trail byte is a character of its own.
    EXPECT_EQ(cut_to_capacity(a18 + "\x82\x01zz", 20, 932), a18 + "\x82\x01");
    // A code page of one byte a character cuts anywhere.
    EXPECT_EQ(cut_to_capacity(a19 + "\x82\xa0", 20, 1252), a19 + "\x82");
}

// A path the add dialog checks names its file as the launcher will take it, in the ANSI code
// page: a typographic apostrophe (a user called O'Brien) is a byte outside Latin-1 there, which
// the C++ library's own conversion of a narrow name misreads.
TEST(WindowsPaths, PathOfAnsiBytesNamesItsFile) {
    TempDir dir;
    char apostrophe[8] = {};
    BOOL lossy = FALSE;
    // (UTF-8 takes no question whether a character was lost.)
    const int length = WideCharToMultiByte(CP_ACP, 0, L"\u2019", 1, apostrophe, sizeof apostrophe,
                                           nullptr, GetACP() == CP_UTF8 ? nullptr : &lossy);
    ASSERT_TRUE(length > 0 && !lossy)
        << "code page " << GetACP() << " has no typographic apostrophe";
    const std::string program = dir.file("O" + std::string(apostrophe, length) + "Brien.exe");
    const HANDLE made =
        CreateFileA(program.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(made, INVALID_HANDLE_VALUE);
    CloseHandle(made);

    EXPECT_TRUE(names_regular_file(program));
    EXPECT_FALSE(names_regular_file(program + " --with-an-argument"));
    EXPECT_FALSE(names_regular_file(dir.path()));  // a folder
    EXPECT_FALSE(names_regular_file(dir.file("missing.exe")));
}

}  // namespace
