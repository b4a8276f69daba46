#pragma once
// The add / edit application dialog. Its mode is the caption of Button2: "OK" adds,
// "Update" changes the entry selected in the main window's check list.

#include <QDialog>
#include <QString>
#include <memory>
#include <optional>
#include <string>

class QLabel;
class QLineEdit;
class QPushButton;

namespace Ui {
class TForm2;
}

class TForm2 : public QDialog {
    Q_OBJECT

  public:
    explicit TForm2(QWidget* parent = nullptr);
    ~TForm2() override;

    QLabel* Label1;
    QLineEdit* app_name;
    QLabel* Label2;
    QLineEdit* app_path;
    QPushButton* Button1;  // Browse
    QPushButton* Button2;  // OK / Update
    QPushButton* Button3;  // Cancel

    // The file-open dialog's file name; it lasts from one use to the next.
    QString OpenDialog1FileName;

    void Button1Click();
    void Button2Click();
    void Button3Click();
    // Lengthens app_name with "(1)" until no record of the list has the name it would be
    // stored as.
    void UniquifyName();

    // Fills the fields with an entry's stored bytes. A field that still shows them when the
    // dialog is confirmed stores them back unchanged, whatever their encoding.
    void fill_fields(const std::string& name, const std::string& path);

  public slots:
    void reject() override;  // Esc and the close box: Button3Click

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;  // Enter in either field

  private:
    void add_entry();     // Button2Click in add mode ("OK")
    void update_entry();  // Button2Click in update mode ("Update")
    // UniquifyName: the name to store. In an update the first record of the edited entry's
    // name is skipped.
    std::string uniquify_name(const std::optional<std::string>& edited_name);
    std::string name_bytes() const;  // the fields as the list stores them
    std::string path_bytes() const;

    // The bytes fill_fields put into a field, while the field still shows them.
    std::optional<std::string> filled_name_;
    std::optional<std::string> filled_path_;

    std::unique_ptr<Ui::TForm2> ui_;
};

extern TForm2* Form2;
