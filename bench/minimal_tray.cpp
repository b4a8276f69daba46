// The floor for the start-up and memory rows: a Qt 6 program that does nothing but show a tray
// icon (kestrun's own picture) and wait. Nothing else is loaded, shown or checked.
#include <QApplication>
#include <QIcon>
#include <QSystemTrayIcon>

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/kestrun-16.png"), QSize(16, 16));
    icon.addFile(QStringLiteral(":/icons/kestrun-32.png"), QSize(32, 32));
    QSystemTrayIcon tray(icon);
    tray.setToolTip(QStringLiteral("minimal tray"));
    tray.show();
    return QApplication::exec();
}
