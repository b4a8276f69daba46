#include "tray_service.h"

#include "tray_host_watch.h"

#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>
#include <cstring>

namespace platform {

namespace {

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
    // Registered once (NIM_ADD), the icon is made when a tray host is there to show it; until
    // then the record is kept, and NIM_MODIFY and NIM_DELETE act on what is kept.
    void notify_icon(TrayCommand command, const TrayIconRecord& record) override {
        switch (command) {
            case NIM_ADD:
                if (added_) return;  // one registration per record, as the platform has it
                added_ = true;
                record_ = record;
                watch_ = std::make_unique<TrayHostWatch>();
                if (watch_->host() != TrayHost::none) {
                    make_icon(watch_->host());
                } else {
                    QObject::connect(watch_.get(), &TrayHostWatch::appeared,
                                     [this](TrayHost host) { make_icon(host); });
                }
                return;
            case NIM_MODIFY:
                if (!added_ || deleted_) return;
                record_ = record;
                if (icon_) apply(record_);
                return;
            case NIM_DELETE:
                if (!added_ || deleted_) return;
                deleted_ = true;
                if (watch_) {
                    watch_->end();
                    watch_.release()->deleteLater();
                }
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
        if (record.uFlags & NIF_ICON) icon_->setIcon(record.hIcon);
        if (record.uFlags & NIF_TIP)
            icon_->setToolTip(QString::fromLocal8Bit(
                record.szTip, qsizetype(strnlen(record.szTip, tip_capacity))));
    }

    void make_icon(TrayHost host) {
        if (icon_ || deleted_) return;
        // The watch has just asked what Qt asks now, as it picks the icon's protocol: the menu
        // goes where Qt puts the icon.
        host_draws_menu_ = host == TrayHost::status_notifier;
        icon_ = std::make_unique<QSystemTrayIcon>();
        if (host_draws_menu_ && menu_ != nullptr) icon_->setContextMenu(menu_);
        QObject::connect(icon_.get(), &QSystemTrayIcon::activated,
                         [this](QSystemTrayIcon::ActivationReason reason) { report(reason); });
        apply(record_);
        icon_->show();
        send_display_requests();
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
            if (message.LParam == WM_RBUTTONDOWN) before_tray_menu(record_.hWnd);
            if (deliver) deliver(message);
        });
    }

    bool added_ = false;
    bool deleted_ = false;
    bool host_draws_menu_ = false;
    TrayIconRecord record_;
    std::unique_ptr<TrayHostWatch> watch_;
    QMenu* menu_ = nullptr;
    std::unique_ptr<QSystemTrayIcon> icon_;
};

}  // namespace

std::unique_ptr<TrayService> make_system_tray() {
    return std::make_unique<SystemTray>();
}

}  // namespace platform
