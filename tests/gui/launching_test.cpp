// Launch-all, launch-one from the submenu, the timer's automatic launch and its switch.

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cerrno>

#include "file_system.h"
#include "gui_fixture.h"
#include "unit1.h"

using namespace kestrun_test;
using platform::NIM_ADD;
using platform::NIM_DELETE;
using platform::NIM_MODIFY;

namespace {

QAction* item_named(const TForm1& form, const std::string& name) {
    for (QAction* item : form.RunApplication1->actions())
        if (TForm1::item_name(item) == name) return item;
    return nullptr;
}

using kestrun_test::tick;

}  // namespace

using LaunchAll = GuiTest;

TEST_F(LaunchAll, StartsEnabledEntriesInFileOrderThenEnds) {
    write_list({record("One", "/bin/one", 1), record("Two", "/bin/two", 0),
                record("Three", "/bin/three", 2), record("Four", "/opt/my apps/four --flag", 1)});
    TForm1 form;
    form.Button5->click();
    EXPECT_EQ(launched, (std::vector<std::string>{"/bin/one", "/opt/my apps/four --flag"}));
    EXPECT_EQ(tray->commands(), (std::vector{NIM_ADD, NIM_DELETE}));
    EXPECT_EQ(terminations, 1);
    EXPECT_TRUE(error_boxes.empty());
}

TEST_F(LaunchAll, RunNowMenuItemIsTheButton) {
    write_list({record("One", "/bin/one", 1)});
    TForm1 form;
    form.RunNow1->trigger();
    EXPECT_EQ(launched, std::vector<std::string>{"/bin/one"});
    EXPECT_EQ(terminations, 1);
}

TEST_F(LaunchAll, NoFileOrEmptyFileStillRemovesIconAndEnds) {
    {
        TForm1 form;
        form.Button5->click();
        EXPECT_EQ(tray->commands(), (std::vector{NIM_ADD, NIM_DELETE}));
    }
    write_list({});
    {
        TForm1 form;
        form.Button5->click();
        EXPECT_EQ(tray->commands(), (std::vector{NIM_ADD, NIM_DELETE}));
    }
    EXPECT_TRUE(launched.empty());
    EXPECT_EQ(terminations, 2);
    EXPECT_TRUE(error_boxes.empty());
}

TEST_F(LaunchAll, ReadFailureStopsBeforeTheIconGoes) {
    write_list({record("One", "/bin/one", 1), record("Two", "/bin/two", 1)});
    TForm1 form;
    InjectedFileSystem files;
    files.fail_when = nth_read_fails(2, EIO);
    store::ScopedFileSystem broken(files.table());
    form.Button5->click();
    EXPECT_EQ(launched, std::vector<std::string>{"/bin/one"});
    EXPECT_EQ(tray->commands(), std::vector{NIM_ADD});
    EXPECT_EQ(terminations, 0);
    ASSERT_EQ(error_boxes.size(), 1u);
    EXPECT_EQ(error_boxes[0].first, "kestrun");
    EXPECT_TRUE(error_boxes[0].second.startsWith("I/O error"))
        << error_boxes[0].second.toStdString();
}

using LaunchOne = GuiTest;

TEST_F(LaunchOne, ItemStartsItsOwnEntryWhateverItsCaptionShows) {
    write_list({record("Mail", "/bin/mail", 1), record("Messenger", "/bin/messenger", 0),
                record("A&B", "/bin/ab", 1), record("TwentyCharacterName!", "/bin/twenty", 1),
                record("Last", "/bin/last", 0)});
    TForm1 form;
    QAction* messenger = item_named(form, "Messenger");
    messenger->setText("M&essenger");
    messenger->trigger();
    item_named(form, "A&B")->trigger();
    item_named(form, "TwentyCharacterName!")->trigger();
    item_named(form, "Last")->trigger();
    EXPECT_EQ(launched,
              (std::vector<std::string>{"/bin/messenger", "/bin/ab", "/bin/twenty", "/bin/last"}));
    EXPECT_EQ(terminations, 0);
    EXPECT_EQ(tray->commands(), std::vector{NIM_ADD});
}

TEST_F(LaunchOne, DuplicateNamesStartTheFirst) {
    write_list({record("Same", "/bin/first", 1), record("Same", "/bin/second", 1)});
    TForm1 form;
    form.RunApplication1->actions()[1]->trigger();
    EXPECT_EQ(launched, std::vector<std::string>{"/bin/first"});
}

TEST_F(LaunchOne, NameNoRecordHasStartsNothing) {
    write_list({record("Mail", "/bin/mail", 1)});
    TForm1 form;
    form.add_new_item("Ghost");  // the file was changed behind the program's back
    item_named(form, "Ghost")->trigger();
    EXPECT_TRUE(launched.empty());
    EXPECT_TRUE(error_boxes.empty());
}

TEST_F(LaunchOne, MissingOrEmptyFileIsReported) {
    write_list({record("Mail", "/bin/mail", 1)});
    TForm1 form;
    write_list({});
    item_named(form, "Mail")->trigger();
    std::filesystem::remove(list_path());
    item_named(form, "Mail")->trigger();
    ASSERT_EQ(error_boxes.size(), 2u);
    EXPECT_EQ(error_boxes[0].second, "Read beyond end of file.");
    EXPECT_EQ(error_boxes[1].second, "File not found.");
    EXPECT_TRUE(launched.empty());
}

using AutomaticLaunch = GuiTest;

TEST_F(AutomaticLaunch, TickWhileShownSendsNoProbe) {
    write_list({record("One", "/bin/one", 1)});
    echo.statuses = {probe::IP_SUCCESS};
    TForm1 form;
    form.show();
    tick(form);
    EXPECT_TRUE(echo.destinations.empty());
    EXPECT_TRUE(launched.empty());
    form.Button4->click();
    tick(form);
    EXPECT_EQ(echo.destinations.size(), 1u);
    EXPECT_EQ(launched, std::vector<std::string>{"/bin/one"});
    EXPECT_EQ(terminations, 1);
}

TEST_F(AutomaticLaunch, NetworkDownDoesNothingAndSecondAddressCounts) {
    write_list({record("One", "/bin/one", 1)});
    TForm1 form;
    echo.statuses = {probe::IP_REQ_TIMED_OUT, probe::IP_REQ_TIMED_OUT};
    tick(form);
    EXPECT_EQ(echo.destinations.size(), 2u);
    EXPECT_TRUE(launched.empty());
    EXPECT_EQ(terminations, 0);
    echo.statuses = {probe::IP_DEST_HOST_UNREACHABLE, probe::IP_SUCCESS};
    tick(form);
    EXPECT_EQ(launched, std::vector<std::string>{"/bin/one"});
    EXPECT_EQ(terminations, 1);
}

TEST_F(AutomaticLaunch, ProbeErrorIsShownAndTimerKeepsRunning) {
    TForm1 form;
    echo.fail_create = true;
    tick(form);
    tick(form);
    ASSERT_EQ(error_boxes.size(), 2u);
    EXPECT_EQ(error_boxes[0].first, "kestrun");
    EXPECT_EQ(error_boxes[0].second, "Function call IcmpCreateFile failed.");
    EXPECT_TRUE(form.Timer1->isActive());
    EXPECT_EQ(terminations, 0);
}

TEST_F(AutomaticLaunch, SwitchTogglesCaptionTimerAndIcon) {
    TForm1 form;
    form.Disable1->trigger();
    EXPECT_EQ(form.Disable1->text(), "&Enable");
    EXPECT_FALSE(form.Timer1->isActive());
    ASSERT_EQ(tray->commands(), (std::vector{NIM_ADD, NIM_MODIFY}));
    const QImage disabled = tray->calls[1].second.hIcon.pixmap(32, 32).toImage();
    const QImage enabled = tray->calls[0].second.hIcon.pixmap(32, 32).toImage();
    EXPECT_NE(disabled, enabled);

    form.Disable1->trigger();
    EXPECT_EQ(form.Disable1->text(), "&Disable");
    EXPECT_TRUE(form.Timer1->isActive());
    ASSERT_EQ(tray->commands(), (std::vector{NIM_ADD, NIM_MODIFY, NIM_MODIFY}));
    EXPECT_EQ(tray->calls[2].second.hIcon.pixmap(32, 32).toImage(), enabled);
}

TEST_F(AutomaticLaunch, RunNowWorksWhileDisabled) {
    write_list({record("One", "/bin/one", 1)});
    TForm1 form;
    form.Disable1->trigger();
    form.Button5->click();
    EXPECT_EQ(launched, std::vector<std::string>{"/bin/one"});
    EXPECT_EQ(terminations, 1);
}

// --- probes a network change starts ---------------------------------------------------------

using NetworkChange = GuiTest;

void change(probe::NetworkWatch* watch, TForm1& form) {
    emit watch->changed();
    kestrun_test::settle_probe(form);
}

TEST_F(NetworkChange, StartsTheListAtOnceWhileWaiting) {
    write_list({record("One", "/bin/one", 1)});
    TForm1 form;
    ASSERT_NE(network_watch, nullptr);
    echo.statuses = {probe::IP_REQ_TIMED_OUT, probe::IP_SUCCESS};
    change(network_watch, form);
    EXPECT_EQ(echo.destinations.size(), 2u);
    EXPECT_EQ(launched, std::vector<std::string>{"/bin/one"});
    EXPECT_EQ(terminations, 1);
}

TEST_F(NetworkChange, IsForgottenWhileShownOrSwitchedOff) {
    write_list({record("One", "/bin/one", 1)});
    TForm1 form;
    echo.statuses = {probe::IP_SUCCESS};
    form.show();
    change(network_watch, form);
    form.Button4->click();  // hidden again: no probe until the next tick or change
    QTest::qWait(300);
    form.Disable1->trigger();
    change(network_watch, form);
    form.Disable1->trigger();  // "&Enable": no probe at once either
    QTest::qWait(300);
    EXPECT_TRUE(echo.destinations.empty());
    EXPECT_TRUE(launched.empty());

    // An answer that comes after the window was shown is dropped.
    emit network_watch->changed();
    ASSERT_TRUE(form.probing());
    form.show();
    kestrun_test::settle_probe(form);
    EXPECT_EQ(echo.destinations.size(), 1u);
    EXPECT_TRUE(launched.empty());
    EXPECT_EQ(terminations, 0);
}
