#pragma once
// The program's pictures, each with every size the resources hold, so a scaled screen or a
// large tray picks a picture of its own size instead of blowing up a small one.

#include <QIcon>

// The window and dialog icon.
QIcon application_icon();

// The tray icon of the enabled state: the installed theme icon of the application id when the
// theme has it, so a StatusNotifierItem host is told its name too; else application_icon().
QIcon tray_icon();

// The tray icon while the automatic launch is off.
QIcon disabled_icon();
