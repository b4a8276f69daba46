#pragma once
// Scratch folders and raw file bytes, on POSIX and on Windows.

#include <string>

namespace kestrun_test {

// A fresh folder under the system's temporary folder, removed with all it holds (read-only
// entries too) when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // `name` inside the folder, joined with the system's own separator.
    std::string file(const std::string& name) const;

  private:
    std::string path_;
};

std::string read_bytes(const std::string& path);
void write_bytes(const std::string& path, const std::string& bytes);
bool file_exists(const std::string& path);  // a link counts, even a dangling one

}  // namespace kestrun_test
