#pragma once
// The few file-system calls the list store makes, as a table a test can replace to make any
// one of them fail. Every entry returns 0 on success or the OS error number (errno; the
// GetLastError code on Windows), never throws, and retries interrupted calls itself.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace store {

enum class OpenMode {
    // The file must exist. Never waits (a fifo or a device does not block the open), never
    // follows a link at the name itself (ELOOP), never makes a terminal ours.
    existing_read_write,
    create_read_write,  // created (0644 less the umask) or truncated
    // Created (0644 less the umask); fails with EEXIST when the name exists, also as a link,
    // which is never followed.
    // On Windows it is made with no sharing: nobody else opens or removes it while it is open.
    create_new,
    directory,  // read-only, only to lock and sync it; POSIX only
};

// What the store checks before it trusts a file.
struct FileStatus {
    bool regular = false;     // a regular file (not a directory, device, pipe or link)
    bool link = false;        // a symbolic link (only from an lstat)
    std::uint32_t owner = 0;  // user id; 0 on Windows
    std::uint32_t mode = 0;   // permission bits (07777)
    // Which file it is: the same pair is the same file (volume serial and file index on
    // Windows).
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
};

struct FileSystem {
    std::function<int(const std::string& path, OpenMode mode, int& fd)> open;
    // Transfers at most `size` bytes at `offset`; `done` < `size` with 0 returned is not an error.
    std::function<int(int fd, void* buffer, std::size_t size, std::uint64_t offset,
                      std::size_t& done)>
        pread;
    std::function<int(int fd, const void* buffer, std::size_t size, std::uint64_t offset,
                      std::size_t& done)>
        pwrite;
    std::function<int(int fd, std::uint64_t& size)> fstat_size;
    std::function<int(int fd)> fsync;
    std::function<int(int fd)> close;  // the descriptor is released even when this fails
    std::function<int(const std::string& from, const std::string& to)> rename;  // replaces `to`
    std::function<int(const std::string& path)> unlink;
    // 0 when anything has that name: a file of any kind, or a link (never followed).
    std::function<int(const std::string& path)> lookup;
    std::function<int(int fd, FileStatus& status)> fstat_status;
    // `follow_links` false: a link is described itself (lstat).
    std::function<int(const std::string& path, bool follow_links, FileStatus& status)> stat_status;
    std::function<int(int fd, std::uint32_t mode)> fchmod;  // a no-op on Windows
    // What the link at `path` holds. POSIX only.
    std::function<int(const std::string& path, std::string& target)> readlink;
    // An exclusive lock on the open file (flock): `try_lock` does not wait (EWOULDBLOCK while
    // someone else holds one), `lock` waits as long as it takes or until a signal interrupts it
    // (EINTR). Closing the descriptor lets it go. POSIX only.
    std::function<int(int fd)> try_lock;
    std::function<int(int fd)> lock;
};

// The table of real system calls.
const FileSystem& real_file_system();

// The table the store uses now: the real one unless a ScopedFileSystem is alive.
const FileSystem& file_system();

// Replaces the table for its lifetime (tests only; not thread-safe, scopes must nest).
class ScopedFileSystem {
  public:
    explicit ScopedFileSystem(FileSystem replacement);
    ~ScopedFileSystem();
    ScopedFileSystem(const ScopedFileSystem&) = delete;
    ScopedFileSystem& operator=(const ScopedFileSystem&) = delete;

  private:
    FileSystem replacement_;
    const FileSystem* previous_;
};

}  // namespace store
