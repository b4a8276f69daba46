#include "error_box.h"

#include "services.h"

namespace platform {

QString application_title() {
    return QStringLiteral("kestrun");
}

QString error_box_text(const QString& message) {
    if (!message.isEmpty() && message.back() > QLatin1Char('.')) return message + QLatin1Char('.');
    return message;
}

void show_error(const QString& message) {
    services().error_box(application_title(), error_box_text(message));
}

}  // namespace platform
