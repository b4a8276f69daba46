#include "list_rewrite.h"

#include <cerrno>
#include <utility>
#include <vector>

#include "file_system.h"

#ifdef _WIN32
#include <direct.h>
#include <windows.h>
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

bool is_missing(int os_error) {
#ifdef _WIN32
    return os_error == ERROR_FILE_NOT_FOUND || os_error == ERROR_PATH_NOT_FOUND;
#else
    return os_error == ENOENT;
#endif
}

// A scratch file left by an earlier rewrite that did not finish. Only the user's own is
// removed: one that someone else could have put or changed there is reported instead.
// A link is removed as a name, never followed.
void remove_leftover(const std::string& temp) {
    const FileSystem& fs = file_system();
    FileStatus status;
    const int os_error = fs.stat_status(temp, false, status);
    if (is_missing(os_error)) return;
    if (os_error != 0) throw IoError::from_os(os_error);
    FileStatus as_file = status;
    if (status.link) as_file.mode = 0;  // a link's own mode bits mean nothing
    if (!is_users_own(as_file)) throw UnsafeFileError(temp);
    const int unlinked = fs.unlink(temp);
    if (unlinked != 0 && !is_missing(unlinked)) throw IoError::from_os(unlinked);
}

// The new list keeps the permissions of the one it replaces, except that it never becomes
// writable by group or others (the next open would refuse it).
void keep_permissions(const std::string& list, ListFile& temp) {
    FileStatus status;
    const int os_error = file_system().stat_status(list, true, status);
    if (is_missing(os_error)) return;  // the first list: as created
    if (os_error != 0) throw IoError::from_os(os_error);
#ifndef _WIN32
    temp.set_mode(status.mode & 0755);
#else
    (void)temp;
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
    const std::string temp = paths_.temp_file();
    temp_.bind(temp);
    remove_leftover(temp);
    try {
        // Made afresh, never through a link: the records go only to a file we created.
        temp_.create_new();
    } catch (const IoError&) {
        // The name is taken again since the leftover went: someone else is writing there.
        FileStatus status;
        if (file_system().stat_status(temp, false, status) == 0) throw UnsafeFileError(temp);
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
    // A system call per record made a long list's rewrite slow.
    constexpr std::size_t records_per_write = 256;  // 57 KB
    gathered_.push_back(record);
    if (gathered_.size() >= records_per_write) write_gathered();
}

void ListRewrite::write_gathered() {
    temp_.write_records(gathered_.data(), gathered_.size());
    gathered_.clear();
}

void ListRewrite::commit() {
    write_gathered();
    keep_permissions(paths_.list_file(), temp_);
    temp_.sync();
    temp_.close();
    // One step from the old list to the new: there is never a moment without a list file.
    temp_.rename(paths_.list_file());
    committed_ = true;
    sync_directory(paths_.directory());
}

namespace {

// Copies the list into the rewrite, the first record called `name` replaced by what `change`
// makes of it (false: left out).
template <typename Change>
bool copy_changing_first_named(ListFile& list, ListRewrite& rewrite, const std::string& name,
                               Change change) {
    bool found = false;
    do {
        LaunchRecord record = list.read_record();
        if (!found && record_name(record) == name) {
            found = true;
            if (!change(record)) continue;
        }
        rewrite.write(record);
    } while (!list.at_end());
    return found;
}

}  // namespace

bool rewrite_with_flag(const ListPaths& paths, const std::string& name, bool enabled) {
    ListRewrite rewrite(paths);
    ListFile list(paths.list_file());
    list.open_existing();
    const bool found = copy_changing_first_named(list, rewrite, name, [&](LaunchRecord& record) {
        record.enabled = enabled ? 1 : 0;
        return true;
    });
    list.close();
    rewrite.commit();
    return found;
}

bool rewrite_without(const ListPaths& paths, const std::string& name) {
    ListFile list(paths.list_file());
    list.open_existing();
    ListRewrite rewrite(paths);
    const bool found =
        copy_changing_first_named(list, rewrite, name, [](LaunchRecord&) { return false; });
    list.close();
    rewrite.commit();
    return found;
}

}  // namespace store
