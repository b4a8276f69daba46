#include "list_file.h"

#include <cerrno>
#include <cstdint>

#include "file_system.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace store {
namespace {

// The OS errors that have a code of their own; false for every other error.
bool named_os_error(int os_error, int& code) {
#ifdef _WIN32
    switch (os_error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_TOO_MANY_OPEN_FILES:
        case ERROR_ACCESS_DENIED:
            code = os_error;  // the codes were taken from these in the first place
            return true;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            code = disk_full;
            return true;
        default:
            return false;
    }
#else
    switch (os_error) {
        case ENOENT:
            code = file_not_found;
            return true;
        case ENOTDIR:
        case ENAMETOOLONG:
        case EINVAL:
        case ELOOP:
            code = invalid_filename;
            return true;
        case EMFILE:
        case ENFILE:
            code = too_many_open_files;
            return true;
        case EACCES:
        case EPERM:
        case EROFS:
            code = file_access_denied;
            return true;
        case ENOSPC:
        case EDQUOT:
            code = disk_full;
            return true;
        default:
            return false;
    }
#endif
}

void check(int os_error) {
    if (os_error != 0) throw IoError::from_os(os_error);
}

std::string base_name(const std::string& full_name) {
#ifdef _WIN32
    const std::string::size_type slash = full_name.find_last_of("\\/:");
#else
    const std::string::size_type slash = full_name.find_last_of('/');
#endif
    return slash == std::string::npos ? full_name : full_name.substr(slash + 1);
}

}  // namespace

std::string io_error_message(int code) {
    switch (code) {
        case file_not_found:
            return "File not found";
        case invalid_filename:
            return "Invalid filename";
        case too_many_open_files:
            return "Too many open files";
        case file_access_denied:
            return "File access denied";
        case read_beyond_end_of_file:
            return "Read beyond end of file";
        case disk_full:
            return "Disk full";
        default:
            return "I/O error " + std::to_string(code);
    }
}

IoError::IoError(int code) : IoError(code, io_error_message(code)) {}

IoError::IoError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}

IoError IoError::from_os(int os_error) {
    int code = 0;
    if (named_os_error(os_error, code)) return IoError(code);
    return IoError(os_error, "I/O error " + std::to_string(os_error));
}

UnsafeFileError::UnsafeFileError(const std::string& full_name)
    : IoError(file_access_denied,
              base_name(full_name) +
                  " is not safe to use: it belongs to another user or others may write to it") {}

NotRegularFileError::NotRegularFileError(const std::string& full_name)
    : IoError(file_access_denied,
              base_name(full_name) +
                  " is not a regular file: a directory, a device or a pipe cannot hold the list") {}

#ifdef _WIN32
constexpr int busy_code = ERROR_SHARING_VIOLATION;
#else
constexpr int busy_code = EWOULDBLOCK;
#endif

ListBusyError::ListBusyError(const std::string& full_name)
    : IoError(busy_code, base_name(full_name) +
                             " is being changed by another program: try again in a moment") {}

ListNamedLikeScratchError::ListNamedLikeScratchError(const std::string& full_name)
    : IoError(file_access_denied,
              base_name(full_name) +
                  " leads to a file called temp.dat, the name a change writes the new list "
                  "under: give that file another name") {}

bool is_users_own([[maybe_unused]] const FileStatus& status) {
#ifdef _WIN32
    return true;
#else
    return status.owner == static_cast<std::uint32_t>(::geteuid()) && (status.mode & 022) == 0;
#endif
}

bool names_regular_file(const std::string& path) {
    FileStatus status;
    return file_system().stat_status(path, true, status) == 0 && status.regular;
}

int io_error_code_from_os(int os_error) {
    int code = 0;
    return named_os_error(os_error, code) ? code : os_error;
}

ResolvedName resolve_links(const std::string& full_name) {
    const FileSystem& fs = file_system();
    ResolvedName resolved;
    resolved.path = full_name;
    resolved.os_error = fs.stat_status(full_name, false, resolved.status);
    if (resolved.os_error != 0) return resolved;
#ifndef _WIN32  // Windows follows its links itself
    // As many links in a row as the kernel itself follows.
    for (int links = 0; resolved.status.link; ++links) {
        // Only the user's own link is followed (what the kernel's protected_symlinks does in
        // sticky folders, here everywhere): a planted one could point at any file of ours.
        if (links == 40) throw IoError::from_os(ELOOP);
        if (resolved.status.owner != static_cast<std::uint32_t>(::geteuid()))
            throw UnsafeFileError(full_name);
        std::string target;
        check(fs.readlink(resolved.path, target));
        if (target.empty() || target.front() != '/') {
            // Relative to the folder that holds the link.
            const std::string::size_type slash = resolved.path.find_last_of('/');
            target.insert(0, slash == std::string::npos ? "" : resolved.path.substr(0, slash + 1));
        }
        resolved.path = target;
        const int os_error = fs.stat_status(resolved.path, false, resolved.status);
        // A link that leads nowhere is a list gone missing, never an empty one to replace.
        if (os_error == ENOENT || os_error == ENOTDIR) throw IoError(file_not_found);
        check(os_error);
    }
#endif
    return resolved;
}

ListFile::~ListFile() {
    if (fd_ >= 0) file_system().close(fd_);
}

void ListFile::bind(std::string full_name) {
    // A handle left open by a failed action is released here rather than kept until exit.
    if (fd_ >= 0) file_system().close(fd_);
    fd_ = -1;
    position_ = 0;
    known_count_ = 0;
    forget_read_ahead();
    ahead_.reset();
    name_ = std::move(full_name);
}

bool ListFile::exists() const {
    const int os_error = file_system().lookup(name_);
    if (os_error == 0) return true;
        // Only a missing name means "no file". Any other failure answers yes, so that the open
        // which follows reports it: reading the list as empty would let an edit drop it.
#ifdef _WIN32
    return os_error != ERROR_FILE_NOT_FOUND && os_error != ERROR_PATH_NOT_FOUND;
#else
    return os_error != ENOENT && os_error != ENOTDIR;
#endif
}

bool ListFile::is_open() const {
    return fd_ >= 0;
}

void ListFile::open_existing() {
    close();
    const FileSystem& fs = file_system();
    int fd = -1;
    for (int attempt = 1;; ++attempt) {
        const ResolvedName resolved = resolve_links(name_);
        check(resolved.os_error);
        if (!resolved.status.regular) throw NotRegularFileError(name_);
        // The last name is opened without following a link: one put there since we looked is
        // looked at again.
        const int os_error = fs.open(resolved.path, OpenMode::existing_read_write, fd);
#ifndef _WIN32
        if (os_error == ELOOP && attempt < 3) continue;
#endif
        check(os_error);
        break;
    }
    // Checked again on what was opened, so that the name cannot be swapped between check and
    // use.
    FileStatus status;
    const int os_error = fs.fstat_status(fd, status);
    if (os_error != 0 || !status.regular || !is_users_own(status)) {
        fs.close(fd);
        if (os_error != 0) throw IoError::from_os(os_error);
        if (!status.regular) throw NotRegularFileError(name_);
        throw UnsafeFileError(name_);
    }
    fd_ = fd;
    position_ = 0;
}

FileStatus ListFile::status() {
    if (fd_ < 0) throw IoError(file_not_open);
    FileStatus status;
    check(file_system().fstat_status(fd_, status));
    return status;
}

void ListFile::create_new() {
    close();
    int fd = -1;
    check(file_system().open(name_, OpenMode::create_new, fd));
    fd_ = fd;
    position_ = 0;
}

void ListFile::set_mode(std::uint32_t mode) {
    if (fd_ < 0) throw IoError(file_not_open);
    check(file_system().fchmod(fd_, mode));
}

void ListFile::create() {
    close();
    int fd = -1;
    check(file_system().open(name_, OpenMode::create_read_write, fd));
    fd_ = fd;
    position_ = 0;
}

std::size_t ListFile::record_count() {
    if (fd_ < 0) throw IoError(file_not_open);
    std::uint64_t size = 0;
    check(file_system().fstat_size(fd_, size));
    known_count_ = static_cast<std::size_t>(size / record_size);
    return known_count_;
}

bool ListFile::at_end() {
    if (fd_ >= 0 && position_ < known_count_) return false;
    return position_ >= record_count();
}

namespace {

// 57 KB: as many records as a rewrite gathers for one write.
constexpr std::size_t records_per_read = 256;

// Reads up to `size` bytes at `offset`, fewer only at the end of the file; the bytes read are
// in `total`. An OS error, or 0.
int read_fully(int fd, unsigned char* bytes, std::size_t size, std::uint64_t offset,
               std::size_t& total) {
    total = 0;
    while (total < size) {
        std::size_t done = 0;
        const int os_error =
            file_system().pread(fd, bytes + total, size - total, offset + total, done);
        if (os_error != 0) return os_error;
        if (done == 0) break;
        total += done;
    }
    return 0;
}

}  // namespace

bool ListFile::read_ahead() {
    if (!ahead_) ahead_ = std::make_unique<LaunchRecord[]>(records_per_read);
    forget_read_ahead();
    std::size_t total = 0;
    if (read_fully(fd_, reinterpret_cast<unsigned char*>(ahead_.get()),
                   records_per_read * record_size, std::uint64_t{position_} * record_size,
                   total) != 0)
        return false;
    ahead_first_ = position_;
    ahead_count_ = total / record_size;
    return true;
}

void ListFile::forget_read_ahead() {
    ahead_first_ = 0;
    ahead_count_ = 0;
}

LaunchRecord ListFile::read_record() {
    if (fd_ < 0) throw IoError(file_not_open);
    const bool ahead = position_ >= ahead_first_ && position_ < ahead_first_ + ahead_count_;
    if (!ahead && read_ahead() && ahead_count_ == 0) throw IoError(read_beyond_end_of_file);
    LaunchRecord record;
    if (ahead_count_ != 0) {
        record = ahead_[position_ - ahead_first_];
    } else {
        // The read ahead failed: this record alone, which fails only if it is the bad one.
        std::size_t total = 0;
        check(read_fully(fd_, reinterpret_cast<unsigned char*>(&record), record_size,
                         std::uint64_t{position_} * record_size, total));
        if (total < record_size) throw IoError(read_beyond_end_of_file);
    }
    ++position_;
    return record;
}

void ListFile::write_record(const LaunchRecord& record) {
    write_records(&record, 1);
}

void ListFile::write_records(const LaunchRecord* records, std::size_t count) {
    if (fd_ < 0) throw IoError(file_not_open);
    if (count == 0) return;
    const std::uint64_t offset = std::uint64_t{position_} * record_size;
    const std::size_t size = count * record_size;
    std::size_t done = 0;
    forget_read_ahead();  // what was read ahead may be what this write changes
    check(file_system().pwrite(fd_, records, size, offset, done));
    if (done < size) throw IoError(disk_full);
    position_ += count;
}

void ListFile::sync() {
    if (fd_ < 0) throw IoError(file_not_open);
    check(file_system().fsync(fd_));
}

void ListFile::close() {
    if (fd_ < 0) return;
    const int fd = fd_;
    fd_ = -1;
    position_ = 0;
    known_count_ = 0;
    forget_read_ahead();
    ahead_.reset();
    check(file_system().close(fd));
}

void ListFile::erase() {
    close();
    check(file_system().unlink(name_));
}

void ListFile::rename(const std::string& new_full_name) {
    close();
    check(file_system().rename(name_, new_full_name));
    name_ = new_full_name;
}

std::optional<LaunchRecord> read_to_named(ListFile& list, const std::string& name) {
    do {
        LaunchRecord record = list.read_record();
        if (record_name(record) == name) return record;
    } while (!list.at_end());
    return std::nullopt;
}

}  // namespace store
