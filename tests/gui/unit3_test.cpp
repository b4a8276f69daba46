// The notice box: its texts and how it closes, and when the delete request shows it.

#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QtTest/QTest>

#include "dialogs_fixture.h"
#include "gui_fixture.h"

using namespace kestrun_test;

using Notice = GuiTest;

TEST_F(Notice, ReadsTheRestingTextInAFixedBoxWithOnlyAnOkButton) {
    TForm3 notice;
    EXPECT_EQ(notice.windowTitle(), "Error");
    EXPECT_EQ(notice.Label1->text(), "Please select an application to edit");
    EXPECT_EQ(notice.Label1->text(), notice_resting_text);
    EXPECT_EQ(notice.Label1->alignment(), Qt::AlignCenter);
    EXPECT_EQ(notice.Label1->font().pointSize(), 10);
    EXPECT_EQ(notice.font().pointSize(), 8);
    EXPECT_EQ(notice.Button1->text(), "OK");
    EXPECT_FALSE(notice.windowIcon().isNull());

    // Not resizable, and the title bar has the system menu and nothing else.
    EXPECT_EQ(notice.minimumSize(), QSize(228, 72));
    EXPECT_EQ(notice.maximumSize(), QSize(228, 72));
    const Qt::WindowFlags flags = notice.windowFlags();
    EXPECT_TRUE(flags.testFlag(Qt::WindowSystemMenuHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowContextHelpButtonHint));
    EXPECT_EQ(notice.pos(), QPoint(303, 232));

    // The label keeps its size whatever it says.
    notice.Label1->setText(notice_missing_application);
    EXPECT_EQ(notice.Label1->size(), QSize(209, 17));
}

TEST_F(Notice, OkClosesTheModalBoxWithTheFocusOnIt) {
    TForm3 notice;
    QWidget* focused = nullptr;
    const auto run = when_modal_opens([&](QWidget* dialog) {
        if (QTest::qWaitForWindowActive(dialog)) focused = QApplication::focusWidget();
        QTest::keyClick(notice.Button1, Qt::Key_Space);
    });
    notice.exec();
    EXPECT_EQ(run->first, &notice);
    EXPECT_EQ(focused, notice.Button1);
    EXPECT_FALSE(run->left_open);
    EXPECT_FALSE(notice.isVisible());
}

TEST_F(Notice, ShownAgainWithWhateverTextItHadLast) {
    TForm3 notice;
    notice.Label1->setText(notice_missing_application);
    QString shown;
    const auto run = when_modal_opens([&](QWidget*) {
        shown = notice.Label1->text();
        notice.Button1->click();
    });
    notice.exec();
    EXPECT_FALSE(run->left_open);
    EXPECT_EQ(shown, "Application does not exists");
}

TEST_F(Notice, DeleteRequestWithoutSelectionShowsTheRestingText) {
    write_list({record("alpha", "/bin/true", 1)});
    Windows windows;
    QString shown;
    const auto run = when_modal_opens([&](QWidget*) {
        shown = windows.notice.Label1->text();
        windows.notice.Button1->click();
    });
    windows.form.Button3->click();
    EXPECT_EQ(run->first, &windows.notice);
    EXPECT_FALSE(run->left_open);
    EXPECT_EQ(shown, "Please select an application to edit");
    EXPECT_EQ(windows.form.CheckListBox1->count(), 1);
}
