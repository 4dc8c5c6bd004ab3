// Continuous reading under load, run by hand (not a test):
//
//   logic  the client logic's own cycle (timing, display, decoding, building
//          the next request) over a socket that answers at once: time and
//          heap allocations per exchange;
//   soak   continuous reading by the client logic and the real socket against
//          zeva-sim in another process, TCP and UDP: exchanges per second,
//          resident memory at 10 thousand exchanges and at the end, answers
//          lost;
//   speed  continuous reading through the real window (offscreen) against a
//          plain blocking socket loop, both against the same zeva-sim, TCP
//          and UDP, in turns: exchanges per second of each and their ratio;
//   traffic resident memory with 100,000 rows held against the window's
//          size without the traffic window; the time from a key typed into
//          the traffic window's Filter field to the table showing the rows
//          that pass, over those 100,000 rows; then continuous reading
//          through the window with its traffic window closed, open, and open
//          with a filter typed, TCP and UDP, in turns: exchanges per second
//          of each and their ratios.
//
//   zeva-bench [--logic N] [--soak N] [--speed N] [--traffic N] [--rounds R]
//              [--sim PATH] [--pin] [--raw-work MICROS]
//
// A count of 0 skips that part. Build with -DCMAKE_BUILD_TYPE=Release.
//
// Left to itself, the kernel now and then runs the plain loop and the
// simulator on one CPU, where an exchange needs no wake-up across CPUs and
// takes a fraction of the time; a client with a few microseconds more work
// per exchange is seldom placed so. --pin puts the client (both loops) on
// the first CPU and the simulator on the second, so that every exchange of
// either loop crosses CPUs and the ratio weighs the client's own cost.
// --raw-work adds that many microseconds of busy work to each exchange of
// the plain loop, to see how its rate answers to work in the client.

#include "BenchFakes.h"

#include <ClientLogic.h>
#include <frmClient.h>
#include <frmTraffic.h>
#include <QtSocket.h>
#include <QtTickCounter.h>

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QCommandLineParser>
#include <QEventLoop>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTableView>

#include <sched.h>
#include <csignal>
#include <ctime>
#include <spawn.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<long> g_allocations{0};

using client::Control;
using platform::Protocol;
using Clock = std::chrono::steady_clock;

const char* Name(Protocol p)
{
    return p == Protocol::Tcp ? "TCP" : "UDP";
}

double Seconds(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

// CPU time this thread has used, in seconds: the client's own cost, apart
// from the simulator's and whatever else the machine runs.
double CpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Exchanges per second and the client's CPU microseconds per exchange.
struct Rate {
    double perSecond = 0;
    double cpuMicros = 0;
};

Rate MakeRate(long exchanges, double seconds, double cpu)
{
    if (exchanges <= 0 || seconds <= 0)
        return {};
    return {static_cast<double>(exchanges) / seconds, cpu * 1e6 / static_cast<double>(exchanges)};
}

// Resident memory of this process in bytes.
long Rss()
{
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

// The window as plain strings and flags.
struct PlainView final : client::IClientView {
    std::array<std::string, 32> texts;
    std::array<bool, 32> values{};
    std::string Text(Control c) const override { return texts[static_cast<std::size_t>(c)]; }
    void SetText(Control c, std::string_view text) override { texts[static_cast<std::size_t>(c)].assign(text); }
    void SetEnabled(Control c, bool on) override
    {
        if (c == Control::txtIpAdd)
            ipEnabled = on;
    }
    bool Value(Control c) const override { return values[static_cast<std::size_t>(c)]; }
    int ListIndex(Control) const override { return -1; }
    bool ipEnabled = true;
};

using bench::NoBusy;
using bench::NoEnd;
using bench::SilentBox;

// Passes everything on to the real socket and counts the requests sent.
struct CountingSocket final : platform::ISocket {
    platform::ISocket& inner;
    long sent = 0;
    explicit CountingSocket(platform::ISocket& s) : inner(s) {}
    void SetListener(platform::ISocketEvents* l) override { inner.SetListener(l); }
    void SetTickCounter(platform::ITickCounter* t) override { inner.SetTickCounter(t); }
    void SetProtocol(Protocol p) override { inner.SetProtocol(p); }
    Protocol GetProtocol() const override { return inner.GetProtocol(); }
    void SetRemoteHost(std::string_view h) override { inner.SetRemoteHost(h); }
    void SetRemotePort(std::uint16_t p) override { inner.SetRemotePort(p); }
    void Connect() override { inner.Connect(); }
    void SendData(std::span<const std::uint8_t> b) override
    {
        ++sent;
        inner.SendData(b);
    }
    void GetData(std::vector<std::uint8_t>& out) override { inner.GetData(out); }
    std::int32_t ArrivalTick(std::size_t offset) const override { return inner.ArrivalTick(offset); }
    void SetArrivalClock(platform::IMonotonicClock* c) override { inner.SetArrivalClock(c); }
    std::int64_t ArrivalMicros(std::size_t offset) const override { return inner.ArrivalMicros(offset); }
    void Close() override { inner.Close(); }
};

// Answers every request at once with the same read answer for a WORD, and
// keeps the request it was given.
struct EchoSocket final : platform::ISocket {
    std::vector<std::uint8_t> answer = {0x56, 0x4F, 0x52, 0x4E, 0x2D, 0x4B, 0x45, 0x4C, 0x54, 0x55, 0x00, 0x00,
                                        0x00, 0x11, 0x00, 0x00, 0x0E, 0x00, 0x00, 0x3C, 0x55, 0x00, 0x02, 0x00,
                                        0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x02, 0x00, 0x34, 0x12};
    std::vector<std::uint8_t> request;
    void SetListener(platform::ISocketEvents*) override {}
    void SetTickCounter(platform::ITickCounter*) override {}
    void SetProtocol(Protocol) override {}
    Protocol GetProtocol() const override { return Protocol::Tcp; }
    void SetRemoteHost(std::string_view) override {}
    void SetRemotePort(std::uint16_t) override {}
    void Connect() override {}
    void SendData(std::span<const std::uint8_t> b) override
    {
        if (request.empty())
            request.assign(b.begin(), b.end());
    }
    void GetData(std::vector<std::uint8_t>& out) override { out.assign(answer.begin(), answer.end()); }
    std::int32_t ArrivalTick(std::size_t) const override { return 0; }
    void Close() override {}
};

// Runs the event loop until `done` holds, looked at after every pass of the
// loop, or until `seconds` have passed. No timer of its own: an armed QTimer
// gives every wait of the loop a timeout, a cost of the bench that the client
// alone does not have. A watchdog thread wakes the loop at the deadline.
void RunUntil(const std::function<bool()>& done, double seconds)
{
    std::mutex mutex;
    std::condition_variable finishedChanged;
    bool finished = false;
    std::atomic<bool> expired{false};
    QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
    std::thread watchdog([&] {
        std::unique_lock lock(mutex);
        if (!finishedChanged.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return finished; })) {
            expired = true;
            dispatcher->wakeUp();
        }
    });
    while (!done() && !expired)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    {
        const std::lock_guard lock(mutex);
        finished = true;
    }
    finishedChanged.notify_one();
    watchdog.join();
}

// One key typed into a widget, as the keyboard would: press and release.
// Backspace when `c` is null.
void TypeKey(QWidget* widget, QChar c)
{
    const int key = c.isNull() ? static_cast<int>(Qt::Key_Backspace) : static_cast<int>(c.toUpper().unicode());
    const QString text = c.isNull() ? QString() : QString(c);
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
    QApplication::sendEvent(widget, &press);
    QApplication::sendEvent(widget, &release);
}

// The traffic window's Filter field.
QLineEdit* FilterField(const ui::frmClient& window)
{
    return window.Traffic()->findChild<QLineEdit*>(QStringLiteral("txtFilter"));
}

void Logic(long exchanges, std::vector<std::uint8_t>* request)
{
    PlainView view;
    view.texts[static_cast<std::size_t>(Control::txtVar)] = "%MW0";
    view.values[static_cast<std::size_t>(Control::optDirect)] = true;
    EchoSocket socket;
    platform::QtTickCounter ticks;
    SilentBox box;
    NoBusy busy;
    NoEnd end;
    client::ClientLogic logic(view, socket, ticks, box, busy, end);
    logic.Form_Load();
    logic.cmdReadCont_Click();
    *request = socket.request;
    // Warm up: let every buffer and text reach its size.
    for (int i = 0; i < 100; ++i)
        logic.tcpClient_DataArrival(0);

    const long before = g_allocations.load();
    const auto t0 = Clock::now();
    for (long i = 0; i < exchanges; ++i)
        logic.tcpClient_DataArrival(0);
    const auto t1 = Clock::now();
    const long allocations = g_allocations.load() - before;
    std::printf("logic cycle: %ld exchanges, %.0f ns per exchange, %.2f heap allocations per exchange\n", exchanges,
                Seconds(t0, t1) * 1e9 / static_cast<double>(exchanges),
                static_cast<double>(allocations) / static_cast<double>(exchanges));
}

// zeva-sim in a process of its own on free loopback ports. Started without
// QProcess, whose pipes and exit watch would add to every pass of the event
// loop what the client alone does not have.
class Simulator {
public:
    bool Start(const QString& path)
    {
        int out[2];
        if (::pipe(out) != 0)
            return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        const QByteArray program = path.toLocal8Bit();
        char* argv[] = {const_cast<char*>(program.constData()), const_cast<char*>("--tcp-port"),
                        const_cast<char*>("0"), const_cast<char*>("--udp-port"), const_cast<char*>("0"), nullptr};
        const int spawned = posix_spawn(&pid_, program.constData(), &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        if (spawned != 0) {
            ::close(out[0]);
            pid_ = -1;
            return false;
        }
        // Its first line names the ports; it writes nothing more.
        std::string line;
        char c = 0;
        while (line.size() < 200 && ::read(out[0], &c, 1) == 1 && c != '\n')
            line.push_back(c);
        ::close(out[0]);
        const auto m = QRegularExpression(QStringLiteral("tcp (\\d+) udp (\\d+)")).match(QString::fromStdString(line));
        if (!m.hasMatch())
            return false;
        ports_.tcp = static_cast<std::uint16_t>(m.captured(1).toUInt());
        ports_.udp = static_cast<std::uint16_t>(m.captured(2).toUInt());
        return true;
    }
    ~Simulator()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    // The simulator on the second CPU, this process on the first.
    bool Pin() const
    {
        cpu_set_t first, second;
        CPU_ZERO(&first);
        CPU_ZERO(&second);
        CPU_SET(0, &first);
        CPU_SET(1, &second);
        return pid_ > 0 && sched_setaffinity(pid_, sizeof second, &second) == 0
               && sched_setaffinity(0, sizeof first, &first) == 0;
    }
    client::Ports Ports() const { return ports_; }
    std::uint16_t Port(Protocol p) const { return p == Protocol::Tcp ? ports_.tcp : ports_.udp; }

private:
    pid_t pid_ = -1;
    client::Ports ports_;
};

void Soak(Protocol protocol, client::Ports ports, long exchanges)
{
    PlainView view;
    view.texts[static_cast<std::size_t>(Control::txtVar)] = "%MW0";
    view.texts[static_cast<std::size_t>(Control::txtIpAdd)] = "127.0.0.1";
    view.values[static_cast<std::size_t>(Control::optDirect)] = true;
    platform::QtSocket real;
    CountingSocket socket(real);
    platform::QtTickCounter ticks;
    SilentBox box;
    NoBusy busy;
    NoEnd end;
    client::ClientLogic logic(view, socket, ticks, box, busy, end, ports);
    logic.Form_Load();
    if (protocol == Protocol::Udp)
        logic.optUDP_Click();
    logic.cmdConnect_Click();
    if (protocol == Protocol::Tcp)
        RunUntil([&] { return !view.ipEnabled || end.ended; }, 10);

    constexpr long kEarly = 10000;
    long rssEarly = 0, rssEnd = 0, atEarly = 0, atEnd = 0, allocationsEarly = 0, allocationsEnd = 0;
    // Bounded: a generous rate floor of 1000 exchanges per second.
    const double limit = 60.0 + static_cast<double>(exchanges) / 1000.0;
    const double cpu0 = CpuSeconds();
    const auto t0 = Clock::now();
    logic.cmdReadCont_Click();
    RunUntil(
        [&] {
            const long answers = static_cast<long>(logic.Answers());
            if (!rssEarly && answers >= std::min(kEarly, exchanges)) {
                rssEarly = Rss();
                atEarly = answers;
                allocationsEarly = g_allocations.load();
            }
            if (answers >= exchanges) {
                rssEnd = Rss();
                atEnd = answers;
                allocationsEnd = g_allocations.load();
            }
            return answers >= exchanges || end.ended || logic.CmdState() != 2;
        },
        limit);
    const auto t1 = Clock::now();
    const double cpu1 = CpuSeconds();
    logic.cmdReadCont_Click();
    // The one request still out is answered; then every request has been.
    RunUntil([&] { return static_cast<long>(logic.Answers()) >= socket.sent || end.ended; }, 5);
    const long answers = static_cast<long>(logic.Answers());
    if (!atEnd) {
        rssEnd = Rss();
        atEnd = answers;
        allocationsEnd = g_allocations.load();
    }

    std::printf("%s soak: %ld exchanges in %.2f s = %.0f per second (%.1f us CPU each); RSS %.2f MB at %ld, %.2f MB at %ld "
                "(%+.3f MB: %s); %ld requests, %ld answers, %ld lost; boxes %d%s%s; "
                "%.3f C++ heap allocations per exchange after %ld\n",
                Name(protocol), atEnd, Seconds(t0, t1), static_cast<double>(atEnd) / Seconds(t0, t1),
                (cpu1 - cpu0) * 1e6 / static_cast<double>(std::max(atEnd, 1L)), static_cast<double>(rssEarly) / 1e6, atEarly, static_cast<double>(rssEnd) / 1e6, atEnd,
                static_cast<double>(rssEnd - rssEarly) / 1e6,
                std::labs(rssEnd - rssEarly) <= 1000000 ? "flat" : "NOT flat", socket.sent, answers,
                socket.sent - answers, box.shown, box.shown ? ": " : "", box.last.c_str(),
                atEnd > atEarly ? static_cast<double>(allocationsEnd - allocationsEarly) / static_cast<double>(atEnd - atEarly)
                                : 0.0,
                atEarly);
    logic.Form_Unload();
}

// A plain blocking socket: send the request, wait for the whole answer, again.
Rate RawLoop(Protocol protocol, std::uint16_t port, const std::vector<std::uint8_t>& request, long exchanges,
             long rawWork)
{
    const int fd = ::socket(AF_INET, protocol == Protocol::Tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
    if (fd < 0)
        return {};
    const int one = 1;
    if (protocol == Protocol::Tcp)
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval timeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        return {};
    }

    std::vector<std::uint8_t> buffer(70000);
    long done = 0;
    const double cpu0 = CpuSeconds();
    const auto t0 = Clock::now();
    for (; done < exchanges; ++done) {
        if (::send(fd, request.data(), request.size(), 0) != static_cast<ssize_t>(request.size()))
            break;
        std::size_t have = 0, need = 20;
        bool failed = false;
        while (have < need) {
            const ssize_t n = ::recv(fd, buffer.data() + have, buffer.size() - have, 0);
            if (n <= 0) {
                failed = true;
                break;
            }
            have += static_cast<std::size_t>(n);
            if (have >= 20)
                need = 20 + (buffer[16] | (buffer[17] << 8));
            if (protocol == Protocol::Udp)
                break;
        }
        if (failed || buffer[20] != 0x55)
            break;
        if (rawWork > 0) {
            const auto until = Clock::now() + std::chrono::microseconds(rawWork);
            while (Clock::now() < until) {
            }
        }
    }
    const auto t1 = Clock::now();
    const double cpu1 = CpuSeconds();
    ::close(fd);
    return MakeRate(done, Seconds(t0, t1), cpu1 - cpu0);
}

// The window's continuous read; with `traffic`, its traffic window open
// beside it from the start, `filter` typed into its Filter field, and
// `window` kept for a look afterwards.
Rate WindowLoop(Protocol protocol, client::Ports ports, long exchanges, bool traffic = false,
                const QString& filter = {}, std::unique_ptr<ui::frmClient>* keep = nullptr,
                SilentBox* keepBox = nullptr, NoEnd* keepEnd = nullptr)
{
    SilentBox ownBox;
    NoEnd ownEnd;
    SilentBox& box = keepBox ? *keepBox : ownBox;
    NoEnd& end = keepEnd ? *keepEnd : ownEnd;
    auto owned = std::make_unique<ui::frmClient>(ui::Services{&box, nullptr, &end, nullptr}, ports);
    ui::frmClient& window = *owned;
    window.show();
    if (traffic) {
        window.OpenTraffic();
        for (const QChar c : filter)
            TypeKey(FilterField(window), c);
    }
    if (protocol == Protocol::Udp)
        window.findChild<QRadioButton*>(QStringLiteral("optUDP"))->click();
    window.findChild<QPushButton*>(QStringLiteral("cmdConnect"))->click();
    auto* ip = window.findChild<QLineEdit*>(QStringLiteral("txtIpAdd"));
    if (protocol == Protocol::Tcp)
        RunUntil([&] { return !ip->isEnabled() || end.ended; }, 10);

    auto* cont = window.findChild<QPushButton*>(QStringLiteral("cmdReadCont"));
    const client::ClientLogic& logic = window.Logic();
    const double cpu0 = CpuSeconds();
    const auto t0 = Clock::now();
    cont->click();
    RunUntil([&] { return static_cast<long>(logic.Answers()) >= exchanges || end.ended || logic.CmdState() != 2; },
             60.0 + static_cast<double>(exchanges) / 1000.0);
    const auto t1 = Clock::now();
    const double cpu1 = CpuSeconds();
    const long done = static_cast<long>(logic.Answers());
    cont->click();
    RunUntil([&] { return false; }, 0.05);
    if (box.shown)
        std::printf("  window: %d boxes, last: %s\n", box.shown, box.last.c_str());
    if (keep)
        *keep = std::move(owned);
    return MakeRate(done, Seconds(t0, t1), cpu1 - cpu0);
}

// The filter typed while the rate is measured: it keeps the answers shown.
const QString kRateFilter = QStringLiteral("value");

// The time from a key typed into the Filter field to the table showing the
// rows that pass: the key's events, the model filtering every row held, the
// table's layout and its paint. Each filter is typed a key at a time into an
// empty field, every key timed; then one Backspace, which widens the filter.
// Medians over `rounds`.
void Filtering(ui::frmClient& window, int rounds)
{
    QLineEdit* field = FilterField(window);
    auto* table = window.Traffic()->findChild<QTableView*>(QStringLiteral("tblFrames"));
    const ui::TrafficModel& model = window.Traffic()->Model();
    const auto settle = [] {
        for (int i = 0; i < 3; ++i)
            QCoreApplication::processEvents(QEventLoop::AllEvents);
    };
    // Timed in milliseconds.
    const auto key = [&](QChar c) {
        const auto t0 = Clock::now();
        TypeKey(field, c);
        settle();
        return Seconds(t0, Clock::now()) * 1e3;
    };
    const auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    struct Case {
        const char* what;
        QString text;
    };
    const Case cases[] = {{"a common word", QStringLiteral("value")},
                          {"hex-like, matches nothing", QStringLiteral("ff ee dd")},
                          {"a single character", QStringLiteral("c")}};
    std::printf("traffic filter: %llu rows held, each key timed until the table shows the rows that pass "
                "(%d rounds, medians):\n",
                static_cast<unsigned long long>(model.HeldCount()), rounds);
    for (const Case& c : cases) {
        std::vector<double> last, slowest, back;
        std::uint64_t shown = 0, shownBack = 0;
        for (int r = 0; r < rounds; ++r) {
            field->clear();
            settle();
            double worst = 0, t = 0;
            for (const QChar ch : c.text) {
                t = key(ch);
                worst = std::max(worst, t);
            }
            shown = model.ShownCount();
            if (static_cast<std::uint64_t>(table->model()->rowCount()) != shown)
                std::printf("  the table shows %d rows, the model %llu\n", table->model()->rowCount(),
                            static_cast<unsigned long long>(shown));
            last.push_back(t);
            slowest.push_back(worst);
            back.push_back(key(QChar()));
            shownBack = model.ShownCount();
        }
        std::printf("  \"%s\" (%s): %llu rows shown; last key %.1f ms, slowest key %.1f ms (%s 100 ms); "
                    "Backspace %.1f ms (%llu rows shown)\n",
                    qPrintable(c.text), c.what, static_cast<unsigned long long>(shown), median(last), median(slowest),
                    std::max(median(slowest), median(back)) < 100 ? "<" : "NOT <", median(back),
                    static_cast<unsigned long long>(shownBack));
    }
    field->clear();
    settle();
}

// What 100,000 rows held add to the client's resident memory, the time a
// filter takes over them, and the window's rate with the traffic window
// closed, open, and open with a filter, in turns.
void Traffic(const Simulator& sim, long exchanges, int rounds)
{
    // Memory first, before any traffic window has been opened in this
    // process (the allocator keeps what a closed one freed): the window after
    // a continuous read, then the same window with its traffic window open
    // until it holds 100,000 rows (two per exchange).
    SilentBox box;
    NoEnd end;
    std::unique_ptr<ui::frmClient> window;
    WindowLoop(Protocol::Tcp, sim.Ports(), 20000, false, {}, &window, &box, &end);
    RunUntil([] { return false; }, 0.3);
    const long without = Rss();
    window->OpenTraffic();
    auto* cont = window->findChild<QPushButton*>(QStringLiteral("cmdReadCont"));
    const client::ClientLogic& logic = window->Logic();
    const long target = static_cast<long>(logic.Answers()) + 50500;
    cont->click();
    RunUntil([&] { return static_cast<long>(logic.Answers()) >= target || end.ended || logic.CmdState() != 2; }, 120);
    cont->click();
    RunUntil([] { return false; }, 0.3);
    window->Traffic()->Refresh();
    const long with = Rss();
    const int rows = window->Traffic()->Model().rowCount();
    std::printf("traffic memory: RSS %.1f MB without the traffic window, %.1f MB with %d rows held: %+.1f MB "
                "(%s 64 MB)\n",
                static_cast<double>(without) / 1e6, static_cast<double>(with) / 1e6, rows,
                static_cast<double>(with - without) / 1e6, with - without <= 64L * 1024 * 1024 ? "<=" : "ABOVE");
    Filtering(*window, rounds);
    window.reset();

    for (const Protocol p : {Protocol::Tcp, Protocol::Udp}) {
        std::vector<Rate> closed, open, filtered;
        WindowLoop(p, sim.Ports(), std::max(exchanges / 10, 1000L), false);
        WindowLoop(p, sim.Ports(), std::max(exchanges / 10, 1000L), true, kRateFilter);
        for (int r = 0; r < rounds; ++r) {
            closed.push_back(WindowLoop(p, sim.Ports(), exchanges, false));
            open.push_back(WindowLoop(p, sim.Ports(), exchanges, true));
            filtered.push_back(WindowLoop(p, sim.Ports(), exchanges, true, kRateFilter));
            std::printf("  %s round %d: closed %.0f/s (%.1f us CPU each), open %.0f/s (%.1f us CPU each), "
                        "filtered %.0f/s (%.1f us CPU each), ratios %.2f %.2f\n",
                        Name(p), r + 1, closed.back().perSecond, closed.back().cpuMicros, open.back().perSecond,
                        open.back().cpuMicros, filtered.back().perSecond, filtered.back().cpuMicros,
                        open.back().perSecond / closed.back().perSecond,
                        filtered.back().perSecond / closed.back().perSecond);
        }
        const auto median = [](std::vector<Rate> v) {
            std::sort(v.begin(), v.end(), [](const Rate& a, const Rate& b) { return a.perSecond < b.perSecond; });
            return v[v.size() / 2];
        };
        const Rate c = median(closed), o = median(open), f = median(filtered);
        std::printf("%s traffic: %ld exchanges x %d rounds, medians: closed %.0f/s, open %.0f/s, open with filter "
                    "\"%s\" %.0f/s; open/closed = %.2f (%s 0.70), filtered/closed = %.2f (%s 0.70); client CPU per "
                    "exchange: closed %.1f us, open %.1f us, filtered %.1f us\n",
                    Name(p), exchanges, rounds, c.perSecond, o.perSecond, qPrintable(kRateFilter), f.perSecond,
                    o.perSecond / c.perSecond, o.perSecond / c.perSecond >= 0.7 ? ">=" : "BELOW",
                    f.perSecond / c.perSecond, f.perSecond / c.perSecond >= 0.7 ? ">=" : "BELOW", c.cpuMicros,
                    o.cpuMicros, f.cpuMicros);
    }
}

void Speed(const Simulator& sim, const std::vector<std::uint8_t>& request, long exchanges, int rounds,
           long rawWork)
{
    for (const Protocol p : {Protocol::Tcp, Protocol::Udp}) {
        std::vector<Rate> raw, window;
        // A short run of each first: caches, fonts and the first paints.
        RawLoop(p, sim.Port(p), request, std::max(exchanges / 10, 1000L), rawWork);
        WindowLoop(p, sim.Ports(), std::max(exchanges / 10, 1000L));
        // In turns, so that both see the same machine.
        for (int r = 0; r < rounds; ++r) {
            raw.push_back(RawLoop(p, sim.Port(p), request, exchanges, rawWork));
            window.push_back(WindowLoop(p, sim.Ports(), exchanges));
            std::printf("  %s round %d: raw %.0f/s (%.1f us CPU each), window %.0f/s (%.1f us CPU each), "
                        "ratio %.2f\n",
                        Name(p), r + 1, raw.back().perSecond, raw.back().cpuMicros, window.back().perSecond,
                        window.back().cpuMicros, window.back().perSecond / raw.back().perSecond);
        }
        const auto median = [](std::vector<Rate> v) {
            std::sort(v.begin(), v.end(), [](const Rate& a, const Rate& b) { return a.perSecond < b.perSecond; });
            return v[v.size() / 2];
        };
        const Rate r = median(raw), w = median(window);
        std::printf("%s speed: %ld exchanges x %d rounds, medians: raw loop %.0f/s, window %.0f/s, "
                    "window/raw = %.2f (%s 0.80); client CPU per exchange: raw %.1f us, window %.1f us\n",
                    Name(p), exchanges, rounds, r.perSecond, w.perSecond, w.perSecond / r.perSecond,
                    w.perSecond / r.perSecond >= 0.8 ? ">=" : "BELOW", r.cpuMicros, w.cpuMicros);
    }
}

} // namespace

void* operator new(std::size_t size)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Continuous reading under load: logic cycle, soak and speed."));
    parser.addHelpOption();
    const QCommandLineOption logicOption(QStringLiteral("logic"), QStringLiteral("Logic-cycle exchanges (0 skips)."),
                                         QStringLiteral("N"), QStringLiteral("1000000"));
    const QCommandLineOption soakOption(QStringLiteral("soak"), QStringLiteral("Soak exchanges per protocol (0 skips)."),
                                        QStringLiteral("N"), QStringLiteral("1000000"));
    const QCommandLineOption speedOption(QStringLiteral("speed"),
                                         QStringLiteral("Speed-run exchanges per loop and round (0 skips)."),
                                         QStringLiteral("N"), QStringLiteral("50000"));
    const QCommandLineOption roundsOption(QStringLiteral("rounds"), QStringLiteral("Speed rounds per protocol."),
                                          QStringLiteral("R"), QStringLiteral("3"));
    const QCommandLineOption simOption(QStringLiteral("sim"), QStringLiteral("The zeva-sim program."),
                                       QStringLiteral("PATH"), QStringLiteral(ZEVA_SIM_PATH));
    const QCommandLineOption pinOption(QStringLiteral("pin"),
                                       QStringLiteral("Client on the first CPU, simulator on the second."));
    const QCommandLineOption rawWorkOption(QStringLiteral("raw-work"),
                                           QStringLiteral("Busy work added to each exchange of the plain loop."),
                                           QStringLiteral("MICROS"), QStringLiteral("0"));
    const QCommandLineOption trafficOption(
        QStringLiteral("traffic"),
        QStringLiteral("Exchanges per run with the traffic window open and closed, and its memory (0 skips)."),
        QStringLiteral("N"), QStringLiteral("50000"));
    parser.addOptions(
        {logicOption, soakOption, speedOption, trafficOption, roundsOption, simOption, pinOption, rawWorkOption});
    parser.process(app);
    const long logic = parser.value(logicOption).toLong();
    const long soak = parser.value(soakOption).toLong();
    const long speed = parser.value(speedOption).toLong();
    const long traffic = parser.value(trafficOption).toLong();
    const int rounds = std::max(1, parser.value(roundsOption).toInt());
    const long rawWork = std::max(0L, parser.value(rawWorkOption).toLong());

    std::vector<std::uint8_t> request;
    Logic(std::max(logic, 1000L), &request);

    Simulator sim;
    if ((soak > 0 || speed > 0 || traffic > 0) && !sim.Start(parser.value(simOption))) {
        std::fprintf(stderr, "zeva-bench: cannot start %s\n", qPrintable(parser.value(simOption)));
        return 1;
    }
    if (parser.isSet(pinOption)) {
        if (!sim.Pin()) {
            std::fprintf(stderr, "zeva-bench: cannot pin to CPUs 0 and 1\n");
            return 1;
        }
        std::printf("pinned: client on CPU 0, simulator on CPU 1\n");
    }
    if (soak > 0) {
        Soak(Protocol::Tcp, sim.Ports(), soak);
        Soak(Protocol::Udp, sim.Ports(), soak);
    }
    if (speed > 0)
        Speed(sim, request, speed, rounds, rawWork);
    if (traffic > 0)
        Traffic(sim, traffic, rounds);
    return 0;
}
