#pragma once
// The five windows as the program makes them, and a way to act on a modal dialog while
// the call that opened it waits.

#include <QApplication>
#include <QTimer>
#include <functional>
#include <memory>

#include "Unit3.h"
#include "Unit4.h"
#include "Unit5.h"
#include "unit1.h"

namespace kestrun_test {

// Built in start-up order, after the test has written the list it wants loaded.
struct Windows {
    TForm1 form;
    TForm3 notice;
    TForm4 confirm;
    TForm5 about;
    Windows() {
        Form1 = &form;
        Form3 = &notice;
        Form4 = &confirm;
        Form5 = &about;
    }
    ~Windows() {
        Form1 = nullptr;
        Form3 = nullptr;
        Form4 = nullptr;
        Form5 = nullptr;
    }
    Windows(const Windows&) = delete;
    Windows& operator=(const Windows&) = delete;
};

struct ModalRun {
    QWidget* dialog = nullptr;  // the modal window that was up, if any
    bool left_open = false;     // the action did not close it (the run closed it instead)
};

// Runs `act` on the modal window once the next call has opened it. A window the action
// leaves open is noted and closed, so that the call returns instead of hanging the test.
inline std::shared_ptr<ModalRun> when_modal_opens(std::function<void(QWidget*)> act) {
    auto run = std::make_shared<ModalRun>();
    QTimer::singleShot(0, [run, act] {
        run->dialog = QApplication::activeModalWidget();
        if (run->dialog == nullptr) return;
        act(run->dialog);
        if (run->dialog->isVisible()) {
            run->left_open = true;
            run->dialog->close();
        }
    });
    return run;
}

}  // namespace kestrun_test
