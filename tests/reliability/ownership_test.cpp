// The list file is the user's own: a list (or scratch file) that someone else owns or may
// write is refused everywhere it is used, temp.dat is never written through a planted link,
// and a rewrite keeps the old list's permissions.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAction>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "Unit2.h"
#include "dialogs_fixture.h"
#include "file_system.h"
#include "gui_fixture.h"
#include "list_file.h"
#include "list_rewrite.h"
#include "store_test_support.h"
#include "unit1.h"

namespace {

using namespace store;
using namespace kestrun_test;
namespace fs = std::filesystem;

constexpr uid_t other_user = 4242;
constexpr gid_t other_group = 4242;

const LaunchRecord first = make_record("First", "/bin/first", true);
const LaunchRecord second = make_record("Second", "/bin/second", false);

mode_t mode_of(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return 0;
    return info.st_mode & 07777;
}

// How a list can stop being the user's own. Each makes `path` unsafe; false when this
// process may not do it (changing the owner needs root).
struct Hazard {
    const char* name;
    bool (*apply)(const std::string& path);
};

const Hazard hazards[] = {
    {"owned by another user",
     [](const std::string& p) { return is_root() && ::chown(p.c_str(), other_user, -1) == 0; }},
    {"owned by another user, group-less mode 0600",
     [](const std::string& p) {
         return is_root() && ::chmod(p.c_str(), 0600) == 0 &&
                ::chown(p.c_str(), other_user, other_group) == 0;
     }},
    {"writable by its group", [](const std::string& p) { return ::chmod(p.c_str(), 0664) == 0; }},
    {"writable by others", [](const std::string& p) { return ::chmod(p.c_str(), 0646) == 0; }},
    {"writable by everyone", [](const std::string& p) { return ::chmod(p.c_str(), 0666) == 0; }},
};

TEST(ListOwnership, OnlyTheUsersOwnListIsOpened) {
    TempDir dir;
    const ListPaths paths(dir.path());
    const std::string bytes = record_bytes(first) + record_bytes(second);
    write_bytes(paths.list_file(), bytes);
    ::chmod(paths.list_file().c_str(), 0644);
    {
        ListFile list(paths.list_file());
        list.open_existing();  // the user's, 0644: read as always
        EXPECT_EQ(record_name(list.read_record()), "First");
    }
    ::chmod(paths.list_file().c_str(), 0400);  // read-only to its owner is safe, just not writable
    EXPECT_EQ(error_of([&] { ListFile(paths.list_file()).open_existing(); }),
              is_root() ? "" : "File access denied");

    int tried = 0;
    for (const Hazard& hazard : hazards) {
        SCOPED_TRACE(hazard.name);
        write_bytes(paths.list_file(), bytes);
        ASSERT_EQ(::chown(paths.list_file().c_str(), ::geteuid(), ::getegid()), 0);
        ::chmod(paths.list_file().c_str(), 0644);
        if (!hazard.apply(paths.list_file())) continue;
        ++tried;
        const int open_before = open_descriptor_count();
        ListFile list(paths.list_file());
        try {
            list.open_existing();
            ADD_FAILURE() << "opened";
        } catch (const UnsafeFileError& error) {
            EXPECT_EQ(std::string(error.what()), unsafe_list);
            EXPECT_EQ(error.code(), file_access_denied);
        }
        EXPECT_FALSE(list.is_open());
        EXPECT_EQ(open_descriptor_count(), open_before);

        // No rewrite goes through it either, and it stays as it was.
        EXPECT_EQ(error_of([&] { toggle_through_rewrite(paths, 0); }), unsafe_list);
        EXPECT_EQ(read_bytes(paths.list_file()), bytes);
        EXPECT_FALSE(file_exists(paths.temp_file()));
        EXPECT_EQ(open_descriptor_count(), open_before);
    }
    EXPECT_GE(tried, 3);
    NEEDS_ROOT("the other-owner cases need chown");
}

TEST(ListOwnership, LinkedListIsJudgedByWhatItNames) {
    NEEDS_ROOT("chown");
    TempDir dir;
    const ListPaths paths(dir.path());
    const std::string foreign = dir.file("foreign.dat");
    write_bytes(foreign, record_bytes(first));
    ::chmod(foreign.c_str(), 0644);
    ASSERT_EQ(::chown(foreign.c_str(), other_user, other_group), 0);
    ASSERT_EQ(::symlink(foreign.c_str(), paths.list_file().c_str()), 0);
    EXPECT_EQ(error_of([&] { ListFile(paths.list_file()).open_existing(); }), unsafe_list);
}

class ScratchFile : public ::testing::Test {
  protected:
    TempDir dir;
    ListPaths paths{dir.path()};
    std::string victim = dir.file("victim");
    const std::string victim_bytes = "the user's own file, not a list";
    const std::string old_list = record_bytes(first);

    void SetUp() override {
        write_bytes(paths.list_file(), old_list);
        ::chmod(paths.list_file().c_str(), 0644);
        write_bytes(victim, victim_bytes);
        ::chmod(victim.c_str(), 0644);
    }
    void expect_refused_and_untouched() {
        EXPECT_EQ(error_of([&] { toggle_through_rewrite(paths, 0); }), unsafe_temp);
        EXPECT_EQ(read_bytes(paths.list_file()), old_list);
        EXPECT_EQ(read_bytes(victim), victim_bytes);
    }
};

TEST_F(ScratchFile, UsersOwnLinkIsRemovedNeverFollowed) {
    ASSERT_EQ(::symlink(victim.c_str(), paths.temp_file().c_str()), 0);
    toggle_through_rewrite(paths, 0);
    EXPECT_EQ(read_bytes(victim), victim_bytes);
    LaunchRecord toggled = first;
    toggled.enabled = 0;
    EXPECT_EQ(read_bytes(paths.list_file()), record_bytes(toggled));
    EXPECT_FALSE(fs::is_symlink(paths.list_file()));
    EXPECT_FALSE(file_exists(paths.temp_file()));
}

TEST_F(ScratchFile, DanglingLinkIsNotFollowedToCreateItsTarget) {
    const std::string target = dir.file("created-through-link");
    ASSERT_EQ(::symlink(target.c_str(), paths.temp_file().c_str()), 0);
    toggle_through_rewrite(paths, 0);
    EXPECT_FALSE(file_exists(target));
    EXPECT_FALSE(fs::is_symlink(paths.list_file()));
}

TEST_F(ScratchFile, SomeoneElsesLinkOrFileIsRefused) {
    NEEDS_ROOT("lchown");
    ASSERT_EQ(::symlink(victim.c_str(), paths.temp_file().c_str()), 0);
    ASSERT_EQ(::lchown(paths.temp_file().c_str(), other_user, other_group), 0);
    expect_refused_and_untouched();
    EXPECT_TRUE(fs::is_symlink(paths.temp_file()));  // not ours to remove

    fs::remove(paths.temp_file());
    write_bytes(paths.temp_file(), "planted");
    ::chmod(paths.temp_file().c_str(), 0644);
    ASSERT_EQ(::chown(paths.temp_file().c_str(), other_user, other_group), 0);
    expect_refused_and_untouched();
    EXPECT_EQ(read_bytes(paths.temp_file()), "planted");
}

TEST_F(ScratchFile, WritableLeftoverIsRefusedAndSafeOneReplaced) {
    write_bytes(paths.temp_file(), "leftover");
    ::chmod(paths.temp_file().c_str(), 0666);
    expect_refused_and_untouched();

    ::chmod(paths.temp_file().c_str(), 0600);
    toggle_through_rewrite(paths, 0);
    EXPECT_EQ(read_bytes(paths.list_file()).size(), 223u);
    EXPECT_FALSE(file_exists(paths.temp_file()));
}

TEST_F(ScratchFile, NamePlantedAgainAfterTheLeftoverWentIsRefused) {
    // Between our removal of the leftover and our create, someone links the name again.
    write_bytes(paths.temp_file(), "leftover");
    ::chmod(paths.temp_file().c_str(), 0600);
    InjectedFileSystem racing;
    racing.after_each = [this](const FileCall& call) {
        if (call.label == "unlink temp.dat" &&
            ::symlink(victim.c_str(), paths.temp_file().c_str()) != 0) {
            ADD_FAILURE() << "could not link " << paths.temp_file() << " again";
        }
    };
    {
        ScopedFileSystem scope(racing.table());
        expect_refused_and_untouched();
    }
    EXPECT_TRUE(fs::is_symlink(paths.temp_file()));
}

TEST(ListPermissions, ReplacedListKeepsTheOldMode) {
    TempDir dir;
    const ListPaths paths(dir.path());
    const mode_t old_mask = ::umask(022);
    for (const mode_t mode : {0600, 0640, 0644, 0700, 0755, 0400}) {
        SCOPED_TRACE(mode);
        write_bytes(paths.list_file(), record_bytes(first));
        ASSERT_EQ(::chmod(paths.list_file().c_str(), mode), 0);
        if (mode == 0400 && !is_root()) continue;  // the owner cannot open it for writing
        toggle_through_rewrite(paths, 0);
        EXPECT_EQ(mode_of(paths.list_file()), mode);
        EXPECT_EQ(read_bytes(paths.list_file()).size(), 223u);
    }
    // The first list takes the creation mode; under a stricter mask, a stricter mode.
    for (const auto& [mask, expected] : {std::pair<mode_t, mode_t>{022, 0644}, {077, 0600}}) {
        fs::remove(paths.list_file());
        ::umask(mask);
        {
            ListRewrite rewrite(paths);
            rewrite.write(first);
            rewrite.commit();
        }
        EXPECT_EQ(mode_of(paths.list_file()), expected);
    }
    ::umask(old_mask);
}

// --- Every action of the windows refuses a list that is not the user's own ---------------

using namespace kestrun_test;

std::vector<std::string> line_names(const TForm1& form) {
    std::vector<std::string> names;
    for (int i = 0; i < form.CheckListBox1->count(); ++i)
        names.push_back(TForm1::line_name(form.CheckListBox1->item(i)));
    return names;
}

class UnsafeListInTheWindows : public GuiTest {
  protected:
    const QString box_text = QString::fromStdString(unsafe_list + ".");
    void write_safe_list() {
        write_list({record("Mail", "/bin/mail", 1), record("Chat", "/bin/chat", 1)});
        ::chmod(list_path().c_str(), 0644);
    }
    // Makes the list someone else's when root can, else writable by others.
    void make_unsafe() {
        if (is_root()) {
            ASSERT_EQ(::chown(list_path().c_str(), other_user, other_group), 0);
        } else {
            ASSERT_EQ(::chmod(list_path().c_str(), 0666), 0);
        }
    }
    void expect_one_box() {
        ASSERT_EQ(error_boxes.size(), 1u);
        EXPECT_EQ(error_boxes[0].first, "kestrun");
        EXPECT_EQ(error_boxes[0].second, box_text);
    }
};

TEST_F(UnsafeListInTheWindows, StartUpLoadsNothingAndLaunchAllStartsNothing) {
    write_safe_list();
    make_unsafe();
    Windows w;
    expect_one_box();
    EXPECT_EQ(w.form.CheckListBox1->count(), 0);
    EXPECT_TRUE(w.form.RunApplication1->actions().isEmpty());
    EXPECT_FALSE(w.form.RunApplication1->menuAction()->isEnabled());

    error_boxes.clear();
    w.form.Button5->click();
    expect_one_box();
    EXPECT_TRUE(launched.empty());

    // The timer's automatic launch, network up: the same.
    error_boxes.clear();
    echo.statuses = {probe::IP_SUCCESS};
    kestrun_test::tick(w.form);
    expect_one_box();
    EXPECT_TRUE(launched.empty());
}

// What the windows do with a list that another user linked, in a folder anyone may write
// to, to a file of ours whose bytes they chose (a download): nothing is loaded or started.
TEST_F(UnsafeListInTheWindows, LinkPlantedByAnotherUserStartsNothing) {
    NEEDS_ROOT("the link is planted as `nobody` (setpriv)");
    const fs::path folder = fs::path(list_path()).parent_path();
    ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);
    const std::string bait = (folder / "download.dat").string();
    write_bytes(bait,
                record_bytes(record("Update", "/bin/touch " + (folder / "pwned").string(), 1)));
    ASSERT_EQ(::chmod(bait.c_str(), 0644), 0);
    ASSERT_EQ(kestrun_test::run_as_nobody({"ln", "-s", "download.dat", list_path()}), 0);

    Windows w;
    expect_one_box();
    EXPECT_EQ(w.form.CheckListBox1->count(), 0);
    error_boxes.clear();
    echo.statuses = {probe::IP_SUCCESS};
    kestrun_test::tick(w.form);
    expect_one_box();
    EXPECT_TRUE(launched.empty());
    EXPECT_TRUE(fs::is_symlink(list_path()));
}

TEST_F(UnsafeListInTheWindows, FifoAtTheListsNameIsRefusedWithoutWaitingOnIt) {
    ASSERT_EQ(::mkfifo(list_path().c_str(), 0600), 0);
    Windows w;  // would block in the open, before the check, if it waited on the fifo
    ASSERT_EQ(error_boxes.size(), 1u);
    EXPECT_EQ(error_boxes[0].second,
              "applications.dat is not a regular file: a directory, a device or a pipe cannot "
              "hold the list.");
    EXPECT_EQ(w.form.CheckListBox1->count(), 0);
    error_boxes.clear();
    w.form.Button5->click();
    EXPECT_EQ(error_boxes.size(), 1u);
    EXPECT_TRUE(launched.empty());
}

TEST_F(UnsafeListInTheWindows, ListSwappedAfterStartUpIsRefusedByEveryAction) {
    write_safe_list();
    Windows w;
    TForm2 dialog(&w.form);
    Form2 = &dialog;
    ASSERT_TRUE(error_boxes.empty());
    ASSERT_EQ(line_names(w.form), (std::vector<std::string>{"Mail", "Chat"}));
    make_unsafe();
    const std::string before = list_bytes();

    // Launch one from the submenu.
    w.form.RunApplication1->actions()[1]->trigger();
    expect_one_box();
    EXPECT_TRUE(launched.empty());

    // Toggle: the check mark goes back, the file stays.
    error_boxes.clear();
    w.form.CheckListBox1->item(0)->setCheckState(Qt::Unchecked);
    expect_one_box();
    EXPECT_EQ(w.form.CheckListBox1->item(0)->checkState(), Qt::Checked);

    // Edit Launch: refused before the dialog opens.
    error_boxes.clear();
    w.form.CheckListBox1->setCurrentRow(1);
    const auto edit = when_modal_opens([](QWidget*) {});  // closes it, should it open
    w.form.Button2->click();
    expect_one_box();
    EXPECT_EQ(edit->first, nullptr);

    // Delete confirmed.
    error_boxes.clear();
    w.form.CheckListBox1->setCurrentRow(1);
    w.confirm.Button1->click();
    expect_one_box();
    EXPECT_EQ(line_names(w.form), (std::vector<std::string>{"Mail", "Chat"}));

    // Add and Update from the dialog.
    const std::string program = (fs::current_path() / "program").string();
    write_bytes(program, "#!/bin/sh\n");
    for (const char* caption : {"OK", "Update"}) {
        SCOPED_TRACE(caption);
        error_boxes.clear();
        w.form.CheckListBox1->setCurrentRow(1);
        dialog.Button2->setText(caption);
        dialog.app_name->setText("New");
        dialog.app_path->setText(QString::fromStdString(program));
        dialog.show();
        dialog.Button2->click();
        expect_one_box();
    }
    Form2 = nullptr;

    EXPECT_EQ(list_bytes(), before);
    EXPECT_FALSE(fs::exists("temp.dat"));
    EXPECT_EQ(line_names(w.form), (std::vector<std::string>{"Mail", "Chat"}));
    EXPECT_EQ(w.form.RunApplication1->actions().size(), 2);
    EXPECT_TRUE(launched.empty());
}

}  // namespace
