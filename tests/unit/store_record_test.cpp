// The 223-byte record: where each field sits on disk, how text is cut to a field, and how
// odd stored bytes read back.

#include <gtest/gtest.h>

#include <string>

#include "launch_record.h"
#include "list_file.h"
#include "store_test_support.h"

namespace {

using namespace store;
using namespace kestrun_test;

LaunchRecord read_single_record(const std::string& path) {
    ListFile file(path);
    file.open_existing();
    LaunchRecord record = file.read_record();
    file.close();
    return record;
}

void write_single_record(const std::string& path, const LaunchRecord& record) {
    ListFile file(path);
    file.create();
    file.write_record(record);
    file.close();
}

TEST(RecordOnDisk, EveryFieldSitsAtItsOffset) {
    TempDir dir;
    const std::string path = dir.file("applications.dat");
    write_single_record(path, make_record("Editor", "/usr/bin/editor --new-window", true));

    const std::string bytes = read_bytes(path);
    ASSERT_EQ(bytes.size(), 223u);
    EXPECT_EQ(bytes[0], 6);                                 // name length
    EXPECT_EQ(bytes.substr(1, 6), "Editor");                // name characters from 1
    EXPECT_EQ(bytes.substr(7, 14), std::string(14, '\0'));  // rest of the 20 written as zeros
    EXPECT_EQ(bytes[21], 28);                               // path length
    EXPECT_EQ(bytes.substr(22, 28), "/usr/bin/editor --new-window");
    EXPECT_EQ(bytes.substr(50, 172), std::string(172, '\0'));
    EXPECT_EQ(bytes[222], 1);  // enabled
}

TEST(RecordOnDisk, HandMadeBytesReadBackFieldByFieldAndCopyUnchanged) {
    TempDir dir;
    std::string raw(223, '\0');
    raw[0] = 20;
    for (int i = 0; i < 20; ++i) raw[1 + i] = static_cast<char>('a' + i);
    raw[21] = static_cast<char>(200);
    for (int i = 0; i < 200; ++i) raw[22 + i] = static_cast<char>('0' + i % 10);
    raw[222] = 1;
    write_bytes(dir.file("full.dat"), raw);

    const LaunchRecord full = read_single_record(dir.file("full.dat"));
    EXPECT_EQ(record_name(full), "abcdefghijklmnopqrst");
    std::string path;
    for (int i = 0; i < 200; ++i) path += static_cast<char>('0' + i % 10);
    EXPECT_EQ(record_path(full), path);
    EXPECT_TRUE(is_enabled(full));

    // Short fields with leftover bytes behind their lengths: the leftovers are not text, but a
    // record copied unchanged keeps every byte.
    raw[0] = 3;
    raw[21] = 1;
    raw[222] = 0;
    write_bytes(dir.file("short.dat"), raw);
    const LaunchRecord short_fields = read_single_record(dir.file("short.dat"));
    EXPECT_EQ(record_name(short_fields), "abc");
    EXPECT_EQ(record_path(short_fields), "0");
    EXPECT_FALSE(is_enabled(short_fields));

    write_single_record(dir.file("copy.dat"), short_fields);
    EXPECT_EQ(read_bytes(dir.file("copy.dat")), raw);
}

TEST(RecordOnDisk, LengthAboveCapacityReadsAsCapacity) {
    TempDir dir;
    std::string raw(223, 'x');
    raw[0] = static_cast<char>(255);
    raw[21] = static_cast<char>(255);
    write_bytes(dir.file("a.dat"), raw);
    LaunchRecord record = read_single_record(dir.file("a.dat"));
    EXPECT_EQ(record_name(record), std::string(20, 'x'));
    EXPECT_EQ(record_path(record), std::string(200, 'x'));

    record.name_length = 21;
    record.path_length = 201;
    EXPECT_EQ(record_name(record).size(), 20u);
    EXPECT_EQ(record_path(record).size(), 200u);
}

TEST(RecordOnDisk, OnlyEnabledByteOneMeansEnabled) {
    LaunchRecord record = make_record("n", "p", true);
    EXPECT_EQ(record.enabled, 1);
    record.enabled = 2;
    EXPECT_FALSE(is_enabled(record));
    record.enabled = 255;
    EXPECT_FALSE(is_enabled(record));
    EXPECT_EQ(make_record("n", "p", false).enabled, 0);
}

TEST(RecordText, LongTextIsCutToCapacity) {
    CtypeLocale locale("C");
    const LaunchRecord record =
        make_record("ABCDEFGHIJKLMNOPQRSTUVWXY", std::string(250, 'p') + "tail", false);
    EXPECT_EQ(record.name_length, 20);
    EXPECT_EQ(record_name(record), "ABCDEFGHIJKLMNOPQRST");
    EXPECT_EQ(record.path_length, 200);
    EXPECT_EQ(record_path(record), std::string(200, 'p'));
}

TEST(RecordText, ShorterTextZeroesWhatALongerOneLeft) {
    LaunchRecord record = make_record(std::string(20, 'n'), std::string(200, 'p'), true);
    set_name(record, "ab");
    set_path(record, "/x");
    EXPECT_EQ(record.name_length, 2);
    EXPECT_EQ(std::string(record.name_chars + 2, 18), std::string(18, '\0'));
    EXPECT_EQ(record.path_length, 2);
    EXPECT_EQ(std::string(record.path_chars + 2, 198), std::string(198, '\0'));
    EXPECT_EQ(record.enabled, 1);  // set_name and set_path leave the flag alone
}

TEST(RecordText, Utf8CutNeverSplitsACharacter) {
    CtypeLocale locale("C.UTF-8");
    if (!locale.ok()) GTEST_SKIP() << "the C.UTF-8 locale is not available";

    const std::string e_acute = "\xc3\xa9";       // 2 bytes
    const std::string euro = "\xe2\x82\xac";      // 3 bytes
    const std::string grin = "\xf0\x9f\x98\x80";  // 4 bytes
    std::string ten_e;
    for (int i = 0; i < 10; ++i) ten_e += e_acute;

    EXPECT_EQ(cut_to_capacity("a" + ten_e, 20), "a" + ten_e.substr(0, 18));
    EXPECT_EQ(cut_to_capacity(ten_e + "z", 20), ten_e);  // ends exactly on the boundary
    std::string seven_euros;
    for (int i = 0; i < 7; ++i) seven_euros += euro;
    EXPECT_EQ(cut_to_capacity(seven_euros, 20), seven_euros.substr(0, 18));
    EXPECT_EQ(cut_to_capacity("a" + grin + grin + grin + grin + grin, 20),
              "a" + grin + grin + grin + grin);

    const LaunchRecord record = make_record("a" + ten_e, std::string(199, 'p') + e_acute, true);
    EXPECT_EQ(record.name_length, 19);
    EXPECT_EQ(record_name(record), "a" + ten_e.substr(0, 18));
    EXPECT_EQ(record.path_length, 199);
}

TEST(RecordText, InvalidBytesCountOneEach) {
    CtypeLocale locale("C.UTF-8");
    if (!locale.ok()) GTEST_SKIP() << "the C.UTF-8 locale is not available";

    EXPECT_EQ(cut_to_capacity(std::string(25, '\xff'), 20), std::string(20, '\xff'));
    // A lead byte followed by no continuation is a byte of its own.
    EXPECT_EQ(cut_to_capacity(std::string(19, 'a') + "\xc3" + "bc", 20),
              std::string(19, 'a') + "\xc3");
    // So is each byte of a character cut short by the end of the text.
    EXPECT_EQ(cut_to_capacity(std::string(19, 'a') + "\xe2\x82", 20),
              std::string(19, 'a') + "\xe2");
    // A broken sequence does not disturb the characters after it.
    EXPECT_EQ(cut_to_capacity("\x80" + std::string(18, 'a') + "\xc3\xa9", 20),
              "\x80" + std::string(18, 'a'));
}

TEST(RecordText, SingleByteLocaleCutsAnywhere) {
    CtypeLocale locale("C");
    const std::string text =
        "a\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9"
        "\xc3\xa9\xc3\xa9";
    EXPECT_EQ(cut_to_capacity(text, 20), text.substr(0, 20));
}

}  // namespace
