#include "tray_host_watch.h"

namespace platform {

struct TrayHostWatch::Xembed {};

// Windows always has its notification area: the icon is made at once.
TrayHostWatch::TrayHostWatch(QObject* parent) : QObject(parent), host_(TrayHost::xembed) {}

TrayHostWatch::~TrayHostWatch() = default;

void TrayHostWatch::ask_early() {}

void TrayHostWatch::on_status_notifier_host_registered() {}

void TrayHostWatch::end() {}

void send_display_requests() {}

}  // namespace platform
