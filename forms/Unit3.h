#pragma once
// The notice box "Error": one line of text and an OK button.

#include <QDialog>
#include <memory>

#include "icons.h"  // application_icon(), which every dialog wears in its title bar

class QLabel;
class QPushButton;

namespace Ui {
class TForm3;
}

inline constexpr const char* notice_resting_text = "Please select an application to edit";
inline constexpr const char* notice_missing_application = "Application does not exists";

// The title-bar buttons of the dialogs: the system menu (with its close button) and nothing else.
inline constexpr Qt::WindowFlags dialog_window_flags =
    Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
    Qt::WindowCloseButtonHint;

class TForm3 : public QDialog {
    Q_OBJECT

  public:
    explicit TForm3(QWidget* parent = nullptr);
    ~TForm3() override;

    QLabel* Label1;
    QPushButton* Button1;

    void Button1Click();

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    std::unique_ptr<Ui::TForm3> ui_;
};

extern TForm3* Form3;
