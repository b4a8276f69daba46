#pragma once
// The one place where an event handler's failure is caught: the message goes into an
// error box captioned with the application's title, and the message loop goes on.
// Exceptions never cross Qt's event loop.

#include <QObject>
#include <QString>
#include <exception>
#include <utility>

namespace platform {

QString application_title();  // "kestrun"

// The box's text: the message, with "." appended when its last character sorts after ".".
QString error_box_text(const QString& message);

void show_error(const QString& message);

template <class Handler>
void guarded(Handler&& handler) noexcept {
    try {
        std::forward<Handler>(handler)();
    } catch (const std::exception& error) {
        show_error(QString::fromLocal8Bit(error.what()));
    } catch (...) {
        show_error(QStringLiteral("Unknown error"));
    }
}

// Connects `signal` to `handler` of `receiver`, run inside the guard.
template <class Sender, class Signal, class Receiver>
QMetaObject::Connection connect_guarded(Sender* sender, Signal signal, Receiver* receiver,
                                        void (Receiver::*handler)()) {
    return QObject::connect(sender, signal, receiver,
                            [receiver, handler] { guarded([&] { (receiver->*handler)(); }); });
}

}  // namespace platform
