#pragma once
// Shared set-up for widget tests: a scratch working directory holding the list, and the
// OS services replaced by fakes that record what the windows asked of them.

#include <gtest/gtest.h>

#include <QApplication>
#include <QMenu>
#include <QPointer>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fake_echo.h"
#include "files.h"
#include "injected_file_system.h"
#include "launch_record.h"
#include "records.h"
#include "services.h"

namespace kestrun_test {

struct FakeTray : platform::TrayService {
    std::vector<std::pair<platform::TrayCommand, platform::TrayIconRecord>> calls;
    QMenu* host_menu = nullptr;
    void notify_icon(platform::TrayCommand command,
                     const platform::TrayIconRecord& record) override {
        calls.emplace_back(command, record);
    }
    void set_host_menu(QMenu* menu) override { host_menu = menu; }
    std::vector<platform::TrayCommand> commands() const {
        std::vector<platform::TrayCommand> result;
        for (const auto& call : calls) result.push_back(call.first);
        return result;
    }
};

class GuiTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    std::string list_path() const { return (dir_ / "applications.dat").string(); }
    void write_list(const std::vector<store::LaunchRecord>& records, const std::string& extra = {});
    std::vector<store::LaunchRecord> read_list() const;
    std::string list_bytes() const;

    FakeTray* tray = nullptr;  // the tray the main window made
    FakeEcho echo;
    probe::NetworkWatch* network_watch = nullptr;  // the main window's; emit changed() on it
    std::vector<std::string> launched;
    std::vector<std::pair<QString, QString>> error_boxes;
    int terminations = 0;
    std::vector<QString> opened_documents;
    QString chosen_file;  // what the file-open dialog answers ("" = cancelled)

  private:
    std::filesystem::path dir_;
    std::filesystem::path old_dir_;
    std::unique_ptr<platform::ScopedServices> services_;
};

// Answers the modal dialogs, or the popup menus, that the calls a test makes open while the
// call waits on them. Arm it before the call. Each window of its kind that shows while the
// watch lives is noted at once, then answered from the call's own event loop: `act` runs on
// it, then the window is closed if it is still up, so the call returns. The newest watch that
// is not inside its own `act` takes a window; one that no watch takes is closed at once and
// fails the test. A window never hangs a test.
class WindowWatch {
  public:
    enum class Kind { modal, popup };
    WindowWatch(Kind kind, std::function<void(QWidget*)> act);
    ~WindowWatch();
    WindowWatch(const WindowWatch&) = delete;
    WindowWatch& operator=(const WindowWatch&) = delete;

    QWidget* first = nullptr;  // the first window that came (a dialog or a menu), if any
    int count = 0;             // how many came
    bool left_open = false;    // a dialog was still up after `act`: the watch closed it

    // Done by main(): windows that come with no watch armed are then caught too.
    static void watch_every_window();

  private:
    class Filter;
    void answer(const QPointer<QWidget>& window);

    Kind kind_;
    std::function<void(QWidget*)> act_;
    std::uint64_t id_;
    bool busy_ = false;                       // in `act`
    std::vector<QPointer<QWidget>> waiting_;  // came, not answered yet
};

// Waits (at most 10 s) until the main window's network test, if one runs, has answered and its
// answer has been acted on.
template <typename Form>
void settle_probe(const Form& form) {
    for (int waited_ms = 0; form.probing() && waited_ms < 10000; waited_ms += 5)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

// Delivers one timer tick through the timer's own signal, as the event loop would, and waits for
// the test it started.
template <typename Form>
void tick(Form& form) {
    QMetaObject::invokeMethod(form.Timer1, "timeout", Qt::DirectConnection);
    settle_probe(form);
}

[[nodiscard]] std::unique_ptr<WindowWatch> when_modal_opens(
    std::function<void(QWidget*)> act = nullptr);
[[nodiscard]] std::unique_ptr<WindowWatch> when_popup_opens(
    std::function<void(QMenu*)> act = nullptr);

}  // namespace kestrun_test
