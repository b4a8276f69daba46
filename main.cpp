// Kestrun waits in the tray until the network answers, then starts the user's programs.

#include <QApplication>

#include "unit1.h"

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kestrun"));
    // Only the program's own exits end it: an error box or dialog closed while the main
    // window is hidden must not.
    QApplication::setQuitOnLastWindowClosed(false);

    // The main window starts hidden; only its tray icon shows.
    TForm1 form1;
    Form1 = &form1;

    return QApplication::exec();
}
