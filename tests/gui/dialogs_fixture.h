#pragma once
// The five windows as the program makes them. Modal dialogs are answered through the
// WindowWatch of gui_fixture.h.

#include <QLineEdit>
#include <QPushButton>
#include <QString>

#include "Unit2.h"
#include "Unit3.h"
#include "Unit4.h"
#include "Unit5.h"
#include "gui_fixture.h"
#include "unit1.h"

namespace kestrun_test {

// Built in start-up order, after the test has written the list it wants loaded; the dialogs
// belong to the main window, as the program's do.
struct Windows {
    TForm1 form;
    TForm2 dialog{&form};
    TForm3 notice{&form};
    TForm4 confirm{&form};
    TForm5 about{&form};
    Windows() {
        Form1 = &form;
        Form2 = &dialog;
        Form3 = &notice;
        Form4 = &confirm;
        Form5 = &about;
    }
    ~Windows() {
        Form1 = nullptr;
        Form2 = nullptr;
        Form3 = nullptr;
        Form4 = nullptr;
        Form5 = nullptr;
    }
    Windows(const Windows&) = delete;
    Windows& operator=(const Windows&) = delete;

    // The add/edit dialog shown (not modally) with this caption on its confirm button.
    void open(const QString& caption, const QString& name, const QString& path) {
        dialog.Button2->setText(caption);
        dialog.app_name->setText(name);
        dialog.app_path->setText(path);
        dialog.show();
    }
};

}  // namespace kestrun_test
