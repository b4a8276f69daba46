#include "icons.h"

#include "application_identity.h"

#include <QDir>
#include <QRegularExpression>

namespace {

// Every ":/icons/<stem>-<size>.png"; each file's size is read from the picture.
QIcon every_size(const QString& stem) {
    const QRegularExpression sized(QStringLiteral("^%1-[0-9]+\\.png$").arg(stem));
    QIcon icon;
    for (const QString& file : QDir(QStringLiteral(":/icons")).entryList(QDir::Files))
        if (sized.match(file).hasMatch()) icon.addFile(QStringLiteral(":/icons/") + file);
    return icon;
}

}  // namespace

// Outside the unnamed namespace: the resource initialiser it declares is the library's.
static void need_resources() {
    Q_INIT_RESOURCE(kestrun);
}

QIcon application_icon() {
    need_resources();
    return every_size(QStringLiteral("kestrun"));
}

QIcon tray_icon() {
    // Qt's StatusNotifierItem sends QIcon::name() as IconName, which only a theme icon has.
    return QIcon::fromTheme(QString::fromLatin1(platform::application_id), application_icon());
}

QIcon disabled_icon() {
    need_resources();
    return every_size(QStringLiteral("kestrun-disabled"));
}
