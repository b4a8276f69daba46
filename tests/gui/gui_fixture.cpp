#include "gui_fixture.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cstring>

#include <QTimer>

#include "test_main.h"

namespace kestrun_test {

std::uint32_t FakeEcho::inet_addr(const char* text) {
    return ::inet_addr(text);
}

std::uint32_t FakeEcho::IcmpSendEcho(probe::IcmpHandle, std::uint32_t destination, const void*,
                                     std::uint16_t, void*, void* reply, std::uint32_t,
                                     std::uint32_t) {
    destinations.push_back(destination);
    std::uint32_t status = probe::IP_REQ_TIMED_OUT;
    if (!statuses.empty()) {
        status = statuses.front();
        statuses.erase(statuses.begin());
    }
    probe::ICMP_ECHO_REPLY answer{};
    answer.Address = destination;
    answer.Status = status;
    std::memcpy(reply, &answer, sizeof answer);
    return 1;
}

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
    fakes.echo_service = &echo;
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

void when_popup_opens(std::function<void(QMenu*)> act) {
    auto* poll = new QTimer(QCoreApplication::instance());  // freed at exit if never fired
    QObject::connect(poll, &QTimer::timeout, [poll, waited = 0, act]() mutable {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (menu == nullptr && ++waited < 200) return;
        poll->stop();
        poll->deleteLater();
        if (menu == nullptr) return;
        act(menu);
        menu->close();
    });
    poll->start(10);
}

}  // namespace kestrun_test

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    ::testing::InitGoogleTest(&argc, argv);
    return kestrun_test::run_all_tests();
}
