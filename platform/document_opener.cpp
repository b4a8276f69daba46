#include <QDesktopServices>
#include <QUrl>

#include "document_opener.h"

namespace platform {

void open_document(const QString& address) {
    QDesktopServices::openUrl(QUrl(address));
}

}  // namespace platform
