// The floor for the start-up, memory and responsiveness rows: a Qt 6 program that does nothing
// but show a tray icon (kestrun's own picture) with a one-item menu, and wait. Nothing else is
// loaded, shown or checked.
#include <QApplication>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/kestrun-16.png"), QSize(16, 16));
    icon.addFile(QStringLiteral(":/icons/kestrun-32.png"), QSize(32, 32));
    QSystemTrayIcon tray(icon);
    tray.setToolTip(QStringLiteral("minimal tray"));
    QMenu menu;
    menu.addAction(QStringLiteral("E&xit"), &application, &QApplication::quit);
    tray.setContextMenu(&menu);
    tray.show();
    return QApplication::exec();
}
