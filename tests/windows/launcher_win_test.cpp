// The launcher on Windows: the stored command line goes to the system's command-line launcher
// as it is, the program starts with its arguments, and nothing waits for it or reports a
// failure. The started program is launch_target.exe, which writes down how it was started.

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "launcher.h"

namespace {

namespace fs = std::filesystem;

std::string module_directory() {
    char path[MAX_PATH];
    const DWORD size = GetModuleFileNameA(nullptr, path, MAX_PATH);
    return fs::path(std::string(path, size)).parent_path().string();
}

// A directory of its own under the temporary folder; `name` may hold blanks.
class ScratchDir {
  public:
    explicit ScratchDir(const std::string& name) {
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        path_ = (fs::path(temp) / (name + " " + std::to_string(GetCurrentProcessId()) + "-" +
                                   std::to_string(GetTickCount64())))
                    .string();
        fs::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string file(const std::string& name) const { return (fs::path(path_) / name).string(); }

  private:
    std::string path_;
};

// The lines launch_target.exe wrote, once its file is there (empty when it never came).
std::vector<std::string> wait_for_lines(const std::string& file, int timeout_ms) {
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeout_ms);
    while (!fs::exists(file) && GetTickCount64() < deadline) Sleep(50);
    std::vector<std::string> lines;
    std::ifstream in(file, std::ios::binary);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string quoted(const std::string& text) {
    return "\"" + text + "\"";
}

class WindowsLauncher : public ::testing::Test {
  protected:
    const std::string target = (fs::path(module_directory()) / "launch_target.exe").string();
};

TEST_F(WindowsLauncher, QuotedProgramPathWithBlanksGetsItsArgumentsAndTheLineAsStored) {
    ASSERT_TRUE(fs::exists(target)) << target;
    ScratchDir dir("kestrun launcher");
    const std::string program = dir.file("launch target.exe");
    ASSERT_TRUE(CopyFileA(target.c_str(), program.c_str(), FALSE));
    const std::string out = dir.file("out one.txt");
    const std::string line = quoted(program) + " " + quoted(out) + " second \"third word\"";

    platform::launch_command_line(line);

    const std::vector<std::string> lines = wait_for_lines(out, 15000);
    ASSERT_EQ(lines.size(), 4u) << "the program did not start, or not with three arguments";
    EXPECT_EQ(lines[0], line);  // the system passed the stored line through unchanged
    EXPECT_EQ(lines[1], out);
    EXPECT_EQ(lines[2], "second");
    EXPECT_EQ(lines[3], "third word");
}

// Stored paths are normally full paths, often under "Program Files" and unquoted: the system
// tries the blank-separated prefixes until one names a program.
TEST_F(WindowsLauncher, UnquotedProgramPathWithBlanksStillStarts) {
    ScratchDir dir("kestrun unquoted");
    const std::string program = dir.file("launch target.exe");
    ASSERT_TRUE(CopyFileA(target.c_str(), program.c_str(), FALSE));
    const std::string out = (fs::path(module_directory()) /
                             ("unquoted-" + std::to_string(GetCurrentProcessId()) + ".txt"))
                                .string();

    platform::launch_command_line(program + " " + out);

    const std::vector<std::string> lines = wait_for_lines(out, 15000);
    fs::remove(out);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], out);
}

TEST_F(WindowsLauncher, ReturnsAtOnceWithoutWaitingForTheProgram) {
    ScratchDir dir("kestrun slow");
    const std::string out = dir.file("slow.txt");

    const ULONGLONG before = GetTickCount64();
    platform::launch_command_line(quoted(target) + " " + quoted(out) + " slow");
    const ULONGLONG took = GetTickCount64() - before;

    EXPECT_LT(took, 1000u) << "the launch waited for the program";
    EXPECT_FALSE(fs::exists(out)) << "the program finished before the launch returned";
    const std::vector<std::string> lines = wait_for_lines(out, 15000);
    ASSERT_EQ(lines.size(), 3u) << "the slow program never finished";
    EXPECT_EQ(lines[2], "slow");
}

TEST_F(WindowsLauncher, NothingRunnableReturnsPromptlyAndReportsNothing) {
    for (const std::string& line :
         {std::string("C:\\nonexistent\\nothing.exe --flag"), std::string("\"\""), std::string(),
          std::string("   "), std::string("no-such-program-anywhere")}) {
        SCOPED_TRACE(line);
        const ULONGLONG before = GetTickCount64();
        EXPECT_NO_THROW(platform::launch_command_line(line));
        EXPECT_LT(GetTickCount64() - before, 5000u);
    }
}

// The word rule the POSIX launcher uses, on Windows-shaped lines: backslashes are ordinary.
TEST(WindowsSplitCommandLine, BackslashesAreOrdinaryAndQuotesGroup) {
    using V = std::vector<std::string>;
    EXPECT_EQ(platform::split_command_line(R"("C:\Program Files\App\app.exe" /flag C:\dir\)"),
              (V{R"(C:\Program Files\App\app.exe)", "/flag", R"(C:\dir\)"}));
    EXPECT_EQ(platform::split_command_line("a\t\tb  \"c d\"e"), (V{"a", "b", "c de"}));
    EXPECT_EQ(platform::split_command_line(R"(say \"hi\")"), (V{"say", R"(\hi\)"}));
    EXPECT_EQ(platform::split_command_line("  "), V{});
}

}  // namespace
