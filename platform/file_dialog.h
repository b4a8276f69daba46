#pragma once
// The file-open dialog behind Browse: a modal chooser of one existing file, offering
// "Executable Applications (*.exe)" first and "All Files" second.

#include <QSortFilterProxyModel>
#include <QString>

class QFileInfo;
class QWidget;

namespace platform {

inline constexpr const char* executable_files_filter = "Executable Applications (*.exe)";
inline constexpr const char* all_files_filter = "All Files (*)";

// Sits between the dialog's file-system model and its views. While the executables choice
// is on it keeps folders and the files a user can run: those with an execute permission
// (programs on POSIX carry no extension) and those named *.exe. Otherwise it keeps all.
class ExecutableFilter : public QSortFilterProxyModel {
    Q_OBJECT

  public:
    explicit ExecutableFilter(QObject* parent = nullptr);

    bool executables_only() const { return executables_only_; }
    void set_executables_only(bool on);

    static bool keeps(const QFileInfo& entry, bool executables_only);

    // The source model hides nothing by name (see choose_executable_file); the files kept
    // here are enabled even where its own name pattern would grey them out.
    Qt::ItemFlags flags(const QModelIndex& index) const override;

  protected:
    bool filterAcceptsRow(int source_row, const QModelIndex& source_parent) const override;

  private:
    bool executables_only_ = true;
};

// Shows the chooser, starting at `start_file` (or in the working directory when it is
// empty). Returns the chosen file's full path, or "" when cancelled.
QString choose_executable_file(QWidget* parent, const QString& start_file);

}  // namespace platform
