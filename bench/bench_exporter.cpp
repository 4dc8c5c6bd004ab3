// zeva-exporter under many scrapes at once: zeva-sim --devices 100 and the
// exporter run as child processes on free loopback ports; C concurrent
// keep-alive HTTP connections (default 100) each ask for a probe, wait for
// the whole answer and ask again, every probe a device of its own in turn,
// until N probes (default 100000) are answered. Prints probes per second, the
// probe time percentiles as a scraper sees them, the exporter's resident
// memory after a warm-up and at the end, and its descriptors before and
// after. With --idle I, I connections from 127.0.0.2 that send nothing are
// held open through the run (the exporter's --web.max-connections is M,
// default 2000); --exporter runs another build of the exporter, to compare
// two side by side.
//
//   zeva-bench-exporter [--probes N] [--concurrency C] [--devices D] [--idle I]
//                       [--max-connections M] [--exporter PATH]
#include <FileLimit.h>

#include <QCoreApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

long ResidentKb(qint64 pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(f, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

int OpenFiles(qint64 pid)
{
    int n = 0;
    const std::string path = "/proc/" + std::to_string(pid) + "/fd";
    if (DIR* d = opendir(path.c_str())) {
        while (const dirent* e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

bool WaitLine(QProcess& p, const QRegularExpression& re, QRegularExpressionMatch* m)
{
    QByteArray seen;
    for (int i = 0; i < 200; ++i) {
        p.waitForReadyRead(100);
        seen += p.readAll();
        *m = re.match(QString::fromUtf8(seen));
        if (m->hasMatch())
            return true;
    }
    std::fprintf(stderr, "no start line: %s\n", seen.constData());
    return false;
}

struct Conn {
    int fd = -1;
    std::string in;
    Clock::time_point sent;
};

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    long probes = 100000, concurrency = 100, devices = 100, idle = 0, maxConnections = 0;
    QString exporterPath = QStringLiteral(ZEVA_EXPORTER_PATH);
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        const long v = std::atol(argv[i + 1]);
        if (a == "--exporter")
            exporterPath = QString::fromLocal8Bit(argv[i + 1]);
        else if (a == "--idle")
            idle = v;
        else if (a == "--max-connections")
            maxConnections = v;
        else if (a == "--probes")
            probes = v;
        else if (a == "--concurrency")
            concurrency = v;
        else if (a == "--devices")
            devices = v;
    }

    QProcess sim;
    sim.setProcessChannelMode(QProcess::MergedChannels);
    sim.start(QStringLiteral(ZEVA_SIM_PATH), {"--tcp-port", "0", "--udp-port", "0", "--devices", QString::number(devices),
                                              "--max-connections", "1024"});
    QRegularExpressionMatch m;
    if (!sim.waitForStarted() || !WaitLine(sim, QRegularExpression(R"(tcp ([\d,]+) udp)"), &m))
        return 1;
    std::vector<int> ports;
    for (const QString& p : m.captured(1).split(QLatin1Char(',')))
        ports.push_back(p.toInt());
    sim.setProcessChannelMode(QProcess::ForwardedChannels);

    QTemporaryDir dir;
    const QString config = dir.filePath("exporter.yml");
    {
        std::ofstream f(config.toStdString());
        f << "allow: [127.0.0.0/8]\nmodules:\n  bench:\n    variables:\n      - name: \"%MW0\"\n";
    }
    QProcess exporter;
    // Its log is read only up to the line naming its port; at info level
    // nothing follows per probe.
    exporter.setProcessChannelMode(QProcess::MergedChannels);
    QStringList exporterArgs{"--config.file", config, "--web.listen-address", "127.0.0.1:0", "--log.level", "info"};
    if (maxConnections > 0)
        exporterArgs += {"--web.max-connections", QString::number(maxConnections)};
    exporter.start(exporterPath, exporterArgs);
    if (!exporter.waitForStarted() || !WaitLine(exporter, QRegularExpression(R"(address=127\.0\.0\.1:(\d+))"), &m))
        return 1;
    const int httpPort = m.captured(1).toInt();
    const qint64 pid = exporter.processId();

    const int ep = epoll_create1(EPOLL_CLOEXEC);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(std::uint16_t(httpPort));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<Conn> conns(static_cast<std::size_t>(concurrency));
    char buf[65536];
    long next = 0, answered = 0, failed = 0;
    std::vector<double> times;
    times.reserve(std::size_t(probes));
    const auto send = [&](Conn& c) {
        const std::string req = "GET /probe?module=bench&target=127.0.0.1:" + std::to_string(ports[std::size_t(next % long(ports.size()))])
            + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        ++next;
        c.in.clear();
        c.sent = Clock::now();
        return ::write(c.fd, req.data(), req.size()) == ssize_t(req.size());
    };
    // One probe first, on a connection of its own: what the exporter opens
    // once, on its first probe, is not counted as left open.
    {
        Conn first;
        first.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(first.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            return 1;
        const std::string req = "GET /probe?module=bench&target=127.0.0.1:" + std::to_string(ports[0])
            + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        [[maybe_unused]] const auto w = ::write(first.fd, req.data(), req.size());
        // The answer ends with the last variable's error code.
        for (ssize_t got = 0; first.in.find("zeva_device_error_code{") == std::string::npos
             && (got = ::read(first.fd, buf, sizeof buf)) > 0;)
            first.in.append(buf, std::size_t(got));
        ::close(first.fd);
        QThread::msleep(200);
    }
    // Idle connections from another loopback address, held to the end.
    if (idle > 0)
        platform::posix::RaiseOpenFileLimit();
    std::vector<int> held;
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(0x7F000002); // 127.0.0.2
    for (long i = 0; i < idle; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0
            || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            std::fprintf(stderr, "cannot hold idle connection %ld: %s\n", i, std::strerror(errno));
            return 1;
        }
        held.push_back(fd);
    }
    if (idle > 0)
        QThread::msleep(1000);
    const int fdsBefore = OpenFiles(pid);
    long rssWarm = -1;
    const long warmUp = std::min(probes / 10, 1000L);
    Clock::time_point start = Clock::now();
    for (std::size_t i = 0; i < conns.size(); ++i) {
        Conn& c = conns[i];
        c.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (::connect(c.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            return 1;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = i;
        epoll_ctl(ep, EPOLL_CTL_ADD, c.fd, &ev);
        send(c);
    }
    epoll_event events[256];
    while (answered + failed < probes) {
        const int n = epoll_wait(ep, events, 256, 10000);
        if (n <= 0) {
            std::fprintf(stderr, "no answer for 10 s\n");
            return 1;
        }
        for (int e = 0; e < n; ++e) {
            Conn& c = conns[events[e].data.u64];
            const ssize_t got = ::read(c.fd, buf, sizeof buf);
            if (got <= 0) {
                std::fprintf(stderr, "connection closed by the exporter\n");
                return 1;
            }
            c.in.append(buf, std::size_t(got));
            const std::size_t head = c.in.find("\r\n\r\n");
            if (head == std::string::npos)
                continue;
            const std::size_t cl = c.in.find("Content-Length: ");
            const std::size_t length = cl < head ? std::stoul(c.in.substr(cl + 16)) : 0;
            if (c.in.size() < head + 4 + length)
                continue;
            const double ms = std::chrono::duration<double, std::milli>(Clock::now() - c.sent).count();
            const bool ok = c.in.find("zeva_probe_success 1") != std::string::npos;
            ok ? ++answered : ++failed;
            times.push_back(ms);
            if (answered + failed == warmUp) {
                rssWarm = ResidentKb(pid);
                times.clear();
                start = Clock::now();
            }
            if (next < probes)
                send(c);
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const long rssEnd = ResidentKb(pid);
    for (Conn& c : conns)
        ::close(c.fd);
    ::close(ep);
    // The exporter closes its side once it sees ours closed.
    int fdsAfter = OpenFiles(pid);
    for (int i = 0; i < 50 && fdsAfter > fdsBefore; ++i) {
        QThread::msleep(100);
        fdsAfter = OpenFiles(pid);
    }
    std::sort(times.begin(), times.end());
    const auto pct = [&](double p) { return times.empty() ? 0 : times[std::min(times.size() - 1, std::size_t(p * double(times.size())))]; };
    std::printf("%ld probes (%ld failed) over %ld connections against %zu devices\n", answered + failed, failed,
                concurrency, ports.size());
    std::printf("after a warm-up of %ld: %.0f probes/s; probe time p50 %.2f ms, p99 %.2f ms, max %.2f ms\n", warmUp,
                double(times.size()) / seconds, pct(0.50), pct(0.99), times.empty() ? 0 : times.back());
    std::printf("exporter resident memory %ld kB after the warm-up, %ld kB at the end (%+ld kB)\n", rssWarm, rssEnd,
                rssEnd - rssWarm);
    std::printf("exporter descriptors %d before, %d after", fdsBefore, fdsAfter);
    std::printf(idle > 0 ? " (%ld idle connections from 127.0.0.2 held)\n" : "\n", idle);
    for (int fd : held)
        ::close(fd);
    exporter.terminate();
    exporter.waitForFinished();
    sim.terminate();
    sim.waitForFinished();
    return failed == 0 ? 0 : 1;
}
