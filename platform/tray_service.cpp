#include "tray_service.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>
#include <cstring>

namespace platform {

namespace {

// Hosts that speak StatusNotifierItem draw the menu themselves; Qt uses them whenever a
// watcher is registered on the session bus, so we ask the same question.
bool status_notifier_host_present() {
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) return false;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || bus.interface() == nullptr) return false;
    return bus.interface()->isServiceRegistered(QStringLiteral("org.kde.StatusNotifierWatcher"));
}

std::uint32_t mouse_message(QSystemTrayIcon::ActivationReason reason) {
    switch (reason) {
        case QSystemTrayIcon::Trigger:
            return WM_LBUTTONDOWN;
        case QSystemTrayIcon::Context:
            return WM_RBUTTONDOWN;
        case QSystemTrayIcon::DoubleClick:
            return WM_LBUTTONDBLCLK;
        case QSystemTrayIcon::MiddleClick:
            return WM_MBUTTONDOWN;
        case QSystemTrayIcon::Unknown:
            break;
    }
    return WM_MOUSEMOVE;
}

class SystemTray final : public TrayService {
  public:
    SystemTray() : host_draws_menu_(status_notifier_host_present()) {}

    void notify_icon(TrayCommand command, const TrayIconRecord& record) override {
        switch (command) {
            case NIM_ADD:
                if (icon_) return;  // one registration per record, as the platform has it
                icon_ = std::make_unique<QSystemTrayIcon>();
                if (host_draws_menu_ && menu_ != nullptr) icon_->setContextMenu(menu_);
                QObject::connect(
                    icon_.get(), &QSystemTrayIcon::activated,
                    [this](QSystemTrayIcon::ActivationReason reason) { report(reason); });
                apply(record);
                icon_->show();
                return;
            case NIM_MODIFY:
                if (icon_) apply(record);
                return;
            case NIM_DELETE:
                if (!icon_) return;
                icon_->hide();
                // The command may come from inside one of the icon's own signals.
                icon_.release()->deleteLater();
                return;
        }
    }

    void set_host_menu(QMenu* menu) override {
        menu_ = menu;
        if (icon_ && host_draws_menu_) icon_->setContextMenu(menu_);
    }

  private:
    void apply(const TrayIconRecord& record) {
        record_ = record;
        if (record.uFlags & NIF_ICON) icon_->setIcon(record.hIcon);
        if (record.uFlags & NIF_TIP)
            icon_->setToolTip(QString::fromLocal8Bit(
                record.szTip, qsizetype(strnlen(record.szTip, tip_capacity))));
    }

    void report(QSystemTrayIcon::ActivationReason reason) {
        const TrayIconRecord& record = record_;
        // The host already opened the menu for a right click.
        if (host_draws_menu_ && reason == QSystemTrayIcon::Context) return;
        if (!(record.uFlags & NIF_MESSAGE) || !deliver) return;
        TMessage message;
        message.Msg = record.uCallbackMessage;
        message.WParam = record.uID;
        message.LParam = mouse_message(reason);
        // Posted, like the platform's callback message: the window handles it from its own
        // loop, not from inside the icon's mouse handling.
        QTimer::singleShot(0, icon_.get(), [this, message] {
            if (deliver) deliver(message);
        });
    }

    bool host_draws_menu_;
    TrayIconRecord record_;
    QMenu* menu_ = nullptr;
    std::unique_ptr<QSystemTrayIcon> icon_;
};

}  // namespace

std::unique_ptr<TrayService> make_system_tray() {
    return std::make_unique<SystemTray>();
}

}  // namespace platform
