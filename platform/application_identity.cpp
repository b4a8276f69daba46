#include "application_identity.h"

#include <QGuiApplication>

namespace platform {

void set_application_identity() {
    // The StatusNotifierItem's Id and Title and the class of X11 windows.
    QCoreApplication::setApplicationName(QString::fromLatin1(application_name));
    QGuiApplication::setDesktopFileName(QString::fromLatin1(application_id));
}

}  // namespace platform
