// The file-open dialog behind Browse on Windows: the system's own, in its ANSI form.

#include <windows.h>

#include <QByteArray>
#include <QWidget>
#include <algorithm>
#include <array>
#include <cstring>

#include "file_dialog.h"

namespace platform {

QString choose_executable_file(QWidget* parent, const QString& start_file) {
    // Pairs of text and pattern, each ended by a zero, and one more zero after the last.
    static const char filter[] = "Executable Applications (*.exe)\0*.exe\0All Files\0*.*\0";
    std::array<char, MAX_PATH> file{};
    const QByteArray start = start_file.toLocal8Bit();
    std::memcpy(file.data(), start.constData(),
                std::min<std::size_t>(std::size_t(start.size()), file.size() - 1));

    OPENFILENAMEA dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner =
        parent != nullptr ? reinterpret_cast<HWND>(parent->window()->winId()) : nullptr;
    dialog.lpstrFilter = filter;
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = file.data();
    dialog.nMaxFile = DWORD(file.size());
    dialog.lpstrDefExt = "exe";
    // No OFN_NOCHANGEDIR: the dialog may move the working directory; the list files are
    // named from the folder recorded at start-up, so they stay where they were.
    dialog.Flags = OFN_EXPLORER | OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST | OFN_NONETWORKBUTTON |
                   OFN_NODEREFERENCELINKS | OFN_ENABLESIZING | OFN_DONTADDTORECENT;
    if (!GetOpenFileNameA(&dialog)) return QString();
    return QString::fromLocal8Bit(file.data());
}

}  // namespace platform
