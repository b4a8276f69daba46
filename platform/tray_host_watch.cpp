#include "tray_host_watch.h"

#include "application_identity.h"

#include <xcb/xcb.h>
#include <QAbstractNativeEventFilter>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QGuiApplication>
#include <QThread>
#include <cstdio>
#include <cstdlib>
#include <optional>

namespace platform {

namespace {

const QString watcher_service = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString watcher_path = QStringLiteral("/StatusNotifierWatcher");
const QString notifications_service = QStringLiteral("org.freedesktop.Notifications");
const QString notifications_path = QStringLiteral("/org/freedesktop/Notifications");
// What the notification says where no tray has come.
const char* const notice_summary = "Kestrun is waiting for the network";
const char* const notice_body =
    "To open its window, start Kestrun again (there is no tray here for its icon). Your "
    "programs start as soon as the network answers.";
// How long the notification service may take to answer as the program ends: a service that
// does not answer keeps it from ending no longer than this (twice: the notification, then taking
// it back). While the program runs, the notification's answer is awaited as long as the bus
// lets a call wait: a busy service shows the notification all the same, and only its answer
// gives the id to take it back with.
constexpr int service_wait_ms = 2000;

// Only a bus the session names: asking for one otherwise makes libdbus launch a bus of its own
// for the display, on which no host will ever register.
bool session_bus_named() {
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) return true;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFileInfo::exists(runtime + QStringLiteral("/bus"));
}

QDBusMessage host_registered_query() {
    QDBusMessage query = QDBusMessage::createMethodCall(
        watcher_service, watcher_path, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"));
    query << watcher_service << QStringLiteral("IsStatusNotifierHostRegistered");
    // Asking must not start a watcher that the desktop did not start.
    query.setAutoStartService(false);
    return query;
}

bool answer_says_registered(const QDBusMessage& answer) {
    if (answer.type() != QDBusMessage::ReplyMessage || answer.arguments().isEmpty()) return false;
    return answer.arguments().front().value<QDBusVariant>().variant().toBool();
}

// Whether a StatusNotifierItem host is registered, asked and answered at once, as Qt asks when
// an icon is made. Nothing when the watcher did not answer in time: busy, it may still answer Qt,
// which waits longer.
std::optional<bool> status_notifier_host_registered_now() {
    if (!session_bus_named()) return false;
    const QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return false;
    const QDBusMessage answer = bus.call(host_registered_query(), QDBus::Block, 1000);
    if (answer.type() == QDBusMessage::ErrorMessage) {
        const QDBusError::ErrorType error = QDBusError(answer).type();
        if (error == QDBusError::NoReply || error == QDBusError::Timeout ||
            error == QDBusError::TimedOut)
            return std::nullopt;
    }
    return answer_says_registered(answer);
}

xcb_intern_atom_cookie_t ask_atom(xcb_connection_t* connection, const QByteArray& name) {
    return xcb_intern_atom(connection, 0, std::uint16_t(name.size()), name.constData());
}

xcb_atom_t atom_of(xcb_connection_t* connection, xcb_intern_atom_cookie_t cookie) {
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(connection, cookie, nullptr);
    const xcb_atom_t atom = reply != nullptr ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(reply);
    return atom;
}

// The first question, sent as early as start-up allows (ask_early) and answered by the time the
// icon is wanted.
std::optional<QDBusPendingCall> early_question;

}  // namespace

void send_display_requests() {
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (x11 != nullptr && x11->connection() != nullptr) xcb_flush(x11->connection());
}

void TrayHostWatch::ask_early() {
    if (early_question || !session_bus_named()) return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) early_question = bus.asyncCall(host_registered_query(), 500);
}

// An XEmbed tray manager owns the selection _NET_SYSTEM_TRAY_S<screen> and announces itself
// with a MANAGER client message to the root window when it takes it.
struct TrayHostWatch::Xembed final : QAbstractNativeEventFilter {
    xcb_connection_t* connection = nullptr;
    xcb_window_t root = XCB_WINDOW_NONE;
    xcb_atom_t selection = XCB_ATOM_NONE;
    xcb_atom_t manager = XCB_ATOM_NONE;
    std::function<void()> on_manager;

    ~Xembed() override { QCoreApplication::instance()->removeNativeEventFilter(this); }

    bool start(xcb_connection_t* c) {
        connection = c;
        int screen_number = 0;
        int display_number = 0;
        char* host = nullptr;
        if (xcb_parse_display(nullptr, &host, &display_number, &screen_number) == 0)
            screen_number = 0;
        std::free(host);
        xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
        for (int i = 0; i < screen_number && screens.rem > 1; ++i) xcb_screen_next(&screens);
        if (screens.rem == 0) return false;
        root = screens.data->root;
        // All three questions go out before the first answer is awaited.
        const auto selection_cookie =
            ask_atom(connection, "_NET_SYSTEM_TRAY_S" + QByteArray::number(screen_number));
        const auto manager_cookie = ask_atom(connection, "MANAGER");
        const auto attributes_cookie = xcb_get_window_attributes(connection, root);
        selection = atom_of(connection, selection_cookie);
        manager = atom_of(connection, manager_cookie);
        // The announcement reaches clients that listen to the root's structure events. Qt's
        // own mask on the root has them; add them to whatever it has, never replace it.
        xcb_get_window_attributes_reply_t* attributes =
            xcb_get_window_attributes_reply(connection, attributes_cookie, nullptr);
        if (attributes != nullptr &&
            !(attributes->your_event_mask & XCB_EVENT_MASK_STRUCTURE_NOTIFY)) {
            const std::uint32_t mask =
                attributes->your_event_mask | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
            xcb_change_window_attributes(connection, root, XCB_CW_EVENT_MASK, &mask);
            xcb_flush(connection);
        }
        std::free(attributes);
        if (selection == XCB_ATOM_NONE || manager == XCB_ATOM_NONE) return false;
        QCoreApplication::instance()->installNativeEventFilter(this);
        return true;
    }

    bool owned() const {
        xcb_get_selection_owner_reply_t* reply = xcb_get_selection_owner_reply(
            connection, xcb_get_selection_owner(connection, selection), nullptr);
        const bool has_owner = reply != nullptr && reply->owner != XCB_WINDOW_NONE;
        std::free(reply);
        return has_owner;
    }

    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
        if (type != "xcb_generic_event_t") return false;
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        if ((event->response_type & 0x7f) != XCB_CLIENT_MESSAGE) return false;
        const auto* client = static_cast<const xcb_client_message_event_t*>(message);
        if (client->type == manager && client->format == 32 &&
            client->data.data32[1] == selection && on_manager)
            on_manager();
        return false;  // Qt's own tray code listens for the same message
    }
};

TrayHostWatch::TrayHostWatch(QObject* parent) : QObject(parent) {
    const QString platform = QGuiApplication::platformName();
    const bool bus = session_bus_named() && QDBusConnection::sessionBus().isConnected();
    const bool x11 = platform == QLatin1String("xcb");
    if (!bus && !x11) {
        // Wayland draws no XEmbed icons, so without a bus nothing can host one there.
        // Anywhere else Qt knows its platform's tray better than we do.
        if (platform != QLatin1String("wayland")) host_ = TrayHost::xembed;
    }
    if (host_ == TrayHost::none) {
        notice_.setSingleShot(true);
        notice_.setInterval(notice_after_ms);
        connect(&notice_, &QTimer::timeout, this, [this] {
            std::fputs(
                "kestrun: waiting for a system tray (a StatusNotifierItem host or an XEmbed "
                "tray) to show the icon; the network is checked meanwhile\n",
                stderr);
            if (bus_watch_ != nullptr) notify_waiting();
        });
        notice_.start();
    }
    if (host_ == TrayHost::none && bus) watch_status_notifier();
    if (host_ == TrayHost::none && x11) watch_xembed();
}

TrayHostWatch::~TrayHostWatch() = default;

void TrayHostWatch::found(TrayHost host) {
    if (host_ != TrayHost::none) return;
    // Qt asks the bus the same question when the icon is made, just after this, and keeps its
    // answer for the program's life: with a StatusNotifierItem host registered the icon goes
    // there, else to an XEmbed tray. A host may have come or gone since the signal, answer or
    // announcement that brought us here: one that went again at once (a panel that crashes as
    // it starts) would leave the icon where nothing shows it, on Wayland for good. The watch
    // then goes on for the next host.
    const bool xembed_there = xembed_ && xembed_->owned();
    if (host == TrayHost::xembed && !xembed_there) return;
    if (status_notifier_host_registered_now().value_or(host == TrayHost::status_notifier))
        host = TrayHost::status_notifier;
    else if (xembed_there)
        host = TrayHost::xembed;
    else
        return;
    host_ = host;
    notice_.stop();
    // What the notification said no longer holds.
    withdraw_notification(Delivery::queued);
    // The watchers have done their work; the icon follows the host from here.
    if (bus_watch_ != nullptr) bus_watch_->deleteLater();
    bus_watch_ = nullptr;
    xembed_.reset();
    QDBusConnection::sessionBus().disconnect(watcher_service, watcher_path, watcher_service,
                                             QStringLiteral("StatusNotifierHostRegistered"), this,
                                             SLOT(on_status_notifier_host_registered()));
    emit appeared(host);
}

// Sent without waiting for the answer. Where the session has no notification service the call
// fails and nothing else happens; the line on stderr has been written all the same.
void TrayHostWatch::notify_waiting() {
    QDBusMessage notify = QDBusMessage::createMethodCall(
        notifications_service, notifications_path, notifications_service, QStringLiteral("Notify"));
    const QString id = QString::fromLatin1(application_id);
    // The desktop entry ties the notification to the program's menu entry and its icon.
    const QVariantMap hints{{QStringLiteral("desktop-entry"), id}};
    notify << QString::fromLatin1(application_name) << 0u << id
           << QString::fromLatin1(notice_summary) << QString::fromLatin1(notice_body)
           << QStringList() << hints << -1;
    notifying_ = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(notify), this);
    connect(notifying_, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* call) {
                call->deleteLater();
                const QDBusPendingReply<unsigned> reply = *call;
                if (!reply.isValid()) return;
                notification_ = reply.value();
                // A tray that came while the notification was on its way takes it back.
                if (host_ != TrayHost::none) withdraw_notification(Delivery::queued);
            });
}

void TrayHostWatch::end() {
    notice_.stop();
    // A notification on its way is waited for, a moment: its answer gives the id to take back.
    // The bus's own thread takes the answer in; no event of ours runs meanwhile.
    if (notifying_) {
        const QDeadlineTimer deadline(service_wait_ms);
        while (!notifying_->isFinished() && !deadline.hasExpired()) QThread::msleep(5);
        // Its handler runs now, also for an answer that came before and still waits its turn.
        if (notifying_->isFinished()) notifying_->waitForFinished();
    }
    withdraw_notification(Delivery::awaited);
}

void TrayHostWatch::withdraw_notification(Delivery delivery) {
    if (notification_ == 0) return;
    QDBusMessage close =
        QDBusMessage::createMethodCall(notifications_service, notifications_path,
                                       notifications_service, QStringLiteral("CloseNotification"));
    close << notification_;
    notification_ = 0;
    if (delivery == Delivery::awaited) {
        QDBusConnection::sessionBus().call(close, QDBus::Block, service_wait_ms);
    } else {
        QDBusConnection::sessionBus().send(close);
    }
}

void TrayHostWatch::watch_status_notifier() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus_watch_ = new QObject(this);
    auto* services = new QDBusServiceWatcher(watcher_service, bus,
                                             QDBusServiceWatcher::WatchForRegistration, bus_watch_);
    connect(services, &QDBusServiceWatcher::serviceRegistered, this,
            [this] { ask_status_notifier_watcher(); });
    // The signal first, then the question: a host registering in between is not missed.
    bus.connect(watcher_service, watcher_path, watcher_service,
                QStringLiteral("StatusNotifierHostRegistered"), this,
                SLOT(on_status_notifier_host_registered()));
    // The first question is answered at once: with a host already there the icon is made
    // during start-up, as a plain Qt icon would be. A watcher that starts later is asked then.
    // Asked early, the answer has usually come while the windows were being made.
    ask_early();
    if (!early_question) return;
    early_question->waitForFinished();
    const QDBusMessage answer = early_question->reply();
    early_question.reset();
    if (answer_says_registered(answer)) {
        found(TrayHost::status_notifier);
    } else if (answer.type() == QDBusMessage::ErrorMessage) {
        // No answer within start-up's short wait (a busy host, say) is no "no": asked again,
        // answered whenever the watcher can. Neither a signal nor the watcher's registration
        // would tell of a host that was there all along.
        ask_status_notifier_watcher();
    }
}

void TrayHostWatch::ask_status_notifier_watcher() {
    if (bus_watch_ == nullptr) return;
    auto* pending = new QDBusPendingCallWatcher(
        QDBusConnection::sessionBus().asyncCall(host_registered_query()), bus_watch_);
    ++questions_pending_;
    connect(pending, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* call) {
                call->deleteLater();
                --questions_pending_;
                if (answer_says_registered(call->reply()))
                    found(TrayHost::status_notifier);
                else if (xembed_seen_ && questions_pending_ == 0)
                    found(TrayHost::xembed);
            });
}

void TrayHostWatch::found_xembed() {
    if (questions_pending_ > 0) {
        xembed_seen_ = true;
        return;
    }
    found(TrayHost::xembed);
}

void TrayHostWatch::on_status_notifier_host_registered() {
    found(TrayHost::status_notifier);
}

void TrayHostWatch::watch_xembed() {
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (x11 == nullptr || x11->connection() == nullptr) return;
    xembed_ = std::make_unique<Xembed>();
    // Not from inside the event filter, which found() removes.
    xembed_->on_manager = [this] { QTimer::singleShot(0, this, [this] { found_xembed(); }); };
    if (!xembed_->start(x11->connection())) {
        xembed_.reset();
        return;
    }
    if (xembed_->owned()) found_xembed();
}

}  // namespace platform
