#include <windows.h>

#include <QWinEventNotifier>

#include "end_request.h"

namespace platform {

std::unique_ptr<QObject> watch_end_requests(std::function<void()> end) {
    // Opened, or made if no copy and no asker has it yet. The handle is never closed here: the
    // system closes it when the process has ended, which is what an asker waits for.
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, L"Local\\" KESTRUN_END_EVENT);
    if (event == nullptr) return nullptr;
    auto notifier = std::make_unique<QWinEventNotifier>(event);
    // A manual-reset event stays set: one call is enough.
    QObject::connect(notifier.get(), &QWinEventNotifier::activated,
                     [notifier = notifier.get(), end = std::move(end)] {
                         notifier->setEnabled(false);
                         if (end) end();
                     });
    return notifier;
}

}  // namespace platform
