#pragma once
// Tells when the desktop has something that can show a tray icon. Qt fixes the protocol of its
// tray icons when the first one is made: made before a StatusNotifierItem host runs, an icon
// takes the XEmbed path for the program's life, and on Wayland that path shows nothing. So the
// icon waits for a host: a StatusNotifierItem host on the session bus, or on X11 an XEmbed tray
// manager, whichever comes first.

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <memory>

class QDBusPendingCallWatcher;

namespace platform {

enum class TrayHost { none, status_notifier, xembed };

class TrayHostWatch : public QObject {
    Q_OBJECT

  public:
    explicit TrayHostWatch(QObject* parent = nullptr);
    ~TrayHostWatch() override;

    // The host found first, of the kind Qt's icon takes when made at that moment, or none yet.
    // Once found it stays: Qt itself follows a host that restarts. When it is a
    // StatusNotifierItem host, Qt's icon goes there and the host draws the icon's menu.
    TrayHost host() const { return host_; }

    // Sends the first question about a host to the session bus now, so that its answer can
    // come while the windows are being made; the watch made later takes it.
    static void ask_early();

    // After this long without a host the program says on stderr that it waits for one, and
    // tells the user once through the desktop's notifications, where the session has them.
    static constexpr int notice_after_ms = 10000;

    // The icon is gone for good (the program ends): a notification that says the program waits
    // is taken back, and the service's answer awaited a moment, so that the request is not lost
    // with the process.
    void end();

  signals:
    void appeared(platform::TrayHost host);

  private slots:
    void on_status_notifier_host_registered();

  private:
    void found(TrayHost host);
    void watch_status_notifier();
    void ask_status_notifier_watcher();
    void watch_xembed();
    void found_xembed();
    void notify_waiting();
    enum class Delivery { queued, awaited };
    void withdraw_notification(Delivery delivery);

    struct Xembed;
    TrayHost host_ = TrayHost::none;
    // An XEmbed tray seen while the bus's answer was still coming: the answer decides, as a
    // StatusNotifierItem host there too is the one Qt will take.
    bool xembed_seen_ = false;
    int questions_pending_ = 0;
    QTimer notice_;
    // The notification the desktop shows, once its service has answered; 0 before.
    unsigned notification_ = 0;
    // The notification's request while its answer has not come.
    QPointer<QDBusPendingCallWatcher> notifying_;
    std::unique_ptr<Xembed> xembed_;
    QObject* bus_watch_ = nullptr;  // parent of the D-Bus watchers while they run
};

// Sends what the program has asked of the display server so far now, rather than when the event
// loop next waits: a request the tray answers (an X11 icon's docking) then goes before the work
// that start-up leaves for later. Nothing where there is no X11 connection.
void send_display_requests();

}  // namespace platform
