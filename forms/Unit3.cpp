#include "Unit3.h"

#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>

#include "error_box.h"
#include "ui_Unit3.h"

TForm3* Form3 = nullptr;

TForm3::TForm3(QWidget* parent) : QDialog(parent), ui_(std::make_unique<Ui::TForm3>()) {
    ui_->setupUi(this);
    Label1 = ui_->Label1;
    Button1 = ui_->Button1;

    // Fixed single border; the designed place on the screen rather than centred on a parent.
    setWindowFlags(dialog_window_flags);
    setFixedSize(228, 72);
    move(303, 232);
    setWindowIcon(application_icon());

    platform::connect_guarded(Button1, &QPushButton::clicked, this, &TForm3::Button1Click);
}

TForm3::~TForm3() = default;

void TForm3::showEvent(QShowEvent* event) {
    // The label keeps its designed size; a text wider than it, in a face wider than the
    // designed one, is shown in a smaller size rather than cut at both ends.
    QFont font = ui_->Label1->font();
    font.setPixelSize(13);
    while (font.pixelSize() > 9 &&
           QFontMetrics(font).horizontalAdvance(Label1->text()) > Label1->width())
        font.setPixelSize(font.pixelSize() - 1);
    Label1->setFont(font);
    QDialog::showEvent(event);
}

void TForm3::Button1Click() {
    close();
}
