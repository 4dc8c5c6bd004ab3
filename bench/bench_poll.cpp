// zeva's polling rate against a plain blocking socket loop, and its memory
// over a long run. Everything talks to one zeva-sim program on loopback,
// started here on free ports, so both clients meet the same device in the
// same run.
//
//  1. Rate, TCP and UDP: `zeva poll --interval 0 --quiet` for a few seconds
//     against a loop that sends a read request and blocks until the whole
//     answer is in, alternated over several rounds; the medians compared.
//  2. Memory: resident set size of `zeva poll --count N --interval 0 --quiet`
//     shortly after it starts and just before it ends.
//
//   zeva-bench-poll [--seconds S] [--rounds R] [--exchanges N] [--no-memory]

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>

#include <algorithm>
#include <cstring>
#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

namespace {

const QString kZeva = QStringLiteral(ZEVA_PATH);
const QString kSim = QStringLiteral(ZEVA_SIM_PATH);

// Read %MW0, sequence number 0: the same 34 bytes the window sends.
const QByteArray kReadMW0 = QByteArray::fromHex("564F524E2D4B454C54550000003300000E00003854000200000001000400254D5730");

struct Ports {
    quint16 tcp = 0;
    quint16 udp = 0;
};

bool StartSim(QProcess& sim, Ports* ports)
{
    sim.start(kSim, {"--tcp-port", "0", "--udp-port", "0"});
    if (!sim.waitForStarted(10000) || !sim.waitForReadyRead(10000))
        return false;
    const auto m = QRegularExpression(R"(tcp (\d+) udp (\d+))").match(QString::fromLocal8Bit(sim.readLine()));
    ports->tcp = quint16(m.captured(1).toUInt());
    ports->udp = quint16(m.captured(2).toUInt());
    return m.hasMatch();
}

// Blocks until n bytes are in; false on error, close or a 2 s silence.
bool ReadAll(int fd, char* buf, std::size_t n)
{
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = ::recv(fd, buf + got, n - got, 0);
        if (r <= 0)
            return false;
        got += std::size_t(r);
    }
    return true;
}

// Send, wait for the whole answer, again, for `seconds`. Exchanges per second.
double BlockingLoop(bool udp, quint16 port, double seconds)
{
    const int fd = ::socket(AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, 0);
    if (fd < 0)
        return 0;
    timeval limit{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        return 0;
    }
    char answer[65536 + 20];
    long done = 0;
    QElapsedTimer clock;
    clock.start();
    const qint64 end = qint64(seconds * 1e9);
    while (clock.nsecsElapsed() < end) {
        if (::send(fd, kReadMW0.constData(), std::size_t(kReadMW0.size()), 0) != kReadMW0.size())
            break;
        if (udp) {
            if (::recv(fd, answer, sizeof answer, 0) <= 0)
                break;
        } else {
            if (!ReadAll(fd, answer, 20))
                break;
            const std::size_t body = quint8(answer[16]) | (quint8(answer[17]) << 8);
            if (!ReadAll(fd, answer + 20, body))
                break;
        }
        ++done;
    }
    const double elapsed = double(clock.nsecsElapsed()) / 1e9;
    ::close(fd);
    return double(done) / elapsed;
}

QStringList Target(bool udp, const Ports& ports)
{
    return udp ? QStringList{"-u", "-p", QString::number(ports.udp)} : QStringList{"-p", QString::number(ports.tcp)};
}

// zeva for `seconds`; answered exchanges per second.
double ZevaRun(bool udp, const Ports& ports, double seconds)
{
    QProcess zeva;
    zeva.start(kZeva, Target(udp, ports) + QStringList{"--json", "--quiet", "--interval", "0", "--duration",
                                                       QString::number(seconds), "poll", "%MW0"});
    if (!zeva.waitForFinished(int(seconds * 1000) + 30000))
        return 0;
    const QJsonObject summary = QJsonDocument::fromJson(zeva.readAllStandardOutput().trimmed())
                                    .object().value("summary").toObject();
    return summary.value("answered").toDouble() / seconds;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

long RssKb(qint64 pid, const char* field = "VmRSS:")
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(int(std::strlen(field))).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

void Memory(bool udp, const Ports& ports, long exchanges)
{
    QProcess zeva;
    QElapsedTimer clock;
    clock.start();
    zeva.start(kZeva, Target(udp, ports) + QStringList{"--json", "--quiet", "--interval", "0", "--count",
                                                       QString::number(exchanges), "poll", "%MW0"});
    if (!zeva.waitForStarted(10000))
        return;
    const qint64 pid = zeva.processId();
    long first = -1, last = -1, peak = -1;
    qint64 firstAt = 0;
    // Sampled every 50 ms; bounded by a generous limit of its own.
    while (!zeva.waitForFinished(50) && clock.elapsed() < 3600 * 1000) {
        const long rss = RssKb(pid);
        const long hwm = RssKb(pid, "VmHWM:");
        if (rss <= 0)
            continue;
        if (first < 0 && clock.elapsed() >= 500) {
            first = rss;
            firstAt = clock.elapsed();
        }
        last = rss;
        peak = std::max(peak, hwm);
    }
    const double seconds = double(clock.elapsed()) / 1000;
    const QJsonObject summary = QJsonDocument::fromJson(zeva.readAllStandardOutput().trimmed())
                                    .object().value("summary").toObject();
    std::printf("%s memory: %.0f exchanges answered in %.1f s; RSS %ld kB at %.1f s, %ld kB at the end, "
                "peak %ld kB\n",
                udp ? "UDP" : "TCP", summary.value("answered").toDouble(), seconds, first, double(firstAt) / 1000,
                last, peak);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const auto value = [&](const char* name, double fallback) {
        const qsizetype i = args.indexOf(QLatin1String(name));
        return i > 0 && i + 1 < args.size() ? args[i + 1].toDouble() : fallback;
    };
    const double seconds = value("--seconds", 3);
    const int rounds = int(value("--rounds", 3));
    const long exchanges = long(value("--exchanges", 1000000));

    QProcess sim;
    Ports ports;
    if (!StartSim(sim, &ports)) {
        std::fprintf(stderr, "cannot start %s\n", qPrintable(kSim));
        return 1;
    }
    std::printf("zeva-sim on 127.0.0.1 tcp %u udp %u; %d rounds of %.1f s each\n", ports.tcp, ports.udp, rounds,
                seconds);
    std::fflush(stdout);

    for (const bool udp : {false, true}) {
        std::vector<double> raw, zeva;
        for (int r = 0; r < rounds; ++r) {
            raw.push_back(BlockingLoop(udp, udp ? ports.udp : ports.tcp, seconds));
            zeva.push_back(ZevaRun(udp, ports, seconds));
        }
        const double rawRate = Median(raw), zevaRate = Median(zeva);
        std::printf("%s rate: blocking loop %.0f/s, zeva poll %.0f/s (medians of %d), ratio %.2f (target 0.80)\n",
                    udp ? "UDP" : "TCP", rawRate, zevaRate, rounds, rawRate > 0 ? zevaRate / rawRate : 0.0);
        std::fflush(stdout);
    }

    if (!args.contains(QLatin1String("--no-memory"))) {
        Memory(false, ports, exchanges);
        std::fflush(stdout);
        Memory(true, ports, exchanges);
    }

    sim.terminate();
    sim.waitForFinished(10000);
    return 0;
}
