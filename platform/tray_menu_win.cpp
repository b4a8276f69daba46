// The tray header names the platform's constants itself: it comes before windows.h, whose
// macros of the same names would otherwise replace them.
#include "tray_service.h"

#include <windows.h>

#include <QWidget>

namespace platform {

void before_tray_menu(QWidget* window) {
    if (window == nullptr) return;
    SetForegroundWindow(reinterpret_cast<HWND>(window->window()->winId()));
}

}  // namespace platform
