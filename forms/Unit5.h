#pragma once
// The About box: the maker's emblem, the product's name and version, and a link to
// the maker's web page.

#include <QDialog>
#include <memory>

class QLabel;
class QPushButton;

namespace Ui {
class TForm5;
}

inline constexpr const char* maker_web_page = "https://kestrunner.example.org/";

class TForm5 : public QDialog {
    Q_OBJECT

  public:
    explicit TForm5(QWidget* parent = nullptr);
    ~TForm5() override;

    QLabel* Image1;
    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label3;
    QLabel* Label4;
    QLabel* Label5;  // the link
    QPushButton* Button1;

    void Button1Click();
    void Label5Click();
    void Label5MouseMove();
    void FormMouseMove();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

  private:
    bool painting_link_ = false;
    std::unique_ptr<Ui::TForm5> ui_;
};

extern TForm5* Form5;
