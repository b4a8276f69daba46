// A helper process for the reliability tests: each measurement runs in a process of its own,
// so that its time, memory and descriptors are its own, and so that it can move into a network
// namespace. It prints its findings as "key=value" lines; a line "skip=<why>" means it could
// not run here.
//
//   reliability_probe load store|form    one start-up load of ./applications.dat: the store's
//                                        part alone, or the main window made offscreen
//   reliability_probe ticks N            N timer ticks of the hidden main window with the real
//                                        probe in a new network namespace (network down), then
//                                        one tick with the network up
//   reliability_probe flood raw|datagram timer ticks while decoy ICMP floods the namespace
//   reliability_probe fds FILE           writes its open descriptors to FILE (a launched entry)
//   reliability_probe rewrite DIR MS     rewrites DIR/applications.dat in every way for MS ms

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QListWidget>
#include <QMenu>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "icmp_packets.h"
#include "launch_record.h"
#include "list_file.h"
#include "list_rewrite.h"
#include "netns.h"
#include "ping_funcs.h"
#include "process_probes.h"
#include "services.h"
#include "unit1.h"

namespace {

using Clock = std::chrono::steady_clock;
using kestrun_test::open_descriptor_count;
using kestrun_test::status_kb;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct QuietTray : platform::TrayService {
    void notify_icon(platform::TrayCommand, const platform::TrayIconRecord&) override {}
    void set_host_menu(QMenu*) override {}
};

// The system's echo service, counting the requests sent and those that waited their timeout out.
struct CountingEcho final : probe::EchoService {
    long sent = 0;
    long timed_out = 0;
    std::uint32_t inet_addr(const char* text) override { return real.inet_addr(text); }
    probe::IcmpHandle IcmpCreateFile() override { return real.IcmpCreateFile(); }
    std::uint32_t IcmpSendEcho(probe::IcmpHandle handle, std::uint32_t to, const void* data,
                               std::uint16_t size, void* options, void* reply,
                               std::uint32_t reply_size, std::uint32_t timeout_ms) override {
        const std::uint32_t replies =
            real.IcmpSendEcho(handle, to, data, size, options, reply, reply_size, timeout_ms);
        probe::ICMP_ECHO_REPLY record{};
        std::memcpy(&record, reply, sizeof record);
        ++sent;
        if (replies == 0 && record.Status == probe::IP_REQ_TIMED_OUT) ++timed_out;
        return replies;
    }
    bool IcmpCloseHandle(probe::IcmpHandle handle) override { return real.IcmpCloseHandle(handle); }
    probe::EchoService& real = probe::system_echo_service();
};

// The real echo service (counted) and list, everything else quiet and counted.
struct Quiet {
    int boxes = 0;
    int terminations = 0;
    std::vector<std::string> launched;
    std::string last_box;
    CountingEcho echo;
    std::unique_ptr<platform::ScopedServices> scope;
    Quiet() {
        platform::Services s = platform::services();
        s.make_tray = [] { return std::unique_ptr<platform::TrayService>(new QuietTray); };
        s.error_box = [this](const QString&, const QString& text) {
            ++boxes;
            last_box = text.toStdString();
        };
        s.launch = [this](const std::string& line) { launched.push_back(line); };
        s.terminate = [this] { ++terminations; };
        s.make_echo_attempt = [this] { return probe::blocking_echo_attempt(echo); };
        s.make_network_watch = nullptr;
        scope = std::make_unique<platform::ScopedServices>(s);
    }
};

void tick(TForm1& form) {
    QMetaObject::invokeMethod(form.Timer1, "timeout", Qt::DirectConnection);
    while (form.probing()) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QCoreApplication::processEvents();
}

// --- Modes ----------------------------------------------------------------------------------

int load(const std::string& part) {
    Quiet quiet;
    const long rss_before = status_kb("VmRSS:");
    const auto start = Clock::now();
    std::size_t entries = 0;
    std::unique_ptr<TForm1> form;
    std::vector<std::string> names;
    if (part == "store") {
        store::ListFile list(store::ListPaths::current().list_file());
        list.open_existing();
        while (!list.at_end()) names.push_back(store::record_name(list.read_record()));
        list.close();
        entries = names.size();
    } else {
        form = std::make_unique<TForm1>();
        entries = static_cast<std::size_t>(form->CheckListBox1->count());
    }
    std::printf("seconds=%.3f\nrss_growth_kb=%ld\npeak_rss_kb=%ld\nentries=%zu\nboxes=%d\n",
                seconds_since(start), status_kb("VmRSS:") - rss_before, status_kb("VmHWM:"),
                entries, quiet.boxes);
    if (form) {
        // The submenu, as it is first opened: every entry has its item by then.
        const auto opening = Clock::now();
        QMetaObject::invokeMethod(form->RunApplication1, "aboutToShow", Qt::DirectConnection);
        std::printf("submenu_open_seconds=%.3f\nsubmenu_items=%lld\npeak_rss_after_open_kb=%ld\n",
                    seconds_since(opening),
                    static_cast<long long>(form->RunApplication1->actions().size()),
                    status_kb("VmHWM:"));
    }
    std::fflush(stdout);
    return 0;
}

int ticks(long count) {
    Quiet quiet;
    TForm1 form;
    form.Timer1->stop();  // the test delivers the ticks
    const long warm_up = std::min<long>(500, count / 2);
    long fds_after_warm_up = 0, rss_after_warm_up = 0;
    double slowest = 0;
    const auto start = Clock::now();
    for (long i = 0; i < count; ++i) {
        if (i == warm_up) {
            fds_after_warm_up = open_descriptor_count();
            rss_after_warm_up = status_kb("VmRSS:");
        }
        const auto tick_start = Clock::now();
        tick(form);
        slowest = std::max(slowest, seconds_since(tick_start));
    }
    const double total = seconds_since(start);
    std::printf("ticks=%ld\nseconds=%.3f\nslowest_tick_ms=%.3f\n", count, total, slowest * 1000);
    std::printf("fds_after_warm_up=%ld\nfds_at_end=%d\n", fds_after_warm_up,
                open_descriptor_count());
    std::printf("rss_after_warm_up_kb=%ld\nrss_at_end_kb=%ld\n", rss_after_warm_up,
                status_kb("VmRSS:"));
    std::printf("launched_while_down=%zu\nboxes=%d\nterminations_while_down=%d\n",
                quiet.launched.size(), quiet.boxes, quiet.terminations);
    std::printf("probes_while_down=%ld\ntimed_out_while_down=%ld\n", quiet.echo.sent,
                quiet.echo.timed_out);

    // The network comes up: the next tick starts the list and ends.
    bool up = true;
    try {
        kestrun_test::bring_loopback_up();
        kestrun_test::add_loopback_address("8.8.8.8");
    } catch (const kestrun_test::SetupError& error) {
        std::printf("setup_error=%s\n", error.what());
        up = false;
    }
    std::printf("network_up=%d\n", up ? 1 : 0);
    tick(form);
    std::printf("launched_when_up=%zu\nterminations_when_up=%d\n", quiet.launched.size(),
                quiet.terminations);
    return 0;
}

int flood(const std::string& socket_kind) {
    using Kind = kestrun_test::EchoForger::Kind;
    // Both probe addresses are ours and silent: only forged packets can answer. The decoys:
    // the right identifier and sequence from another address, and, from the address asked,
    // other identifiers and other sequences, sent over and over.
    std::optional<kestrun_test::EchoForger> decoys;
    try {
        kestrun_test::allow_unprivileged_icmp(socket_kind == "datagram");
        kestrun_test::silent_addresses_on_loopback({"8.8.8.8", "1.1.1.1"});
        decoys.emplace(std::vector<Kind>{},
                       std::vector<Kind>{Kind::from_other_address, Kind::other_identifier,
                                         Kind::other_sequence});
    } catch (const kestrun_test::SetupError& error) {
        std::printf("error=cannot set up the namespace: %s\n", error.what());
        return 1;
    }
    Quiet quiet;
    TForm1 form;
    form.Timer1->stop();
    std::vector<double> durations;
    const long long decoys_before = decoys->sent();
    for (int i = 0; i < 3; ++i) {
        const auto start = Clock::now();
        tick(form);
        durations.push_back(seconds_since(start) * 1000);
    }
    const long long decoys_sent = decoys->sent() - decoys_before;
    std::printf("tick_ms=%.0f,%.0f,%.0f\n", durations[0], durations[1], durations[2]);
    std::printf("decoys_sent=%lld\nrequests_seen=%d\n", decoys_sent, decoys->requests_seen());
    std::printf("launched_under_flood=%zu\n", quiet.launched.size());
    // The control: one right reply among the same flood, and the tick starts the list.
    decoys->answer_each_request_with({Kind::correct_reply});
    tick(form);
    std::printf("launched_with_a_real_reply=%zu\nterminations=%d\n", quiet.launched.size(),
                quiet.terminations);
    return 0;
}

int list_descriptors(const std::string& file) {
    std::string text;
    for (const auto& [fd, target] : kestrun_test::open_descriptors())
        text += std::to_string(fd) + " " + target + "\n";
    // Running long enough for all the entries to be alive at once.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::string partial = file + ".part";
    std::ofstream(partial) << text;
    std::filesystem::rename(partial, file);
    return 0;
}

// Another program's ways of writing the list: our own atomic rewrite, a careless writer that
// truncates and writes in place (so half-written lists are seen), and removal.
int rewrite(const std::string& directory, long milliseconds) {
    const store::ListPaths paths(directory);
    std::mt19937 random(11);
    const auto until = Clock::now() + std::chrono::milliseconds(milliseconds);
    long atomic = 0, in_place = 0, removed = 0, failed = 0;
    while (Clock::now() < until) {
        std::vector<store::LaunchRecord> records;
        const int count = static_cast<int>(random() % 12);
        for (int i = 0; i < count; ++i)
            records.push_back(store::make_record("Name " + std::to_string(random() % 6),
                                                 "/bin/app" + std::to_string(i), random() % 2));
        switch (random() % 5) {
            case 0:
            case 1:
                try {
                    store::ListRewrite rewrite(paths);
                    for (const auto& r : records) rewrite.write(r);
                    rewrite.commit();
                    ++atomic;
                } catch (const store::IoError&) {
                    ++failed;  // the program's own rewrite took temp.dat
                }
                break;
            case 2:
            case 3: {
                const int fd =
                    ::open(paths.list_file().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                for (const auto& r : records) {
                    if (::write(fd, &r, sizeof r) < 0) break;
                    if (random() % 4 == 0)
                        std::this_thread::sleep_for(std::chrono::microseconds(50));
                }
                if (random() % 3 == 0) {
                    if (::write(fd, "tail", 4) < 0) ++failed;  // a partial record at the end
                }
                ::close(fd);
                ++in_place;
                break;
            }
            default:
                ::unlink(paths.list_file().c_str());
                ++removed;
                break;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 300));
    }
    std::printf("atomic=%ld\nin_place=%ld\nremoved=%ld\nfailed=%ld\n", atomic, in_place, removed,
                failed);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const std::string mode = argv[1];
    if (mode == "fds" && argc == 3) return list_descriptors(argv[2]);
    if (mode == "rewrite" && argc == 4) return rewrite(argv[2], std::atol(argv[3]));

    // Into the namespace before any thread starts: it is the calling thread's.
    if (mode == "ticks" || mode == "flood") {
        const std::string refused = kestrun_test::enter_new_network_namespace();
        if (!refused.empty()) {
            std::printf("skip=%s\n", refused.c_str());
            return 0;
        }
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    if (mode == "load" && argc == 3) return load(argv[2]);
    if (mode == "ticks" && argc == 3) return ticks(std::atol(argv[2]));
    if (mode == "flood" && argc == 3) return flood(argv[2]);
    return 2;
}
