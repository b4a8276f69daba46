#pragma once
// List changes made the way the windows make them: the rewrite's turn first, then the list as
// it stands read through a ListFile, every record written (changed, dropped or kept), any new
// records after them, then the commit.

#include <chrono>
#include <cstddef>
#include <functional>
#include <vector>

#include "launch_record.h"
#include "list_rewrite.h"

namespace kestrun_test {

struct ListChange {
    // Called for each record in file order; may change it; false drops it.
    std::function<bool(std::size_t index, store::LaunchRecord& record)> each;
    std::vector<store::LaunchRecord> appended;
    std::function<void()> before_commit;  // with every record written and the turn held
};

void change_through_rewrite(const store::ListPaths& paths, const ListChange& change,
                            std::chrono::milliseconds wait = store::ListRewrite::default_wait);

// An add as the editing dialog makes it.
void append_through_rewrite(const store::ListPaths& paths, const store::LaunchRecord& record,
                            std::chrono::milliseconds wait = store::ListRewrite::default_wait);
// A toggle as the check list makes it: record `index` flips between enabled and not.
void toggle_through_rewrite(const store::ListPaths& paths, std::size_t index);
// Every record copied unchanged.
void copy_through_rewrite(const store::ListPaths& paths);
// The list replaced by exactly these records, without reading it.
void rewrite_to(const store::ListPaths& paths, const std::vector<store::LaunchRecord>& records);

}  // namespace kestrun_test
