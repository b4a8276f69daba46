#pragma once
// Opens a document or web address with the desktop's default action for it.

#include <QString>

namespace platform {

// Failures (no browser, no association, a bad address) are not reported.
void open_document(const QString& address);

}  // namespace platform
