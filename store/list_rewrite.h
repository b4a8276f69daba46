#pragma once
// Where the list lives, and the one way it is ever changed: records are written to
// temp.dat, which is flushed and then renamed over applications.dat in one step.

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

// A rewrite in progress. Construction removes a leftover temp.dat of the user's own (another
// is refused with UnsafeFileError) and creates it anew, never through a link; commit() gives
// it the old list's permissions, flushes it, closes it, renames it over applications.dat and
// syncs the directory. Destroying an uncommitted
// rewrite closes and removes temp.dat, leaving applications.dat untouched. A failure of the
// directory sync is not reported: the rename has already put the new list in place.
class ListRewrite {
  public:
    explicit ListRewrite(const ListPaths& paths);
    ~ListRewrite();
    ListRewrite(const ListRewrite&) = delete;
    ListRewrite& operator=(const ListRewrite&) = delete;

    // Records are gathered and written some hundreds at a time (the rest by commit), so a
    // failed write may surface at a later write or at commit: either way before the rename.
    void write(const LaunchRecord& record);
    void commit();

  private:
    void write_gathered();

    ListPaths paths_;
    ListFile temp_;
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
