#pragma once
// The notification-area icon as the main window sees it: one registration record,
// three commands (add, modify, delete), and a callback message carrying the mouse event.

#include <QIcon>
#include <cstdint>
#include <functional>
#include <memory>

class QMenu;
class QWidget;

namespace platform {

inline constexpr std::uint32_t WM_USER = 1024;
inline constexpr std::uint32_t UM_NOTIFYICON = WM_USER + 124;  // 1148

// Mouse messages the tray reports in the callback's second parameter.
inline constexpr std::uint32_t WM_MOUSEMOVE = 512;
inline constexpr std::uint32_t WM_LBUTTONDOWN = 513;
inline constexpr std::uint32_t WM_LBUTTONUP = 514;
inline constexpr std::uint32_t WM_LBUTTONDBLCLK = 515;
inline constexpr std::uint32_t WM_RBUTTONDOWN = 516;
inline constexpr std::uint32_t WM_RBUTTONUP = 517;
inline constexpr std::uint32_t WM_MBUTTONDOWN = 519;

enum TrayCommand : std::uint32_t { NIM_ADD = 0, NIM_MODIFY = 1, NIM_DELETE = 2 };
inline constexpr std::uint32_t NIF_MESSAGE = 1;
inline constexpr std::uint32_t NIF_ICON = 2;
inline constexpr std::uint32_t NIF_TIP = 4;
inline constexpr std::size_t tip_capacity = 64;  // bytes, the terminating zero included

struct TrayIconRecord {
    std::uint32_t cbSize = 88;
    QWidget* hWnd = nullptr;
    std::uint32_t uID = 0;
    std::uint32_t uFlags = 0;
    std::uint32_t uCallbackMessage = 0;
    QIcon hIcon;
    char szTip[tip_capacity] = {};
};

// The window message the tray sends: Msg, WParam (icon identifier), LParam (mouse message).
struct TMessage {
    std::uint32_t Msg = 0;
    std::uintptr_t WParam = 0;
    std::intptr_t LParam = 0;
};

class TrayService {
  public:
    virtual ~TrayService() = default;
    // Carries out a command with the record; like the platform call, the outcome is not
    // reported back.
    virtual void notify_icon(TrayCommand command, const TrayIconRecord& record) = 0;
    // The tray menu. Hosts that draw the menu themselves (StatusNotifierItem) get it;
    // on XEmbed trays the right button is reported and the window opens the menu.
    virtual void set_host_menu(QMenu* menu) = 0;
    // Where the callback message goes (the main window's UMNotifyIcon).
    std::function<void(const TMessage&)> deliver;
};

// The desktop's notification area through QSystemTrayIcon.
std::unique_ptr<TrayService> make_system_tray();

// Runs before the window gets a right click to open the tray menu with. On Windows the
// program's window becomes the foreground window first: a menu opened from the tray closes on
// a click elsewhere only when its owner is in the foreground.
#ifdef _WIN32
void before_tray_menu(QWidget* window);
#else
inline void before_tray_menu(QWidget*) {}
#endif

}  // namespace platform
