// zeva's polling rate against a plain blocking socket loop, and its memory
// over a long run. Everything talks to one zeva-sim program on loopback,
// started here on free ports, so both clients meet the same device in the
// same run.
//
//  1. Rate, TCP and UDP: `zeva poll --interval 0 --quiet` for a few seconds
//     against a loop that sends a read request and blocks until the whole
//     answer is in, alternated over several rounds; and the processor time
//     each client spends per exchange, which a busy machine disturbs less.
//  2. Memory: resident set size of `zeva poll --count N --interval 0 --quiet`
//     shortly after it starts and just before it ends.
//
//  3. With --pcap: `zeva poll --pcap FILE` as well in each round, its rate
//     against that of `zeva poll` without it.
//
//   zeva-bench-poll [--seconds S] [--rounds R] [--exchanges N] [--no-memory] [--pin] [--pcap]
//   (--rounds 0: memory only; --pin: both clients on CPU 0, the simulator on
//   CPU 1, so that the kernel cannot place the plain loop beside the
//   simulator for some rounds and not for others)

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
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
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
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

struct Rate {
    double perSecond = 0;
    double cpuMicros = 0; // the client's processor time (user and system) per exchange
};

double CpuMicros(const rusage& u)
{
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e6 + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

// Send, wait for the whole answer, again, for `seconds`.
Rate BlockingLoop(bool udp, quint16 port, double seconds)
{
    const int fd = ::socket(AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, 0);
    if (fd < 0)
        return {};
    timeval limit{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        return {};
    }
    char answer[65536 + 20];
    long done = 0;
    rusage before{}, after{};
    ::getrusage(RUSAGE_THREAD, &before);
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
    ::getrusage(RUSAGE_THREAD, &after);
    ::close(fd);
    if (done == 0)
        return {};
    return {double(done) / elapsed, (CpuMicros(after) - CpuMicros(before)) / double(done)};
}

QStringList Target(bool udp, const Ports& ports)
{
    return udp ? QStringList{"-u", "-p", QString::number(ports.udp)} : QStringList{"-p", QString::number(ports.tcp)};
}

// Runs zeva to its end: its standard output and what it used.
QByteArray RunZeva(const QStringList& args, rusage* used)
{
    int out[2];
    if (::pipe(out) != 0)
        return {};
    std::vector<QByteArray> storage{kZeva.toLocal8Bit()};
    for (const QString& a : args)
        storage.push_back(a.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& a : storage)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::close(out[0]);
        ::close(out[1]);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    QByteArray output;
    char buf[4096];
    for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;)
        output.append(buf, n);
    ::close(out[0]);
    int status = 0;
    if (pid < 0 || ::wait4(pid, &status, 0, used) != pid)
        return {};
    return output;
}

QJsonObject Summary(const QByteArray& output)
{
    return QJsonDocument::fromJson(output.trimmed()).object().value("summary").toObject();
}

// zeva for `seconds`.
Rate ZevaRun(bool udp, const Ports& ports, double seconds, const QStringList& extra = {})
{
    rusage used{};
    const QJsonObject summary = Summary(RunZeva(Target(udp, ports) + extra
                                                    + QStringList{"--json", "--quiet", "--interval", "0", "--duration",
                                                                  QString::number(seconds), "poll", "%MW0"},
                                                &used));
    const double answered = summary.value("answered").toDouble();
    if (answered <= 0)
        return {};
    return {answered / seconds, CpuMicros(used) / answered};
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
    const QJsonObject summary = Summary(zeva.readAllStandardOutput());
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
    const int rounds = int(value("--rounds", 5));
    const long exchanges = long(value("--exchanges", 1000000));

    QProcess sim;
    Ports ports;
    if (!StartSim(sim, &ports)) {
        std::fprintf(stderr, "cannot start %s\n", qPrintable(kSim));
        return 1;
    }
    std::printf("zeva-sim on 127.0.0.1 tcp %u udp %u; %d rounds of %.1f s each\n", ports.tcp, ports.udp, rounds,
                seconds);
    if (args.contains(QLatin1String("--pin"))) {
        cpu_set_t first, second;
        CPU_ZERO(&first);
        CPU_ZERO(&second);
        CPU_SET(0, &first);
        CPU_SET(1, &second);
        // zeva is forked from here and inherits CPU 0.
        if (sched_setaffinity(pid_t(sim.processId()), sizeof second, &second) != 0
            || sched_setaffinity(0, sizeof first, &first) != 0) {
            std::fprintf(stderr, "zeva-bench-poll: cannot pin to CPUs 0 and 1\n");
            return 1;
        }
        std::printf("pinned: clients on CPU 0, simulator on CPU 1\n");
    }
    std::fflush(stdout);
    const bool pcap = args.contains(QLatin1String("--pcap"));
    const QString pcapFile = QDir::temp().filePath(QStringLiteral("zeva-bench-poll-%1.pcapng").arg(app.applicationPid()));

    for (const bool udp : {false, true}) {
        if (rounds <= 0)
            break;
        // Each round runs both clients back to back, so that a change in the
        // machine's load touches both; the ratio is the median of the rounds'.
        std::vector<double> raw, zeva, ratios, rawCpu, zevaCpu, captured, pcapRatios, capturedCpu;
        for (int r = 0; r < rounds; ++r) {
            const Rate a = BlockingLoop(udp, udp ? ports.udp : ports.tcp, seconds);
            const Rate b = ZevaRun(udp, ports, seconds);
            raw.push_back(a.perSecond);
            zeva.push_back(b.perSecond);
            rawCpu.push_back(a.cpuMicros);
            zevaCpu.push_back(b.cpuMicros);
            ratios.push_back(a.perSecond > 0 ? b.perSecond / a.perSecond : 0.0);
            std::printf("  %s round %d: blocking loop %.0f/s, zeva poll %.0f/s, ratio %.2f\n", udp ? "UDP" : "TCP",
                        r + 1, a.perSecond, b.perSecond, ratios.back());
            if (pcap) {
                const Rate c = ZevaRun(udp, ports, seconds, {"--pcap", pcapFile});
                captured.push_back(c.perSecond);
                capturedCpu.push_back(c.cpuMicros);
                pcapRatios.push_back(b.perSecond > 0 ? c.perSecond / b.perSecond : 0.0);
                std::printf("  %s round %d: zeva poll --pcap %.0f/s, ratio to zeva poll %.2f (%lld bytes captured)\n",
                            udp ? "UDP" : "TCP", r + 1, c.perSecond, pcapRatios.back(),
                            static_cast<long long>(QFileInfo(pcapFile).size()));
                QFile::remove(pcapFile);
            }
            std::fflush(stdout);
        }
        if (pcap)
            std::printf("%s capture: zeva poll --pcap %.0f/s, %.1f us per exchange; ratio to zeva poll %.2f "
                        "(target 0.90)\n",
                        udp ? "UDP" : "TCP", Median(captured), Median(capturedCpu), Median(pcapRatios));
        std::printf("%s rate: blocking loop %.0f/s, zeva poll %.0f/s (medians of %d rounds), ratio %.2f "
                    "(target 0.90)\n",
                    udp ? "UDP" : "TCP", Median(raw), Median(zeva), rounds, Median(ratios));
        std::printf("%s client processor time per exchange: blocking loop %.1f us, zeva poll %.1f us\n",
                    udp ? "UDP" : "TCP", Median(rawCpu), Median(zevaCpu));
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
