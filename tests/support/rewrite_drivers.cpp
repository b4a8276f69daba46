#include "rewrite_drivers.h"

#include "list_file.h"

namespace kestrun_test {

void change_through_rewrite(const store::ListPaths& paths, const ListChange& change,
                            std::chrono::milliseconds wait) {
    store::ListRewrite rewrite(paths, wait);
    store::ListFile list(paths.list_file());
    if (list.exists()) {
        list.open_existing();
        for (std::size_t i = 0; !list.at_end(); ++i) {
            store::LaunchRecord record = list.read_record();
            if (!change.each || change.each(i, record)) rewrite.write(record);
        }
        list.close();
    }
    for (const store::LaunchRecord& record : change.appended) rewrite.write(record);
    if (change.before_commit) change.before_commit();
    rewrite.commit();
}

void append_through_rewrite(const store::ListPaths& paths, const store::LaunchRecord& record,
                            std::chrono::milliseconds wait) {
    change_through_rewrite(paths, {nullptr, {record}, nullptr}, wait);
}

void toggle_through_rewrite(const store::ListPaths& paths, std::size_t index) {
    change_through_rewrite(paths, {[index](std::size_t i, store::LaunchRecord& record) {
                                       if (i == index) record.enabled = record.enabled == 1 ? 0 : 1;
                                       return true;
                                   },
                                   {},
                                   nullptr});
}

void copy_through_rewrite(const store::ListPaths& paths) {
    change_through_rewrite(paths, {});
}

void rewrite_to(const store::ListPaths& paths, const std::vector<store::LaunchRecord>& records) {
    store::ListRewrite rewrite(paths);
    for (const store::LaunchRecord& record : records) rewrite.write(record);
    rewrite.commit();
}

}  // namespace kestrun_test
