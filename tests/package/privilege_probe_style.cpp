// A Qt style plugin that any user could put on QT_PLUGIN_PATH: as it is loaded, it notes what
// privilege the process it was loaded into holds, into the file KESTRUN_TEST_PLUGIN_REPORT names.
#include <sys/auxv.h>
#include <sys/socket.h>
#include <unistd.h>

#include <linux/if_ether.h>
#include <netinet/in.h>
#include <QCommonStyle>
#include <QStylePlugin>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

std::string status_field(const std::string& name) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(name + ":", 0) == 0)
            return line.substr(line.find_first_not_of(" \t", name.size() + 1));
    }
    return "(none)";
}

// EPERM, or OPENED when the socket could be had.
std::string socket_outcome(int domain, int type, int protocol) {
    const int fd = ::socket(domain, type, protocol);
    if (fd >= 0) {
        ::close(fd);
        return "OPENED";
    }
    return errno == EPERM ? "EPERM" : std::strerror(errno);
}

const bool reported = [] {
    const char* path = std::getenv("KESTRUN_TEST_PLUGIN_REPORT");
    if (path == nullptr) return false;
    std::ofstream report(path);
    for (const char* field : {"CapEff", "CapPrm", "CapAmb"})
        report << field << '=' << status_field(field) << '\n';
    report << "AT_SECURE=" << ::getauxval(AT_SECURE) << '\n';
    report << "AF_PACKET=" << socket_outcome(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL)) << '\n';
    report << "SOCK_RAW=" << socket_outcome(AF_INET, SOCK_RAW, IPPROTO_ICMP) << '\n';
    return true;
}();

}  // namespace

class PrivilegeProbeStyle : public QStylePlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QStyleFactoryInterface_iid FILE "privilege_probe_style.json")

  public:
    QStyle* create(const QString&) override { return new QCommonStyle; }
};

#include "privilege_probe_style.moc"
