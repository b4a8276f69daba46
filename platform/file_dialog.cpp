#include "file_dialog.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>

namespace platform {

ExecutableFilter::ExecutableFilter(QObject* parent) : QSortFilterProxyModel(parent) {}

void ExecutableFilter::set_executables_only(bool on) {
    if (on == executables_only_) return;
    executables_only_ = on;
    invalidateFilter();
}

bool ExecutableFilter::keeps(const QFileInfo& entry, bool executables_only) {
    if (!executables_only || entry.isDir()) return true;
    return entry.isExecutable() ||
           entry.fileName().endsWith(QLatin1String(".exe"), Qt::CaseInsensitive);
}

bool ExecutableFilter::filterAcceptsRow(int source_row, const QModelIndex& source_parent) const {
    const auto* files = qobject_cast<const QFileSystemModel*>(sourceModel());
    if (files == nullptr) return true;
    return keeps(files->fileInfo(files->index(source_row, 0, source_parent)), executables_only_);
}

Qt::ItemFlags ExecutableFilter::flags(const QModelIndex& index) const {
    Qt::ItemFlags result = QSortFilterProxyModel::flags(index);
    if (executables_only_ && index.isValid()) result |= Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    return result;
}

QString choose_executable_file(QWidget* parent, const QString& start_file) {
    // Qt's own dialog on every OS, so the executables choice behaves the same everywhere.
    QFileDialog dialog(parent);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setOption(QFileDialog::DontResolveSymlinks);  // a link is returned as itself
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setSizeGripEnabled(true);
    dialog.setNameFilters(
        {QString::fromLatin1(executable_files_filter), QString::fromLatin1(all_files_filter)});
    dialog.selectNameFilter(QString::fromLatin1(executable_files_filter));
#ifdef _WIN32
    dialog.setDefaultSuffix(QStringLiteral("exe"));
#else
    // POSIX programs have no extension: the *.exe pattern alone would hide all of them.
    // The model is told to hide nothing by name, and the proxy decides what shows.
    auto* filter = new ExecutableFilter(&dialog);
    dialog.setProxyModel(filter);
    if (auto* files = qobject_cast<QFileSystemModel*>(filter->sourceModel()))
        files->setNameFilterDisables(true);
    QObject::connect(
        &dialog, &QFileDialog::filterSelected, filter, [filter](const QString& chosen) {
            filter->set_executables_only(chosen == QLatin1String(executable_files_filter));
        });
#endif
    if (!start_file.isEmpty()) {
        const QFileInfo start(start_file);
        dialog.setDirectory(start.absolutePath());
        dialog.selectFile(start.fileName());
    }
    if (dialog.exec() != QDialog::Accepted) return QString();
    const QStringList chosen = dialog.selectedFiles();
    return chosen.isEmpty() ? QString() : QDir::toNativeSeparators(chosen.front());
}

}  // namespace platform
