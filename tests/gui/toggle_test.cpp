// Switching an entry's automatic launch on and off from its check box.

#include <QApplication>
#include <QListWidget>
#include <QPushButton>
#include <QtTest/QTest>
#include <cerrno>

#include "dialogs_fixture.h"
#include "file_system.h"
#include "gui_fixture.h"
#include "unit1.h"

using namespace kestrun_test;

namespace {

// Clicks the check box of line `row`, as the user would.
void click_check_box(TForm1& form, int row) {
    QListWidget* list = form.CheckListBox1;
    const QRect line = list->visualItemRect(list->item(row));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      QPoint(line.left() + 8, line.center().y()));
}

}  // namespace

using Toggle = GuiTest;

TEST_F(Toggle, ChangesOnlyTheEnabledByteOfThatEntry) {
    write_list({record("One", "/bin/one", 1), record("Two", "/bin/two", 0),
                record("Three", "/bin/three", 1)});
    const std::string before = list_bytes();
    TForm1 form;
    form.show();
    click_check_box(form, 1);
    EXPECT_EQ(form.CheckListBox1->item(1)->checkState(), Qt::Checked);
    EXPECT_TRUE(form.CheckListBox1->item(1)->isSelected());
    std::string expected = before;
    expected[223 + 222] = 1;
    EXPECT_EQ(list_bytes(), expected);

    click_check_box(form, 1);
    EXPECT_EQ(list_bytes(), before);
    EXPECT_TRUE(error_boxes.empty());
    EXPECT_FALSE(std::filesystem::exists("temp.dat"));
}

TEST_F(Toggle, SpaceBarTogglesTheSelectedLine) {
    write_list({record("One", "/bin/one", 1), record("Two", "/bin/two", 1)});
    TForm1 form;
    form.show();
    form.CheckListBox1->setCurrentRow(0);
    form.CheckListBox1->setFocus();
    QTest::keyClick(form.CheckListBox1, Qt::Key_Space);
    EXPECT_EQ(read_list()[0].enabled, 0);
    EXPECT_EQ(read_list()[1].enabled, 1);
}

TEST_F(Toggle, ClickOnTheTextOnlySelects) {
    write_list({record("One", "/bin/one", 1)});
    const std::string before = list_bytes();
    TForm1 form;
    form.show();
    QListWidget* list = form.CheckListBox1;
    const QRect line = list->visualItemRect(list->item(0));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      QPoint(line.left() + 60, line.center().y()));
    EXPECT_TRUE(list->item(0)->isSelected());
    EXPECT_EQ(list_bytes(), before);
}

TEST_F(Toggle, EnabledByteTwoBecomesOneThenZero) {
    write_list({record("Odd", "/bin/odd", 2)});
    TForm1 form;
    form.show();
    click_check_box(form, 0);
    EXPECT_EQ(read_list()[0].enabled, 1);
    click_check_box(form, 0);
    EXPECT_EQ(read_list()[0].enabled, 0);
}

TEST_F(Toggle, FirstRecordOfTheNameIsTheOneChanged) {
    write_list({record("Same", "/bin/a", 1), record("Same", "/bin/b", 1)});
    TForm1 form;
    form.show();
    click_check_box(form, 1);  // the second line carries the same name
    EXPECT_EQ(read_list()[0].enabled, 0);
    EXPECT_EQ(read_list()[1].enabled, 1);
}

TEST_F(Toggle, FailureLeavesFileAndCheckMarkAsTheFileHasThem) {
    write_list({record("One", "/bin/one", 1)});
    const std::string before = list_bytes();
    TForm1 form;
    form.show();
    {
        InjectedFileSystem files;
        files.fail_on = "rename ";
        files.error = EACCES;
        store::ScopedFileSystem broken(files.table());
        click_check_box(form, 0);
        EXPECT_EQ(files.failed_call, "rename temp.dat applications.dat");
    }
    ASSERT_EQ(error_boxes.size(), 1u);
    EXPECT_EQ(error_boxes[0].second, "File access denied.");
    EXPECT_EQ(list_bytes(), before);
    EXPECT_EQ(form.CheckListBox1->item(0)->checkState(), Qt::Checked);
    EXPECT_FALSE(std::filesystem::exists("temp.dat"));

    std::filesystem::remove(list_path());  // removed behind the program's back
    click_check_box(form, 0);
    ASSERT_EQ(error_boxes.size(), 2u);
    EXPECT_EQ(error_boxes[1].second, "File not found.");
    EXPECT_EQ(form.CheckListBox1->item(0)->checkState(), Qt::Checked);
    EXPECT_FALSE(std::filesystem::exists(list_path()));
    EXPECT_FALSE(std::filesystem::exists("temp.dat"));
}

using EditingWithoutList = GuiTest;

TEST_F(EditingWithoutList, EditAndDeleteDoNothingWhenThereIsNoFile) {
    Windows w;
    w.form.show();
    // The notice, the add/edit dialog or the confirmation would be shown, and answered here,
    // inside the click.
    const auto dialogs = when_modal_opens();
    w.form.Button2->click();
    w.form.Button3->click();
    EXPECT_EQ(dialogs->first, nullptr);
    EXPECT_EQ(dialogs->count, 0);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_TRUE(error_boxes.empty());
    EXPECT_FALSE(std::filesystem::exists(list_path()));
}
