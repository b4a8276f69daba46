// What the main window leaves for later so that start-up stays cheap: the submenu's items past
// the first thousand (made when it opens), the dialogs (made when a handler first needs one),
// what the tray icon does not need (once the event loop turns), and the pictures (read when a
// size is drawn).

#include <QAction>
#include <QDir>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QTest>

#include <string>
#include <vector>

#include "Unit3.h"
#include "Unit4.h"
#include "Unit5.h"
#include "files.h"
#include "gui_fixture.h"
#include "icons.h"
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

// --- once the icon shows ------------------------------------------------------------

namespace {

constexpr const char* theme_icon_name = "org.example.kestrunner.Kestrun";

// An icon theme "hicolor" in a folder of its own, with the application's icon or without; Qt
// looks there alone while this lives.
class IconTheme {
  public:
    explicit IconTheme(bool with_icon)
        : saved_paths_(QIcon::themeSearchPaths()), saved_name_(QIcon::themeName()) {
        const QString root = QString::fromStdString(dir_.path());
        QDir(root).mkpath(QStringLiteral("hicolor/16x16/apps"));
        write_bytes(dir_.file("hicolor/index.theme"),
                    "[Icon Theme]\nName=hicolor\nDirectories=16x16/apps\n\n"
                    "[16x16/apps]\nSize=16\nType=Fixed\n");
        if (with_icon)
            application_icon().pixmap(16, 16).save(
                root + QStringLiteral("/hicolor/16x16/apps/%1.png").arg(theme_icon_name));
        QIcon::setThemeSearchPaths({root});
        QIcon::setThemeName(QStringLiteral("hicolor"));
    }
    ~IconTheme() {
        QIcon::setThemeSearchPaths(saved_paths_);
        QIcon::setThemeName(saved_name_);
    }
    IconTheme(const IconTheme&) = delete;
    IconTheme& operator=(const IconTheme&) = delete;

  private:
    TempDir dir_;
    QStringList saved_paths_;
    QString saved_name_;
};

// Waits (at most 5 s) for what start-up leaves until the icon shows; the image holders' pictures
// come with it.
void let_start_up_finish(const TForm1& form) {
    EXPECT_TRUE(QTest::qWaitFor([&] { return !form.Image1->pixmap().isNull(); }, 5000));
}

QStringList titles(const QList<QAction*>& actions) {
    QStringList texts;
    for (const QAction* action : actions) texts << action->text();
    return texts;
}

}  // namespace

using AfterTheIcon = GuiTest;

TEST_F(AfterTheIcon, MenuBarAndImageHoldersComeOnceTheIconShows) {
    const IconTheme theme(false);
    TForm1 form;
    EXPECT_EQ(form.MainMenu1, nullptr);
    EXPECT_TRUE(form.Image1->pixmap().isNull());
    ASSERT_EQ(tray->calls.size(), 1u);
    EXPECT_FALSE(tray->calls[0].second.hIcon.isNull());  // the icon does not wait

    let_start_up_finish(form);
    ASSERT_NE(form.MainMenu1, nullptr);
    EXPECT_EQ(form.menuBar(), form.MainMenu1);
    EXPECT_EQ(titles(form.MainMenu1->actions()), (QStringList{"&File", "&Help"}));
    const QList<QAction*> file = form.MainMenu1->actions()[0]->menu()->actions();
    EXPECT_EQ(file, (QList<QAction*>{form.NewApplication1, form.EditLaunch1, form.DeleteSelected1,
                                     form.RunNow1, form.OK1}));
    EXPECT_EQ(form.MainMenu1->actions()[1]->menu()->actions(), QList<QAction*>{form.About1});
    EXPECT_EQ(form.Image1->pixmap().size(), QSize(32, 32));
    EXPECT_EQ(form.Image2->pixmap().size(), QSize(32, 32));
    // Without the theme's icon the tray keeps the program's own pictures.
    EXPECT_EQ(tray->commands(), std::vector{platform::NIM_ADD});
}

TEST_F(AfterTheIcon, AWindowShownSoonerHasItsMenuBarAndOnlyOne) {
    TForm1 form;
    form.show();
    ASSERT_NE(form.MainMenu1, nullptr);
    EXPECT_TRUE(form.MainMenu1->isVisible());
    let_start_up_finish(form);
    EXPECT_EQ(form.findChildren<QMenuBar*>().size(), 1);
    form.hide();
}

TEST_F(AfterTheIcon, TheTrayIconBecomesTheThemesWhereTheThemeHasIt) {
    const IconTheme theme(true);
    TForm1 form;
    ASSERT_EQ(tray->calls.size(), 1u);
    EXPECT_TRUE(tray->calls[0].second.hIcon.name().isEmpty());
    let_start_up_finish(form);
    ASSERT_EQ(tray->commands(), (std::vector{platform::NIM_ADD, platform::NIM_MODIFY}));
    EXPECT_EQ(tray->calls[1].second.hIcon.name(), theme_icon_name);
}

TEST_F(AfterTheIcon, WhileSwitchedOffTheThemesIconWaitsForEnable) {
    const IconTheme theme(true);
    TForm1 form;
    form.Disable1->trigger();
    let_start_up_finish(form);
    ASSERT_EQ(tray->commands(), (std::vector{platform::NIM_ADD, platform::NIM_MODIFY}));
    EXPECT_TRUE(tray->calls[1].second.hIcon.name().isEmpty());  // still the disabled picture
    form.Disable1->trigger();
    EXPECT_EQ(tray->calls.back().second.hIcon.name(), theme_icon_name);
}

// --- the pictures -------------------------------------------------------------------------

namespace {

QImage picture(const QString& file) {
    return QImage(file).convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

QImage drawn(const QPixmap& pixmap) {
    return pixmap.toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

}  // namespace

TEST(Pictures, EachSizeIsDrawnFromItsOwnPicture) {
    const QIcon icon = application_icon();
    for (const int side : {16, 22, 24, 32, 48, 64}) {
        const QString file = QStringLiteral(":/icons/kestrun-%1.png").arg(side);
        EXPECT_EQ(drawn(icon.pixmap(side, side)), picture(file)) << side;
        QImage canvas(side, side, QImage::Format_ARGB32_Premultiplied);
        canvas.fill(Qt::transparent);
        QPainter painter(&canvas);
        icon.paint(&painter, canvas.rect());
        painter.end();
        EXPECT_EQ(canvas, picture(file)) << "painted at " << side;
    }
    EXPECT_EQ(drawn(disabled_icon().pixmap(32, 32)),
              picture(QStringLiteral(":/icons/kestrun-disabled-32.png")));
}

TEST(Pictures, BetweenSizesTheNextLargerIsScaledDownNeverASmallerUp) {
    const QIcon icon = application_icon();
    EXPECT_EQ(icon.actualSize(QSize(20, 20)), QSize(20, 20));
    EXPECT_EQ(icon.pixmap(20, 20).size(), QSize(20, 20));
    EXPECT_EQ(drawn(icon.pixmap(20, 20)),
              picture(QStringLiteral(":/icons/kestrun-22.png"))
                  .scaled(20, 20, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
    EXPECT_EQ(icon.actualSize(QSize(128, 128)), QSize(64, 64));
    EXPECT_EQ(icon.pixmap(128, 128).size(), QSize(64, 64));
    EXPECT_EQ(icon.actualSize(QSize(8, 8)), QSize(8, 8));
}
