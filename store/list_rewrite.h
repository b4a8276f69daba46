#pragma once
// Where the list lives, and the one way it is ever changed: records are written to
// temp.dat, which is flushed and then renamed over applications.dat in one step.

#include <chrono>
#include <string>
#include <vector>

#include "list_file.h"

namespace store {

// ListDirectory: the working directory when the main window was created, without a
// trailing separator except at the root. The list files are named from it.
class ListPaths {
  public:
    explicit ListPaths(std::string directory);
    static ListPaths current();  // from the process's working directory
    const std::string& directory() const { return directory_; }
    std::string list_file() const;  // <dir>/applications.dat
    std::string temp_file() const;  // <dir>/temp.dat

  private:
    std::string directory_;
};

// A rewrite in progress. Rewrites of one list take turns, in every process that rewrites it
// this way: construction waits (up to `wait`, then ListBusyError) until no other rewrite of the
// list is under way, and from then to the end of commit() no other one starts (on POSIX a
// lock on the list's folder; on Windows temp.dat itself, which is opened with no sharing).
// So a list read after construction is the list this rewrite replaces.
//
// Under that lock, construction removes a leftover temp.dat of the user's own (another is
// refused with UnsafeFileError) and creates it anew, never through a link. commit() gives it
// the old list's permissions, flushes it, checks that temp.dat is still the file it made,
// renames it over the list and syncs the folder. A list that is a link of the user's own
// stays one: the file it leads to is replaced, by a temp.dat beside that file (one that leads to
// a file called temp.dat is refused: ListNamedLikeScratchError). Destroying an
// uncommitted rewrite closes and removes its temp.dat (only if it is still the one it made),
// leaving the list untouched. A failure of the folder sync is not reported: the rename has
// already put the new list in place.
class ListRewrite {
  public:
    static constexpr std::chrono::milliseconds default_wait{5000};

    explicit ListRewrite(const ListPaths& paths, std::chrono::milliseconds wait = default_wait);
    ~ListRewrite();
    ListRewrite(const ListRewrite&) = delete;
    ListRewrite& operator=(const ListRewrite&) = delete;

    // Records are gathered and written some hundreds at a time (the rest by commit), so a
    // failed write may surface at a later write or at commit: either way before the rename.
    void write(const LaunchRecord& record);
    void commit();

  private:
    // An open folder and the lock on it; let go when closed.
    class FolderLock {
      public:
        FolderLock() = default;
        ~FolderLock() { release(); }
        FolderLock(const FolderLock&) = delete;
        FolderLock& operator=(const FolderLock&) = delete;
        // False when another rewrite held it for all of `wait`.
        bool take(const std::string& directory, std::chrono::milliseconds wait);
        void sync();  // best effort
        void release();

      private:
        int fd_ = -1;
    };

    void locate();
    bool take_turn(std::chrono::steady_clock::time_point deadline);
    bool make_scratch_file();
    bool still_ours(const std::string& name);
    void write_gathered();

    ListPaths paths_;
    std::string target_;     // the file replaced: the list, or what the user's link leads to
    std::string directory_;  // the folder that holds it
    std::string temp_name_;  // temp.dat in that folder
    FolderLock lock_;
    ListFile temp_;
    FileStatus made_;  // which file our temp.dat is
    bool made_known_ = false;
    std::vector<LaunchRecord> gathered_;
    bool committed_ = false;
};

// The rewrites that change the first record called `name`, each reading first (an empty list
// reads beyond its end) and copying every other whole record as it stands; a partial record
// at the end is dropped. Both return whether a record of that name was found; the list is
// rewritten either way.
bool rewrite_with_flag(const ListPaths& paths, const std::string& name, bool enabled);
bool rewrite_without(const ListPaths& paths, const std::string& name);

}  // namespace store
