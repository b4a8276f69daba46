#include <windows.h>

#include <QWidget>

#include "tray_service.h"

namespace platform {

void before_tray_menu(QWidget* window) {
    if (window == nullptr) return;
    SetForegroundWindow(reinterpret_cast<HWND>(window->window()->winId()));
}

}  // namespace platform
