#pragma once
// The program's pictures, each with every size the resources hold, so a scaled screen or a
// large tray picks a picture of its own size instead of blowing up a small one. A picture is
// read the first time a size it suits is drawn: making an icon reads nothing.

#include <QIcon>

// The window and dialog icon.
QIcon application_icon();

// The tray icon of the enabled state as the program starts with it: application_icon().
QIcon tray_icon();

// The installed theme icon of the application id, so that a StatusNotifierItem host is told
// its name too; a null icon where the theme has none. Looking it up reads the icon themes'
// index files, so start-up asks once the tray icon is there.
QIcon themed_tray_icon();

// The tray icon while the automatic launch is off.
QIcon disabled_icon();
