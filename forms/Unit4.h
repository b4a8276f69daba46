#pragma once
// The delete confirmation: "&Yes" deletes the entry selected in the main window.

#include <QDialog>
#include <memory>

class QLabel;
class QPushButton;

namespace Ui {
class TForm4;
}

class TForm4 : public QDialog {
    Q_OBJECT

  public:
    explicit TForm4(QWidget* parent = nullptr);
    ~TForm4() override;

    QLabel* Label1;
    QPushButton* Button1;  // &Yes
    QPushButton* Button2;  // &No

    void Button1Click();
    void Button2Click();

  private:
    std::unique_ptr<Ui::TForm4> ui_;
};

extern TForm4* Form4;
