// The delete confirmation: what "&Yes" does to the file, the check list and the submenu,
// the ways out that change nothing, and failures that must leave all three as they were.

#include <QAction>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QtTest/QTest>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "automatic_accelerators.h"
#include "dialogs_fixture.h"
#include "file_system.h"
#include "gui_fixture.h"
#include "views.h"

using namespace kestrun_test;

namespace {

using Names = std::vector<std::string>;

const store::LaunchRecord alpha = record("alpha", "/usr/bin/alpha --one", 1);
const store::LaunchRecord beta = record("beta", "/usr/bin/beta", 0);
const store::LaunchRecord gamma_ = record("gamma", "/opt/gamma/run \"a b\"", 2);

class Delete : public GuiTest {
  protected:
    bool temp_exists() const { return std::filesystem::exists("temp.dat"); }

    // What must hold after an action that changed nothing.
    void expect_untouched(const Windows& w, const std::string& bytes, const Names& lines) {
        EXPECT_EQ(list_bytes(), bytes);
        EXPECT_EQ(line_names(w.form), lines);
        EXPECT_EQ(item_names(w.form), lines);
        EXPECT_TRUE(w.form.RunApplication1->menuAction()->isEnabled());
        EXPECT_FALSE(temp_exists());
    }
};

}  // namespace

// Which of three entries goes: the others stay, byte for byte and in their order.
class DeleteOneOfThree : public Delete, public ::testing::WithParamInterface<int> {};

TEST_P(DeleteOneOfThree, RemovesRecordLineAndItemOfThatEntryOnly) {
    const int chosen = GetParam();
    std::vector<store::LaunchRecord> records{alpha, beta, gamma_};
    write_list(records, "x");  // a stray byte after the last record goes with the rewrite
    Windows w;
    w.form.CheckListBox1->setCurrentRow(chosen);
    w.confirm.show();

    w.confirm.Button1Click();

    records.erase(records.begin() + chosen);
    EXPECT_EQ(list_bytes(), kestrun_test::list_bytes(records));
    Names remaining{"alpha", "beta", "gamma"};
    remaining.erase(remaining.begin() + chosen);
    EXPECT_EQ(line_names(w.form), remaining);
    EXPECT_EQ(item_names(w.form), remaining);
    EXPECT_TRUE(w.form.RunApplication1->menuAction()->isEnabled());
    EXPECT_TRUE(w.form.CheckListBox1->selectedItems().isEmpty());
    EXPECT_EQ(w.form.selected_line(), nullptr);
    EXPECT_FALSE(w.confirm.isVisible());
    EXPECT_FALSE(temp_exists());
    EXPECT_TRUE(error_boxes.empty());
}

INSTANTIATE_TEST_SUITE_P(FirstMiddleLast, DeleteOneOfThree, ::testing::Values(0, 1, 2));

TEST_F(Delete, OnlyEntryLeavesEmptyFileAndDisablesRunApplication) {
    write_list({beta});
    Windows w;
    ASSERT_TRUE(w.form.RunApplication1->menuAction()->isEnabled());
    w.form.CheckListBox1->setCurrentRow(0);

    w.confirm.Button1Click();

    ASSERT_TRUE(std::filesystem::exists(list_path()));
    EXPECT_EQ(std::filesystem::file_size(list_path()), 0u);
    EXPECT_EQ(w.form.CheckListBox1->count(), 0);
    EXPECT_TRUE(w.form.RunApplication1->actions().isEmpty());
    EXPECT_FALSE(w.form.RunApplication1->menuAction()->isEnabled());
    EXPECT_TRUE(error_boxes.empty());
}

TEST_F(Delete, ThroughTheButtonsYesHasTheFocusAndDeletes) {
    write_list({alpha, beta, gamma_});
    Windows w;
    w.form.CheckListBox1->setCurrentRow(1);
    QWidget* focused = nullptr;
    QString question;
    const auto run = when_modal_opens([&](QWidget* dialog) {
        if (QTest::qWaitForWindowActive(dialog)) focused = QApplication::focusWidget();
        question = w.confirm.Label1->text();
        QTest::keyClick(w.confirm.Button1, Qt::Key_Space);
    });
    w.form.Button3->click();

    EXPECT_EQ(run->first, &w.confirm);
    EXPECT_EQ(focused, w.confirm.Button1);
    EXPECT_EQ(question, "Are you sure you want to delete this application?");
    EXPECT_FALSE(run->left_open);
    EXPECT_EQ(list_bytes(), kestrun_test::list_bytes({alpha, gamma_}));
    EXPECT_EQ(line_names(w.form), (Names{"alpha", "gamma"}));
    EXPECT_EQ(item_names(w.form), (Names{"alpha", "gamma"}));
}

TEST_F(Delete, ItemFoundByNameAfterTheMenuAddedAcceleratorMarkers) {
    write_list({alpha, beta, gamma_});
    Windows w;
    platform::apply_automatic_accelerators(w.form.RunApplication1);
    ASSERT_TRUE(w.form.RunApplication1->actions()[1]->text().contains('&'));
    w.form.CheckListBox1->setCurrentRow(1);

    w.confirm.Button1Click();

    EXPECT_EQ(item_names(w.form), (Names{"alpha", "gamma"}));
    EXPECT_EQ(line_names(w.form), (Names{"alpha", "gamma"}));
}

TEST_F(Delete, DuplicateNamesLoseTheirFirstRecordAndFirstItem) {
    const store::LaunchRecord alpha2 = record("alpha", "/other/alpha", 0);
    write_list({alpha, beta, alpha2});
    Windows w;
    // The later line of that name is the one picked; the record is found by name.
    w.form.CheckListBox1->setCurrentRow(2);

    w.confirm.Button1Click();

    EXPECT_EQ(list_bytes(), kestrun_test::list_bytes({beta, alpha2}));
    EXPECT_EQ(line_names(w.form), (Names{"alpha", "beta"}));
    EXPECT_EQ(item_names(w.form), (Names{"beta", "alpha"}));
    EXPECT_EQ(w.form.RunApplication1->actions()[1]->text(), "alpha");
}

TEST_F(Delete, NameThatNoRecordHasRewritesTheFileUnchanged) {
    write_list({alpha, beta, gamma_});
    Windows w;
    write_list({alpha, gamma_});  // another program dropped beta meanwhile
    w.form.CheckListBox1->setCurrentRow(1);
    const auto run = when_modal_opens([&](QWidget*) { w.confirm.Button1->click(); });
    w.form.Button3->click();

    EXPECT_EQ(run->first, &w.confirm);
    EXPECT_FALSE(run->left_open);
    expect_untouched(w, kestrun_test::list_bytes({alpha, gamma_}), {"alpha", "beta", "gamma"});
    EXPECT_TRUE(error_boxes.empty());
}

TEST_F(Delete, NoAndTheTitleBarCloseChangeNothing) {
    write_list({alpha, beta});
    Windows w;
    const std::string before = list_bytes();
    w.form.CheckListBox1->setCurrentRow(0);

    auto run =
        when_modal_opens([&](QWidget*) { QTest::keyClick(w.confirm.Button2, Qt::Key_Space); });
    w.form.Button3->click();
    EXPECT_EQ(run->first, &w.confirm);
    EXPECT_FALSE(run->left_open);
    expect_untouched(w, before, {"alpha", "beta"});
    EXPECT_EQ(w.form.selected_line(), w.form.CheckListBox1->item(0));

    run = when_modal_opens([&](QWidget* dialog) { dialog->close(); });
    w.form.Button3->click();
    EXPECT_EQ(run->first, &w.confirm);
    EXPECT_FALSE(run->left_open);
    expect_untouched(w, before, {"alpha", "beta"});
}

TEST_F(Delete, YesWithoutSelectedLineClosesAndChangesNothing) {
    write_list({alpha, beta});
    Windows w;
    const std::string before = list_bytes();
    w.confirm.show();
    ASSERT_EQ(w.form.selected_line(), nullptr);

    w.confirm.Button1->click();

    EXPECT_FALSE(w.confirm.isVisible());
    expect_untouched(w, before, {"alpha", "beta"});
    EXPECT_TRUE(error_boxes.empty());
}

TEST_F(Delete, RequestWithoutListFileShowsNothing) {
    Windows w;
    w.form.append_line("alpha", true);  // a line, but no file behind it
    w.form.CheckListBox1->setCurrentRow(0);
    const auto run = when_modal_opens([](QWidget*) {});
    w.form.Button3->click();  // a dialog would be noted, and answered, inside the click
    EXPECT_EQ(run->first, nullptr);
    EXPECT_FALSE(std::filesystem::exists(list_path()));
    EXPECT_EQ(w.form.CheckListBox1->count(), 1);
}

// A failure shows its message and leaves file, line, item and the open dialog as they were.
class DeleteFailure : public Delete {
  protected:
    void SetUp() override {
        Delete::SetUp();
        write_list({alpha, beta});
        w = std::make_unique<Windows>();
        w->form.CheckListBox1->setCurrentRow(0);
        w->confirm.show();
    }
    void TearDown() override {
        w.reset();
        Delete::TearDown();
    }

    void expect_failed_with(const QString& text, const std::string& bytes) {
        ASSERT_EQ(error_boxes.size(), 1u);
        EXPECT_EQ(error_boxes[0].first, "kestrun");
        EXPECT_EQ(error_boxes[0].second, text);
        EXPECT_TRUE(w->confirm.isVisible());
        EXPECT_EQ(list_bytes(), bytes);
        EXPECT_EQ(line_names(w->form), (Names{"alpha", "beta"}));
        EXPECT_EQ(item_names(w->form), (Names{"alpha", "beta"}));
        EXPECT_EQ(w->form.selected_line(), w->form.CheckListBox1->item(0));
        EXPECT_TRUE(w->form.RunApplication1->menuAction()->isEnabled());
        EXPECT_FALSE(temp_exists());
    }

    std::unique_ptr<Windows> w;
};

TEST_F(DeleteFailure, FileRemovedBehindOurBack) {
    std::filesystem::remove(list_path());
    w->confirm.Button1->click();
    expect_failed_with("File not found.", "");
    EXPECT_FALSE(std::filesystem::exists(list_path()));
}

TEST_F(DeleteFailure, ReadOnlyFileThenYesAgainOnceWritable) {
    const std::string before = list_bytes();
    {
        InjectedFileSystem files;
        files.fail_when = list_is_read_only;
        store::ScopedFileSystem read_only(files.table());
        w->confirm.Button1->click();
        EXPECT_EQ(files.failed_call, "open applications.dat");
    }
    expect_failed_with("File access denied.", before);

    // The dialog stayed up, so the user can try again.
    w->confirm.Button1->click();
    EXPECT_FALSE(w->confirm.isVisible());
    EXPECT_EQ(list_bytes(), kestrun_test::list_bytes({beta}));
    EXPECT_EQ(line_names(w->form), (Names{"beta"}));
}

TEST_F(DeleteFailure, EmptyFileReadsBeyondItsEnd) {
    write_list({});
    w->confirm.Button1->click();
    expect_failed_with("Read beyond end of file.", "");
    EXPECT_TRUE(std::filesystem::exists(list_path()));
}

TEST_F(DeleteFailure, ReplacingTheListFailsAfterTheCopy) {
    const std::string before = list_bytes();
    {
        InjectedFileSystem files;
        files.fail_on = "rename ";
        files.error = EXDEV;
        store::ScopedFileSystem no_rename(files.table());
        w->confirm.Button1->click();
        EXPECT_EQ(files.failed_call, "rename temp.dat applications.dat");
    }
    expect_failed_with(QStringLiteral("I/O error %1.").arg(EXDEV), before);
}
