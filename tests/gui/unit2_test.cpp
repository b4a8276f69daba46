// The add/edit dialog: adds and updates in the file, the check list and the submenu; name
// lengthening; the notice for a missing program; Browse; Enter, Esc and Cancel; failures;
// and the file-open dialog behind Browse.

#include <QAction>
#include <QComboBox>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest/QTest>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>

#include "dialogs_fixture.h"
#include "error_box.h"
#include "file_dialog.h"
#include "file_system.h"
#include "gui_fixture.h"
#include "list_file.h"
#include "store_test_support.h"
#include "unit1.h"
#include "views.h"

using namespace kestrun_test;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> stored_names(const std::vector<store::LaunchRecord>& records) {
    std::vector<std::string> names;
    for (const auto& r : records) names.push_back(store::record_name(r));
    return names;
}

// Creates a file in the working directory and returns its full path.
std::string make_file(const std::string& name, fs::perms permissions = fs::perms::owner_all) {
    std::ofstream(name) << "#!/bin/sh\n";
    fs::permissions(name, permissions);
    return fs::absolute(name).string();
}

// While alive, answers every modal window: the notice's text for each showing of the notice,
// and what else came instead of it.
struct Notices {
    std::vector<QString> texts;
    const std::unique_ptr<WindowWatch> watch = when_modal_opens([this](QWidget* shown) {
        texts.push_back(shown == Form3 ? Form3->Label1->text()
                                       : "not the notice: " + shown->windowTitle());
    });
};

QString os_error_text(int os_error) {
    return platform::error_box_text(
        QString::fromLocal8Bit(store::IoError::from_os(os_error).what()));
}

}  // namespace

class AddEdit : public GuiTest {
  protected:
    static bool temp_exists() { return fs::exists("temp.dat"); }
    static QString q(const std::string& s) { return QString::fromStdString(s); }
};

// --- Add -------------------------------------------------------------------------------

using Add = AddEdit;

TEST_F(Add, FirstAddWithoutListAndEmptyNameStoresNoName) {
    const std::string path = make_file("editor");
    Windows w;
    w.open("OK", "", q(path));
    w.dialog.Button2->click();

    ASSERT_EQ(list_bytes().size(), 223u);
    const auto records = read_list();
    EXPECT_EQ(store::record_name(records[0]), "no name");
    EXPECT_EQ(store::record_path(records[0]), path);
    EXPECT_EQ(records[0].enabled, 1);
    EXPECT_EQ(line_texts(w.form), std::vector<QString>{"no name"});
    EXPECT_EQ(line_checks(w.form), std::vector<bool>{true});
    EXPECT_EQ(item_names(w.form), std::vector<std::string>{"no name"});
    EXPECT_TRUE(w.form.RunApplication1->menuAction()->isEnabled());
    EXPECT_FALSE(w.dialog.isVisible());
    EXPECT_EQ(w.dialog.Button2->text(), "OK");
    EXPECT_FALSE(temp_exists());
    EXPECT_TRUE(error_boxes.empty());
}

TEST_F(Add, EmptyNamesAreLengthenedAndAppendedInOrder) {
    const std::string path = make_file("editor");
    Windows w;
    std::string before;
    for (int i = 0; i < 3; ++i) {
        w.open("OK", "", q(path));
        w.dialog.Button2->click();
        const std::string now = list_bytes();
        EXPECT_EQ(now.substr(0, before.size()), before) << "earlier records are kept as they were";
        before = now;
    }
    EXPECT_EQ(w.dialog.app_name->text(), "no name(1)(1)");
    const std::vector<std::string> expected{"no name", "no name(1)", "no name(1)(1)"};
    EXPECT_EQ(stored_names(read_list()), expected);
    EXPECT_EQ(item_names(w.form), expected);
    EXPECT_EQ(line_texts(w.form), (std::vector<QString>{"no name", "no name(1)", "no name(1)(1)"}));
    EXPECT_EQ(line_checks(w.form), (std::vector<bool>{true, true, true}));
}

TEST_F(Add, NameIsLengthenedPastEveryStoredNameInEitherOrder) {
    const std::string path = make_file("editor");
    for (const auto& order : {std::vector<std::string>{"Editor", "Editor(1)"},
                              std::vector<std::string>{"Editor(1)", "Editor"}}) {
        SCOPED_TRACE(order[0]);
        write_list({record(order[0], "/a", 1), record(order[1], "/b", 0)});
        const std::string before = list_bytes();
        Windows w;
        w.open("OK", "Editor", q(path));
        w.dialog.Button2->click();
        EXPECT_EQ(w.dialog.app_name->text(), "Editor(1)(1)");
        const auto records = read_list();
        ASSERT_EQ(records.size(), 3u);
        EXPECT_EQ(list_bytes().substr(0, before.size()), before);
        EXPECT_EQ(store::record_name(records[2]), "Editor(1)(1)");
        EXPECT_EQ(line_texts(w.form).back(), "Editor(1)(1)");
        EXPECT_EQ(item_names(w.form).back(), "Editor(1)(1)");
    }
}

TEST_F(Add, LongNamesAreStoredAndShownCutToTwenty) {
    const std::string path = make_file("editor");
    Windows w;
    w.open("OK", "abcdefghijklmnopqrstuvwxy", q(path));
    w.dialog.Button2->click();
    EXPECT_EQ(stored_names(read_list()), std::vector<std::string>{"abcdefghijklmnopqrst"});
    EXPECT_EQ(line_texts(w.form), std::vector<QString>{"abcdefghijklmnopqrst"});
    EXPECT_EQ(item_names(w.form), std::vector<std::string>{"abcdefghijklmnopqrst"});
}

// A name is compared as it will be stored (cut to 20 bytes), and "(1)" goes on within the 20
// bytes: no add stores a second record of a stored name.
TEST_F(Add, NameIsComparedAsStoredAndTheSuffixFitsTheField) {
    const std::string path = make_file("editor");
    write_list({record("Thunderbird Mail Cli", "/a", 1)});
    Windows w;
    w.open("OK", "Thunderbird Mail Client Beta", q(path));
    w.dialog.Button2->click();
    EXPECT_EQ(w.dialog.app_name->text(), "Thunderbird Mail (1)");
    w.open("OK", "Thunderbird Mail Cli", q(path));
    w.dialog.Button2->click();
    const std::vector<std::string> expected{"Thunderbird Mail Cli", "Thunderbird Mail (1)",
                                            "Thunderbird Ma(1)(1)"};
    EXPECT_EQ(stored_names(read_list()), expected);
    EXPECT_EQ(item_names(w.form), expected);
    EXPECT_EQ(line_names(w.form), expected);
    EXPECT_EQ(list_bytes().substr(223 + 1, 20), "Thunderbird Mail (1)");

    // The base is cut without splitting a character: 8 two-byte letters and "(1)" fit.
    CtypeLocale locale("C.UTF-8");
    if (!locale.ok()) GTEST_SKIP() << "the C.UTF-8 locale is not available";
    const std::string ten_umlauts = [] {
        std::string s;
        for (int i = 0; i < 10; ++i) s += "\xC3\x84";
        return s;
    }();
    w.open("OK", QString::fromUtf8(ten_umlauts + "\xC3\x84"), q(path));
    w.dialog.Button2->click();
    w.open("OK", QString::fromUtf8(ten_umlauts), q(path));
    w.dialog.Button2->click();
    const auto records = read_list();
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(store::record_name(records[3]), ten_umlauts);
    EXPECT_EQ(store::record_name(records[4]), ten_umlauts.substr(0, 16) + "(1)");
}

TEST_F(Add, EveryShortenedFormTakenRefusesTheNameAndWritesNothing) {
    const std::string path = make_file("editor");
    std::vector<store::LaunchRecord> records;
    for (std::size_t n = 0; 3 * n <= 20; ++n) {
        std::string suffix;
        for (std::size_t i = 0; i < n; ++i) suffix += "(1)";
        records.push_back(record(std::string(20 - suffix.size(), 'x') + suffix, "/a", 1));
    }
    write_list(records);
    const std::string before = list_bytes();
    Windows w;
    w.open("OK", QString(25, 'x'), q(path));
    w.dialog.Button2->click();
    EXPECT_EQ(list_bytes(), before);
    EXPECT_FALSE(temp_exists());
    EXPECT_TRUE(w.dialog.isVisible());
    ASSERT_EQ(error_boxes.size(), 1u);
    EXPECT_EQ(line_texts(w.form).size(), records.size());
}

TEST_F(Add, PathIsStoredAsTypedAndCutToTwoHundred) {
    const std::string dir(150, 'd');
    fs::create_directory(dir);
    const std::string path = make_file(dir + "/" + std::string(80, 'p'));
    ASSERT_GT(path.size(), 200u);
    Windows w;
    w.open("OK", " spaced name ", q(path));
    w.dialog.Button2->click();
    const auto records = read_list();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(store::record_name(records[0]), " spaced name ");
    EXPECT_EQ(store::record_path(records[0]), path.substr(0, 200));
}

TEST_F(Add, PathNamingNoFileShowsTheNoticeAndWritesNothing) {
    write_list({record("Mail", "/bin/mail", 1)});
    const std::string before = list_bytes();
    fs::create_directory("folder");
    const std::string program = make_file("program");
    Windows w;
    Notices notices;
    for (const std::string& path :
         {fs::absolute("missing").string(), fs::absolute("folder").string(), program + " --fast"}) {
        SCOPED_TRACE(path);
        notices.texts.clear();
        w.open("OK", "", q(path));
        w.dialog.Button2->click();
        EXPECT_EQ(notices.texts, std::vector<QString>{"Application does not exists"});
        EXPECT_EQ(w.notice.Label1->text(), "Please select an application to edit");
        EXPECT_TRUE(w.dialog.isVisible());
        EXPECT_EQ(w.dialog.app_name->text(), "");
        EXPECT_EQ(w.dialog.app_path->text(), q(path));
        EXPECT_EQ(list_bytes(), before);
        EXPECT_FALSE(temp_exists());
        EXPECT_EQ(line_texts(w.form), std::vector<QString>{"Mail"});
        EXPECT_EQ(item_names(w.form), std::vector<std::string>{"Mail"});
    }
}

TEST_F(Add, RefusedPathCreatesNoListFile) {
    Windows w;
    Notices notices;
    w.open("OK", "Tool", "/no/such/program");
    w.dialog.Button2->click();
    EXPECT_EQ(notices.texts.size(), 1u);
    EXPECT_FALSE(fs::exists(list_path()));
    EXPECT_FALSE(temp_exists());
    EXPECT_FALSE(w.form.RunApplication1->menuAction()->isEnabled());
}

TEST_F(Add, EmptyPathDoesNothingInEitherMode) {
    write_list({record("Mail", "/bin/mail", 0)});
    const std::string before = list_bytes();
    Windows w;
    w.form.CheckListBox1->setCurrentRow(0);
    Notices notices;
    for (const QString caption : {"OK", "Update"}) {
        w.open(caption, "", "");
        w.dialog.Button2->click();
        // The notice is modal: had the click shown it, it would have been answered inside it.
        EXPECT_TRUE(notices.texts.empty());
        EXPECT_EQ(notices.watch->count, 0);
        EXPECT_TRUE(w.dialog.isVisible());
        EXPECT_EQ(w.dialog.app_name->text(), "");
        EXPECT_EQ(w.dialog.Button2->text(), caption);
    }
    EXPECT_EQ(list_bytes(), before);
    EXPECT_FALSE(temp_exists());
    EXPECT_EQ(line_checks(w.form), std::vector<bool>{false});
    EXPECT_TRUE(error_boxes.empty());
}

// --- Update ----------------------------------------------------------------------------

using Update = AddEdit;

TEST_F(Update, RecordKeepsItsPlaceWhileLineAndItemMoveToTheEnd) {
    const auto mail = record("Mail", "/bin/mail", 1);
    const auto chat = record("Chat", "/bin/chat", 0);
    const auto news = record("News", "/bin/news", 0);
    write_list({mail, chat, news});
    Windows w;
    w.form.CheckListBox1->setCurrentRow(1);
    // An update makes no existence test: a command line with arguments is stored as typed.
    w.open("Update", "Talk", "/opt/talk --quiet");
    w.dialog.Button2->click();

    const auto records = read_list();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(record_bytes(records[0]), record_bytes(mail));
    EXPECT_EQ(store::record_name(records[1]), "Talk");
    EXPECT_EQ(store::record_path(records[1]), "/opt/talk --quiet");
    EXPECT_EQ(records[1].enabled, 1);  // it was unchecked: an edited entry is enabled
    EXPECT_EQ(record_bytes(records[2]), record_bytes(news));
    EXPECT_EQ(line_texts(w.form), (std::vector<QString>{"Mail", "News", "Talk"}));
    EXPECT_EQ(line_checks(w.form), (std::vector<bool>{true, false, true}));
    EXPECT_EQ(item_names(w.form), (std::vector<std::string>{"Mail", "News", "Talk"}));
    EXPECT_EQ(w.dialog.Button2->text(), "OK");
    EXPECT_FALSE(w.dialog.isVisible());
    EXPECT_FALSE(temp_exists());
    EXPECT_TRUE(error_boxes.empty());

    // The new item starts the updated entry.
    w.form.RunApplication1->actions().back()->trigger();
    EXPECT_EQ(launched, std::vector<std::string>{"/opt/talk --quiet"});
}

TEST_F(Update, KeepingTheNameKeepsIt) {
    write_list({record("Mail", "/bin/mail", 1), record("Chat", "/bin/chat", 1)});
    Windows w;
    w.form.CheckListBox1->setCurrentRow(0);
    w.open("Update", "Mail", "/usr/bin/mutt");
    w.dialog.Button2->click();
    EXPECT_EQ(w.dialog.app_name->text(), "Mail");
    const auto records = read_list();
    EXPECT_EQ(stored_names(records), (std::vector<std::string>{"Mail", "Chat"}));
    EXPECT_EQ(store::record_path(records[0]), "/usr/bin/mutt");
    EXPECT_EQ(line_texts(w.form), (std::vector<QString>{"Chat", "Mail"}));
    EXPECT_EQ(item_names(w.form), (std::vector<std::string>{"Chat", "Mail"}));
}

TEST_F(Update, NameOfAnotherEntryIsLengthened) {
    write_list({record("Mail", "/bin/mail", 1), record("Chat", "/bin/chat", 1),
                record("Chat(1)", "/bin/chat1", 1)});
    Windows w;
    w.form.CheckListBox1->setCurrentRow(0);
    w.open("Update", "Chat", "/bin/mail");
    w.dialog.Button2->click();
    EXPECT_EQ(w.dialog.app_name->text(), "Chat(1)(1)");
    EXPECT_EQ(stored_names(read_list()),
              (std::vector<std::string>{"Chat(1)(1)", "Chat", "Chat(1)"}));
    EXPECT_EQ(item_names(w.form), (std::vector<std::string>{"Chat", "Chat(1)", "Chat(1)(1)"}));
}

TEST_F(Update, OnlyTheEditedRecordIsExemptFromItsOwnName) {
    // Two entries share a name: editing the first without renaming it still meets the second.
    write_list({record("Twin", "/a", 1), record("Twin", "/b", 0)});
    Windows w;
    w.form.CheckListBox1->setCurrentRow(0);
    w.open("Update", "Twin", "/c");
    w.dialog.Button2->click();
    const auto records = read_list();
    EXPECT_EQ(stored_names(records), (std::vector<std::string>{"Twin(1)", "Twin"}));
    EXPECT_EQ(store::record_path(records[0]), "/c");
    EXPECT_EQ(store::record_path(records[1]), "/b");
    EXPECT_EQ(line_texts(w.form), (std::vector<QString>{"Twin", "Twin(1)"}));
    EXPECT_EQ(line_checks(w.form), (std::vector<bool>{false, true}));
    EXPECT_EQ(item_names(w.form), (std::vector<std::string>{"Twin", "Twin(1)"}));
}

TEST_F(Update, EmptyNameIsStoredEmpty) {
    write_list({record("Mail", "/bin/mail", 1), record("Chat", "/bin/chat", 1)});
    Windows w;
    w.form.CheckListBox1->setCurrentRow(1);
    w.open("Update", "", "/bin/chat");
    w.dialog.Button2->click();
    EXPECT_EQ(stored_names(read_list()), (std::vector<std::string>{"Mail", ""}));
    EXPECT_EQ(line_texts(w.form), (std::vector<QString>{"Mail", ""}));
}

TEST_F(Update, WithNoLineSelectedShowsTheNoticeAndWritesNothing) {
    write_list({record("Mail", "/bin/mail", 1)});
    const std::string before = list_bytes();
    Windows w;
    Notices notices;
    w.open("Update", "Post", "/bin/post");
    w.dialog.Button2->click();
    EXPECT_EQ(notices.texts, std::vector<QString>{"Please select an application to edit"});
    EXPECT_EQ(list_bytes(), before);
    EXPECT_FALSE(temp_exists());
    EXPECT_TRUE(w.dialog.isVisible());
    EXPECT_EQ(w.dialog.Button2->text(), "Update");
    EXPECT_EQ(item_names(w.form), std::vector<std::string>{"Mail"});
}

// A list written on Windows holds its names and paths in the Windows code page.
TEST_F(Update, UnchangedFieldsKeepTheirStoredBytesAndTheEntryStillStarts) {
    const std::string name("Caf\xE9", 4);
    const std::string path = fs::absolute("caf\xE9.sh").string();
    write_list({record("Mail", "/bin/mail", 1), record(name, path, 0)});
    Windows w;
    // Shown readably, decoded as Windows-1252; the line and the item keep the bytes.
    EXPECT_EQ(line_texts(w.form)[1], QString::fromUtf8("Caf\xC3\xA9"));
    EXPECT_EQ(w.form.RunApplication1->actions()[1]->text(), QString::fromUtf8("Caf\xC3\xA9"));
    EXPECT_EQ(line_names(w.form)[1], name);

    w.form.CheckListBox1->setCurrentRow(1);
    QString seen_name, seen_path;
    const auto edit = when_modal_opens([&](QWidget*) {
        seen_name = w.dialog.app_name->text();
        seen_path = w.dialog.app_path->text();
        QTest::keyClick(w.dialog.app_name, Qt::Key_Return);
    });
    w.form.Button2->click();  // Edit Launch, then Enter
    EXPECT_EQ(seen_name, QString::fromUtf8("Caf\xC3\xA9"));
    EXPECT_TRUE(seen_path.endsWith(QString::fromUtf8("caf\xC3\xA9.sh")));
    EXPECT_FALSE(edit->left_open);
    const auto records = read_list();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(record_bytes(records[1]), record_bytes(record(name, path, 1)));
    EXPECT_EQ(item_names(w.form), (std::vector<std::string>{"Mail", name}));
    EXPECT_EQ(line_names(w.form), (std::vector<std::string>{"Mail", name}));
    w.form.RunApplication1->actions().back()->trigger();
    w.form.Button5->click();  // Run Now: both are enabled now
    EXPECT_EQ(launched, (std::vector<std::string>{path, "/bin/mail", path}));

    // A field the user changes is stored in the locale's encoding; the other keeps its bytes.
    w.form.CheckListBox1->setCurrentRow(1);
    const auto rename = when_modal_opens([&](QWidget*) {
        w.dialog.app_name->end(false);
        QTest::keyClick(w.dialog.app_name, Qt::Key_Exclam);
        QTest::keyClick(w.dialog.app_name, Qt::Key_Return);
    });
    w.form.Button2->click();
    EXPECT_EQ(store::record_name(read_list()[1]), "Caf\xC3\xA9!");
    EXPECT_EQ(store::record_path(read_list()[1]), path);
}

TEST_F(Update, EditLaunchThenCancelThenNewApplication) {
    write_list({record("Mail", "/bin/mail", 0)});
    const std::string program = make_file("program");
    Windows w;
    w.form.CheckListBox1->setCurrentRow(0);
    QString seen_name, seen_path, seen_caption;
    auto edit = when_modal_opens([&](QWidget* modal) {
        ASSERT_EQ(modal, &w.dialog);
        seen_name = w.dialog.app_name->text();
        seen_path = w.dialog.app_path->text();
        seen_caption = w.dialog.Button2->text();
        w.dialog.Button3->click();
    });
    w.form.Button2->click();  // Edit Launch
    EXPECT_EQ(seen_name, "Mail");
    EXPECT_EQ(seen_path, "/bin/mail");
    EXPECT_EQ(seen_caption, "Update");
    EXPECT_FALSE(w.dialog.isVisible());
    EXPECT_EQ(edit->count, 1);
    EXPECT_FALSE(edit->left_open);

    edit = when_modal_opens([&](QWidget* modal) {
        ASSERT_EQ(modal, &w.dialog);
        seen_name = w.dialog.app_name->text();
        seen_path = w.dialog.app_path->text();
        seen_caption = w.dialog.Button2->text();
        w.dialog.app_path->setText(q(program));
        w.dialog.Button2->click();
    });
    w.form.Button1->click();  // New Application
    EXPECT_EQ(seen_name, "");
    EXPECT_EQ(seen_path, "");
    EXPECT_EQ(seen_caption, "OK");
    EXPECT_FALSE(w.dialog.isVisible());
    EXPECT_EQ(edit->count, 1);
    EXPECT_FALSE(edit->left_open);
    EXPECT_EQ(stored_names(read_list()), (std::vector<std::string>{"Mail", "no name"}));
    EXPECT_EQ(line_checks(w.form), (std::vector<bool>{false, true}));
}

// --- Browse, keys, Cancel ----------------------------------------------------------------

using Interaction = AddEdit;

TEST_F(Interaction, BrowseKeepsTheLastChosenFileAndPutsItBackOnCancel) {
    Windows w;
    std::vector<QString> starts;
    QStringList answers{"", "/usr/bin/first", "", "/usr/bin/second"};
    platform::services().choose_file = [&](QWidget* parent, const QString& start) {
        EXPECT_EQ(parent, &w.dialog);
        starts.push_back(start);
        return answers.takeFirst();
    };
    w.open("OK", "Name", "typed");
    w.dialog.Button1->click();  // cancelled before any choice: the initial empty name
    EXPECT_EQ(w.dialog.app_path->text(), "");
    w.dialog.Button1->click();
    EXPECT_EQ(w.dialog.app_path->text(), "/usr/bin/first");
    w.dialog.app_path->setText("typed again");
    w.dialog.Button1->click();  // cancelled: the previous choice comes back
    EXPECT_EQ(w.dialog.app_path->text(), "/usr/bin/first");
    w.dialog.Button1->click();
    EXPECT_EQ(w.dialog.app_path->text(), "/usr/bin/second");
    EXPECT_EQ(w.dialog.OpenDialog1FileName, "/usr/bin/second");
    EXPECT_EQ(starts, (std::vector<QString>{"", "", "/usr/bin/first", "/usr/bin/first"}));
    EXPECT_EQ(w.dialog.app_name->text(), "Name");
    EXPECT_TRUE(w.dialog.isVisible());
    EXPECT_FALSE(fs::exists(list_path()));
}

TEST_F(Interaction, EnterInEitherFieldConfirmsAndTheKeyGoesOn) {
    const std::string program = make_file("program");
    Windows w;
    int returns = 0;
    for (QLineEdit* field : {w.dialog.app_name, w.dialog.app_path})
        QObject::connect(field, &QLineEdit::returnPressed, [&] { ++returns; });

    w.open("OK", "", "");
    QTest::keyClicks(w.dialog.app_name, "Ed");
    EXPECT_EQ(w.dialog.app_name->text(), "Ed");
    QTest::keyClick(w.dialog.app_name, Qt::Key_Return);  // empty path: nothing
    EXPECT_TRUE(w.dialog.isVisible());
    EXPECT_FALSE(fs::exists(list_path()));

    w.dialog.app_path->setText(q(program));
    QTest::keyClick(w.dialog.app_name, Qt::Key_Return);
    EXPECT_FALSE(w.dialog.isVisible());

    w.open("OK", "Ed", q(program));
    QTest::keyClick(w.dialog.app_path, Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_FALSE(w.dialog.isVisible());

    EXPECT_EQ(stored_names(read_list()), (std::vector<std::string>{"Ed", "Ed(1)"}));
    EXPECT_EQ(item_names(w.form), (std::vector<std::string>{"Ed", "Ed(1)"}));
    EXPECT_EQ(returns, 3);
}

TEST_F(Interaction, EnterInUpdateModeUpdates) {
    write_list({record("Mail", "/bin/mail", 1)});
    Windows w;
    w.form.CheckListBox1->setCurrentRow(0);
    w.open("Update", "Post", "/bin/post");
    QTest::keyClick(w.dialog.app_path, Qt::Key_Return);
    EXPECT_EQ(stored_names(read_list()), std::vector<std::string>{"Post"});
    EXPECT_EQ(w.dialog.Button2->text(), "OK");
    EXPECT_FALSE(w.dialog.isVisible());
}

TEST_F(Interaction, EscCancelAndCloseBoxChangeNothing) {
    write_list({record("Mail", "/bin/mail", 0)});
    const std::string before = list_bytes();
    Windows w;
    w.form.CheckListBox1->setCurrentRow(0);
    const std::vector<std::function<void()>> ways{
        [&] { QTest::keyClick(w.dialog.app_name, Qt::Key_Escape); },
        [&] { w.dialog.Button3->click(); },
        [&] { w.dialog.close(); },
    };
    for (std::size_t i = 0; i < ways.size(); ++i) {
        SCOPED_TRACE(i);
        w.open("Update", "Renamed", "/bin/other");
        ways[i]();
        EXPECT_FALSE(w.dialog.isVisible());
        EXPECT_EQ(w.dialog.app_name->text(), "Renamed");
        EXPECT_EQ(w.dialog.app_path->text(), "/bin/other");
        EXPECT_EQ(w.dialog.Button2->text(), "Update");
        EXPECT_EQ(list_bytes(), before);
        EXPECT_FALSE(temp_exists());
        EXPECT_EQ(line_texts(w.form), std::vector<QString>{"Mail"});
        EXPECT_EQ(line_checks(w.form), std::vector<bool>{false});
        EXPECT_EQ(item_names(w.form), std::vector<std::string>{"Mail"});
    }
}

TEST_F(Interaction, LayoutAndNoDefaultButton) {
    Windows w;
    TForm2& d = w.dialog;
    EXPECT_EQ(d.windowTitle(), "Add New Application");
    EXPECT_EQ(d.size(), QSize(512, 120));
    EXPECT_EQ(d.minimumSize(), d.maximumSize());
    EXPECT_EQ(d.pos(), QPoint(218, 225));
    const Qt::WindowFlags flags = d.windowFlags();
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_TRUE(flags & Qt::WindowSystemMenuHint);
    EXPECT_FALSE(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                          Qt::WindowContextHelpButtonHint));
    EXPECT_FALSE(d.windowIcon().isNull());
    EXPECT_EQ(d.font().family(), "MS Sans Serif");
    EXPECT_EQ(d.font().pointSize(), 8);
    // Each label is its field's: its Alt key and a screen reader's name for the field.
    EXPECT_EQ(d.Label1->text(), "Application &Name:");
    EXPECT_EQ(d.Label2->text(), "Application executable &path:");
    EXPECT_EQ(d.Label1->buddy(), d.app_name);
    EXPECT_EQ(d.Label2->buddy(), d.app_path);
    EXPECT_EQ(d.Label1->font().pointSize(), 10);
    EXPECT_EQ(d.Label2->font().pointSize(), 10);
    EXPECT_EQ(d.app_name->toolTip(), "Name of Application to launch");
    EXPECT_EQ(d.app_path->toolTip(),
              "Path to executable file for application. Use Browse to help you");
    EXPECT_EQ(d.app_name->geometry(), QRect(8, 32, 393, 21));
    EXPECT_EQ(d.app_path->geometry(), QRect(8, 88, 393, 21));
    EXPECT_EQ(d.Button1->geometry(), QRect(408, 88, 97, 25));
    EXPECT_EQ(d.Button2->geometry(), QRect(408, 8, 97, 25));
    EXPECT_EQ(d.Button3->geometry(), QRect(408, 48, 97, 25));
    EXPECT_EQ(d.Button1->text(), "Browse");
    EXPECT_EQ(d.Button2->text(), "OK");
    EXPECT_EQ(d.Button3->text(), "Cancel");
    for (QPushButton* b : {d.Button1, d.Button2, d.Button3}) {
        EXPECT_FALSE(b->autoDefault());
        EXPECT_FALSE(b->isDefault());
    }
    // No length limit beyond the widget's own.
    d.app_name->setText(QString(300, 'n'));
    EXPECT_EQ(d.app_name->text().size(), 300);

    std::vector<QWidget*> chain;
    QWidget* at = d.app_name;
    for (int i = 0; i < 5; ++i, at = at->nextInFocusChain()) {
        while (at->focusPolicy() == Qt::NoFocus) at = at->nextInFocusChain();
        chain.push_back(at);
    }
    EXPECT_EQ(chain,
              (std::vector<QWidget*>{d.app_name, d.app_path, d.Button1, d.Button2, d.Button3}));
}

// --- Failures ------------------------------------------------------------------------------

using Failure = AddEdit;

TEST_F(Failure, ReadOnlyListLeavesEverythingAsItWas) {
    const std::string program = make_file("program");
    write_list({record("Mail", "/bin/mail", 1)});
    const std::string before = list_bytes();
    Windows w;
    w.form.CheckListBox1->setCurrentRow(0);
    InjectedFileSystem files;
    files.fail_when = list_is_read_only;
    store::ScopedFileSystem read_only(files.table());
    for (const QString caption : {"OK", "Update"}) {
        SCOPED_TRACE(caption.toStdString());
        error_boxes.clear();
        w.open(caption, "", q(program));
        w.dialog.Button2->click();
        ASSERT_EQ(error_boxes.size(), 1u);
        EXPECT_EQ(error_boxes[0], (std::pair<QString, QString>("kestrun", "File access denied.")));
        EXPECT_EQ(list_bytes(), before);
        EXPECT_FALSE(temp_exists());
        EXPECT_TRUE(w.dialog.isVisible());
        EXPECT_EQ(w.dialog.Button2->text(), caption);
        EXPECT_EQ(line_texts(w.form), std::vector<QString>{"Mail"});
        EXPECT_EQ(item_names(w.form), std::vector<std::string>{"Mail"});
    }
}

TEST_F(Failure, ReplacingTheListFailsAndViewsStayAsTheyWere) {
    const std::string program = make_file("program");
    write_list({record("Mail", "/bin/mail", 0)});
    const std::string before = list_bytes();
    Windows w;
    w.form.CheckListBox1->setCurrentRow(0);
    InjectedFileSystem files;
    files.fail_when = [](const FileCall& call) {
        return call.label.rfind("rename ", 0) == 0 ? EXDEV : 0;
    };
    store::ScopedFileSystem broken(files.table());
    for (const QString caption : {"OK", "Update"}) {
        SCOPED_TRACE(caption.toStdString());
        error_boxes.clear();
        w.open(caption, "Chat", q(program));
        w.dialog.Button2->click();
        ASSERT_EQ(error_boxes.size(), 1u);
        EXPECT_EQ(error_boxes[0].second, os_error_text(EXDEV));
        EXPECT_EQ(list_bytes(), before);
        EXPECT_FALSE(temp_exists());
        EXPECT_TRUE(w.dialog.isVisible());
        EXPECT_EQ(line_texts(w.form), std::vector<QString>{"Mail"});
        EXPECT_EQ(line_checks(w.form), std::vector<bool>{false});
        EXPECT_EQ(item_names(w.form), std::vector<std::string>{"Mail"});
    }
}

TEST_F(Failure, UpdateAfterTheListWasRemovedCreatesNoEmptyList) {
    write_list({record("Mail", "/bin/mail", 1)});
    Windows w;
    w.form.CheckListBox1->setCurrentRow(0);
    fs::remove(list_path());
    w.open("Update", "Post", "/bin/post");
    w.dialog.Button2->click();
    ASSERT_EQ(error_boxes.size(), 1u);
    EXPECT_EQ(error_boxes[0], (std::pair<QString, QString>("kestrun", "File not found.")));
    EXPECT_FALSE(fs::exists(list_path()));
    EXPECT_FALSE(temp_exists());
    EXPECT_TRUE(w.dialog.isVisible());
    EXPECT_EQ(w.dialog.Button2->text(), "Update");
    EXPECT_EQ(line_texts(w.form), std::vector<QString>{"Mail"});
    EXPECT_EQ(item_names(w.form), std::vector<std::string>{"Mail"});
}

TEST_F(Failure, UpdateOfAnEntryNoLongerInTheListChangesNothing) {
    write_list({record("Mail", "/bin/mail", 1)});
    Windows w;
    w.form.CheckListBox1->setCurrentRow(0);
    write_list({record("Chat", "/bin/chat", 1)});  // rewritten behind the program's back
    const std::string before = list_bytes();
    w.open("Update", "Post", "/bin/post");
    w.dialog.Button2->click();
    ASSERT_EQ(error_boxes.size(), 1u);
    EXPECT_EQ(error_boxes[0].second, "Read beyond end of file.");
    EXPECT_EQ(list_bytes(), before);
    EXPECT_FALSE(temp_exists());
    EXPECT_TRUE(w.dialog.isVisible());
    EXPECT_EQ(line_texts(w.form), std::vector<QString>{"Mail"});
    EXPECT_EQ(item_names(w.form), std::vector<std::string>{"Mail"});
}

TEST_F(Failure, ScratchFileThatCannotBeCreatedLeavesTheNameAlone) {
    const std::string program = make_file("program");
    write_list({record("Mail", "/bin/mail", 1)});
    const std::string before = list_bytes();
    Windows w;
    InjectedFileSystem files;
    files.fail_when = [](const FileCall& call) {
        return call.label == "open temp.dat" && call.mode == store::OpenMode::create_new ? ENOSPC
                                                                                         : 0;
    };
    store::ScopedFileSystem full(files.table());
    w.open("OK", "Mail", q(program));
    w.dialog.Button2->click();
    ASSERT_EQ(error_boxes.size(), 1u);
    EXPECT_EQ(error_boxes[0].second, os_error_text(ENOSPC));
    EXPECT_EQ(w.dialog.app_name->text(), "Mail");
    EXPECT_EQ(list_bytes(), before);
    EXPECT_EQ(item_names(w.form), std::vector<std::string>{"Mail"});
}

// --- The file-open dialog -------------------------------------------------------------------

class FileChooser : public AddEdit {
  protected:
    void SetUp() override {
        AddEdit::SetUp();
        // The dialog keeps its state in the user's settings: not this machine's.
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(fs::absolute("config").string()));
        fs::create_directory("apps");
        fs::current_path("apps");
        tool = make_file("tool", fs::perms::owner_all);
        make_file("notes.txt", fs::perms::owner_read | fs::perms::owner_write);
        make_file("setup.exe", fs::perms::owner_read | fs::perms::owner_write);
        make_file("SETUP2.EXE", fs::perms::owner_read | fs::perms::owner_write);
        make_file("script", fs::perms::owner_read | fs::perms::others_exec);
        fs::create_directory("sub");
        fs::create_symlink("tool", "tool-link");
        dir = fs::current_path().string();
        fs::current_path("..");
    }

    static std::set<QString> names_under(const QAbstractItemModel& model, const QModelIndex& root) {
        std::set<QString> names;
        for (int row = 0; row < model.rowCount(root); ++row)
            names.insert(model.index(row, 0, root).data().toString());
        return names;
    }

    // The dialog lists its folder in the background; acting before it is done races with it.
    static bool wait_until_listed(QFileDialog* dialog) {
        auto* view = dialog->findChild<QListView*>("listView");
        if (view == nullptr) return false;
        const bool listed = QTest::qWaitFor(
            [view] { return names_under(*view->model(), view->rootIndex()).size() >= 6; }, 5000);
        QTest::qWait(50);
        return listed;
    }

    // What the user types into the dialog's file name field.
    static void type_file_name(QFileDialog* dialog, const QString& name) {
        auto* field = dialog->findChild<QLineEdit*>("fileNameEdit");
        ASSERT_NE(field, nullptr);
        field->setText(name);
    }

    std::string tool;
    std::string dir;
    const std::set<QString> executables{"sub",        "tool",   "setup.exe",
                                        "SETUP2.EXE", "script", "tool-link"};
    const std::set<QString> everything{"sub",    "tool",      "setup.exe", "SETUP2.EXE",
                                       "script", "tool-link", "notes.txt"};
};

TEST_F(FileChooser, ExecutablesChoiceKeepsFoldersAndRunnableFiles) {
    fs::create_symlink("nowhere", dir + "/dangling");  // runs nothing
    QFileSystemModel files;
    files.setFilter(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
    files.setNameFilters({"*.exe"});
    files.setNameFilterDisables(true);  // as the chooser sets its model
    const QModelIndex root = files.setRootPath(q(dir));
    ASSERT_TRUE(QTest::qWaitFor([&] { return files.rowCount(root) == 8; }, 5000));

    platform::ExecutableFilter filter;
    filter.setSourceModel(&files);
    const QModelIndex proxy_root = filter.mapFromSource(root);
    EXPECT_TRUE(filter.executables_only());
    EXPECT_EQ(names_under(filter, proxy_root), executables);
    // Shown files are usable even where the model's *.exe pattern would grey them out.
    for (int row = 0; row < filter.rowCount(proxy_root); ++row)
        EXPECT_TRUE(filter.flags(filter.index(row, 0, proxy_root)) & Qt::ItemIsEnabled);

    filter.set_executables_only(false);
    std::set<QString> all = everything;
    all.insert("dangling");
    EXPECT_EQ(names_under(filter, proxy_root), all);
    filter.set_executables_only(true);
    EXPECT_EQ(names_under(filter, proxy_root), executables);
}

TEST_F(FileChooser, OpensOnThePreviousFileAndSwitchesFilters) {
    QStringList filters;
    QString selected_filter;
    QFileDialog::FileMode mode{};
    QFileDialog::Options options;
    QString directory;
    std::set<QString> first_choice, second_choice;
    const auto chooser = when_modal_opens([&](QWidget* modal) {
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        ASSERT_NE(dialog, nullptr);
        filters = dialog->nameFilters();
        selected_filter = dialog->selectedNameFilter();
        mode = dialog->fileMode();
        options = dialog->options();
        directory = dialog->directory().absolutePath();
        ASSERT_TRUE(wait_until_listed(dialog));
        auto* view = dialog->findChild<QListView*>("listView");
        const auto shown = [view] { return names_under(*view->model(), view->rootIndex()); };
        first_choice = shown();
        auto* types = dialog->findChild<QComboBox*>("fileTypeCombo");
        ASSERT_NE(types, nullptr);
        QTest::keyClick(types, Qt::Key_Down);  // the user picks "All Files"
        EXPECT_TRUE(QTest::qWaitFor([&] { return shown().size() >= 7; }, 5000));
        second_choice = shown();
        dialog->reject();
    });
    EXPECT_EQ(platform::choose_executable_file(nullptr, q(tool)), "");
    EXPECT_EQ(chooser->count, 1);
    EXPECT_FALSE(chooser->left_open);
    EXPECT_EQ(filters, (QStringList{"Executable Applications (*.exe)", "All Files (*)"}));
    EXPECT_EQ(selected_filter, "Executable Applications (*.exe)");
    EXPECT_EQ(mode, QFileDialog::ExistingFile);
    EXPECT_TRUE(options & QFileDialog::DontUseNativeDialog);
    EXPECT_TRUE(options & QFileDialog::DontResolveSymlinks);
    EXPECT_EQ(directory, q(dir));
    EXPECT_EQ(first_choice, executables);
    EXPECT_EQ(second_choice, everything);
}

TEST_F(FileChooser, ReturnsTheChosenPathWithLinksKept) {
    const auto chooser = when_modal_opens([&](QWidget* modal) {
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        ASSERT_NE(dialog, nullptr);
        ASSERT_TRUE(wait_until_listed(dialog));
        type_file_name(dialog, "tool-link");
        static_cast<QDialog*>(dialog)->accept();  // as the Open button does
    });
    EXPECT_EQ(platform::choose_executable_file(nullptr, q(tool)).toStdString(), dir + "/tool-link");
    EXPECT_FALSE(chooser->left_open);
}

TEST_F(FileChooser, WithoutAPreviousFileStartsInTheWorkingDirectoryAndWantsAnExistingFile) {
    fs::current_path(dir);
    QString directory;
    QString refusal;
    bool still_open = false;
    const auto chooser = when_modal_opens([&](QWidget* modal) {
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        ASSERT_NE(dialog, nullptr);
        directory = dialog->directory().absolutePath();
        ASSERT_TRUE(wait_until_listed(dialog));
        type_file_name(dialog, "missing");
        // The refusal comes as a box of its own while the chooser is up: the watch closes it.
        const auto box = when_modal_opens([&refusal](QWidget* shown) {
            if (auto* message = qobject_cast<QMessageBox*>(shown)) refusal = message->text();
        });
        static_cast<QDialog*>(dialog)->accept();
        EXPECT_EQ(box->count, 1);
        still_open = dialog->isVisible();
        dialog->reject();
    });
    EXPECT_EQ(platform::choose_executable_file(nullptr, QString()), "");
    EXPECT_EQ(directory, q(dir));
    EXPECT_TRUE(refusal.contains("File not found")) << refusal.toStdString();
    EXPECT_TRUE(still_open);
    EXPECT_EQ(chooser->count, 1);
}
