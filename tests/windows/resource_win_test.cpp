// kestrun.exe's resources (resources/kestrun.rc), linked into this test program and read back
// through the system's version and icon functions, as Explorer reads them.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

std::vector<unsigned char> own_version_info() {
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    std::vector<unsigned char> info(size);
    if (size == 0 || !GetFileVersionInfoA(path, 0, size, info.data())) info.clear();
    return info;
}

std::string string_value(std::vector<unsigned char>& info, const std::string& name) {
    void* value = nullptr;
    UINT length = 0;
    const std::string key = "\\StringFileInfo\\040904B0\\" + name;
    if (!VerQueryValueA(info.data(), key.c_str(), &value, &length) || length == 0) return {};
    return std::string(static_cast<const char*>(value));
}

TEST(WindowsResources, FixedVersionIsTheProjectsAndMarksAnApplication) {
    std::vector<unsigned char> info = own_version_info();
    ASSERT_FALSE(info.empty()) << "no version resource";
    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", &value, &length));
    ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    const std::uint32_t parts[] = {KESTRUN_VERSION_PARTS};
    EXPECT_EQ(HIWORD(fixed->dwFileVersionMS), parts[0]);
    EXPECT_EQ(LOWORD(fixed->dwFileVersionMS), parts[1]);
    EXPECT_EQ(HIWORD(fixed->dwFileVersionLS), parts[2]);
    EXPECT_EQ(LOWORD(fixed->dwFileVersionLS), parts[3]);
    EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
    EXPECT_EQ(fixed->dwProductVersionLS, fixed->dwFileVersionLS);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
    EXPECT_EQ(fixed->dwFileFlags & fixed->dwFileFlagsMask, 0u) << "marked debug or pre-release";
}

TEST(WindowsResources, NamesAndVersionTexts) {
    std::vector<unsigned char> info = own_version_info();
    ASSERT_FALSE(info.empty());
    EXPECT_EQ(string_value(info, "ProductName"), "Velmora Kestrunner");
    EXPECT_EQ(string_value(info, "FileVersion"), KESTRUN_VERSION);
    EXPECT_EQ(string_value(info, "ProductVersion"), KESTRUN_VERSION);
    EXPECT_EQ(string_value(info, "OriginalFilename"), "kestrun.exe");
    EXPECT_EQ(string_value(info, "InternalName"), "kestrun");
    EXPECT_FALSE(string_value(info, "FileDescription").empty());
    EXPECT_FALSE(string_value(info, "CompanyName").empty());

    // The language the strings are filed under is the one the translation table announces.
    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\VarFileInfo\\Translation", &value, &length));
    ASSERT_EQ(length, 4u);
    const auto* words = static_cast<const WORD*>(value);
    EXPECT_EQ(words[0], 0x0409);
    EXPECT_EQ(words[1], 1200);
}

// The icon group holds an image for each size Explorer, the taskbar and the Start menu ask for,
// and the system loads each at its own size (the largest is stored as PNG).
TEST(WindowsResources, ProgramIconHasEverySize) {
    const HMODULE module = GetModuleHandleA(nullptr);
    const HRSRC group = FindResourceA(module, "IDI_ICON1", MAKEINTRESOURCEA(14));  // RT_GROUP_ICON
    ASSERT_NE(group, nullptr) << "no icon group IDI_ICON1";
    const auto* dir = static_cast<const unsigned char*>(LockResource(LoadResource(module, group)));
    ASSERT_NE(dir, nullptr);
    const unsigned count = dir[4] | (dir[5] << 8);  // GRPICONDIR: reserved, type, count
    std::vector<unsigned> widths;
    for (unsigned i = 0; i < count; ++i) {
        const unsigned char* entry = dir + 6 + 14 * i;  // GRPICONDIRENTRY, 14 bytes
        widths.push_back(entry[0] == 0 ? 256 : entry[0]);
    }
    EXPECT_EQ(widths, (std::vector<unsigned>{16, 24, 32, 48, 256}));

    for (const int size : {16, 24, 32, 48, 256}) {
        SCOPED_TRACE(size);
        const HANDLE icon = LoadImageA(module, "IDI_ICON1", IMAGE_ICON, size, size, 0);
        ASSERT_NE(icon, nullptr);
        ICONINFO details{};
        ASSERT_TRUE(GetIconInfo(static_cast<HICON>(icon), &details));
        BITMAP bitmap{};
        GetObjectA(details.hbmColor != nullptr ? details.hbmColor : details.hbmMask, sizeof bitmap,
                   &bitmap);
        EXPECT_EQ(bitmap.bmWidth, size);
        if (details.hbmColor != nullptr) DeleteObject(details.hbmColor);
        DeleteObject(details.hbmMask);
        DestroyIcon(static_cast<HICON>(icon));
    }
}

}  // namespace
