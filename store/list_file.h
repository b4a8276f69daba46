#pragma once
// A handle on one list file (applications.dat or temp.dat), with record-sized I/O.
// Every failing operation throws IoError; the destructor closes whatever is still open.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "file_system.h"
#include "launch_record.h"

namespace store {

// Error codes with messages of their own; any other code reads "I/O error %d".
enum IoErrorCode : int {
    file_not_found = 2,
    invalid_filename = 3,
    too_many_open_files = 4,
    file_access_denied = 5,
    read_beyond_end_of_file = 100,
    disk_full = 101,
    file_not_open = 103,  // an operation on a closed handle; reads "I/O error 103"
};

std::string io_error_message(int code);

class IoError : public std::runtime_error {
  public:
    explicit IoError(int code);
    // An OS error: the code io_error_code_from_os gives, with that code's message when the
    // error is one the table names, else "I/O error <os_error>" (so errno 5, EIO, is not
    // shown as "File access denied" even though code() is 5).
    static IoError from_os(int os_error);
    int code() const { return code_; }

  protected:
    IoError(int code, const std::string& message);

  private:
    int code_;
};

// A list file (or its scratch file) that someone else could have written: another user owns
// it, or its group or others may write to it. Nothing is read from it or written to it, so
// a list planted in a shared directory never runs anything as the user. The code is that of
// "File access denied"; the message names the file.
class UnsafeFileError : public IoError {
  public:
    explicit UnsafeFileError(const std::string& full_name);
};

// Anything but a regular file at a list's name (a directory, a device, a pipe): it is never
// opened for reading or writing records, so it can neither block us nor be taken for a list.
class NotRegularFileError : public IoError {
  public:
    explicit NotRegularFileError(const std::string& full_name);
};

// Another rewrite of the same list (another copy of the program, say) went on for longer
// than a rewrite waits. The code is the OS's "would block" (a sharing violation on Windows).
class ListBusyError : public IoError {
  public:
    explicit ListBusyError(const std::string& full_name);
};

// A list of the user's own that is a link to a file called temp.dat: a rewrite writes the new
// list under that name beside the file it replaces, and would remove the list as a leftover.
// The list is read as usual, and never rewritten.
class ListNamedLikeScratchError : public IoError {
  public:
    explicit ListNamedLikeScratchError(const std::string& full_name);
};

// On POSIX: true when `status` belongs to a file that only the effective user can change.
// Always true on Windows, whose files carry no owner or mode bits here.
bool is_users_own(const FileStatus& status);

// What a name of a list file stands for. A link is followed only when the user owns it (else
// someone else could point it at a file of ours whose bytes they chose), link after link, to
// the file it ends at.
struct ResolvedName {
    std::string path;   // the name itself, or the file its links lead to
    int os_error = 0;   // of looking at the name itself (ENOENT: nothing has that name)
    FileStatus status;  // of `path` (never a link), when os_error is 0
};
// Throws UnsafeFileError for a link someone else owns and "File not found" for a link that
// leads nowhere; a failure to look at the name itself is left in os_error.
ResolvedName resolve_links(const std::string& full_name);

// True when `path`, bytes as the list holds them, names a regular file (links followed), the
// way the system's own calls take those bytes (on Windows in the ANSI code page, as the launcher
// does). False also when it cannot be looked at.
bool names_regular_file(const std::string& path);

// Maps an OS error number (errno, or GetLastError on Windows) to the code IoError carries.
int io_error_code_from_os(int os_error);

class ListFile {
  public:
    ListFile() = default;
    explicit ListFile(std::string full_name) { bind(std::move(full_name)); }
    ~ListFile();
    ListFile(const ListFile&) = delete;
    ListFile& operator=(const ListFile&) = delete;

    // Names the file; closes a file still open from an earlier binding.
    void bind(std::string full_name);
    const std::string& name() const { return name_; }
    // Something has that name: a file of any kind, or a link, even one that leads nowhere.
    // True also when the check itself fails for another reason than a missing name. Either
    // way the open that follows reports what is wrong, rather than the list reading as empty.
    bool exists() const;
    bool is_open() const;

    // Read and write, at record 0; reopens when already open. Links are followed as
    // resolve_links says. Anything but a regular file is refused with NotRegularFileError
    // before it is read, and a file that is not the user's own (is_users_own) with
    // UnsafeFileError.
    void open_existing();
    void create();  // create or truncate, read and write, at record 0
    // Create a file that did not exist, never through a link at the name; read and write.
    void create_new();
    void set_mode(std::uint32_t mode);  // permission bits of the open file (fchmod)
    FileStatus status();                // of the open file (fstat)
    std::size_t record_count();         // file size / 223
    // Position (in records) >= record count. The size is asked again only where the count last
    // seen says the end is reached: a pass over the list looks it up twice, not once a record.
    bool at_end();
    // Fewer than 223 bytes left: read_beyond_end_of_file. Records are read ahead, a few hundred
    // at a time, so that a pass over a long list is not a system call per record; a read that
    // fails reads the one record alone, so an error shows where its record is reached.
    LaunchRecord read_record();
    void write_record(const LaunchRecord& record);  // short write: disk_full
    // `count` records from `records` at the position, in one write; short write: disk_full.
    void write_records(const LaunchRecord* records, std::size_t count);
    void sync();                                    // flush to disk (fsync); checked
    void close();                                   // no-op when closed
    void erase();                                   // delete the named file; must be closed
    void rename(const std::string& new_full_name);  // must be closed

  private:
    // Reads records from the position on into the read-ahead; false when the read failed.
    bool read_ahead();
    void forget_read_ahead();

    std::string name_;
    int fd_ = -1;                  // a CRT/POSIX descriptor on every OS
    std::size_t position_ = 0;     // in records
    std::size_t known_count_ = 0;  // the record count last looked up; 0 when closed
    // Records read ahead: ahead_count_ of them from record ahead_first_ on.
    std::unique_ptr<LaunchRecord[]> ahead_;
    std::size_t ahead_first_ = 0;
    std::size_t ahead_count_ = 0;
};

// The first record named `name`, reading on from where `list` stands; nothing when the list
// ends first. At least one record is read, so a list already at its end raises
// read_beyond_end_of_file, as does reading once more after nothing was found.
std::optional<LaunchRecord> read_to_named(ListFile& list, const std::string& name);

}  // namespace store
