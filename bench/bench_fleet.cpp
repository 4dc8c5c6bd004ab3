// zeva polling many devices at once, against one zeva-sim program serving
// them all on loopback, started here on free ports.
//
//  1. fleet: `zeva poll` of 1,000 devices at -i 100 (10 rounds a second), over
//     TCP and over UDP: what was sent and answered (nothing may be lost),
//     zeva's processor time (user and system, from wait4) as a share of the
//     wall time, and its peak resident set size.
//  2. b2b: `zeva poll -i 0` of 100 devices against 100 plain blocking socket
//     loops, one thread each on its own device, alternated over a few rounds
//     in the same run: total exchanges a second of each and their ratio.
//  3. cost: zeva's processor time per exchange with 1,000 devices (from 1)
//     against one device at -i 100 for as long, and one device at -i 0; each
//     as a whole run and net of a one-round run of the same devices, which
//     takes away what starting, connecting and ending cost.
//
//  4. flood (only with --only flood): 20 good devices and one that floods
//     answers matching no request (zeva-sim --fault flood), at -i 50
//     --timeout 300 -w 5, text, JSON and quiet: the good devices' answers of
//     4,000, how long past -w the run took, and the output's size; then at
//     -i 10 -q, the good devices alone and beside the flooder, side by side
//     over the rounds: the share of their answers they keep.
//
//   zeva-bench-fleet [--seconds S] [--b2b-seconds S] [--rounds R] [--devices N]
//                    [--pin] [--only fleet|b2b|cost|flood]
//   (--seconds: length of the fleet and cost runs, default 30; --b2b-seconds:
//   length of each client's turn in a b2b round, default 5; --devices: the
//   fleet's size, default 1000; --pin: zeva and the plain loops on CPU 0, the
//   simulator on CPU 1; --only cost runs the fleet too, whose figures it uses)

#include <FileLimit.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryFile>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/resource.h> // rusage, for wait4
#include <sys/socket.h>
#include <sys/time.h>
#include <csignal>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const QString kZeva = QStringLiteral(ZEVA_PATH);
const QString kSim = QStringLiteral(ZEVA_SIM_PATH);

// Read %MW0, sequence number 0: the same 34 bytes the window sends.
const QByteArray kReadMW0 = QByteArray::fromHex("564F524E2D4B454C54550000003300000E00003854000200000001000400254D5730");

bool g_pin = false;

// How long a zeva run may outlast its --duration before it is stopped.
constexpr double kSpareSeconds = 120;

double CpuMicros(const rusage& u)
{
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e6 + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// "2004-2006,3001" -> 2004 2005 2006 3001; empty on anything else.
std::vector<quint16> ExpandPorts(const QString& text)
{
    std::vector<quint16> ports;
    for (const QString& item : text.split(',')) {
        const QStringList ends = item.split('-');
        bool ok1 = false, ok2 = false;
        const uint first = ends.value(0).toUInt(&ok1);
        const uint last = ends.size() == 2 ? ends[1].toUInt(&ok2) : first;
        if (!ok1 || (ends.size() == 2 && !ok2) || ends.size() > 2 || first == 0 || last > 65535 || last < first)
            return {};
        for (uint p = first; p <= last; ++p)
            ports.push_back(quint16(p));
    }
    return ports;
}

// Every thread of a process onto one CPU: the simulator's threads, if it has
// any, were made before it could inherit anything from here.
bool PinProcess(qint64 pid, int cpu)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    const QStringList tasks = QDir(QStringLiteral("/proc/%1/task").arg(pid)).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    bool ok = !tasks.isEmpty();
    for (const QString& t : tasks)
        ok = sched_setaffinity(pid_t(t.toInt()), sizeof set, &set) == 0 && ok;
    return ok;
}

// One zeva-sim serving `devices` devices on free ports.
struct Sim {
    QProcess process;
    std::vector<quint16> tcp, udp;

    bool Start(int devices)
    {
        process.setStandardErrorFile(QProcess::nullDevice());
        process.start(kSim, {"--devices", QString::number(devices), "--tcp-port", "0", "--udp-port", "0"});
        if (!process.waitForStarted(10000))
            return false;
        // The first line names every port; with many devices it comes in
        // several reads.
        QElapsedTimer clock;
        clock.start();
        while (!process.canReadLine() && clock.elapsed() < 30000 && process.state() == QProcess::Running)
            process.waitForReadyRead(1000);
        const auto m = QRegularExpression(R"(tcp ([0-9,\-]+) udp ([0-9,\-]+))")
                           .match(QString::fromLocal8Bit(process.readLine()));
        tcp = ExpandPorts(m.captured(1));
        udp = ExpandPorts(m.captured(2));
        if (!m.hasMatch() || int(tcp.size()) != devices || int(udp.size()) != devices)
            return false;
        if (g_pin && !PinProcess(process.processId(), 1)) {
            std::fprintf(stderr, "zeva-bench-fleet: cannot pin the simulator to CPU 1\n");
            return false;
        }
        return true;
    }

    // Processor time the simulator has used so far, in microseconds.
    double CpuSoFar() const
    {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(process.processId()));
        if (!stat.open(QIODevice::ReadOnly))
            return 0;
        const QByteArray text = stat.readAll();
        // Fields after the command name, which ends at the last ')'; utime
        // and stime are fields 14 and 15, the 12th and 13th after it.
        const QList<QByteArray> f = text.mid(text.lastIndexOf(')') + 2).split(' ');
        return (f.value(11).toDouble() + f.value(12).toDouble()) * 1e6 / double(sysconf(_SC_CLK_TCK));
    }

    ~Sim()
    {
        process.terminate();
        if (!process.waitForFinished(10000))
            process.kill();
        process.waitForFinished(10000);
    }
};

// The devices as zeva takes them: one range when the ports follow each other,
// a --hosts file otherwise.
QStringList Devices(const std::vector<quint16>& ports, QTemporaryFile& file)
{
    if (ports.size() == 1)
        return {"-H", QStringLiteral("127.0.0.1:%1").arg(ports[0])};
    bool consecutive = true;
    for (std::size_t i = 1; i < ports.size() && consecutive; ++i)
        consecutive = ports[i] == ports[i - 1] + 1;
    if (consecutive)
        return {"-H", QStringLiteral("127.0.0.1:%1-%2").arg(ports.front()).arg(ports.back())};
    if (!file.open())
        return {};
    for (const quint16 p : ports)
        file.write(QStringLiteral("127.0.0.1:%1\n").arg(p).toLatin1());
    file.flush();
    return {"--hosts", file.fileName()};
}

long StatusKb(pid_t pid, const char* field)
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

struct ZevaResult {
    bool ok = false;
    int exitStatus = -1;
    double wallSeconds = 0;
    double cpuMicros = 0;   // user and system
    long maxRssKb = 0;      // ru_maxrss
    long lastHwmKb = -1;    // VmHWM as last read before the end
    QJsonObject total;      // the last line: {"total":...} or, for one device, {"summary":...}
    int summaries = 0;      // {"summary":...} lines
    int silentDevices = 0;  // summaries with nothing answered
    qint64 outputBytes = 0;
    QByteArray output;      // kept when asked for
};

// Runs zeva to its end, reading its output and its peak memory meanwhile;
// killed if it outlives `limitSeconds`.
ZevaResult RunZeva(const QStringList& args, double limitSeconds, bool keepOutput = false)
{
    ZevaResult result;
    int out[2];
    if (::pipe(out) != 0)
        return result;
    std::vector<QByteArray> storage{kZeva.toLocal8Bit()};
    for (const QString& a : args)
        storage.push_back(a.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& a : storage)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    QElapsedTimer clock;
    clock.start();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::close(out[0]);
        ::close(out[1]);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    if (pid < 0) {
        ::close(out[0]);
        return result;
    }
    QByteArray output;
    char buf[65536];
    // Until zeva closes its output, at its end; VmHWM read every 100 ms.
    const qint64 limit = qint64(limitSeconds * 1e9);
    bool killed = false;
    for (;;) {
        if (!killed && clock.nsecsElapsed() > limit) {
            std::fprintf(stderr, "zeva-bench-fleet: zeva still running after %.0f s, stopped\n", limitSeconds);
            ::kill(pid, SIGKILL);
            killed = true;
        }
        pollfd p{out[0], POLLIN, 0};
        const int ready = ::poll(&p, 1, 100);
        if (ready < 0 && errno != EINTR)
            break;
        const long hwm = StatusKb(pid, "VmHWM:");
        if (hwm > 0)
            result.lastHwmKb = hwm;
        if (ready > 0) {
            const ssize_t n = ::read(out[0], buf, sizeof buf);
            if (n <= 0)
                break;
            output.append(buf, n);
        }
    }
    ::close(out[0]);
    int status = 0;
    rusage used{};
    if (::wait4(pid, &status, 0, &used) != pid)
        return result;
    result.wallSeconds = double(clock.nsecsElapsed()) / 1e9;
    result.cpuMicros = CpuMicros(used);
    result.maxRssKb = used.ru_maxrss;
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.outputBytes = output.size();
    if (keepOutput)
        result.output = output;
    for (const QByteArray& line : output.split('\n')) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (o.contains("summary")) {
            ++result.summaries;
            result.total = o.value("summary").toObject();
            result.silentDevices += o.value("summary").toObject().value("answered").toDouble() <= 0;
        } else if (o.contains("total")) {
            result.total = o.value("total").toObject();
        }
    }
    result.ok = !result.total.isEmpty();
    return result;
}

double Count(const ZevaResult& r, const char* name)
{
    return r.total.value(QLatin1String(name)).toDouble();
}

QStringList PollArgs(bool udp, const QStringList& devices, const QString& interval, double seconds)
{
    QStringList args = devices;
    if (udp)
        args << "-u";
    return args << "-i" << interval << "-w" << QString::number(seconds) << "-q" << "--json" << "poll" << "%MW0";
}

// A zeva run and a one-round run of the same devices, for the cost net of
// starting and ending.
struct Costed {
    ZevaResult run, once;

    double PerExchange() const
    {
        const double n = Count(run, "answered");
        return n > 0 ? run.cpuMicros / n : 0;
    }
    double NetPerExchange() const
    {
        const double n = Count(run, "answered") - Count(once, "answered");
        return n > 0 ? std::max(0.0, run.cpuMicros - once.cpuMicros) / n : 0;
    }
};

Costed CostedRun(bool udp, const QStringList& devices, const QString& interval, double seconds)
{
    Costed c;
    QStringList once = devices;
    if (udp)
        once << "-u";
    c.once = RunZeva(once << "-c" << "1" << "-q" << "--json" << "poll" << "%MW0", kSpareSeconds);
    c.run = RunZeva(PollArgs(udp, devices, interval, seconds), seconds + kSpareSeconds);
    return c;
}

// ---- 1. fleet --------------------------------------------------------------

struct FleetFigures {
    bool ok = false;
    Costed tcp, udp;
};

FleetFigures Fleet(int devices, double seconds)
{
    FleetFigures f;
    Sim sim;
    if (!sim.Start(devices)) {
        std::fprintf(stderr, "zeva-bench-fleet: cannot start %s with %d devices\n", qPrintable(kSim), devices);
        return f;
    }
    std::printf("fleet: %d devices on one zeva-sim, zeva poll -i 100 -w %g\n", devices, seconds);
    std::fflush(stdout);
    f.ok = true;
    for (const bool udp : {false, true}) {
        QTemporaryFile hosts;
        const QStringList list = Devices(udp ? sim.udp : sim.tcp, hosts);
        const double simBefore = sim.CpuSoFar();
        Costed c = CostedRun(udp, list, "100", seconds);
        const double simCpu = sim.CpuSoFar() - simBefore;
        const ZevaResult& r = c.run;
        const double sent = Count(r, "sent"), answered = Count(r, "answered");
        const bool lossless = r.ok && sent > 0 && sent == answered && Count(r, "timeouts") == 0
                              && Count(r, "late") == 0 && Count(r, "loss_pct") == 0 && r.silentDevices == 0
                              && r.summaries == devices;
        const double cpuPct = r.wallSeconds > 0 ? r.cpuMicros / 1e4 / r.wallSeconds : 0;
        const double peakMb = double(std::max(r.maxRssKb, r.lastHwmKb)) / 1024;
        std::printf("  %s: exit %d, %d device summaries, %.0f sent, %.0f answered, %.0f timeouts, %.0f late, "
                    "%.0f device errors, %.0f reconnects, loss %g %% -> %s\n",
                    udp ? "UDP" : "TCP", r.exitStatus, r.summaries, sent, answered, Count(r, "timeouts"),
                    Count(r, "late"), Count(r, "device_errors"), Count(r, "reconnects"), Count(r, "loss_pct"),
                    lossless ? "nothing lost" : "LOSS");
        std::printf("       %.1f rounds a second; rtt p50/p95/p99 %g/%g/%g us\n",
                    r.wallSeconds > 0 ? answered / devices / seconds : 0,
                    r.total.value("rtt_us").toObject().value("p50").toDouble(),
                    r.total.value("rtt_us").toObject().value("p95").toDouble(),
                    r.total.value("rtt_us").toObject().value("p99").toDouble());
        std::printf("       zeva processor %.2f s in %.2f s wall = %.1f %% (target <= 25 %%) -> %s; "
                    "net of a one-round run (%.2f s): %.1f %%\n",
                    r.cpuMicros / 1e6, r.wallSeconds, cpuPct, cpuPct <= 25 ? "met" : "MISSED",
                    c.once.cpuMicros / 1e6,
                    r.wallSeconds > c.once.wallSeconds
                        ? (r.cpuMicros - c.once.cpuMicros) / 1e4 / (r.wallSeconds - c.once.wallSeconds)
                        : 0.0);
        std::printf("       zeva peak RSS %.1f MB (ru_maxrss %ld kB, VmHWM %ld kB; target <= 64 MB) -> %s\n", peakMb,
                    r.maxRssKb, r.lastHwmKb, peakMb <= 64 ? "met" : "MISSED");
        std::printf("       simulator processor %.2f s (%.1f %% of the wall time)\n", simCpu / 1e6,
                    r.wallSeconds > 0 ? simCpu / 1e4 / r.wallSeconds : 0);
        std::fflush(stdout);
        (udp ? f.udp : f.tcp) = c;
    }
    return f;
}

// ---- 2. b2b ----------------------------------------------------------------

struct LoopsResult {
    double exchanges = 0;
    double seconds = 0;
    double cpuMicros = 0; // the whole process: the threads and this program's idle rest
    int failed = 0;       // loops that could not connect or lost an answer
};

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

// One thread per device: connect, wait for the common start, then send a
// read and block until its whole answer is in, until the common end.
LoopsResult PlainLoops(bool udp, const std::vector<quint16>& ports, double seconds)
{
    const std::size_t n = ports.size();
    std::vector<long> done(n, 0);
    std::vector<int> failed(n, 0);
    std::atomic<std::size_t> ready{0};
    std::atomic<bool> go{false};
    using Clock = std::chrono::steady_clock;
    Clock::time_point end{};
    std::atomic<bool> endSet{false};
    std::vector<std::thread> threads;
    threads.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        threads.emplace_back([&, i] {
            const int fd = ::socket(AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, 0);
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(ports[i]);
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            timeval limit{2, 0};
            const bool connected = fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0
                                   && ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
            ++ready;
            // Waits for the start, at most 30 s.
            for (int w = 0; w < 30000 && !go.load(); ++w)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (!connected || !go.load() || !endSet.load()) {
                failed[i] = 1;
                if (fd >= 0)
                    ::close(fd);
                return;
            }
            char answer[65536 + 20];
            long count = 0;
            while (Clock::now() < end) {
                if (::send(fd, kReadMW0.constData(), std::size_t(kReadMW0.size()), 0) != kReadMW0.size()) {
                    failed[i] = 1;
                    break;
                }
                if (udp) {
                    if (::recv(fd, answer, sizeof answer, 0) <= 0) {
                        failed[i] = 1;
                        break;
                    }
                } else {
                    if (!ReadAll(fd, answer, 20)) {
                        failed[i] = 1;
                        break;
                    }
                    const std::size_t body = quint8(answer[16]) | (quint8(answer[17]) << 8);
                    if (!ReadAll(fd, answer + 20, body)) {
                        failed[i] = 1;
                        break;
                    }
                }
                ++count;
            }
            done[i] = count;
            ::close(fd);
        });
    }
    // All connected (or failed) before the clock starts, at most 30 s.
    for (int w = 0; w < 30000 && ready.load() < n; ++w)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    rusage before{}, after{};
    ::getrusage(RUSAGE_SELF, &before);
    const Clock::time_point start = Clock::now();
    end = start + std::chrono::microseconds(qint64(seconds * 1e6));
    endSet = true;
    go = true;
    for (std::thread& t : threads)
        t.join();
    ::getrusage(RUSAGE_SELF, &after);
    LoopsResult r;
    r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (std::size_t i = 0; i < n; ++i) {
        r.exchanges += double(done[i]);
        r.failed += failed[i];
    }
    r.cpuMicros = CpuMicros(after) - CpuMicros(before);
    return r;
}

void BackToBack(int devices, double seconds, int rounds)
{
    Sim sim;
    if (!sim.Start(devices)) {
        std::fprintf(stderr, "zeva-bench-fleet: cannot start %s with %d devices\n", qPrintable(kSim), devices);
        return;
    }
    std::printf("b2b: %d devices on one zeva-sim; zeva poll -i 0 -w %g against %d blocking loops of one thread "
                "each for %g s, %d rounds\n",
                devices, seconds, devices, seconds, rounds);
    std::fflush(stdout);
    for (const bool udp : {false, true}) {
        QTemporaryFile hosts;
        const std::vector<quint16>& ports = udp ? sim.udp : sim.tcp;
        const QStringList list = Devices(ports, hosts);
        std::vector<double> plainRate, zevaRate, ratios, plainCpu, zevaCpu;
        for (int r = 0; r < rounds; ++r) {
            // The order changes from round to round, so that neither client
            // always follows the other.
            LoopsResult a;
            ZevaResult b;
            if (r % 2 == 0) {
                a = PlainLoops(udp, ports, seconds);
                b = RunZeva(PollArgs(udp, list, "0", seconds), seconds + kSpareSeconds);
            } else {
                b = RunZeva(PollArgs(udp, list, "0", seconds), seconds + kSpareSeconds);
                a = PlainLoops(udp, ports, seconds);
            }
            const double pr = a.seconds > 0 ? a.exchanges / a.seconds : 0;
            const double zr = Count(b, "answered") / seconds;
            plainRate.push_back(pr);
            zevaRate.push_back(zr);
            ratios.push_back(pr > 0 ? zr / pr : 0);
            plainCpu.push_back(a.exchanges > 0 ? a.cpuMicros / a.exchanges : 0);
            zevaCpu.push_back(Count(b, "answered") > 0 ? b.cpuMicros / Count(b, "answered") : 0);
            std::printf("  %s round %d: plain loops %.0f/s (%d failed), zeva %.0f/s (exit %d, %.0f timeouts, "
                        "%.0f late), ratio %.2f\n",
                        udp ? "UDP" : "TCP", r + 1, pr, a.failed, zr, b.exitStatus, Count(b, "timeouts"),
                        Count(b, "late"), ratios.back());
            std::fflush(stdout);
        }
        const double ratio = Median(ratios);
        std::printf("  %s: plain loops %.0f/s, zeva %.0f/s (medians of %d rounds), ratio zeva/plain %.2f "
                    "(target >= 0.8) -> %s\n",
                    udp ? "UDP" : "TCP", Median(plainRate), Median(zevaRate), rounds, ratio,
                    ratio >= 0.8 ? "met" : "MISSED");
        std::printf("       processor time per exchange: plain loops %.1f us, zeva %.1f us\n", Median(plainCpu),
                    Median(zevaCpu));
        std::fflush(stdout);
    }
}

// ---- 3. cost ---------------------------------------------------------------

void Cost(const FleetFigures& fleet, int devices, double seconds)
{
    Sim sim;
    if (!sim.Start(1)) {
        std::fprintf(stderr, "zeva-bench-fleet: cannot start %s\n", qPrintable(kSim));
        return;
    }
    std::printf("cost: zeva processor time per exchange, whole run / net of a one-round run\n");
    for (const bool udp : {false, true}) {
        QTemporaryFile hosts;
        const QStringList one = Devices(udp ? sim.udp : sim.tcp, hosts);
        const Costed& many = udp ? fleet.udp : fleet.tcp;
        const Costed slow = CostedRun(udp, one, "100", seconds);
        const Costed fast = CostedRun(udp, one, "0", seconds);
        const auto line = [](const char* what, const Costed& c) {
            std::printf("       %-28s %8.0f exchanges, %7.1f us / %7.1f us\n", what, Count(c.run, "answered"),
                        c.PerExchange(), c.NetPerExchange());
        };
        std::printf("  %s:\n", udp ? "UDP" : "TCP");
        line(qPrintable(QStringLiteral("%1 devices, -i 100").arg(devices)), many);
        line("1 device, -i 100", slow);
        line("1 device, -i 0", fast);
        const double whole = slow.PerExchange() > 0 ? many.PerExchange() / slow.PerExchange() : 0;
        const double net = slow.NetPerExchange() > 0 ? many.NetPerExchange() / slow.NetPerExchange() : 0;
        const double netFast = fast.NetPerExchange() > 0 ? many.NetPerExchange() / fast.NetPerExchange() : 0;
        std::printf("       %d devices / 1 device at -i 100: %.2fx whole, %.2fx net (target <= 1.5x) -> %s; "
                    "/ 1 device at -i 0: %.2fx net\n",
                    devices, whole, net, net <= 1.5 && whole <= 1.5 ? "met" : "MISSED", netFast);
        std::fflush(stdout);
    }
}

// ---- 4. flood --------------------------------------------------------------

// Answers taken from devices other than `skip`, from the JSON summaries or
// the table's rows (DEVICE VARIABLE SENT ANSWERED ...).
double AnsweredExcept(const QByteArray& output, const QString& skip)
{
    double answered = 0;
    for (const QByteArray& line : output.split('\n')) {
        const QJsonObject s = QJsonDocument::fromJson(line).object().value("summary").toObject();
        if (!s.isEmpty()) {
            if (s.value("device").toString() != skip)
                answered += s.value("answered").toDouble();
            continue;
        }
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() == 15 && f[0].startsWith("127.0.0.1:") && QString::fromLatin1(f[0]) != skip)
            answered += f[3].toDouble();
    }
    return answered;
}

// The late answers of the whole run, from the JSON total or the table's last row.
double LateOfRun(const QByteArray& output)
{
    for (const QByteArray& line : output.split('\n')) {
        const QJsonObject total = QJsonDocument::fromJson(line).object().value("total").toObject();
        if (!total.isEmpty())
            return total.value("late").toDouble();
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() == 15 && f[0] == "total")
            return f[6].toDouble();
    }
    return 0;
}

void Flood(double seconds, int rounds)
{
    constexpr int kGood = 20;
    Sim good;
    Sim flooder;
    flooder.process.setStandardErrorFile(QProcess::nullDevice());
    if (!good.Start(kGood)) {
        std::fprintf(stderr, "zeva-bench-fleet: cannot start %s\n", qPrintable(kSim));
        return;
    }
    // A second simulator that floods every connection after its first request.
    flooder.process.start(kSim, {"--tcp-port", "0", "--udp-port", "0", "--fault", "flood"});
    if (!flooder.process.waitForStarted(10000) || !flooder.process.waitForReadyRead(10000)) {
        std::fprintf(stderr, "zeva-bench-fleet: cannot start %s --fault flood\n", qPrintable(kSim));
        return;
    }
    const auto m = QRegularExpression(R"(tcp (\d+) udp)").match(QString::fromLocal8Bit(flooder.process.readLine()));
    const QString flood = QStringLiteral("127.0.0.1:%1").arg(m.captured(1));
    if (g_pin)
        PinProcess(flooder.process.processId(), 1);
    QTemporaryFile hosts;
    const QStringList goods = Devices(good.tcp, hosts);
    const QStringList withFlood = goods + QStringList{"-H", flood};
    const QStringList poll{"poll", "%MW0", "%ML0"};

    const double expected = 2.0 * kGood * seconds * 1000 / 50;
    std::printf("flood: %d good devices and %s flooding, zeva -i 50 --timeout 300 -w %g poll %%MW0 %%ML0\n", kGood,
                qPrintable(flood), seconds);
    for (const QStringList& mode : {QStringList{}, QStringList{"--json"}, QStringList{"-q"}}) {
        const ZevaResult r = RunZeva(withFlood + mode + QStringList{"-i", "50", "--timeout", "300", "-w",
                                                                    QString::number(seconds)} + poll,
                                     seconds + kSpareSeconds, true);
        const double answered = AnsweredExcept(r.output, flood);
        const double over = r.wallSeconds - seconds;
        const double mb = double(r.outputBytes) / 1e6;
        std::printf("  %-6s exit %d: good devices %.0f of %.0f answered (%.1f %%, target >= 98 %%) -> %s; "
                    "%.2f s past -w (target < 1 s) -> %s; output %.3f MB (target < 1 MB) -> %s; "
                    "%.0f late answers counted\n",
                    mode.isEmpty() ? "text" : qPrintable(mode.front()), r.exitStatus, answered, expected,
                    100 * answered / expected, answered >= 0.98 * expected ? "met" : "MISSED", over,
                    over < 1 ? "met" : "MISSED", mb, mb < 1 ? "met" : "MISSED", LateOfRun(r.output));
        std::fflush(stdout);
    }

    std::printf("flood: the good devices at -i 10 -q -w %g, alone and beside the flooder, %d rounds\n", seconds,
                rounds);
    std::vector<double> ratios;
    for (int round = 0; round < rounds; ++round) {
        double alone = 0, beside = 0;
        for (int turn = 0; turn < 2; ++turn) {
            // The order changes from round to round.
            const bool flooded = (turn + round) % 2 == 1;
            const ZevaResult r = RunZeva((flooded ? withFlood : goods) + QStringList{"-i", "10", "-q", "-w",
                                                                                      QString::number(seconds)} + poll,
                                         seconds + kSpareSeconds, true);
            (flooded ? beside : alone) = AnsweredExcept(r.output, flood);
        }
        ratios.push_back(alone > 0 ? beside / alone : 0);
        std::printf("  round %d: alone %.0f answered, beside the flooder %.0f: %.3f\n", round + 1, alone, beside,
                    ratios.back());
        std::fflush(stdout);
    }
    const double ratio = Median(ratios);
    std::printf("  kept beside the flooder: %.1f %% (median; target >= 95 %%) -> %s\n", 100 * ratio,
                ratio >= 0.95 ? "met" : "MISSED");
    std::fflush(stdout);
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
    const double seconds = value("--seconds", 30);
    const double b2bSeconds = value("--b2b-seconds", 5);
    const int rounds = int(value("--rounds", 3));
    const int devices = int(value("--devices", 1000));
    const qsizetype onlyAt = args.indexOf(QLatin1String("--only"));
    const QString only = onlyAt > 0 && onlyAt + 1 < args.size() ? args[onlyAt + 1] : QString();
    if (seconds <= 0 || b2bSeconds <= 0 || rounds <= 0 || devices <= 0 || devices > 10000
        || (!only.isEmpty() && only != "fleet" && only != "b2b" && only != "cost" && only != "flood")) {
        std::fprintf(stderr, "usage: zeva-bench-fleet [--seconds S] [--b2b-seconds S] [--rounds R] [--devices N] "
                             "[--pin] [--only fleet|b2b|cost|flood]\n");
        return 2;
    }
    g_pin = args.contains(QLatin1String("--pin"));

    // A thousand devices hold a thousand sockets in zeva and two thousand in
    // the simulator; both inherit this soft limit.
    const auto files = platform::posix::RaiseOpenFileLimit();
    if (g_pin) {
        // zeva is forked from here and the plain loops' threads made here:
        // all on CPU 0; the simulator is moved to CPU 1 once started.
        cpu_set_t first;
        CPU_ZERO(&first);
        CPU_SET(0, &first);
        if (sched_setaffinity(0, sizeof first, &first) != 0) {
            std::fprintf(stderr, "zeva-bench-fleet: cannot pin to CPU 0\n");
            return 1;
        }
    }
    std::printf("open-file limit %s; %s\n", files ? std::to_string(*files).c_str() : "none",
                g_pin ? "pinned: zeva and the plain loops on CPU 0, the simulator on CPU 1" : "not pinned");
    std::fflush(stdout);

    if (only == "flood") {
        Flood(args.contains(QLatin1String("--seconds")) ? seconds : 5, rounds);
        return 0;
    }
    FleetFigures fleet;
    if (only.isEmpty() || only == "fleet" || only == "cost")
        fleet = Fleet(devices, seconds);
    if (only.isEmpty() || only == "b2b")
        BackToBack(100, b2bSeconds, rounds);
    if ((only.isEmpty() || only == "cost") && fleet.ok)
        Cost(fleet, devices, seconds);
    return 0;
}
