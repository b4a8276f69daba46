#include "unit1.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QGuiApplication>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <cstring>
#include <iterator>
#include <stdexcept>

#include "Unit2.h"
#include "Unit3.h"
#include "Unit4.h"
#include "Unit5.h"
#include "automatic_accelerators.h"
#include "error_box.h"
#include "icons.h"
#include "list_file.h"
#include "list_text.h"
#include "ping_funcs.h"
#include "services.h"
#include "ui_unit1.h"

TForm1* Form1 = nullptr;
std::function<void()> make_dialogs;

namespace {

constexpr int timer_interval_ms = 5000;
// What the tray icon does not need waits this long after start-up, past the moment the icon
// shows: a StatusNotifierItem shows once the host has answered its registration, which on a
// busy machine takes a few hundred milliseconds.
constexpr int rest_of_start_up_after_ms = 1000;
constexpr const char* tray_tip = "Velmora Kestrunner";
constexpr int name_role = Qt::UserRole;
// Qt looks through a menu's whole action list for every action added to it, so filling a menu
// of n items costs n². The submenu makes this many items at once and the rest when it opens.
constexpr qsizetype items_made_at_once = 1000;

QByteArray bytes_of(const std::string& s) {
    return QByteArray(s.data(), qsizetype(s.size()));
}

}  // namespace

TForm1::TForm1(QWidget* parent)
    : QMainWindow(parent), ListDirectory(std::string(".")), ui_(std::make_unique<Ui::TForm1>()) {
    ui_->setupUi(this);
    Button1 = ui_->Button1;
    Button2 = ui_->Button2;
    Button3 = ui_->Button3;
    Button4 = ui_->Button4;
    Button5 = ui_->Button5;
    CheckListBox1 = ui_->CheckListBox1;
    Image1 = ui_->Image1;
    Image2 = ui_->Image2;
    NewApplication1 = ui_->NewApplication1;
    EditLaunch1 = ui_->EditLaunch1;
    DeleteSelected1 = ui_->DeleteSelected1;
    RunNow1 = ui_->RunNow1;
    OK1 = ui_->OK1;
    About1 = ui_->About1;

    // Fixed border with system menu and minimize box; the client area is 335 x 224.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    centralWidget()->setFixedSize(335, 224);
    move(191, 112);
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    enabled_icon_ = tray_icon();
    disabled_icon_ = disabled_icon();
    setWindowIcon(application_icon());

    PopupMenu1 = new QMenu(this);
    Open1 = PopupMenu1->addAction(QStringLiteral("&Open"));
    RunApplication1 = PopupMenu1->addMenu(QStringLiteral("&Run Application"));
    RunApplication1->menuAction()->setEnabled(false);
    Disable1 = PopupMenu1->addAction(QStringLiteral("&Disable"));
    Exit1 = PopupMenu1->addAction(QStringLiteral("E&xit"));

    // Running from the window's creation: a switch or an exit chosen while start-up still
    // shows an error box holds.
    Timer1 = new QTimer(this);
    Timer1->setInterval(timer_interval_ms);
    Timer1->start();

    // Every handler runs inside the guard: its failure is shown, the loop goes on.
    const auto on = [this](auto* sender, auto signal, void (TForm1::*handler)()) {
        platform::connect_guarded(sender, signal, this, handler);
    };
    on(Button4, &QPushButton::clicked, &TForm1::Button4Click);
    on(Button5, &QPushButton::clicked, &TForm1::Button5Click);
    on(RunNow1, &QAction::triggered, &TForm1::RunNow1Click);
    on(OK1, &QAction::triggered, &TForm1::OK1Click);
    on(Open1, &QAction::triggered, &TForm1::Open1Click);
    on(Disable1, &QAction::triggered, &TForm1::Disable1Click);
    on(Exit1, &QAction::triggered, &TForm1::Exit1Click);
    on(Timer1, &QTimer::timeout, &TForm1::Timer1Timer);

    probe_policy_ = new probe::ProbePolicy(
        platform::services().make_echo_attempt, [this] { return waiting_for_network(); }, nullptr,
        this);
    on(probe_policy_, &probe::ProbePolicy::network_up, &TForm1::Button5Click);
    connect(probe_policy_, &probe::ProbePolicy::failed, this, [](const QString& message) {
        platform::guarded([&] { throw std::runtime_error(message.toStdString()); });
    });
    if (platform::services().make_network_watch) {
        network_watch_ = platform::services().make_network_watch();
        connect(network_watch_.get(), &probe::NetworkWatch::changed, probe_policy_,
                &probe::ProbePolicy::network_changed);
    }
    on(Button1, &QPushButton::clicked, &TForm1::Button1Click);
    on(NewApplication1, &QAction::triggered, &TForm1::NewApplication1Click);
    on(Button2, &QPushButton::clicked, &TForm1::Button2Click);
    on(EditLaunch1, &QAction::triggered, &TForm1::EditLaunch1Click);
    on(Button3, &QPushButton::clicked, &TForm1::Button3Click);
    on(DeleteSelected1, &QAction::triggered, &TForm1::DeleteSelected1Click);
    on(About1, &QAction::triggered, &TForm1::About1Click);
    // Only the user's toggles arrive here: lines are checked from code with signals blocked.
    // A click in the check box column selects the line too, as a click on its text does.
    connect(CheckListBox1, &QListWidget::itemChanged, this, [this](QListWidgetItem* line) {
        CheckListBox1->setCurrentItem(line);
        platform::guarded([&] { CheckListBox1ClickCheck(line); });
    });

    connect(PopupMenu1, &QMenu::aboutToShow, this,
            [this] { platform::apply_automatic_accelerators(PopupMenu1); });
    connect(RunApplication1, &QMenu::aboutToShow, this, [this] { make_waiting_items(); });
    connect(RunApplication1, &QMenu::aboutToShow, this,
            [this] { platform::apply_automatic_accelerators(RunApplication1); });
    FormCreate();
    // The icon is made: what it does not need follows once it shows.
    QTimer::singleShot(rest_of_start_up_after_ms, this,
                       [this] { platform::guarded([this] { finish_start_up(); }); });
}

TForm1::~TForm1() = default;

void TForm1::make_menu_bar() {
    if (MainMenu1 != nullptr) return;
    MainMenu1 = new QMenuBar(this);
    QMenu* file = MainMenu1->addMenu(QStringLiteral("&File"));
    file->setObjectName(QStringLiteral("File1"));
    file->addActions({NewApplication1, EditLaunch1, DeleteSelected1, RunNow1, OK1});
    QMenu* help = MainMenu1->addMenu(QStringLiteral("&Help"));
    help->setObjectName(QStringLiteral("Help1"));
    help->addAction(About1);
    setMenuBar(MainMenu1);
    platform::apply_automatic_accelerators(file);
    platform::apply_automatic_accelerators(help);
}

void TForm1::setVisible(bool visible) {
    if (visible) make_menu_bar();
    QMainWindow::setVisible(visible);
}

void TForm1::finish_start_up() {
    make_menu_bar();
    Image1->setPixmap(enabled_icon_.pixmap(32, 32));
    Image2->setPixmap(disabled_icon_.pixmap(32, 32));
    // Every other window's icon (error boxes): given sooner, it would have been drawn at every
    // size for the tray icon's own window too.
    QApplication::setWindowIcon(windowIcon());
    const QIcon themed = themed_tray_icon();
    if (themed.isNull()) return;
    enabled_icon_ = themed;
    if (Disable1->text() != QLatin1String("&Disable")) return;  // Enable brings it
    TrayIconRecord.hIcon = enabled_icon_;
    tray_->notify_icon(platform::NIM_MODIFY, TrayIconRecord);
}

void TForm1::FormCreate() {
    TrayIconRecord.cbSize = 88;
    TrayIconRecord.hWnd = this;
    TrayIconRecord.uID = 0;
    TrayIconRecord.uFlags = platform::NIF_MESSAGE | platform::NIF_ICON | platform::NIF_TIP;
    TrayIconRecord.hIcon = enabled_icon_;
    std::memset(TrayIconRecord.szTip, 0, sizeof TrayIconRecord.szTip);
    std::strncpy(TrayIconRecord.szTip, tray_tip, sizeof TrayIconRecord.szTip - 1);
    TrayIconRecord.uCallbackMessage = platform::UM_NOTIFYICON;
    tray_ = platform::services().make_tray();
    tray_->deliver = [this](const platform::TMessage& message) {
        platform::guarded([&] { UMNotifyIcon(message); });
    };
    tray_->set_host_menu(PopupMenu1);
    tray_->notify_icon(platform::NIM_ADD, TrayIconRecord);

    // A working directory or a list that cannot be read is reported; start-up goes on with
    // what was read. Without a name for the working directory the list is still looked for
    // there, through ".".
    platform::guarded([this] {
        ListDirectory = store::ListPaths::current();
        load_list();
    });
}

void TForm1::load_list() {
    store::ListFile list(ListDirectory.list_file());
    if (!list.exists()) return;
    list.open_existing();
    if (list.record_count() > 0) {
        while (!list.at_end()) {
            const store::LaunchRecord record = list.read_record();
            const std::string name = store::record_name(record);
            append_line(name, store::is_enabled(record));
            append_item(name);
        }
        RunApplication1->menuAction()->setEnabled(true);
    }
    list.close();
}

void TForm1::append_line(const std::string& name, bool checked) {
    auto* line = new QListWidgetItem(shown_text(name));
    line->setData(name_role, bytes_of(name));
    line->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
    line->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
    const QSignalBlocker no_toggle_event(CheckListBox1);  // code-set checks are no toggles
    CheckListBox1->addItem(line);
}

std::string TForm1::line_name(const QListWidgetItem* line) {
    const QByteArray bytes = line->data(name_role).toByteArray();
    return std::string(bytes.constData(), std::size_t(bytes.size()));
}

std::string TForm1::item_name(const QAction* item) {
    const QByteArray bytes = item->data().toByteArray();
    return std::string(bytes.constData(), std::size_t(bytes.size()));
}

void TForm1::add_new_item(const std::string& name) {
    RunApplication1->menuAction()->setEnabled(true);
    append_item(name);
}

void TForm1::append_item(const std::string& name) {
    if (!waiting_items_.empty() || RunApplication1->actions().size() >= items_made_at_once) {
        waiting_items_.push_back(name);
        return;
    }
    make_item(name);
}

void TForm1::make_waiting_items() {
    for (const std::string& name : waiting_items_) make_item(name);
    waiting_items_.clear();
}

void TForm1::make_item(const std::string& name) {
    QAction* item = RunApplication1->addAction(shown_text(name));
    item->setData(bytes_of(name));
    connect(item, &QAction::triggered, this,
            [this, item] { platform::guarded([&] { RunApplication1ItemsClick(item); }); });
}

void TForm1::delete_item(const std::string& name) {
    const QList<QAction*> items = RunApplication1->actions();
    const auto match = std::find_if(items.begin(), items.end(),
                                    [&](const QAction* item) { return item_name(item) == name; });
    if (match == items.end()) {
        const auto waiting = std::find(waiting_items_.begin(), waiting_items_.end(), name);
        if (waiting != waiting_items_.end()) waiting_items_.erase(waiting);
        return;
    }
    RunApplication1->removeAction(*match);
    delete *match;
    // The made items stay the first ones: the next waiting item takes the place.
    if (!waiting_items_.empty()) {
        make_item(waiting_items_.front());
        waiting_items_.pop_front();
    }
}

bool TForm1::waiting_for_network() const {
    return !isVisible() && Disable1->text() == QLatin1String("&Disable");
}

void TForm1::UMNotifyIcon(const platform::TMessage& message) {
    if (message.Msg != platform::UM_NOTIFYICON || message.WParam != 0) return;
    if (message.LParam == platform::WM_LBUTTONDOWN) {
        setWindowState(windowState() & ~Qt::WindowMinimized);
        show_in_view();
        raise();
        activateWindow();
        focus_list();
    } else if (message.LParam == platform::WM_RBUTTONDOWN) {
        // The position is read before waiting events run, as the menu opens where the
        // pointer was when the button went down.
        const QPoint where = QCursor::pos();
        QCoreApplication::processEvents();
        PopupMenu1->exec(where);
    }
}

void TForm1::Open1Click() {
    show_in_view();
    raise();
    focus_list();
}

void TForm1::show_in_view() {
    // On Wayland a window the compositor minimized, or left on another workspace, still counts
    // as shown, and nothing raises it without an activation token: one that is shown but not
    // active is mapped afresh, which brings it where the user looks.
    if (isVisible() && !isActiveWindow() &&
        QGuiApplication::platformName().startsWith(QLatin1String("wayland")))
        hide();
    show();
}

void TForm1::focus_list() {
    // The keys go to the list: Space toggles its current line, which is in view. Making a
    // line current selects nothing, so Edit and Delete still ask for a selection.
    if (CheckListBox1->currentItem() == nullptr && CheckListBox1->count() > 0)
        CheckListBox1->setCurrentRow(0, QItemSelectionModel::NoUpdate);
    if (QListWidgetItem* current = CheckListBox1->currentItem())
        CheckListBox1->scrollToItem(current);
    CheckListBox1->setFocus(Qt::OtherFocusReason);
}

void TForm1::Button4Click() {
    hide();
}

void TForm1::remove_tray_icon_and_terminate() {
    tray_->notify_icon(platform::NIM_DELETE, TrayIconRecord);
    platform::services().terminate();
}

void TForm1::Exit1Click() {
    remove_tray_icon_and_terminate();
}

void TForm1::OK1Click() {
    remove_tray_icon_and_terminate();
}

void TForm1::closeEvent(QCloseEvent* event) {
    // FormClose: the icon goes, and closing the main window ends the program.
    event->accept();
    platform::guarded([this] { remove_tray_icon_and_terminate(); });
}

void TForm1::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && isMinimized()) {
        // Minimizing leaves only the tray icon; the window comes back in its normal state.
        QTimer::singleShot(0, this, [this] {
            platform::guarded([this] {
                setWindowState(windowState() & ~Qt::WindowMinimized);
                Button4Click();
            });
        });
    }
    // On Wayland no minimized state reaches the program (xdg-shell has none), and a window
    // that is inactive and not drawn may as well be on another workspace, behind a locked
    // screen or another window, or under the add dialog: no guess counts it as hidden, since
    // hiding it would let the next tick start the list under the user's hands. There OK
    // hides the window.
}

void TForm1::Button5Click() {
    store::ListFile list(ListDirectory.list_file());
    if (list.exists()) {
        list.open_existing();
        if (list.record_count() > 0) {
            do {
                const store::LaunchRecord record = list.read_record();
                if (store::is_enabled(record))
                    platform::services().launch(store::record_path(record));
            } while (!list.at_end());
        }
        list.close();
    }
    remove_tray_icon_and_terminate();
}

void TForm1::RunNow1Click() {
    Button5->click();
}

void TForm1::RunApplication1ItemsClick(QAction* item) {
    const std::string name = item_name(item);
    store::ListFile list(ListDirectory.list_file());
    list.open_existing();
    // The first record of the item's name; an item whose name no record has starts nothing.
    if (const auto record = store::read_to_named(list, name))
        platform::services().launch(store::record_path(*record));
    list.close();
}

void TForm1::Timer1Timer() {
    if (isVisible()) return;
    probe_policy_->tick();
}

void TForm1::Disable1Click() {
    if (Disable1->text() == QLatin1String("&Disable")) {
        Disable1->setText(QStringLiteral("&Enable"));
        Timer1->stop();
        TrayIconRecord.hIcon = disabled_icon_;
    } else {
        Disable1->setText(QStringLiteral("&Disable"));
        Timer1->start();
        TrayIconRecord.hIcon = enabled_icon_;
    }
    tray_->notify_icon(platform::NIM_MODIFY, TrayIconRecord);
}

void TForm1::need_dialogs() {
    if (make_dialogs) make_dialogs();
}

void TForm1::Button1Click() {
    need_dialogs();
    Form2->fill_fields({}, {});
    Form2->Button2->setText(QStringLiteral("OK"));
    Form2->exec();
}

void TForm1::NewApplication1Click() {
    Button1->click();
}

QListWidgetItem* TForm1::selected_line() const {
    const QList<QListWidgetItem*> selected = CheckListBox1->selectedItems();
    return selected.isEmpty() ? nullptr : selected.front();
}

void TForm1::Button2Click() {
    need_dialogs();
    store::ListFile list(ListDirectory.list_file());
    if (!list.exists()) return;
    const QListWidgetItem* line = selected_line();
    if (line == nullptr) {
        Form3->exec();
        return;
    }
    const std::string name = line_name(line);
    list.open_existing();
    const auto found = store::read_to_named(list, name);
    // No such record: reading past the last one is "Read beyond end of file".
    const store::LaunchRecord record = found ? *found : list.read_record();
    list.close();
    Form2->fill_fields(store::record_name(record), store::record_path(record));
    Form2->Button2->setText(QStringLiteral("Update"));
    Form2->exec();
}

void TForm1::EditLaunch1Click() {
    Button2->click();
}

void TForm1::Button3Click() {
    need_dialogs();
    if (!store::ListFile(ListDirectory.list_file()).exists()) return;
    if (selected_line() == nullptr) {
        Form3->exec();
        return;
    }
    Form4->exec();
}

void TForm1::DeleteSelected1Click() {
    Button3->click();
}

void TForm1::About1Click() {
    need_dialogs();
    Form5->exec();
}

void TForm1::CheckListBox1ClickCheck(QListWidgetItem* line) {
    const bool checked = line->checkState() == Qt::Checked;
    try {
        store::rewrite_with_flag(ListDirectory, line_name(line), checked);
    } catch (...) {
        // The check mark shows what the file holds: the toggle did not happen.
        const QSignalBlocker no_toggle_event(CheckListBox1);
        line->setCheckState(checked ? Qt::Unchecked : Qt::Checked);
        throw;
    }
}
