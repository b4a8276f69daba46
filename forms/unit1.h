#pragma once
// The main window: owner of the tray icon, the timer, both menus and the two in-memory
// views of the launch list (the check list and the "Run Application" submenu).

#include <QMainWindow>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "list_rewrite.h"
#include "network_watch.h"
#include "probe_policy.h"
#include "tray_service.h"

namespace Ui {
class TForm1;
}
class QAction;
class QLabel;
class QListWidget;
class QListWidgetItem;
class QMenu;
class QMenuBar;
class QPushButton;
class QTimer;

class TForm1 : public QMainWindow {
    Q_OBJECT

  public:
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    // Controls, menus and the timer.
    QPushButton* Button1;
    QPushButton* Button2;
    QPushButton* Button3;
    QPushButton* Button4;
    QPushButton* Button5;
    QListWidget* CheckListBox1;
    QLabel* Image1;  // enabled-state tray icon
    QLabel* Image2;  // disabled-state tray icon
    // Made once start-up is done, or when the window first shows if that is sooner: a menu bar
    // loads pictures for its style, which the tray icon does not wait for.
    QMenuBar* MainMenu1 = nullptr;
    QAction* NewApplication1;
    QAction* EditLaunch1;
    QAction* DeleteSelected1;
    QAction* RunNow1;
    QAction* OK1;
    QAction* About1;
    QMenu* PopupMenu1;
    QAction* Open1;
    QMenu* RunApplication1;
    QAction* Disable1;
    QAction* Exit1;
    QTimer* Timer1;

    platform::TrayIconRecord TrayIconRecord;
    store::ListPaths ListDirectory;

    // The submenu, one item per entry; an item's name is the entry's stored name bytes. Past
    // the first thousand, items are made when the submenu opens (make_waiting_items).
    void add_new_item(const std::string& name);
    void delete_item(const std::string& name);

    // The check list, one line per entry; a line's name is the entry's stored name bytes.
    void append_line(const std::string& name, bool checked);
    static std::string line_name(const QListWidgetItem* line);
    static std::string item_name(const QAction* item);

    // A two-address test is running (ticks and network changes start them: probe::ProbePolicy).
    bool probing() const { return probe_policy_->probing(); }
    // The automatic launch may happen now: the main window is hidden and the switch is on.
    bool waiting_for_network() const;

    // Handlers.
    void UMNotifyIcon(const platform::TMessage& message);
    void Open1Click();
    void Button4Click();
    void Exit1Click();
    void OK1Click();
    void Button5Click();  // launch-all
    void RunAllEnabled() { Button5Click(); }
    void RunNow1Click();
    void RunApplication1ItemsClick(QAction* item);
    void Timer1Timer();
    void Disable1Click();
    void Button1Click();  // New Application
    void NewApplication1Click();
    void Button2Click();  // Edit Launch
    void EditLaunch1Click();
    void Button3Click();  // Delete Selected
    void DeleteSelected1Click();
    void About1Click();
    void CheckListBox1ClickCheck(QListWidgetItem* line);

    // The one selected line of the check list, or nullptr.
    QListWidgetItem* selected_line() const;

    platform::TrayService& tray() { return *tray_; }

    void setVisible(bool visible) override;  // the menu bar first

  protected:
    void closeEvent(QCloseEvent* event) override;  // FormClose
    void changeEvent(QEvent* event) override;      // minimizing hides

  private:
    void FormCreate();
    // What the tray icon does not need, done a moment after start-up: the menu bar, the
    // pictures of the hidden image holders, the application's window icon, and where the icon theme
    // has the application's icon, the tray icon becomes it (a StatusNotifierItem host is then told
    // its name).
    void finish_start_up();
    void make_menu_bar();
    void load_list();
    void need_dialogs();  // make_dialogs, before a handler uses Form2 to Form5
    void remove_tray_icon_and_terminate();
    void append_item(const std::string& name);  // made now, or waiting
    void make_item(const std::string& name);
    void make_waiting_items();  // when the submenu opens
    void focus_list();          // where the window is shown
    void show_in_view();        // shows the window, on Wayland too

    QIcon enabled_icon_;   // the picture Image1 holds
    QIcon disabled_icon_;  // the picture Image2 holds

    // Names of the submenu's items not made yet, in order; they all come after the made ones.
    std::deque<std::string> waiting_items_;

    std::unique_ptr<Ui::TForm1> ui_;
    std::unique_ptr<platform::TrayService> tray_;

    // When to ask whether the network is up; its answer starts the list if the window is
    // still hidden and the switch still on then.
    probe::ProbePolicy* probe_policy_ = nullptr;
    std::unique_ptr<probe::NetworkWatch> network_watch_;
};

extern TForm1* Form1;

// Makes the dialogs (Form2 to Form5) if they are not made yet. The program makes them only when
// the main window first needs one: most runs never open a dialog, and one line edit is enough
// to load the fonts. Unset (as in tests), Form2 to Form5 are whatever was put there.
extern std::function<void()> make_dialogs;
