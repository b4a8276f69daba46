#include "Unit2.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <set>
#include <stdexcept>

#include "Unit3.h"
#include "error_box.h"
#include "list_file.h"
#include "list_rewrite.h"
#include "list_text.h"
#include "services.h"
#include "ui_Unit2.h"
#include "unit1.h"

TForm2* Form2 = nullptr;

namespace {

const QString add_caption = QStringLiteral("OK");
const QString update_caption = QStringLiteral("Update");
const std::string name_suffix = "(1)";

}  // namespace

TForm2::TForm2(QWidget* parent) : QDialog(parent), ui_(std::make_unique<Ui::TForm2>()) {
    ui_->setupUi(this);
    Label1 = ui_->Label1;
    app_name = ui_->app_name;
    Label2 = ui_->Label2;
    // The labels size themselves to their text, from their designed top-left corner.
    Label1->adjustSize();
    Label2->adjustSize();
    app_path = ui_->app_path;
    Button1 = ui_->Button1;
    Button2 = ui_->Button2;
    Button3 = ui_->Button3;

    // Fixed border; system menu and close box only; the client area is 512 x 120.
    setWindowFlags(dialog_window_flags);
    setFixedSize(512, 120);
    move(218, 225);
    setWindowIcon(application_icon());

    platform::connect_guarded(Button1, &QPushButton::clicked, this, &TForm2::Button1Click);
    platform::connect_guarded(Button2, &QPushButton::clicked, this, &TForm2::Button2Click);
    platform::connect_guarded(Button3, &QPushButton::clicked, this, &TForm2::Button3Click);

    app_name->installEventFilter(this);
    app_path->installEventFilter(this);
    // Any other text, typed or set, is stored in the locale's encoding.
    connect(app_name, &QLineEdit::textChanged, this, [this] { filled_name_.reset(); });
    connect(app_path, &QLineEdit::textChanged, this, [this] { filled_path_.reset(); });
}

void TForm2::fill_fields(const std::string& name, const std::string& path) {
    app_name->setText(shown_text(name));
    app_path->setText(shown_text(path));
    filled_name_ = name;
    filled_path_ = path;
}

TForm2::~TForm2() = default;

bool TForm2::eventFilter(QObject* watched, QEvent* event) {
    if ((watched == app_name || watched == app_path) && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter)
            platform::guarded([this] { Button2Click(); });
    }
    return QDialog::eventFilter(watched, event);  // the key goes on to the field
}

void TForm2::reject() {
    // Esc and the close box: the same as Cancel.
    platform::guarded([this] { Button3Click(); });
}

void TForm2::Button1Click() {
    const QString chosen = platform::services().choose_file(this, OpenDialog1FileName);
    if (!chosen.isEmpty()) OpenDialog1FileName = chosen;
    app_path->setText(OpenDialog1FileName);
}

void TForm2::Button2Click() {
    if (Button2->text() == add_caption)
        add_entry();
    else if (Button2->text() == update_caption)
        update_entry();
}

void TForm2::Button3Click() {
    QDialog::reject();
}

std::string TForm2::name_bytes() const {
    return filled_name_ ? *filled_name_ : stored_bytes(app_name->text());
}

std::string TForm2::path_bytes() const {
    return filled_path_ ? *filled_path_ : stored_bytes(app_path->text());
}

void TForm2::UniquifyName() {
    uniquify_name(std::nullopt);
}

std::string TForm2::uniquify_name(const std::optional<std::string>& edited_name) {
    std::set<std::string> taken;
    store::ListFile list(Form1->ListDirectory.list_file());
    list.open_existing();
    bool passed_edited = !edited_name.has_value();
    while (!list.at_end()) {
        std::string stored = store::record_name(list.read_record());
        if (!passed_edited && stored == *edited_name) {
            passed_edited = true;  // the entry being updated is no duplicate of itself
            continue;
        }
        taken.insert(std::move(stored));
    }
    list.close();

    // Compared as it will be stored: cut to the field. A suffix goes on the end of what is
    // stored, so the name before it is cut to leave room for it.
    const std::string typed = name_bytes();
    for (std::string suffix; suffix.size() <= store::name_capacity; suffix += name_suffix) {
        const std::string name =
            store::cut_to_capacity(typed, store::name_capacity - suffix.size()) + suffix;
        if (taken.contains(name)) continue;
        if (!suffix.empty()) {
            app_name->setText(shown_text(name));
            filled_name_ = name;
        }
        return name;
    }
    throw std::runtime_error(
        "Every name this entry could be stored as is taken: type another name");
}

void TForm2::add_entry() {
    if (app_path->text().isEmpty()) return;
    // Taken as typed: a folder, or a path followed by arguments, names no file.
    if (!store::names_regular_file(path_bytes())) {
        Form3->Label1->setText(QString::fromLatin1(notice_missing_application));
        Form3->exec();
        Form3->Label1->setText(QString::fromLatin1(notice_resting_text));
        return;
    }

    const store::ListPaths& paths = Form1->ListDirectory;
    store::ListRewrite rewrite(paths);
    store::ListFile list(paths.list_file());
    if (app_name->text().isEmpty()) app_name->setText(QStringLiteral("no name"));
    std::string name = name_bytes();
    if (list.exists()) {
        name = uniquify_name(std::nullopt);
        list.open_existing();
        while (!list.at_end()) rewrite.write(list.read_record());
        list.close();
    }
    const store::LaunchRecord added = store::make_record(name, path_bytes(), true);
    rewrite.write(added);
    rewrite.commit();

    // The views follow the file only once it holds the entry.
    name = store::record_name(added);
    Form1->add_new_item(name);
    Form1->append_line(name, true);
    accept();
}

void TForm2::update_entry() {
    if (app_path->text().isEmpty()) return;
    QListWidgetItem* line = Form1->selected_line();
    if (line == nullptr) {
        Form3->exec();  // reads "Please select an application to edit"
        return;
    }
    const std::string old_name = TForm1::line_name(line);

    const store::ListPaths& paths = Form1->ListDirectory;
    store::ListFile list(paths.list_file());
    // The entry's record went with the file: nothing to update, and an empty new list
    // would only hide that. The error is shown and the dialog stays open.
    if (!list.exists()) throw store::IoError(store::file_not_found);
    store::ListRewrite rewrite(paths);

    const store::LaunchRecord updated =
        store::make_record(uniquify_name(old_name), path_bytes(), true);
    bool replaced = false;
    list.open_existing();
    while (!list.at_end()) {
        const store::LaunchRecord record = list.read_record();
        if (!replaced && store::record_name(record) == old_name) {
            rewrite.write(updated);  // in the record's place
            replaced = true;
        } else {
            rewrite.write(record);
        }
    }
    list.close();
    // No record carries the line's name: the file changed behind our back. The search ran
    // past the last record, as Edit Launch's does; the list stays as it was.
    if (!replaced) throw store::IoError(store::read_beyond_end_of_file);
    rewrite.commit();

    // The file holds the change: the entry's line and item move to the end, enabled.
    const std::string name = store::record_name(updated);
    delete Form1->CheckListBox1->takeItem(Form1->CheckListBox1->row(line));
    Form1->append_line(name, true);
    Form1->delete_item(old_name);
    Form1->add_new_item(name);

    Button2->setText(add_caption);
    accept();
}
