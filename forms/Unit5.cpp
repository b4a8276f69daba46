#include "Unit5.h"

#include <QAccessibleWidget>
#include <QApplication>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QStyleOptionFocusRect>

#include "Unit3.h"
#include "error_box.h"
#include "jpeg_image.h"
#include "services.h"
#include "ui_Unit5.h"

TForm5* Form5 = nullptr;

namespace {

// Link colours, given as the platform's 0x00BBGGRR values.
constexpr unsigned link_hover_colour = 0x0000FF;  // red: the mouse is on the link
constexpr unsigned link_away_colour = 0xFF0000;   // blue: the mouse is on the bare window

QColor from_bgr(unsigned value) {
    return QColor(int(value & 0xFF), int((value >> 8) & 0xFF), int((value >> 16) & 0xFF));
}

// The link's text goes out through a buffer of 80 characters, terminator included.
constexpr qsizetype link_text_capacity = 79;

void set_text_colour(QLabel* label, const QColor& colour) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
}

// A screen reader reads the link as one: a link, named by its address, that its press action
// opens.
class LinkAccessible : public QAccessibleWidget {
  public:
    explicit LinkAccessible(QWidget* link) : QAccessibleWidget(link, QAccessible::Link) {}
    QStringList actionNames() const override {
        return QAccessibleWidget::actionNames() << pressAction();
    }
    void doAction(const QString& name) override {
        if (name != pressAction()) return QAccessibleWidget::doAction(name);
        if (auto* about = qobject_cast<TForm5*>(widget()->window()))
            platform::guarded([about] { about->Label5Click(); });
    }
};

QAccessibleInterface* link_accessible(const QString&, QObject* object) {
    if (object != nullptr && object->objectName() == QLatin1String("Label5") &&
        qobject_cast<QLabel*>(object) != nullptr && qobject_cast<TForm5*>(object->parent()))
        return new LinkAccessible(static_cast<QWidget*>(object));
    return nullptr;
}

bool is_open_key(const QEvent* event) {
    if (event->type() != QEvent::KeyPress) return false;
    const int key = static_cast<const QKeyEvent*>(event)->key();
    return key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space;
}

}  // namespace

// Outside the unnamed namespace: the resource initialiser it declares is the library's.
static QPixmap about_picture() {
    Q_INIT_RESOURCE(kestrun);
    QFile file(QStringLiteral(":/about.jpg"));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QPixmap::fromImage(platform::decode_jpeg(file.readAll()));
}

TForm5::TForm5(QWidget* parent) : QDialog(parent), ui_(std::make_unique<Ui::TForm5>()) {
    static const bool link_factory = (QAccessible::installFactory(link_accessible), true);
    (void)link_factory;
    ui_->setupUi(this);
    Image1 = ui_->Image1;
    Label1 = ui_->Label1;
    Label2 = ui_->Label2;
    Label3 = ui_->Label3;
    Label4 = ui_->Label4;
    Label5 = ui_->Label5;
    Button1 = ui_->Button1;

    // Resizable, system menu only. The designed outer size of 572 x 250 is this 564 x 223
    // client area inside a 4-pixel sizing border and a 19-pixel caption.
    setWindowFlags(dialog_window_flags);
    resize(564, 223);
    move(263, 127);
    setWindowIcon(application_icon());

    // Drawn at its own size from the top-left corner, never stretched.
    Image1->setPixmap(about_picture());

    Label5->setText(QString::fromLatin1(maker_web_page));
    // The link is a control of its own: Tab reaches it from OK, which has the focus first,
    // and Enter or Space opens it.
    Label5->setAccessibleName(Label5->text());
    Label5->setFocusPolicy(Qt::StrongFocus);
    Button1->setFocus();
    // These labels size themselves to their text from their designed top-left corner, so
    // a face wider than the designed one never cuts them off.
    for (QLabel* label : {Label1, Label2, Label3, Label5}) label->adjustSize();
    // The colour of an active window's title bar has no role of its own in Qt; the
    // selection highlight is the same colour in the classic desktop schemes.
    set_text_colour(Label5, QApplication::palette().color(QPalette::Active, QPalette::Highlight));

    // Moves are seen without a button held, on the window and on every control; a control
    // keeps its moves to itself, so only the bare client area reaches FormMouseMove.
    setMouseTracking(true);
    for (QWidget* control : {static_cast<QWidget*>(Image1), static_cast<QWidget*>(Label1),
                             static_cast<QWidget*>(Label2), static_cast<QWidget*>(Label3),
                             static_cast<QWidget*>(Label4), static_cast<QWidget*>(Label5),
                             static_cast<QWidget*>(Button1)}) {
        control->setMouseTracking(true);
        control->setAttribute(Qt::WA_NoMousePropagation);
    }
    Label5->installEventFilter(this);

    platform::connect_guarded(Button1, &QPushButton::clicked, this, &TForm5::Button1Click);
}

TForm5::~TForm5() = default;

bool TForm5::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Label5) {
        if (is_open_key(event)) {
            platform::guarded([this] { Label5Click(); });
            return true;  // not the dialog's default button
        }
        if (event->type() == QEvent::Paint && Label5->hasFocus() && !painting_link_) {
            // The label draws itself, then the focus frame goes round it.
            painting_link_ = true;
            QCoreApplication::sendEvent(Label5, event);
            painting_link_ = false;
            QPainter painter(Label5);
            QStyleOptionFocusRect frame;
            frame.initFrom(Label5);
            Label5->style()->drawPrimitive(QStyle::PE_FrameFocusRect, &frame, &painter, Label5);
            return true;
        }
        if (event->type() == QEvent::MouseMove) {
            platform::guarded([this] { Label5MouseMove(); });
        } else if (event->type() == QEvent::MouseButtonRelease) {
            // A click: the left button went down and comes up over the link.
            const auto* mouse = static_cast<QMouseEvent*>(event);
            if (mouse->button() == Qt::LeftButton &&
                Label5->rect().contains(mouse->position().toPoint()))
                platform::guarded([this] { Label5Click(); });
        }
    }
    return QDialog::eventFilter(watched, event);
}

void TForm5::mouseMoveEvent(QMouseEvent* event) {
    platform::guarded([this] { FormMouseMove(); });
    QDialog::mouseMoveEvent(event);
}

void TForm5::Button1Click() {
    close();
}

void TForm5::Label5Click() {
    // Handed to the desktop's default opener; it neither waits nor reports a failure.
    platform::services().open_document(Label5->text().left(link_text_capacity));
}

void TForm5::Label5MouseMove() {
    set_text_colour(Label5, from_bgr(link_hover_colour));
}

void TForm5::FormMouseMove() {
    set_text_colour(Label5, from_bgr(link_away_colour));
}
