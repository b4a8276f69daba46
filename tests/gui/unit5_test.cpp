// The About box: its texts and picture, the link that opens the maker's page, and the
// link's colour as the mouse moves over the window.

#include <QAccessible>
#include <QFile>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QtTest/QTest>

#include "dialogs_fixture.h"
#include "gui_fixture.h"
#include "jpeg_image.h"

using namespace kestrun_test;

namespace {

const QColor red(255, 0, 0);
const QColor blue(0, 0, 255);

QColor link_colour(const TForm5& about) {
    return about.Label5->palette().color(QPalette::Active, QPalette::WindowText);
}

class About : public GuiTest {
  protected:
    void SetUp() override {
        GuiTest::SetUp();
        about = std::make_unique<TForm5>();
    }
    void TearDown() override {
        about.reset();
        GuiTest::TearDown();
    }

    void show() {
        about->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(about.get()));
    }

    // A real mouse move through the window system, to a point of the client area.
    void move_to(QPoint client_point) { QTest::mouseMove(about->windowHandle(), client_point); }
    void move_over(const QWidget* control) {
        move_to(control->mapTo(about.get(), control->rect().center()));
    }

    std::unique_ptr<TForm5> about;
};

}  // namespace

TEST_F(About, CaptionsAndTexts) {
    EXPECT_EQ(about->windowTitle(), "About Velmora Kestrunner");
    EXPECT_EQ(about->Label1->text(), "Product Name: Velmora Kestrunner");
    EXPECT_EQ(about->Label2->text(), "Version: 1.0.1.0");
    EXPECT_EQ(about->Label3->text(), "");
    EXPECT_EQ(about->Label4->text(), "");
    EXPECT_TRUE(about->Label4->wordWrap());
    EXPECT_EQ(about->Label5->text(), "https://kestrunner.example.org/");
    EXPECT_TRUE(about->Label5->font().underline());
    EXPECT_EQ(about->Label5->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_EQ(about->Button1->text(), "OK");
    for (const QLabel* label :
         {about->Label1, about->Label2, about->Label3, about->Label4, about->Label5})
        EXPECT_EQ(label->font().pointSize(), 10) << label->objectName().toStdString();
    EXPECT_FALSE(about->windowIcon().isNull());
    EXPECT_EQ(about->pos(), QPoint(263, 127));

    // Resizable, system menu only, and everything fits in the client area it opens with.
    EXPECT_NE(about->minimumSize(), about->maximumSize());
    EXPECT_FALSE(about->windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_FALSE(about->windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_TRUE(about->windowFlags().testFlag(Qt::WindowSystemMenuHint));
    for (const QWidget* control : about->findChildren<QWidget*>())
        EXPECT_TRUE(about->rect().contains(control->geometry()))
            << control->objectName().toStdString();
}

TEST_F(About, PictureDrawnAtItsOwnSizeFromTheTopLeft) {
    QFile file(QStringLiteral(":/about.jpg"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QImage decoded =
        platform::decode_jpeg(file.readAll()).convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(decoded.size(), QSize(200, 200));

    EXPECT_EQ(about->Image1->pixmap().size(), QSize(200, 200));
    EXPECT_FALSE(about->Image1->hasScaledContents());
    EXPECT_EQ(about->Image1->size(), QSize(201, 201));

    show();
    const QImage drawn = about->Image1->grab().toImage().convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(drawn.size(), QSize(201, 201));
    EXPECT_EQ(drawn.copy(0, 0, 200, 200), decoded);
    // The frame's last column and row stay bare.
    const QRgb bare = about->palette().color(QPalette::Window).rgb();
    for (int i = 0; i < 201; ++i) {
        EXPECT_EQ(drawn.pixel(200, i), bare) << "row " << i;
        EXPECT_EQ(drawn.pixel(i, 200), bare) << "column " << i;
    }
}

TEST_F(About, LinkOpensTheMakersPageAndTheBoxStaysOpen) {
    show();
    QTest::mouseClick(about->Label5, Qt::LeftButton);
    ASSERT_EQ(opened_documents.size(), 1u);
    EXPECT_EQ(opened_documents[0], "https://kestrunner.example.org/");
    EXPECT_TRUE(about->isVisible());

    // A click elsewhere opens nothing.
    QTest::mouseClick(about->Label1, Qt::LeftButton);
    QTest::mouseClick(about.get(), Qt::LeftButton, {}, QPoint(220, 100));
    EXPECT_EQ(opened_documents.size(), 1u);
}

// The keyboard and a screen reader reach the link too: Tab, then Enter or Space; or the press
// action of its accessible interface, which reads as a link named by its address.
TEST_F(About, LinkIsAControlThatKeysAndItsPressActionOpen) {
    show();
    // Tab goes from OK to the link.
    EXPECT_EQ(about->focusWidget(), about->Button1) << "OK has the focus when the box opens";
    QTest::keyClick(about->Button1, Qt::Key_Tab);
    EXPECT_EQ(about->focusWidget(), about->Label5);
    EXPECT_EQ(about->Label5->focusPolicy(), Qt::StrongFocus);
    QTest::keyClick(about->Label5, Qt::Key_Return);
    QTest::keyClick(about->Label5, Qt::Key_Space);
    EXPECT_EQ(opened_documents,
              (std::vector<QString>(2, QStringLiteral("https://kestrunner.example.org/"))));
    EXPECT_TRUE(about->isVisible()) << "Enter on the link is not the OK button's";

    QAccessibleInterface* link = QAccessible::queryAccessibleInterface(about->Label5);
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(link->role(), QAccessible::Link);
    EXPECT_EQ(link->text(QAccessible::Name), "https://kestrunner.example.org/");
    EXPECT_TRUE(link->state().focusable);
    ASSERT_NE(link->actionInterface(), nullptr);
    link->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    EXPECT_EQ(opened_documents.size(), 3u);
    // Other labels are no link.
    EXPECT_NE(QAccessible::queryAccessibleInterface(about->Label1)->role(), QAccessible::Link);
}

TEST_F(About, LinkStartsInTheHighlightColour) {
    EXPECT_EQ(link_colour(*about),
              QApplication::palette().color(QPalette::Active, QPalette::Highlight));
}

TEST_F(About, LinkTurnsRedOnItselfAndBlueOnTheBareWindowOnly) {
    show();
    const QPoint bare(220, 100);
    ASSERT_EQ(about->childAt(bare), nullptr);

    move_over(about->Label5);
    EXPECT_EQ(link_colour(*about), red);
    move_to(bare);
    EXPECT_EQ(link_colour(*about), blue);

    // The picture, the other labels and the button keep the last colour.
    move_over(about->Label5);
    ASSERT_EQ(link_colour(*about), red);
    for (const QWidget* control :
         std::initializer_list<const QWidget*>{about->Image1, about->Label1, about->Label2,
                                               about->Label3, about->Label4, about->Button1}) {
        move_over(control);
        EXPECT_EQ(link_colour(*about), red) << control->objectName().toStdString();
    }
    move_to(bare);
    for (const QWidget* control :
         std::initializer_list<const QWidget*>{about->Image1, about->Label4, about->Button1}) {
        move_over(control);
        EXPECT_EQ(link_colour(*about), blue) << control->objectName().toStdString();
    }
}

TEST_F(About, MovesSentStraightToAControlStayWithIt) {
    // Delivered to the control itself, as when the window system picks it.
    about->FormMouseMove();
    ASSERT_EQ(link_colour(*about), blue);
    for (QWidget* control :
         std::initializer_list<QWidget*>{about->Image1, about->Label2, about->Button1}) {
        QMouseEvent move(QEvent::MouseMove, QPointF(3, 3), about->mapToGlobal(QPointF(3, 3)),
                         Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(control, &move);
        EXPECT_EQ(link_colour(*about), blue) << control->objectName().toStdString();
    }
    QMouseEvent on_link(QEvent::MouseMove, QPointF(3, 3), about->mapToGlobal(QPointF(3, 3)),
                        Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(about->Label5, &on_link);
    EXPECT_EQ(link_colour(*about), red);
}

TEST_F(About, ColourKeptWhenClosedAndOpenedAgain) {
    write_list({});
    Windows w;
    auto run = when_modal_opens([&](QWidget*) {
        QTest::mouseMove(w.about.windowHandle(), QPoint(220, 100));
        QTest::mouseMove(w.about.windowHandle(), w.about.Label5->mapTo(&w.about, QPoint(5, 5)));
        w.about.Button1->click();
    });
    w.form.About1->trigger();
    EXPECT_EQ(run->first, &w.about);
    EXPECT_FALSE(run->left_open);
    EXPECT_FALSE(w.about.isVisible());

    QColor shown;
    run = when_modal_opens([&](QWidget*) {
        shown = link_colour(w.about);
        w.about.close();
    });
    w.form.About1Click();
    EXPECT_EQ(run->first, &w.about);
    EXPECT_FALSE(run->left_open);
    EXPECT_EQ(shown, red);
}
