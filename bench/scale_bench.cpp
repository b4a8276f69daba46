// The main window at scale, in process and offscreen: its start-up load, one toggle's rewrite and
// the submenu's first opening at 10 to 100,000 records, and launch-all of 100 entries through the
// real launcher. Each is set against the floor below it: the same widgets filled from memory, the
// bare atomic rewrite of the same file, and posix_spawn of the same programs.
//
//   scale_bench WORKDIR [ROWS] [--benchmark_... options]
#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <QAction>
#include <QApplication>
#include <QListWidget>
#include <QMenu>
#include <QSignalBlocker>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench_table.h"
#include "gbench_rows.h"
#include "launch_record.h"
#include "launcher.h"
#include "process_probes.h"
#include "records.h"
#include "services.h"
#include "unit1.h"

extern char** environ;

namespace {

std::string work_dir;
const std::vector<long> sizes = {10, 1000, 10000, 100000};
constexpr long launched_entries = 100;

struct NoTray : platform::TrayService {
    void notify_icon(platform::TrayCommand, const platform::TrayIconRecord&) override {}
    void set_host_menu(QMenu*) override {}
};

// Every echo request answered at once: the network is up.
struct AnsweringEcho : probe::EchoService {
    std::uint32_t inet_addr(const char* text) override { return ::inet_addr(text); }
    probe::IcmpHandle IcmpCreateFile() override { return 3; }
    std::uint32_t IcmpSendEcho(probe::IcmpHandle, std::uint32_t destination, const void*,
                               std::uint16_t, void*, void* reply, std::uint32_t,
                               std::uint32_t) override {
        probe::ICMP_ECHO_REPLY answer{};
        answer.Address = destination;
        answer.Status = probe::IP_SUCCESS;
        std::memcpy(reply, &answer, sizeof answer);
        return 1;
    }
    bool IcmpCloseHandle(probe::IcmpHandle) override { return true; }
};
AnsweringEcho answering_echo;

void use_bench_services() {
    platform::Services s = platform::system_services();
    s.make_tray = [] { return std::make_unique<NoTray>(); };
    s.terminate = [] {};
    s.make_echo_attempt = [] { return probe::blocking_echo_attempt(answering_echo); };
    s.make_network_watch = nullptr;
    platform::services() = std::move(s);
}

std::string entry_name(long i) {
    return "entry " + std::to_string(i);
}

// A directory of its own per list, holding applications.dat.
std::string list_dir(const std::string& name, const std::vector<store::LaunchRecord>& records) {
    const std::string dir = work_dir + "/" + name;
    mkdir(dir.c_str(), 0755);
    kestrun_test::write_list(dir, records);
    return dir;
}

std::string scale_dir(long count) {
    return work_dir + "/records-" + std::to_string(count);
}

double heap_in_use() {
    const struct mallinfo2 info = mallinfo2();
    return static_cast<double>(info.uordblks + info.hblkhd);
}

// Resident memory now and at its peak since reset_peak(), in bytes.
double status_bytes(const char* field) {
    const long kib = kestrun_test::status_kb(std::string(field) + ":");
    return kib < 0 ? std::nan("") : static_cast<double>(kib) * 1024;
}
void reset_peak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

void settle() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
    malloc_trim(0);
}

// --- start-up load ------------------------------------------------------------------------

void BM_Load(benchmark::State& state) {
    const long count = state.range(0);
    if (chdir(scale_dir(count).c_str()) != 0) {
        state.SkipWithError("no list directory");
        return;
    }
    double kept = 0;
    for (auto _ : state) {
        state.PauseTiming();
        settle();
        const double before = heap_in_use();
        state.ResumeTiming();
        auto form = std::make_unique<TForm1>();
        state.PauseTiming();
        kept = heap_in_use() - before;
        if (form->CheckListBox1->count() != count) state.SkipWithError("lines missing");
        form.reset();
        state.ResumeTiming();
    }
    state.counters["heap"] = kept;
}

// The floor under the load: the same check list filled from memory, one checkable line at a
// time with the list's signals blocked, as Qt offers it.
void BM_ListFloor(benchmark::State& state) {
    const long count = state.range(0);
    double kept = 0;
    for (auto _ : state) {
        state.PauseTiming();
        settle();
        const double before = heap_in_use();
        state.ResumeTiming();
        auto holder = std::make_unique<QWidget>();
        auto* list = new QListWidget(holder.get());
        {
            const QSignalBlocker quiet(list);
            for (long i = 0; i < count; ++i) {
                const std::string name = entry_name(i);
                const QByteArray bytes(name.data(), static_cast<qsizetype>(name.size()));
                auto* line = new QListWidgetItem(QString::fromLocal8Bit(bytes));
                line->setData(Qt::UserRole, bytes);
                line->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
                line->setCheckState(i % 2 == 0 ? Qt::Checked : Qt::Unchecked);
                list->addItem(line);
            }
        }
        state.PauseTiming();
        kept = heap_in_use() - before;
        holder.reset();
        state.ResumeTiming();
    }
    state.counters["heap"] = kept;
}

// --- the submenu's first opening --------------------------------------------------------

// The items past the first thousand are made when the submenu first opens, then its
// accelerators are given.
void BM_SubmenuOpen(benchmark::State& state) {
    const long count = state.range(0);
    if (chdir(scale_dir(count).c_str()) != 0) {
        state.SkipWithError("no list directory");
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        settle();
        auto form = std::make_unique<TForm1>();
        state.ResumeTiming();
        emit form->RunApplication1->aboutToShow();
        state.PauseTiming();
        if (form->RunApplication1->actions().size() != count) state.SkipWithError("items missing");
        form.reset();
        state.ResumeTiming();
    }
}

// The floor: a QMenu given the same number of actions in one call.
void BM_MenuFloor(benchmark::State& state) {
    const long count = state.range(0);
    for (auto _ : state) {
        state.PauseTiming();
        settle();
        auto menu = std::make_unique<QMenu>();
        QList<QAction*> actions;
        actions.reserve(count);
        for (long i = 0; i < count; ++i)
            actions.push_back(new QAction(QString::fromStdString(entry_name(i)), menu.get()));
        state.ResumeTiming();
        menu->addActions(actions);
        state.PauseTiming();
        menu.reset();
        state.ResumeTiming();
    }
}

// --- one toggle ---------------------------------------------------------------------------

void BM_Toggle(benchmark::State& state) {
    const long count = state.range(0);
    if (chdir(scale_dir(count).c_str()) != 0) {
        state.SkipWithError("no list directory");
        return;
    }
    TForm1 form;
    QListWidgetItem* line = form.CheckListBox1->item(static_cast<int>(count - 1));
    double peak = 0;
    for (auto _ : state) {
        state.PauseTiming();
        {
            const QSignalBlocker quiet(form.CheckListBox1);
            line->setCheckState(line->checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked);
        }
        settle();
        reset_peak();
        const double resident = status_bytes("VmRSS");
        state.ResumeTiming();
        form.CheckListBox1ClickCheck(line);
        state.PauseTiming();
        peak = std::max(peak, status_bytes("VmHWM") - resident);
        state.ResumeTiming();
    }
    state.counters["peak"] = peak;
}

// The floor under the rewrite: the same file read in one call, the byte changed, written to
// temp.dat in one call, flushed, renamed over the list and the directory flushed.
void BM_RewriteFloor(benchmark::State& state) {
    const long count = state.range(0);
    const std::string dir = scale_dir(count);
    const std::string list = dir + "/applications.dat", temp = dir + "/temp.dat";
    std::vector<char> bytes(static_cast<std::size_t>(count) * store::record_size);
    double peak = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<char>().swap(bytes);
        malloc_trim(0);
        reset_peak();
        const double resident = status_bytes("VmRSS");
        state.ResumeTiming();
        bytes.resize(static_cast<std::size_t>(count) * store::record_size);
        int fd = open(list.c_str(), O_RDONLY | O_CLOEXEC);
        const bool read_all =
            fd >= 0 && read(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
        if (fd >= 0) close(fd);
        bytes.back() = static_cast<char>(bytes.back() ^ 1);
        fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const bool written =
            fd >= 0 && write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
        const bool flushed = fd >= 0 && fsync(fd) == 0;
        if (fd >= 0) close(fd);
        const bool renamed = rename(temp.c_str(), list.c_str()) == 0;
        const int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir_fd >= 0) {
            fsync(dir_fd);
            close(dir_fd);
        }
        state.PauseTiming();
        peak = std::max(peak, status_bytes("VmHWM") - resident);
        if (!read_all || !written || !flushed || !renamed) state.SkipWithError("rewrite failed");
        state.ResumeTiming();
    }
    state.counters["peak"] = peak;
}

// --- launch-all ---------------------------------------------------------------------------

std::string mark_program() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string self(path, n > 0 ? static_cast<std::size_t>(n) : 0);
    return self.substr(0, self.rfind('/') + 1) + "bench_mark";
}

std::string marks_dir() {
    return work_dir + "/launch-all/marks";
}

std::string mark_file(long i) {
    return marks_dir() + "/" + std::to_string(i);
}

double monotonic_now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void clear_marks() {
    for (long i = 0; i < launched_entries; ++i) unlink(mark_file(i).c_str());
}

// When the last of the entries wrote its mark, or NaN if one is missing after 10 s.
double last_mark() {
    const double deadline = monotonic_now() + 10;
    double last = 0;
    for (long i = 0; i < launched_entries; ++i) {
        long long ns = 0;
        while (!(std::ifstream(mark_file(i)) >> ns)) {
            if (monotonic_now() > deadline) return std::nan("");
            usleep(1000);
        }
        last = std::max(last, static_cast<double>(ns) * 1e-9);
    }
    return last;
}

// The floor: posix_spawn of the same programs (started, not detached, reaped afterwards), from
// the first start to the moment the last was running; NaN when one did not start.
double spawn_floor() {
    std::string program = mark_program();
    std::vector<std::string> files;
    for (long i = 0; i < launched_entries; ++i) files.push_back(mark_file(i));
    std::vector<pid_t> started;
    clear_marks();
    const double start = monotonic_now();
    for (long i = 0; i < launched_entries; ++i) {
        char* argv[] = {program.data(), files[static_cast<std::size_t>(i)].data(), nullptr};
        pid_t pid = 0;
        if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ) == 0)
            started.push_back(pid);
    }
    const double last = last_mark();
    for (const pid_t pid : started) waitpid(pid, nullptr, 0);
    return last - start;
}

// From the probe's yes (a tick of the timer with the network answering) to the moment the last
// of 100 entries, started by the real launcher, was running (each entry notes when it started).
// The floor is measured in the same iteration, before or after in turn: a hundred starts take
// as long as the machine lets a hundred processes run, so the two are set side by side only
// under the same load (counter "floor").
void BM_LaunchAll(benchmark::State& state) {
    const std::string dir = work_dir + "/launch-all";
    if (chdir(dir.c_str()) != 0) {
        state.SkipWithError("no list directory");
        return;
    }
    TForm1 form;
    double returned = 0;
    double floors = 0;
    long iteration = 0;
    for (auto _ : state) {
        const bool floor_first = iteration++ % 2 == 1;
        if (floor_first) floors += spawn_floor();
        clear_marks();
        const double start = monotonic_now();
        form.Timer1Timer();
        // The probe answers from the event loop.
        while (form.probing()) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        returned = monotonic_now() - start;
        const double last = last_mark();
        if (!floor_first) floors += spawn_floor();
        if (std::isnan(last) || std::isnan(floors)) {
            state.SkipWithError("an entry did not start");
            break;
        }
        state.SetIterationTime(last - start);
    }
    state.counters["returned"] = returned;
    state.counters["floor"] = iteration > 0 ? floors / static_cast<double>(iteration) : 0;
}

void register_benchmarks() {
    const auto add = [](const char* name, void (*bench)(benchmark::State&), long n) {
        // The largest sizes take seconds an iteration where the toolkit is quadratic.
        benchmark::RegisterBenchmark(name, bench)
            ->Arg(n)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->Repetitions(n >= 100000 ? 3 : 5)
            ->DisplayAggregatesOnly(true);
    };
    for (const long n : sizes) {
        add("BM_Load", BM_Load, n);
        add("BM_ListFloor", BM_ListFloor, n);
    }
    for (const long n : sizes) {
        add("BM_Toggle", BM_Toggle, n);
        add("BM_RewriteFloor", BM_RewriteFloor, n);
    }
    for (const long n : sizes) {
        add("BM_SubmenuOpen", BM_SubmenuOpen, n);
        add("BM_MenuFloor", BM_MenuFloor, n);
    }
    benchmark::RegisterBenchmark("BM_LaunchAll", BM_LaunchAll)
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime()
        ->Iterations(4)
        ->Repetitions(5)
        ->DisplayAggregatesOnly(true);
}

std::string with_commas(long n) {
    const std::string digits = std::to_string(n);
    std::string out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out.push_back(',');
        out.push_back(digits[i]);
    }
    return out;
}

void write_rows(const bench::MedianReporter& r, const std::string& rows) {
    const auto name = [](const char* bench, long n) {
        return std::string(bench) + "/" + std::to_string(n);
    };
    const auto growth = [&](const char* bench) {
        return r.at(name(bench, 100000)).seconds / r.at(name(bench, 10000)).seconds;
    };
    const auto growth_row = [&](const std::string& what, const char* ours, const char* floor_name,
                                const char* floor, bool budgeted) {
        if (!r.has(name(ours, 100000)) || !r.has(name(floor, 100000))) return;  // a partial run
        const double g = growth(ours), f = growth(floor);
        bench::append_row(rows,
                          {"Scale: " + what +
                               " growth from 10,000 to 100,000 records "
                               "(linear: 10x)",
                           bench::printed("%.1fx", g), floor_name, bench::printed("%.1fx", f), "-",
                           budgeted ? "linear" : "-", budgeted ? bench::verdict(g < 13) : "-"});
    };

    // One row per size that ran: a filter may leave runs out.
    struct Series {
        const char* what;
        const char* ours;
        const char* floor;
        const char* floor_label;
        const char* counter;      // the memory counter shown beside the time, or nullptr
        const char* caption;      // what the figures are, e.g. " (time; peak)"
        const char* budget_text;  // the budget at 10,000 records, or nullptr
        double budget_seconds;
    };
    const auto size_rows = [&](const Series& series) {
        for (const long n : sizes) {
            if (!r.has(name(series.ours, n)) || !r.has(name(series.floor, n))) continue;
            const auto& ours = r.at(name(series.ours, n));
            const auto& floor = r.at(name(series.floor, n));
            const auto shown = [&](const bench::MedianReporter::Median& median) {
                std::string text = bench::format_seconds(median.seconds);
                if (series.counter != nullptr)
                    text += "; " + bench::format_bytes(median.counters.at(series.counter));
                return text;
            };
            const bool budgeted = series.budget_text != nullptr && n == 10000;
            bench::append_row(
                rows, {std::string("Scale: ") + series.what + ", " + with_commas(n) + " records" +
                           series.caption,
                       shown(ours), series.floor_label, shown(floor),
                       bench::format_ratio(ours.seconds, floor.seconds),
                       budgeted ? series.budget_text : "-",
                       budgeted ? bench::verdict(ours.seconds < series.budget_seconds) : "-"});
        }
    };

    size_rows({"start-up load", "BM_Load", "BM_ListFloor",
               "Qt floor: the same check list filled from memory", "heap", " (time; heap kept)",
               "< 200 ms", 0.2});
    growth_row("load", "BM_Load", "Qt floor", "BM_ListFloor", true);
    size_rows({"one toggle's rewrite", "BM_Toggle", "BM_RewriteFloor",
               "file floor: read, write, fsync, rename in one call each", "peak", " (time; peak)",
               "< 20 ms", 0.02});
    growth_row("rewrite", "BM_Toggle", "file floor", "BM_RewriteFloor", true);
    size_rows({"the submenu's first opening", "BM_SubmenuOpen", "BM_MenuFloor",
               "Qt floor: one QMenu::addActions of as many actions", nullptr, "", nullptr, 0});
    growth_row("submenu opening", "BM_SubmenuOpen", "Qt floor", "BM_MenuFloor", false);

    if (!r.has("BM_LaunchAll")) return;
    const auto& all = r.at("BM_LaunchAll");
    const double spawn = all.counters.at("floor");
    bench::append_row(rows, {"Launch-all of 100 entries: probe's yes to last entry running",
                             bench::format_seconds(all.seconds),
                             "posix_spawn of the same 100 programs (not detached)",
                             bench::format_seconds(spawn), bench::format_ratio(all.seconds, spawn),
                             "< 100 ms", bench::verdict(all.seconds < 0.1)});
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: scale_bench WORKDIR [ROWS] [--benchmark_... options]\n");
        return 2;
    }
    mkdir(argv[1], 0755);
    char absolute[4096];
    if (realpath(argv[1], absolute) == nullptr) {
        std::fprintf(stderr, "scale_bench: no work directory %s\n", argv[1]);
        return 1;
    }
    work_dir = absolute;  // the benchmarks change the working directory
    const std::string rows = argc > 2 ? argv[2] : "";
    for (const long n : sizes)
        list_dir(
            "records-" + std::to_string(n),
            kestrun_test::numbered_records(static_cast<std::size_t>(n), "entry ", "/bin/true "));
    std::vector<store::LaunchRecord> entries;
    for (long i = 0; i < launched_entries; ++i) {
        const std::string line = "\"" + mark_program() + "\" \"" + mark_file(i) + "\"";
        if (line.size() > store::path_capacity) {
            std::fprintf(stderr, "scale_bench: work directory path too long for a list entry\n");
            return 1;
        }
        entries.push_back(store::make_record(entry_name(i), line, true));
    }
    list_dir("launch-all", entries);
    mkdir(marks_dir().c_str(), 0755);
    use_bench_services();
    register_benchmarks();

    bench::MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    if (rows.empty()) return 0;
    try {
        write_rows(reporter, rows);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "scale_bench: %s\n", error.what());
        return 1;
    }
    return 0;
}
