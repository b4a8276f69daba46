#include "Unit4.h"

#include <QAction>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>

#include "Unit3.h"
#include "error_box.h"
#include "list_file.h"
#include "list_rewrite.h"
#include "ui_Unit4.h"
#include "unit1.h"

TForm4* Form4 = nullptr;

TForm4::TForm4(QWidget* parent) : QDialog(parent), ui_(std::make_unique<Ui::TForm4>()) {
    ui_->setupUi(this);
    Label1 = ui_->Label1;
    Button1 = ui_->Button1;
    Button2 = ui_->Button2;

    setWindowFlags(dialog_window_flags);
    setFixedSize(299, 76);
    move(211, 215);
    setWindowIcon(application_icon());

    platform::connect_guarded(Button1, &QPushButton::clicked, this, &TForm4::Button1Click);
    platform::connect_guarded(Button2, &QPushButton::clicked, this, &TForm4::Button2Click);
}

TForm4::~TForm4() = default;

void TForm4::Button1Click() {
    QListWidgetItem* line = Form1->selected_line();
    if (line == nullptr) {
        // Nothing to delete any more: leave as "&No" would.
        close();
        return;
    }
    const std::string name = TForm1::line_name(line);

    // Drop the first record of that name. The views change only once the new list has
    // replaced the old one, so a failure leaves file, check list and submenu in step.
    if (store::rewrite_without(Form1->ListDirectory, name)) {
        delete Form1->CheckListBox1->takeItem(Form1->CheckListBox1->row(line));
        // The line's neighbour does not inherit the selection: the next action needs a new pick.
        Form1->CheckListBox1->setCurrentItem(nullptr);
        Form1->CheckListBox1->clearSelection();
        Form1->delete_item(name);
        if (Form1->RunApplication1->actions().isEmpty())
            Form1->RunApplication1->menuAction()->setEnabled(false);
    }
    close();
}

void TForm4::Button2Click() {
    close();
}
