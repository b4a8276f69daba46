#include "list_rewrite.h"

#include <cerrno>
#include <utility>
#include <vector>

#include "file_system.h"

#ifdef _WIN32
#include <direct.h>
#else
#include <unistd.h>
#endif

namespace store {
namespace {

#ifdef _WIN32
constexpr char separator = '\\';

bool is_separator(char c) {
    return c == '\\' || c == '/';
}

// "C:\" or "\": the root keeps its separator.
bool is_root(const std::string& directory) {
    return directory.size() == 1 || (directory.size() == 3 && directory[1] == ':');
}
#else
constexpr char separator = '/';

bool is_separator(char c) {
    return c == '/';
}

bool is_root(const std::string& directory) {
    return directory.size() == 1;
}
#endif

std::string without_trailing_separator(std::string directory) {
    while (!directory.empty() && is_separator(directory.back()) && !is_root(directory)) {
        directory.pop_back();
    }
    return directory;
}

std::string working_directory() {
    std::vector<char> buffer(256);
    for (;;) {
#ifdef _WIN32
        if (_getcwd(buffer.data(), static_cast<int>(buffer.size())) != nullptr) break;
#else
        if (::getcwd(buffer.data(), buffer.size()) != nullptr) break;
#endif
        if (errno != ERANGE) throw IoError::from_os(errno);
        buffer.resize(buffer.size() * 2);
    }
    return std::string(buffer.data());
}

// Makes the rename itself durable. Best effort: by now the new list is in place and every
// reader sees it, so reporting a failure here would call a finished edit failed.
void sync_directory([[maybe_unused]] const std::string& directory) {
#ifndef _WIN32  // MOVEFILE_WRITE_THROUGH has already flushed the rename
    const FileSystem& fs = file_system();
    int fd = -1;
    if (fs.open(directory, OpenMode::directory, fd) != 0) return;
    fs.fsync(fd);
    fs.close(fd);
#endif
}

}  // namespace

ListPaths::ListPaths(std::string directory)
    : directory_(without_trailing_separator(std::move(directory))) {}

ListPaths ListPaths::current() {
    return ListPaths(working_directory());
}

std::string ListPaths::list_file() const {
    return directory_ + separator + "applications.dat";
}

std::string ListPaths::temp_file() const {
    return directory_ + separator + "temp.dat";
}

ListRewrite::ListRewrite(const ListPaths& paths) : paths_(paths) {
    temp_.bind(paths_.temp_file());
    try {
        temp_.create();
    } catch (...) {
        // A leftover we could not truncate (read-only, say) would fail every later rewrite.
        file_system().unlink(paths_.temp_file());
        throw;
    }
}

ListRewrite::~ListRewrite() {
    if (committed_) return;
    try {
        temp_.close();
    } catch (const IoError&) {
        // Released all the same; the scratch file goes below.
    }
    file_system().unlink(paths_.temp_file());
}

void ListRewrite::write(const LaunchRecord& record) {
    temp_.write_record(record);
}

void ListRewrite::commit() {
    temp_.sync();
    temp_.close();
    // One step from the old list to the new: there is never a moment without a list file.
    temp_.rename(paths_.list_file());
    committed_ = true;
    sync_directory(paths_.directory());
}

}  // namespace store
