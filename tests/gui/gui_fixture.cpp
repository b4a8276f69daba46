#include "gui_fixture.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include <QEvent>

#include "test_main.h"

namespace kestrun_test {

void GuiTest::SetUp() {
    old_dir_ = std::filesystem::current_path();
    char pattern[] = "/tmp/kestrun-gui-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    std::filesystem::current_path(dir_);

    platform::Services fakes;
    fakes.make_tray = [this] {
        auto fake = std::make_unique<FakeTray>();
        tray = fake.get();
        return std::unique_ptr<platform::TrayService>(std::move(fake));
    };
    fakes.launch = [this](const std::string& command_line) { launched.push_back(command_line); };
    fakes.open_document = [this](const QString& address) { opened_documents.push_back(address); };
    fakes.error_box = [this](const QString& caption, const QString& text) {
        error_boxes.emplace_back(caption, text);
    };
    fakes.terminate = [this] { ++terminations; };
    fakes.choose_file = [this](QWidget*, const QString&) { return chosen_file; };
    fakes.make_echo_attempt = [this] { return probe::blocking_echo_attempt(echo); };
    // No real network watch: a test says when the network changed.
    fakes.make_network_watch = [this] {
        auto watch = std::make_unique<probe::NetworkWatch>();
        network_watch = watch.get();
        return watch;
    };
    services_ = std::make_unique<platform::ScopedServices>(std::move(fakes));
}

void GuiTest::TearDown() {
    services_.reset();
    std::filesystem::current_path(old_dir_);
    std::filesystem::remove_all(dir_);
}

void GuiTest::write_list(const std::vector<store::LaunchRecord>& records,
                         const std::string& extra) {
    kestrun_test::write_list(dir_.string(), records, extra);
}

std::string GuiTest::list_bytes() const {
    return read_bytes(list_path());
}

std::vector<store::LaunchRecord> GuiTest::read_list() const {
    const std::string bytes = list_bytes();
    std::vector<store::LaunchRecord> records(bytes.size() / sizeof(store::LaunchRecord));
    std::memcpy(records.data(), bytes.data(), records.size() * sizeof(store::LaunchRecord));
    return records;
}

// Sees every window that shows, and hands the dialogs and menus a call waits on to the newest
// free watch of their kind, or fails the test when there is none.
class WindowWatch::Filter : public QObject {
  public:
    static Filter& get() {
        static Filter* filter = [] {
            auto* made = new Filter;  // lives as long as the application, which owns it
            made->setParent(QCoreApplication::instance());
            QCoreApplication::instance()->installEventFilter(made);
            return made;
        }();
        return *filter;
    }

    static void close(const QPointer<QWidget>& window) {
        window->close();
        if (window != nullptr && window->isVisible()) window->hide();  // one that refuses to close
    }

    std::vector<WindowWatch*> armed;  // oldest first
    std::uint64_t next_id = 1;

  protected:
    bool eventFilter(QObject* object, QEvent* event) override {
        if (event->type() == QEvent::Show && object->isWidgetType()) {
            auto* window = static_cast<QWidget*>(object);
            if (const std::optional<Kind> kind = blocking_kind(*window)) came(window, *kind);
        }
        return false;
    }

  private:
    // A dialog shown modally, or a menu: what a call runs its own event loop for.
    static std::optional<Kind> blocking_kind(const QWidget& window) {
        if (!window.isWindow()) return std::nullopt;
        if (window.windowType() == Qt::Popup && qobject_cast<const QMenu*>(&window) != nullptr)
            return Kind::popup;
        if (window.isModal()) return Kind::modal;
        return std::nullopt;
    }

    void came(QWidget* window, Kind kind) {
        const QPointer<QWidget> shown(window);
        const auto free = std::find_if(
            armed.rbegin(), armed.rend(),
            [kind](const WindowWatch* watch) { return watch->kind_ == kind && !watch->busy_; });
        if (free == armed.rend()) {
            QMetaObject::invokeMethod(
                this, [shown, kind] { unanswered(shown, kind); }, Qt::QueuedConnection);
            return;
        }
        WindowWatch& watch = **free;
        if (watch.first == nullptr) watch.first = window;
        ++watch.count;
        watch.waiting_.push_back(shown);
        // Queued: the call that showed the window runs it from its event loop.
        QMetaObject::invokeMethod(
            this,
            [this, id = watch.id_, shown, kind] {
                const auto taker =
                    std::find_if(armed.begin(), armed.end(),
                                 [id](const WindowWatch* w) { return w->id_ == id; });
                if (taker != armed.end())
                    (*taker)->answer(shown);
                else
                    unanswered(shown, kind);
            },
            Qt::QueuedConnection);
    }

    static void unanswered(const QPointer<QWidget>& window, Kind kind) {
        if (window == nullptr || !window->isVisible()) return;
        ADD_FAILURE() << (kind == Kind::modal ? "a modal window" : "a popup menu") << " ("
                      << window->metaObject()->className() << " \""
                      << window->windowTitle().toStdString()
                      << "\") came that no watch answered; it was closed";
        close(window);
    }
};

WindowWatch::WindowWatch(Kind kind, std::function<void(QWidget*)> act)
    : kind_(kind), act_(std::move(act)), id_(Filter::get().next_id++) {
    Filter::get().armed.push_back(this);
}

WindowWatch::~WindowWatch() {
    auto& armed = Filter::get().armed;
    armed.erase(std::remove(armed.begin(), armed.end(), this), armed.end());
    // A window noted but never answered (one that did not wait for its event loop) goes too.
    for (const QPointer<QWidget>& window : waiting_)
        if (window != nullptr && window->isVisible()) Filter::close(window);
}

void WindowWatch::watch_every_window() {
    Filter::get();
}

void WindowWatch::answer(const QPointer<QWidget>& window) {
    waiting_.erase(std::remove(waiting_.begin(), waiting_.end(), window), waiting_.end());
    if (window == nullptr || !window->isVisible()) return;
    busy_ = true;
    if (act_) act_(window);
    busy_ = false;
    if (window != nullptr && window->isVisible()) {
        if (kind_ == Kind::modal) left_open = true;
        Filter::close(window);
    }
}

std::unique_ptr<WindowWatch> when_modal_opens(std::function<void(QWidget*)> act) {
    return std::make_unique<WindowWatch>(WindowWatch::Kind::modal, std::move(act));
}

std::unique_ptr<WindowWatch> when_popup_opens(std::function<void(QMenu*)> act) {
    return std::make_unique<WindowWatch>(WindowWatch::Kind::popup, [act](QWidget* window) {
        if (act) act(static_cast<QMenu*>(window));
    });
}

}  // namespace kestrun_test

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    kestrun_test::WindowWatch::watch_every_window();
    ::testing::InitGoogleTest(&argc, argv);
    return kestrun_test::run_all_tests();
}
