#pragma once
// Who the program is to the desktop. Its menu entry is <application_id>.desktop and shows
// application_name; the icon theme knows the program's picture by the id too.

namespace platform {

inline constexpr char application_id[] = "org.example.kestrunner.Kestrun";
inline constexpr char application_name[] = "Kestrun";

// Ties what the program shows to its menu entry, before the application object exists (the
// names are only stored, nothing is asked). Windows: the Wayland app_id is the entry's id, and
// the X11 class is its name (the entry's StartupWMClass), so the desktop's top bar, task
// switcher and dock show them as the entry's. Tray: hosts list the icon by that name.
void set_application_identity();

}  // namespace platform
