// On Windows through the shell, in its ANSI form: no owner window, the default verb, shown
// normally.

#include <windows.h>

#include <QByteArray>

#include "document_opener.h"

namespace platform {

void open_document(const QString& address) {
    const QByteArray file = address.toLocal8Bit();
    ShellExecuteA(nullptr, nullptr, file.constData(), nullptr, nullptr, SW_SHOWNORMAL);
}

}  // namespace platform
