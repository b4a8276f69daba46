// What the main window leaves for later so that start-up stays cheap: the submenu's items past
// the first thousand (made when it opens) and the dialogs (made when a handler first needs one).

#include <QAction>
#include <QListWidget>
#include <QMenu>

#include <string>
#include <vector>

#include "Unit3.h"
#include "Unit4.h"
#include "Unit5.h"
#include "gui_fixture.h"
#include "unit1.h"
#include "views.h"

using namespace kestrun_test;

namespace {

// The name numbered_records gives entry i.
std::string name_of(int i) {
    return "entry " + std::to_string(i);
}

std::vector<std::string> names_from(int first, int end) {
    std::vector<std::string> names;
    for (int i = first; i < end; ++i) names.push_back(name_of(i));
    return names;
}

void open_submenu(TForm1& form) {
    emit form.RunApplication1->aboutToShow();
}

}  // namespace

using LongList = GuiTest;

TEST_F(LongList, FirstThousandItemsAreMadeAtOnceTheRestWhenTheSubmenuOpens) {
    write_list(numbered_records(1500));
    TForm1 form;
    EXPECT_EQ(form.CheckListBox1->count(), 1500);
    EXPECT_EQ(form.CheckListBox1->item(1499)->text(), "entry 1499");
    EXPECT_EQ(item_names(form), names_from(0, 1000));
    EXPECT_TRUE(form.RunApplication1->menuAction()->isEnabled());

    open_submenu(form);
    EXPECT_EQ(item_names(form), names_from(0, 1500));
    // Accelerators are given to the whole menu once it is complete.
    EXPECT_TRUE(form.RunApplication1->actions()[0]->text().contains('&'));
    open_submenu(form);  // nothing more to make
    EXPECT_EQ(item_names(form), names_from(0, 1500));
    EXPECT_TRUE(error_boxes.empty());
}

TEST_F(LongList, DeletesAndAddsKeepTheOrderWhetherAnItemIsMadeOrWaiting) {
    write_list(numbered_records(1003));
    TForm1 form;
    form.delete_item(name_of(5));  // a made one: the first waiting item takes its place
    EXPECT_EQ(form.RunApplication1->actions().size(), 1000);
    EXPECT_EQ(item_names(form).back(), name_of(1000));
    form.delete_item(name_of(1002));  // a waiting one
    form.delete_item("nobody");
    form.add_new_item("new one");

    open_submenu(form);
    std::vector<std::string> expected = names_from(0, 5);
    const std::vector<std::string> rest = names_from(6, 1002);
    expected.insert(expected.end(), rest.begin(), rest.end());
    expected.push_back("new one");
    EXPECT_EQ(item_names(form), expected);
}

TEST_F(LongList, AnItemMadeLaterStartsItsEntry) {
    write_list(numbered_records(1200));
    TForm1 form;
    open_submenu(form);
    form.RunApplication1->actions()[1150]->trigger();
    EXPECT_EQ(launched, std::vector<std::string>{"/usr/bin/entry1150"});
}

TEST_F(LongList, MadeItemsRunOutOnlyWithTheWaitingOnes) {
    write_list(numbered_records(1001));
    TForm1 form;
    for (int i = 0; i < 1000; ++i) form.delete_item(name_of(i));
    EXPECT_EQ(item_names(form), std::vector<std::string>{name_of(1000)});
    form.delete_item(name_of(1000));
    EXPECT_TRUE(form.RunApplication1->actions().isEmpty());
    open_submenu(form);
    EXPECT_TRUE(form.RunApplication1->actions().isEmpty());
}

using DialogsOnDemand = GuiTest;

TEST_F(DialogsOnDemand, AHandlerMakesThemBeforeItUsesOne) {
    write_list(numbered_records(2));
    TForm1 form;
    // The globals go back to nothing however the test ends.
    struct Reset {
        ~Reset() {
            make_dialogs = nullptr;
            Form1 = nullptr;
            Form3 = nullptr;
            Form4 = nullptr;
            Form5 = nullptr;
        }
    } reset;
    Form1 = &form;
    std::unique_ptr<TForm3> notice;
    std::unique_ptr<TForm4> confirm;
    std::unique_ptr<TForm5> about;
    int made = 0;
    make_dialogs = [&] {
        ++made;
        if (about) return;
        notice = std::make_unique<TForm3>(&form);
        Form3 = notice.get();
        confirm = std::make_unique<TForm4>(&form);
        Form4 = confirm.get();
        about = std::make_unique<TForm5>(&form);
        Form5 = about.get();
    };
    EXPECT_EQ(made, 0);  // start-up makes none

    // The watch closes each dialog that comes.
    auto shown = when_modal_opens();
    form.About1Click();
    EXPECT_EQ(made, 1);
    EXPECT_EQ(shown->first, about.get());

    shown = when_modal_opens();
    form.Button3Click();  // no line selected: the notice
    EXPECT_EQ(made, 2);
    EXPECT_EQ(shown->first, notice.get());
}
