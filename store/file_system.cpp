#include "file_system.h"

#include <cerrno>
#include <utility>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace store {
namespace {

#ifdef _WIN32

// The CRT keeps the OS code of its last failure in _doserrno; errors the CRT finds by itself
// leave only errno, which is translated to the OS code meaning the same.
int crt_error() {
    const unsigned long os_error = _doserrno;
    if (os_error != 0) return static_cast<int>(os_error);
    switch (errno) {
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case EACCES:
            return ERROR_ACCESS_DENIED;
        case EMFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case ENOSPC:
            return ERROR_DISK_FULL;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        default:
            return errno;
    }
}

void clear_errors() {
    errno = 0;
    _doserrno = 0;
}

int real_open(const std::string& path, OpenMode mode, int& fd) {
    int flags = _O_RDWR | _O_BINARY | _O_NOINHERIT;
    switch (mode) {
        case OpenMode::existing_read_write:
            break;
        case OpenMode::create_read_write:
            flags |= _O_CREAT | _O_TRUNC;
            break;
        case OpenMode::create_new:
            flags |= _O_CREAT | _O_EXCL;
            break;
        case OpenMode::directory:
            return ERROR_NOT_SUPPORTED;
    }
    clear_errors();
    // A list is shared for reading and writing with other handles; the scratch file with none,
    // which keeps a second rewrite from opening or removing it while this one writes it.
    const int sharing = mode == OpenMode::create_new ? _SH_DENYRW : _SH_DENYNO;
    fd = _sopen(path.c_str(), flags, sharing, _S_IREAD | _S_IWRITE);
    return fd < 0 ? crt_error() : 0;
}

int real_pread(int fd, void* buffer, std::size_t size, std::uint64_t offset, std::size_t& done) {
    done = 0;
    clear_errors();
    if (_lseeki64(fd, static_cast<__int64>(offset), SEEK_SET) < 0) return crt_error();
    const int got = _read(fd, buffer, static_cast<unsigned>(size));
    if (got < 0) return crt_error();
    done = static_cast<std::size_t>(got);
    return 0;
}

int real_pwrite(int fd, const void* buffer, std::size_t size, std::uint64_t offset,
                std::size_t& done) {
    done = 0;
    clear_errors();
    if (_lseeki64(fd, static_cast<__int64>(offset), SEEK_SET) < 0) return crt_error();
    const int put = _write(fd, buffer, static_cast<unsigned>(size));
    if (put < 0) return crt_error();
    done = static_cast<std::size_t>(put);
    return 0;
}

int real_fstat_size(int fd, std::uint64_t& size) {
    struct _stat64 info {};
    clear_errors();
    if (_fstat64(fd, &info) != 0) return crt_error();
    size = static_cast<std::uint64_t>(info.st_size);
    return 0;
}

int real_fsync(int fd) {
    clear_errors();
    return _commit(fd) != 0 ? crt_error() : 0;
}

int real_close(int fd) {
    clear_errors();
    return _close(fd) != 0 ? crt_error() : 0;
}

int real_rename(const std::string& from, const std::string& to) {
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return 0;
    return static_cast<int>(GetLastError());
}

int real_unlink(const std::string& path) {
    if (DeleteFileA(path.c_str())) return 0;
    return static_cast<int>(GetLastError());
}

int real_lookup(const std::string& path) {
    if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) return 0;
    return static_cast<int>(GetLastError());
}

// The volume and file index; left 0 where the system does not tell them.
void identify(HANDLE handle, FileStatus& status) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info)) return;
    status.device = info.dwVolumeSerialNumber;
    status.inode = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
}

int real_fstat_status(int fd, FileStatus& status) {
    struct _stat64 info {};
    status = FileStatus{};
    clear_errors();
    if (_fstat64(fd, &info) != 0) return crt_error();
    status.regular = (info.st_mode & _S_IFMT) == _S_IFREG;
    status.mode = static_cast<std::uint32_t>(info.st_mode & 0777);
    identify(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), status);
    return 0;
}

// Windows keeps no owner or mode bits that the store could check or copy, and follows its
// links itself.
int real_stat_status(const std::string& path, bool, FileStatus& status) {
    status = FileStatus{};
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return static_cast<int>(GetLastError());
    status.regular = (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
    // Attributes only: allowed even while another handle shares nothing.
    const HANDLE handle = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    identify(handle, status);
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    return 0;
}

int real_fchmod(int, std::uint32_t) {
    return 0;
}

int real_readlink(const std::string&, std::string&) {
    return ERROR_NOT_SUPPORTED;
}

int real_try_lock(int) {
    return ERROR_NOT_SUPPORTED;
}

int real_lock(int) {
    return ERROR_NOT_SUPPORTED;
}

#else

int real_open(const std::string& path, OpenMode mode, int& fd) {
    int flags = O_CLOEXEC;
    switch (mode) {
        case OpenMode::existing_read_write:
            // O_NONBLOCK changes nothing for a regular file and keeps a fifo or a device from
            // holding us up before the caller has seen what it is.
            flags |= O_RDWR | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW;
            break;
        case OpenMode::create_read_write:
            flags |= O_RDWR | O_CREAT | O_TRUNC;
            break;
        case OpenMode::create_new:
            flags |= O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW;
            break;
        case OpenMode::directory:
            flags |= O_RDONLY | O_DIRECTORY;
            break;
    }
    do {
        fd = ::open(path.c_str(), flags, 0644);
    } while (fd < 0 && errno == EINTR);
    return fd < 0 ? errno : 0;
}

int real_pread(int fd, void* buffer, std::size_t size, std::uint64_t offset, std::size_t& done) {
    ssize_t got;
    do {
        got = ::pread(fd, buffer, size, static_cast<off_t>(offset));
    } while (got < 0 && errno == EINTR);
    done = got < 0 ? 0 : static_cast<std::size_t>(got);
    return got < 0 ? errno : 0;
}

int real_pwrite(int fd, const void* buffer, std::size_t size, std::uint64_t offset,
                std::size_t& done) {
    ssize_t put;
    do {
        put = ::pwrite(fd, buffer, size, static_cast<off_t>(offset));
    } while (put < 0 && errno == EINTR);
    done = put < 0 ? 0 : static_cast<std::size_t>(put);
    return put < 0 ? errno : 0;
}

int real_fstat_size(int fd, std::uint64_t& size) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) return errno;
    size = static_cast<std::uint64_t>(info.st_size);
    return 0;
}

int real_fsync(int fd) {
    int result;
    do {
        result = ::fsync(fd);
    } while (result != 0 && errno == EINTR);
    return result != 0 ? errno : 0;
}

// Never retried: Linux releases the descriptor even when close reports EINTR.
int real_close(int fd) {
    return ::close(fd) != 0 ? errno : 0;
}

int real_rename(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) != 0 ? errno : 0;
}

int real_unlink(const std::string& path) {
    return ::unlink(path.c_str()) != 0 ? errno : 0;
}

int real_lookup(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) != 0 ? errno : 0;
}

void describe(const struct stat& info, FileStatus& status) {
    status.regular = S_ISREG(info.st_mode);
    status.link = S_ISLNK(info.st_mode);
    status.owner = static_cast<std::uint32_t>(info.st_uid);
    status.mode = static_cast<std::uint32_t>(info.st_mode & 07777);
    status.device = static_cast<std::uint64_t>(info.st_dev);
    status.inode = static_cast<std::uint64_t>(info.st_ino);
}

int real_fstat_status(int fd, FileStatus& status) {
    struct stat info {};
    status = FileStatus{};
    if (::fstat(fd, &info) != 0) return errno;
    describe(info, status);
    return 0;
}

int real_stat_status(const std::string& path, bool follow_links, FileStatus& status) {
    struct stat info {};
    status = FileStatus{};
    const int result = follow_links ? ::stat(path.c_str(), &info) : ::lstat(path.c_str(), &info);
    if (result != 0) return errno;
    describe(info, status);
    return 0;
}

int real_fchmod(int fd, std::uint32_t mode) {
    int result;
    do {
        result = ::fchmod(fd, static_cast<mode_t>(mode));
    } while (result != 0 && errno == EINTR);
    return result != 0 ? errno : 0;
}

int real_readlink(const std::string& path, std::string& target) {
    std::string buffer(256, '\0');
    for (;;) {
        const ssize_t length = ::readlink(path.c_str(), buffer.data(), buffer.size());
        if (length < 0) return errno;
        if (static_cast<std::size_t>(length) < buffer.size()) {
            target.assign(buffer.data(), static_cast<std::size_t>(length));
            return 0;
        }
        buffer.resize(buffer.size() * 2);  // possibly cut: ask again with more room
    }
}

int flock_retried(int fd, int operation) {
    int result;
    do {
        result = ::flock(fd, operation);
    } while (result != 0 && errno == EINTR);
    return result != 0 ? errno : 0;
}

int real_try_lock(int fd) {
    return flock_retried(fd, LOCK_EX | LOCK_NB);
}

int real_lock(int fd) {
    return ::flock(fd, LOCK_EX) != 0 ? errno : 0;
}

#endif

// Null while the real table is in use.
const FileSystem* active = nullptr;

}  // namespace

const FileSystem& real_file_system() {
    // Built on first use, so a caller during static initialisation still finds it.
    static const FileSystem table{
        real_open,        real_pread,  real_pwrite,   real_fstat_size, real_fsync,
        real_close,       real_rename, real_unlink,   real_lookup,     real_fstat_status,
        real_stat_status, real_fchmod, real_readlink, real_try_lock,   real_lock,
    };
    return table;
}

const FileSystem& file_system() {
    return active != nullptr ? *active : real_file_system();
}

ScopedFileSystem::ScopedFileSystem(FileSystem replacement)
    : replacement_(std::move(replacement)), previous_(active) {
    active = &replacement_;
}

ScopedFileSystem::~ScopedFileSystem() {
    active = previous_;
}

}  // namespace store
