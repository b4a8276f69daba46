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

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QListWidget>
#include <QMenu>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "launch_record.h"
#include "list_file.h"
#include "list_rewrite.h"
#include "ping_funcs.h"
#include "services.h"
#include "unit1.h"

namespace {

using Clock = std::chrono::steady_clock;

long status_kb(const char* field) {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field)));
    return -1;
}

int open_descriptors() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count - 1;  // the listing's own
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct QuietTray : platform::TrayService {
    void notify_icon(platform::TrayCommand, const platform::TrayIconRecord&) override {}
    void set_host_menu(QMenu*) override {}
};

// The real echo service and list, everything else quiet and counted.
struct Quiet {
    int boxes = 0;
    int terminations = 0;
    std::vector<std::string> launched;
    std::string last_box;
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
        scope = std::make_unique<platform::ScopedServices>(s);
    }
};

void tick(TForm1& form) {
    QMetaObject::invokeMethod(form.Timer1, "timeout", Qt::DirectConnection);
    QCoreApplication::processEvents();
}

// --- Network namespace set-up ---------------------------------------------------------------

bool enter_network_namespace() {
    if (::unshare(CLONE_NEWNET) == 0) return true;
    std::printf("skip=cannot make a network namespace (%s); needs root or CAP_SYS_ADMIN\n",
                std::strerror(errno));
    return false;
}

bool run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

bool write_sysctl(const std::string& name, const std::string& value) {
    std::ofstream file("/proc/sys/net/ipv4/" + name);
    file << value;
    file.close();
    return static_cast<bool>(file);
}

std::uint32_t address_of(const char* dotted) {
    in_addr address{};
    ::inet_pton(AF_INET, dotted, &address);
    return address.s_addr;
}

int raw_icmp_socket(const char* bind_to) {
    const int fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd >= 0 && bind_to != nullptr) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = address_of(bind_to);
        ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
    }
    return fd;
}

std::vector<std::uint8_t> echo_reply(std::uint16_t id, std::uint16_t seq,
                                     const std::vector<std::uint8_t>& payload) {
    std::vector<std::uint8_t> m(8 + payload.size());
    if (!payload.empty()) std::memcpy(m.data() + 8, payload.data(), payload.size());
    m[4] = static_cast<std::uint8_t>(id >> 8);
    m[5] = static_cast<std::uint8_t>(id);
    m[6] = static_cast<std::uint8_t>(seq >> 8);
    m[7] = static_cast<std::uint8_t>(seq);
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < m.size(); i += 2)
        sum += (static_cast<std::uint32_t>(m[i]) << 8) + (i + 1 < m.size() ? m[i + 1] : 0);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    const auto check = static_cast<std::uint16_t>(~sum);
    m[2] = static_cast<std::uint8_t>(check >> 8);
    m[3] = static_cast<std::uint8_t>(check);
    return m;
}

// Watches the probe's echo requests and floods the namespace with replies that must not
// count: the right identifier and sequence from another address, and, from the address asked,
// other identifiers and other sequences. With `answer` set it also sends the one right reply.
class DecoyFlood {
  public:
    std::atomic<bool> answer{false};
    std::atomic<long long> sent{0};
    std::atomic<int> requests{0};

    DecoyFlood() {
        listen_ = raw_icmp_socket(nullptr);
        // Echo requests only (SOL_RAW/ICMP_FILTER: a set bit drops that type), so that the
        // flood does not crowd them out of the receive buffer.
        constexpr int icmp_filter_option = 1;
        const std::uint32_t filter = ~(1u << 8);
        ::setsockopt(listen_, SOL_RAW, icmp_filter_option, &filter, sizeof filter);
        for (const char* source : {"8.8.8.8", "1.1.1.1", "127.0.0.9"})
            senders_.push_back(raw_icmp_socket(source));
        watcher_ = std::thread([this] { watch(); });
        flooder_ = std::thread([this] { flood(); });
    }
    ~DecoyFlood() {
        stop_ = true;
        watcher_.join();
        flooder_.join();
        ::close(listen_);
        for (int fd : senders_) ::close(fd);
    }

  private:
    struct Request {
        std::uint32_t from = 0, to = 0;
        std::uint16_t id = 0, seq = 0;
        std::vector<std::uint8_t> payload;
    };

    void watch() {
        std::vector<std::uint8_t> in(2048);
        while (!stop_) {
            pollfd p{listen_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            const ssize_t n = ::recv(listen_, in.data(), in.size(), 0);
            if (n < 28) continue;
            const std::size_t ihl = static_cast<std::size_t>(in[0] & 0x0F) * 4;
            Request r;
            std::memcpy(&r.from, &in[12], 4);
            std::memcpy(&r.to, &in[16], 4);
            if (in[ihl] != 8) continue;  // only requests; our decoys are replies
            r.id = static_cast<std::uint16_t>((in[ihl + 4] << 8) | in[ihl + 5]);
            r.seq = static_cast<std::uint16_t>((in[ihl + 6] << 8) | in[ihl + 7]);
            r.payload.assign(in.begin() + static_cast<long>(ihl) + 8, in.begin() + n);
            ++requests;
            if (answer) send(r.to, r.from, echo_reply(r.id, r.seq, r.payload));
            const std::lock_guard<std::mutex> lock(mutex_);
            current_ = r;
        }
    }

    void flood() {
        std::mt19937 random(7);
        while (!stop_) {
            Request r;
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                r = current_;
            }
            if (r.to == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            const auto other = static_cast<std::uint16_t>(1 + random() % 0xFFFE);
            send(address_of("127.0.0.9"), r.from, echo_reply(r.id, r.seq, r.payload));
            send(r.to, r.from,
                 echo_reply(static_cast<std::uint16_t>(r.id ^ other), r.seq, r.payload));
            send(r.to, r.from,
                 echo_reply(r.id, static_cast<std::uint16_t>(r.seq ^ other), r.payload));
        }
    }

    void send(std::uint32_t from, std::uint32_t to, const std::vector<std::uint8_t>& message) {
        int fd = senders_[2];
        if (from == address_of("8.8.8.8")) fd = senders_[0];
        if (from == address_of("1.1.1.1")) fd = senders_[1];
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = to;
        if (::sendto(fd, message.data(), message.size(), 0, reinterpret_cast<sockaddr*>(&address),
                     sizeof address) > 0)
            ++sent;
    }

    int listen_ = -1;
    std::vector<int> senders_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    Request current_;
    std::thread watcher_, flooder_;
};

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
            fds_after_warm_up = open_descriptors();
            rss_after_warm_up = status_kb("VmRSS:");
        }
        const auto tick_start = Clock::now();
        tick(form);
        slowest = std::max(slowest, seconds_since(tick_start));
    }
    const double total = seconds_since(start);
    std::printf("ticks=%ld\nseconds=%.3f\nslowest_tick_ms=%.3f\n", count, total, slowest * 1000);
    std::printf("fds_after_warm_up=%ld\nfds_at_end=%d\n", fds_after_warm_up, open_descriptors());
    std::printf("rss_after_warm_up_kb=%ld\nrss_at_end_kb=%ld\n", rss_after_warm_up,
                status_kb("VmRSS:"));
    std::printf("launched_while_down=%zu\nboxes=%d\nterminations_while_down=%d\n",
                quiet.launched.size(), quiet.boxes, quiet.terminations);

    // The network comes up: the next tick starts the list and ends.
    const bool up = run("ip link set lo up") && run("ip addr add 8.8.8.8/32 dev lo");
    std::printf("network_up=%d\n", up ? 1 : 0);
    tick(form);
    std::printf("launched_when_up=%zu\nterminations_when_up=%d\n", quiet.launched.size(),
                quiet.terminations);
    return 0;
}

int flood(const std::string& socket_kind) {
    // Both probe addresses are ours and silent: only forged packets can answer.
    const bool ready =
        write_sysctl("ping_group_range", socket_kind == "datagram" ? "0 2147483647" : "1 0") &&
        run("ip link set lo up") && run("ip addr add 8.8.8.8/32 dev lo") &&
        run("ip addr add 1.1.1.1/32 dev lo") && write_sysctl("icmp_echo_ignore_all", "1");
    if (!ready) {
        std::printf("error=cannot set up the namespace (is iproute2 installed?)\n");
        return 1;
    }
    Quiet quiet;
    TForm1 form;
    form.Timer1->stop();
    DecoyFlood decoys;
    std::vector<double> durations;
    long long decoys_before = decoys.sent;
    for (int i = 0; i < 3; ++i) {
        const auto start = Clock::now();
        tick(form);
        durations.push_back(seconds_since(start) * 1000);
    }
    const long long decoys_sent = decoys.sent - decoys_before;
    std::printf("tick_ms=%.0f,%.0f,%.0f\n", durations[0], durations[1], durations[2]);
    std::printf("decoys_sent=%lld\nrequests_seen=%d\n", decoys_sent, decoys.requests.load());
    std::printf("launched_under_flood=%zu\n", quiet.launched.size());
    // The control: one right reply among the same flood, and the tick starts the list.
    decoys.answer = true;
    tick(form);
    std::printf("launched_with_a_real_reply=%zu\nterminations=%d\n", quiet.launched.size(),
                quiet.terminations);
    return 0;
}

int list_descriptors(const std::string& file) {
    std::string text;
    const int dir = ::open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const std::string name = entry.path().filename().string();
        if (name == std::to_string(dir)) continue;
        std::error_code ignored;
        const std::string target = std::filesystem::read_symlink(entry.path(), ignored).string();
        if (target == "/proc/" + std::to_string(::getpid()) + "/fd") continue;  // the listing
        text += name + " " + target + "\n";
    }
    ::close(dir);
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
    if ((mode == "ticks" || mode == "flood") && !enter_network_namespace()) return 0;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    if (mode == "load" && argc == 3) return load(argv[2]);
    if (mode == "ticks" && argc == 3) return ticks(std::atol(argv[2]));
    if (mode == "flood" && argc == 3) return flood(argv[2]);
    return 2;
}
