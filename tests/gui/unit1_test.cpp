// The main window: start-up from the list file, the submenu, the tray callback,
// hiding and the ways out, launching, and the automatic launch.

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "application_identity.h"
#include "file_system.h"
#include "files.h"
#include "gui_fixture.h"
#include "key_values.h"
#include "unit1.h"
#include "views.h"

using namespace kestrun_test;
using platform::NIM_ADD;
using platform::NIM_DELETE;
using platform::NIM_MODIFY;

namespace {

platform::TMessage tray_message(std::uintptr_t id, std::intptr_t mouse) {
    return platform::TMessage{platform::UM_NOTIFYICON, id, mouse};
}

}  // namespace

using StartUp = GuiTest;

TEST_F(StartUp, WithoutListFileShowsEmptyListAndDisabledSubmenu) {
    TForm1 form;
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(form.CheckListBox1->count(), 0);
    EXPECT_FALSE(form.RunApplication1->menuAction()->isEnabled());
    EXPECT_TRUE(error_boxes.empty());
    ASSERT_EQ(tray->commands(), std::vector{NIM_ADD});
    const platform::TrayIconRecord& added = tray->calls[0].second;
    EXPECT_EQ(added.cbSize, 88u);
    EXPECT_EQ(added.uID, 0u);
    EXPECT_EQ(added.uFlags, 7u);
    EXPECT_EQ(added.uCallbackMessage, 1148u);
    EXPECT_STREQ(added.szTip, "Velmora Kestrunner");
    EXPECT_TRUE(std::all_of(added.szTip + 18, added.szTip + 64, [](char c) { return c == 0; }));
    EXPECT_FALSE(added.hIcon.isNull());
    EXPECT_TRUE(form.Timer1->isActive());
    EXPECT_EQ(form.Timer1->interval(), 5000);
}

TEST_F(StartUp, EmptyFileIsAnEmptyList) {
    write_list({});
    TForm1 form;
    EXPECT_EQ(form.CheckListBox1->count(), 0);
    EXPECT_FALSE(form.RunApplication1->menuAction()->isEnabled());
    EXPECT_TRUE(error_boxes.empty());
}

TEST_F(StartUp, RecordsBecomeLinesAndItemsInFileOrder) {
    write_list({record("Mail", "/bin/mail", 1), record("Chat", "/bin/chat", 0),
                record("News", "/bin/news", 1)},
               "x");  // a trailing partial record is ignored
    TForm1 form;
    EXPECT_EQ(line_texts(form), (std::vector<QString>{"Mail", "Chat", "News"}));
    EXPECT_EQ(line_checks(form), (std::vector<bool>{true, false, true}));
    EXPECT_EQ(item_names(form), (std::vector<std::string>{"Mail", "Chat", "News"}));
    EXPECT_TRUE(form.RunApplication1->menuAction()->isEnabled());
}

TEST_F(StartUp, EnabledByteOtherThanOneShowsUnchecked) {
    write_list({record("Two", "/bin/two", 2)});
    TForm1 form;
    EXPECT_EQ(line_checks(form), std::vector<bool>{false});
}

TEST_F(StartUp, DuplicateNamesGiveTwoLinesAndTwoItems) {
    write_list({record("Same", "/bin/a", 1), record("Same", "/bin/b", 1)});
    TForm1 form;
    EXPECT_EQ(line_texts(form), (std::vector<QString>{"Same", "Same"}));
    EXPECT_EQ(item_names(form), (std::vector<std::string>{"Same", "Same"}));
}

TEST_F(StartUp, NamesKeepTheirStoredBytesEvenWhenNotValidText) {
    const std::string odd("Bad\xff\xfe", 5);
    write_list({record(odd, "/bin/a", 1)});
    TForm1 form;
    EXPECT_EQ(TForm1::line_name(form.CheckListBox1->item(0)), odd);
    EXPECT_EQ(item_names(form), std::vector<std::string>{odd});
}

TEST_F(StartUp, ReadFailureIsReportedAndStartUpGoesOnWithLinesReadSoFar) {
    write_list(
        {record("One", "/bin/one", 1), record("Two", "/bin/two", 1), record("Three", "/c", 1)});
    InjectedFileSystem files;
    files.fail_when = nth_read_fails(2, ENOSPC);
    store::ScopedFileSystem broken(files.table());
    TForm1 form;
    ASSERT_EQ(error_boxes.size(), 1u);
    EXPECT_EQ(error_boxes[0], (std::pair<QString, QString>("kestrun", "Disk full.")));
    EXPECT_EQ(line_texts(form), std::vector<QString>{"One"});
    EXPECT_EQ(item_names(form), std::vector<std::string>{"One"});
    EXPECT_FALSE(form.RunApplication1->menuAction()->isEnabled());
    EXPECT_EQ(tray->commands(), std::vector{NIM_ADD});
    EXPECT_TRUE(form.Timer1->isActive());
}

// Start-up in a working directory that is gone: the error box shows, the icon is there, and
// what the user picks in the tray menu while the box is up holds (hosts that draw the menu
// themselves let the user do that).
TEST_F(StartUp, SwitchAndExitChosenWhileTheStartUpErrorBoxIsUpHold) {
    std::filesystem::create_directory("gone");
    std::filesystem::current_path("gone");
    std::filesystem::remove(std::filesystem::current_path());
    platform::Services with_box = platform::services();
    std::vector<QString> shown;
    with_box.error_box = [&](const QString&, const QString& text) {
        shown.push_back(text);
        for (QWidget* window : QApplication::topLevelWidgets()) {
            if (auto* made = qobject_cast<TForm1*>(window)) {
                made->Disable1->trigger();
                made->Exit1->trigger();
            }
        }
    };
    platform::ScopedServices services(with_box);
    TForm1 form;
    EXPECT_EQ(shown, std::vector<QString>{"File not found."});
    EXPECT_EQ(form.Disable1->text(), "&Enable");
    EXPECT_FALSE(form.Timer1->isActive());
    EXPECT_EQ(tray->commands(), (std::vector{NIM_ADD, NIM_MODIFY, NIM_DELETE}));
    EXPECT_EQ(terminations, 1);
    EXPECT_EQ(form.ListDirectory.list_file(), "./applications.dat");
    std::filesystem::current_path("/tmp");
}

using Submenu = GuiTest;

TEST_F(Submenu, DeleteItemRemovesFirstMatchEvenWithAcceleratorMarkers) {
    write_list({record("Mail", "/a", 1), record("Messenger", "/b", 1), record("Maps", "/c", 1),
                record("Messenger", "/d", 1)});
    TForm1 form;
    // Markers the menu gave itself are not part of the names.
    form.RunApplication1->actions()[1]->setText("M&essenger");
    form.delete_item("Messenger");
    EXPECT_EQ(item_names(form), (std::vector<std::string>{"Mail", "Maps", "Messenger"}));
    form.delete_item("Nobody");
    EXPECT_EQ(item_names(form), (std::vector<std::string>{"Mail", "Maps", "Messenger"}));
    form.delete_item("Messenger");
    form.delete_item("Mail");
    EXPECT_EQ(item_names(form), std::vector<std::string>{"Maps"});
}

TEST_F(Submenu, AddNewItemAppendsAndEnables) {
    TForm1 form;
    form.add_new_item("Editor");
    EXPECT_TRUE(form.RunApplication1->menuAction()->isEnabled());
    EXPECT_EQ(item_names(form), std::vector<std::string>{"Editor"});
}

using TrayCallback = GuiTest;

TEST_F(TrayCallback, LeftButtonShowsWindowAndOtherMessagesDoNothing) {
    TForm1 form;
    // A menu is shown while the message is handled: one that came would be counted here.
    const auto menus = when_popup_opens();
    for (std::intptr_t mouse :
         {platform::WM_MOUSEMOVE, platform::WM_LBUTTONUP, platform::WM_LBUTTONDBLCLK,
          platform::WM_RBUTTONUP, platform::WM_MBUTTONDOWN}) {
        tray->deliver(tray_message(0, mouse));
        EXPECT_FALSE(form.isVisible()) << mouse;
        EXPECT_EQ(menus->count, 0) << mouse;
    }
    tray->deliver(tray_message(1, platform::WM_LBUTTONDOWN));  // another icon's
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(menus->count, 0);
    tray->deliver(tray_message(0, platform::WM_LBUTTONDOWN));
    EXPECT_TRUE(form.isVisible());
    EXPECT_FALSE(form.isMinimized());
}

TEST_F(TrayCallback, RightButtonOpensTrayMenuAtCursor) {
    TForm1 form;
    QCursor::setPos(200, 150);
    QPoint opened_at(-1, -1);
    QStringList captions;
    const auto menu = when_popup_opens([&](QMenu* shown) {
        opened_at = shown->pos();
        for (const QAction* a : shown->actions()) captions << a->text();
    });
    tray->deliver(tray_message(0, platform::WM_RBUTTONDOWN));
    EXPECT_EQ(menu->first, form.PopupMenu1);
    EXPECT_EQ(menu->count, 1);
    EXPECT_EQ(opened_at, QCursor::pos());
    EXPECT_EQ(captions, (QStringList{"&Open", "&Run Application", "&Disable", "E&xit"}));
    EXPECT_FALSE(form.isVisible());
}

TEST_F(TrayCallback, RightButtonOfAnotherIconDoesNothing) {
    TForm1 form;
    bool opened = false;
    const auto menus = when_popup_opens([&](QMenu*) { opened = true; });
    tray->deliver(tray_message(3, platform::WM_RBUTTONDOWN));
    // The menu opens, if at all, while the message is handled.
    EXPECT_FALSE(opened);
    EXPECT_EQ(menus->count, 0);
}

using ShowAndHide = GuiTest;

TEST_F(ShowAndHide, OkAndOpenAndMinimize) {
    TForm1 form;
    form.Open1->trigger();
    EXPECT_TRUE(form.isVisible());
    form.Button4->click();
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(tray->commands(), std::vector{NIM_ADD});

    form.Open1->trigger();
    form.setWindowState(Qt::WindowMinimized);
    QApplication::processEvents();
    EXPECT_FALSE(form.isVisible());
    tray->deliver(tray_message(0, platform::WM_LBUTTONDOWN));
    EXPECT_TRUE(form.isVisible());
    EXPECT_FALSE(form.isMinimized());
    EXPECT_EQ(terminations, 0);
}

// However the window is shown, the keys go to the check list, whose current line is in view;
// nothing is selected by it.
TEST_F(ShowAndHide, ShownWindowGivesTheCheckListTheFocus) {
    write_list(numbered_records(40));
    TForm1 form;
    tray->deliver(tray_message(0, platform::WM_LBUTTONDOWN));
    EXPECT_EQ(form.focusWidget(), form.CheckListBox1);
    EXPECT_EQ(form.CheckListBox1->currentRow(), 0);
    EXPECT_EQ(form.selected_line(), nullptr);

    form.Button4->click();
    form.CheckListBox1->setCurrentRow(39, QItemSelectionModel::NoUpdate);
    form.CheckListBox1->scrollToTop();
    form.Button1->setFocus();
    form.Open1->trigger();
    EXPECT_EQ(form.CheckListBox1->currentRow(), 39);
    const QRect line = form.CheckListBox1->visualItemRect(form.CheckListBox1->item(39));
    EXPECT_TRUE(form.CheckListBox1->viewport()->rect().contains(line)) << "the line is in view";
    EXPECT_EQ(form.focusWidget(), form.CheckListBox1);
}

using Icons = GuiTest;

// Every size the resources hold, so a scaled screen or a large tray gets a picture of its own
// size. With no icon theme (offscreen) the tray's enabled icon is the window's.
TEST_F(Icons, WindowAndTrayIconsCarryEverySize) {
    const auto sizes = [](const QIcon& icon) {
        QList<int> sides;
        for (const QSize& size : icon.availableSizes()) sides << size.width();
        std::sort(sides.begin(), sides.end());
        return sides;
    };
    TForm1 form;
    const QList<int> every{16, 22, 24, 32, 48, 64};
    EXPECT_EQ(sizes(form.windowIcon()), every);
    ASSERT_EQ(tray->calls.size(), 1u);
    EXPECT_EQ(sizes(tray->calls[0].second.hIcon), every);
    form.Disable1->trigger();
    EXPECT_EQ(sizes(tray->calls.back().second.hIcon), every) << "the disabled picture too";
}

// The desktop knows the program by its menu entry: the windows' app id names the entry's file,
// and the name the entry shows is the X11 class it matches windows by (StartupWMClass) and the
// title tray hosts list the icon under.
TEST_F(Icons, WindowsAndTrayAreTheMenuEntrys) {
    platform::set_application_identity();
    const QString id = QGuiApplication::desktopFileName();
    EXPECT_EQ(id, QString::fromLatin1(platform::application_id));
    const std::string entry_file =
        std::string(KESTRUN_PACKAGING_DIR) + "/" + id.toStdString() + ".desktop";
    const KeyValues entry = parse_key_values(read_bytes(entry_file));
    ASSERT_TRUE(entry.has("Name")) << entry_file;
    EXPECT_EQ(entry["Name"], QCoreApplication::applicationName().toStdString());
    EXPECT_EQ(entry["StartupWMClass"], entry["Name"]);
    EXPECT_EQ(entry["Icon"], id.toStdString()) << "the tray's theme icon is the entry's";
}

using Ending = GuiTest;

TEST_F(Ending, EveryExitRemovesTheIconThenTerminates) {
    {
        TForm1 form;
        form.Exit1->trigger();
        EXPECT_EQ(tray->commands(), (std::vector{NIM_ADD, NIM_DELETE}));
        EXPECT_EQ(terminations, 1);
    }
    {
        TForm1 form;
        form.OK1->trigger();
        EXPECT_EQ(tray->commands(), (std::vector{NIM_ADD, NIM_DELETE}));
        EXPECT_EQ(terminations, 2);
    }
    {
        TForm1 form;
        form.show();
        form.close();
        EXPECT_EQ(tray->commands(), (std::vector{NIM_ADD, NIM_DELETE}));
        EXPECT_EQ(terminations, 3);
    }
    EXPECT_TRUE(launched.empty());
}
