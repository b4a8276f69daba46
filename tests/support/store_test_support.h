#pragma once
// Everything the list store's tests share: scratch folders and raw bytes, records, the rewrite
// drivers, the failing file system and the process probes, with the store's own messages.

#include <gtest/gtest.h>

#include <clocale>
#include <filesystem>
#include <functional>
#include <string>

#include "cannot_run.h"
#include "files.h"
#include "injected_file_system.h"
#include "list_file.h"
#include "process_probes.h"
#include "records.h"
#include "rewrite_drivers.h"

// For a case that needs root (chown, mknod, dropping to `nobody`).
#define NEEDS_ROOT(why) \
    if (!::kestrun_test::is_root()) SKIP_OR_FAIL_IN_CI("needs root: " why)

namespace kestrun_test {

namespace fs = std::filesystem;

inline const std::string unsafe_list =
    "applications.dat is not safe to use: it belongs to another user or others may write to it";
inline const std::string unsafe_temp =
    "temp.dat is not safe to use: it belongs to another user or others may write to it";

// Sets LC_CTYPE for one test and puts the old value back.
class CtypeLocale {
  public:
    explicit CtypeLocale(const char* name) {
        const char* current = std::setlocale(LC_CTYPE, nullptr);
        previous_ = current != nullptr ? current : "C";
        ok_ = std::setlocale(LC_CTYPE, name) != nullptr;
    }
    ~CtypeLocale() { std::setlocale(LC_CTYPE, previous_.c_str()); }
    CtypeLocale(const CtypeLocale&) = delete;
    CtypeLocale& operator=(const CtypeLocale&) = delete;
    bool ok() const { return ok_; }

  private:
    std::string previous_;
    bool ok_;
};

}  // namespace kestrun_test
