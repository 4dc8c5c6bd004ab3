#include <ClientLogic.h>
#include <EngineFakes.h>
#include <Fakes.h>
#include <WaitLikeBox.h>
#include <QtSocket.h>
#include <QtTimer.h>
#include <SimProcess.h>

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QNetworkDatagram>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUdpSocket>
#include <QtTest>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

using client::Control;
using platform::Protocol;

namespace {

constexpr int kWait = 30000;

// Status data the device is given: bytes 30..49 of its answer are 01..14.
const QByteArray kStatusData = QByteArray::fromHex("0102030405060708090A0B0C0D0E0F1011121314");
const std::string kStatusText = "14131211100F0E0D0C0B0A090807060504030201";

// The window, as a map of texts, enabled flags, option values and lists.
struct RecordingView final : client::IClientView {
    std::map<Control, std::string> texts;
    std::map<Control, bool> enabled;
    std::map<Control, bool> values;
    std::map<Control, int> lists;
    std::function<void(Control, std::string_view)> onSetText;

    std::string Text(Control c) const override
    {
        const auto it = texts.find(c);
        return it == texts.end() ? std::string() : it->second;
    }
    void SetText(Control c, std::string_view text) override
    {
        texts[c] = std::string(text);
        if (onSetText)
            onSetText(c, text);
    }
    void SetEnabled(Control c, bool on) override { enabled[c] = on; }
    bool Value(Control c) const override
    {
        const auto it = values.find(c);
        return it != values.end() && it->second;
    }
    int ListIndex(Control c) const override
    {
        const auto it = lists.find(c);
        return it == lists.end() ? -1 : it->second;
    }
    bool IsEnabled(Control c) const
    {
        const auto it = enabled.find(c);
        return it == enabled.end() || it->second;
    }
};

// Passes events on to the logic and counts the data arrivals.
struct CountingListener final : platform::ISocketEvents {
    platform::ISocketEvents& inner;
    int arrivals = 0;
    explicit CountingListener(platform::ISocketEvents& events) : inner(events) {}
    void tcpClient_Connect() override { inner.tcpClient_Connect(); }
    void tcpClient_DataArrival(std::size_t n) override
    {
        ++arrivals;
        inner.tcpClient_DataArrival(n);
    }
    void tcpClient_Close() override { inner.tcpClient_Close(); }
    void tcpClient_Error(const std::string& d) override { inner.tcpClient_Error(d); }
};

// The logic with a real socket, a recording window and fake services.
struct Rig {
    RecordingView view;
    platform::QtSocket socket;
    FakeClock clock;
    FakeMessageBox box;
    FakeBusy busy;
    FakeExit exit;
    client::ClientLogic logic;

    int answers = 0;                 // answers handled (each shows a response time)
    std::vector<int> statesBefore;   // CmdState as each answer came in
    std::vector<std::string> times;  // response times shown
    std::vector<std::string> values; // texts put into the value box

    Rig(client::Ports ports, Protocol protocol, const std::string& host = "127.0.0.1",
        platform::ITimer* heldTimer = nullptr)
        : logic(view, socket, clock, box, busy, exit, ports, heldTimer)
    {
        view.texts = {{Control::txtIpAdd, host},           {Control::txtVar, "%MW0"},
                      {Control::cmdConnect, "Connect"},    {Control::cmdReadCont, "Read Cont"}};
        view.values = {{Control::optTCP, protocol == Protocol::Tcp},
                       {Control::optUDP, protocol == Protocol::Udp},
                       {Control::optDirect, true}};
        clock.now = 1000;
        clock.step = 1;
        view.onSetText = [this](Control c, std::string_view text) {
            if (c == Control::txtResTime) {
                ++answers;
                statesBefore.push_back(logic.CmdState());
                times.emplace_back(text);
            } else if (c == Control::txtValue) {
                values.emplace_back(text);
            }
        };
        logic.Form_Load();
        if (protocol == Protocol::Udp)
            logic.optUDP_Click();
        else
            logic.optTCP_Click();
    }
    Rig(const simtest::Simulator& device, Protocol protocol, const std::string& host = "127.0.0.1")
        : Rig(client::Ports{device.tcpPort(), device.udpPort()}, protocol, host)
    {
    }

    void Press(char action)
    {
        switch (action) {
        case 'R': Var("%MW0"); logic.cmdRead_Click(); break;
        case 'r': Var(""); logic.cmdRead_Click(); break;
        case 'E': Var("%MW9"); logic.cmdRead_Click(); break;
        case 'C': Var("%MW0"); logic.cmdReadCont_Click(); break;
        case 'c': Var(""); logic.cmdReadCont_Click(); break;
        case 'W': Var("%MW0"); view.texts[Control::txtValue] = "BEEF"; logic.cmdWrite_Click(); break;
        case 'w': Var("%MW0"); view.texts[Control::txtValue] = ""; logic.cmdWrite_Click(); break;
        case 'S': logic.cmdStatus_Click(); break;
        }
    }
    void Var(const char* name) { view.texts[Control::txtVar] = name; }
    std::string Text(Control c) const { return view.Text(c); }
};

// A device on free loopback ports; %MW0 holds 1234, %MD0 56781234, and
// reading %MW9 is answered with error 0x21.
std::unique_ptr<simtest::Simulator> StartDevice(sim::Faults faults = {}, QHostAddress bind = QHostAddress::LocalHost)
{
    sim::Config config;
    config.bind = bind;
    config.tcpPort = 0;
    config.udpPort = 0;
    config.stateWord = 0x0102;
    config.statusData = kStatusData;
    config.faults = std::move(faults);
    config.faults.errors.insert("%MW9", 0x21);
    auto device = std::make_unique<simtest::Simulator>(config);
    QString error;
    if (!device->start(&error)) {
        qWarning() << "simulator:" << error;
        return nullptr;
    }
    device->writeArea('M', 0, QByteArray::fromHex("34127856"));
    return device;
}

int FramesIn(const QString& actions)
{
    // A second Read Cont press stops the loop and sends nothing.
    int frames = 0;
    bool looping = false;
    for (const QChar a : actions) {
        if (a == 'C')
            frames += looping ? 0 : 1;
        else
            frames += QStringLiteral("REWS").contains(a) ? 1 : 0;
        looping = (a == 'C' || a == 'c') && !looping;
    }
    return frames;
}

bool SpinUntil(const std::function<bool()>& done)
{
    QDeadlineTimer deadline(kWait);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

// A device played by the test on loopback, over TCP or UDP.
struct ScriptedDevice {
    Protocol protocol;
    QTcpServer server;
    std::unique_ptr<QTcpSocket> peer;
    QUdpSocket udp;
    QHostAddress client;
    quint16 clientPort = 0;

    explicit ScriptedDevice(Protocol p) : protocol(p) {}
    bool Listen()
    {
        return protocol == Protocol::Tcp ? server.listen(QHostAddress::LocalHost, 0)
                                         : udp.bind(QHostAddress::LocalHost, 0);
    }
    client::Ports Ports() const
    {
        return protocol == Protocol::Tcp ? client::Ports{server.serverPort(), 1} : client::Ports{1, udp.localPort()};
    }
    // TCP: takes the client's connection.
    bool Accept()
    {
        if (protocol == Protocol::Udp)
            return true;
        if (!SpinUntil([&] { return server.hasPendingConnections(); }))
            return false;
        peer.reset(server.nextPendingConnection());
        return true;
    }
    // Waits for `count` requests (UDP: datagrams; TCP: any bytes at all).
    bool Receive(int count)
    {
        if (protocol == Protocol::Tcp)
            return SpinUntil([&] { return peer->bytesAvailable() > 0; }) && !peer->readAll().isEmpty();
        for (int i = 0; i < count; ++i) {
            if (!SpinUntil([&] { return udp.hasPendingDatagrams(); }))
                return false;
            const QNetworkDatagram d = udp.receiveDatagram();
            client = d.senderAddress();
            clientPort = quint16(d.senderPort());
        }
        return true;
    }
    void Send(const QByteArray& bytes)
    {
        if (protocol == Protocol::Tcp) {
            peer->write(bytes);
            peer->flush();
        } else {
            udp.writeDatagram(bytes, client, clientPort);
        }
    }
};

// Answers as a device sends them, state 0201: a read of %MW0 holding 1234,
// a status answer, an error answer (code 0x21).
const QByteArray kReadAnswer = QByteArray::fromHex("564F524E2D4B454C54550102001100000E000000"
                                                   "5500020000000000010002003412");
const QByteArray kStatusAnswer = QByteArray::fromHex("564F524E2D4B454C54550102001100001E000000"
                                                     "B1000000000000000000") + kStatusData;
const QByteArray kErrorAnswer = QByteArray::fromHex("564F524E2D4B454C54550102001100000A000000"
                                                    "550002000000FFFF2100");

void AddProtocols(const char* name, const std::function<void(QTestData&)>& fill)
{
    for (const Protocol p : {Protocol::Tcp, Protocol::Udp}) {
        QTestData& row = QTest::newRow(qPrintable(QString("%1 %2").arg(p == Protocol::Tcp ? "tcp" : "udp", name)));
        row << p;
        fill(row);
    }
}

} // namespace

class tst_ClientLogic : public QObject {
    Q_OBJECT

private slots:
    void connectTcp();
    void startUdpSendsNothingUntilCommand();
    void stateTable_data();
    void stateTable();
    void continuousRun_data();
    void continuousRun();
    void errorAnswerEndsLoopUnderStop();
    void dataSizeBelongsToLastRead();
    void firstAnswerSetsMinAndMax();
    void tickWrap_data();
    void tickWrap();
    void readBeforeConnectionCompletes();
    void coalescedAnswersInContinuousRead();
    void splitAnswer();
    void malformedAnswer_data();
    void malformedAnswer();
    void answersDuringMessageBox_data();
    void answersDuringMessageBox();
    void peerCloseEndsProgram();
    void refusedConnectionEndsProgram();
    void hostNames_data();
    void hostNames();
    void otherPortIgnored();
    void answerBeforeAnyRequest();
    void garbledFrameRestartsFraming();
    void answerShorterThanItsLength();
    void floodWhileBoxOpen_data();
    void floodWhileBoxOpen();
    void sendStampedBeforeWrite_data();
    void sendStampedBeforeWrite();
};

void tst_ClientLogic::connectTcp()
{
    auto device = StartDevice();
    QVERIFY(device);
    Rig rig(*device, Protocol::Tcp);
    QCOMPARE(rig.Text(Control::cmdConnect), std::string("Connect"));
    rig.logic.cmdConnect_Click();

    QCOMPARE(rig.busy.changes, std::vector<bool>({true}));
    for (Control c : {Control::cmdRead, Control::cmdReadCont, Control::cmdWrite, Control::cmdStatus})
        QVERIFY(rig.view.IsEnabled(c));
    for (Control c : {Control::cmdConnect, Control::optTCP, Control::optUDP})
        QVERIFY(!rig.view.IsEnabled(c));
    QVERIFY(rig.view.IsEnabled(Control::txtIpAdd));

    QTRY_VERIFY_WITH_TIMEOUT(!rig.view.IsEnabled(Control::txtIpAdd), kWait);
    QCOMPARE(rig.busy.changes, std::vector<bool>({true, false}));
    QCOMPARE(device->connectionCount(), 1);
    QCOMPARE(device->requestsReceived(), 0);
}

void tst_ClientLogic::startUdpSendsNothingUntilCommand()
{
    QUdpSocket peer;
    QVERIFY(peer.bind(QHostAddress::LocalHost, 0));
    Rig rig(client::Ports{1, peer.localPort()}, Protocol::Udp);
    QCOMPARE(rig.Text(Control::cmdConnect), std::string("Start"));
    rig.logic.cmdConnect_Click();
    for (Control c : {Control::cmdRead, Control::cmdReadCont, Control::cmdWrite, Control::cmdStatus})
        QVERIFY(rig.view.IsEnabled(c));
    for (Control c : {Control::cmdConnect, Control::optTCP, Control::optUDP})
        QVERIFY(!rig.view.IsEnabled(c));
    QVERIFY(rig.view.IsEnabled(Control::txtIpAdd));
    QVERIFY(rig.busy.changes.empty());

    rig.Press('S');
    QTRY_VERIFY_WITH_TIMEOUT(peer.hasPendingDatagrams(), kWait);
    // The first datagram the peer ever sees is the status request.
    QCOMPARE(peer.receiveDatagram().data(),
             QByteArray::fromHex("564F524E2D4B454C545500000033000006000030B00000000000"));
    QVERIFY(!peer.hasPendingDatagrams());
}

void tst_ClientLogic::stateTable_data()
{
    QTest::addColumn<Protocol>("protocol");
    QTest::addColumn<QString>("actions"); // R read, E read with error, C read cont, W write, S status;
                                          // r, c, w the same but declined (nothing sent)
    QTest::addColumn<QList<int>>("statesBefore");
    QTest::addColumn<int>("finalState");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<int>("boxes");

    const QString status = QString::fromStdString(kStatusText);
    struct Row {
        const char* name;
        const char* actions;
        QList<int> before;
        int state;
        QString value;
        const char* caption;
        int boxes;
    };
    const Row rows[] = {
        {"0: Read -> 1, 0x55 -> 0", "R", {1}, 0, "1234", "Read Cont", 0},
        {"3: Read -> 1", "wR", {1}, 0, "1234", "Read Cont", 0},
        {"4: Read -> 1, 0xB1 -> 0, 0x55 in 0", "SR", {1, 0}, 0, "1234", "Read Cont", 0},
        {"0: Read Cont -> 2, again -> 0, late 0x55 sends nothing", "CC", {0}, 0, "1234", "Read Cont", 0},
        {"1: Read Cont -> 2", "rCC", {0}, 0, "1234", "Read Cont", 0},
        {"3: Read Cont -> 2", "wCC", {0}, 0, "1234", "Read Cont", 0},
        {"4: Read Cont -> 2", "SCC", {0, 0}, 0, "1234", "Read Cont", 0},
        {"Read Cont with empty name", "cc", {}, 0, "", "Read Cont", 0},
        {"declined read stays 1", "r", {}, 1, "", "Read Cont", 0},
        {"declined write stays 3", "w", {}, 3, "", "Read Cont", 0},
        {"Write -> 3, 0x59 -> 0", "W", {3}, 0, "BEEF", "Read Cont", 0},
        {"Status -> 4, 0xB1 -> 0", "S", {4}, 0, status, "Read Cont", 0},
        {"3: 0x55 unchanged", "Rw", {3}, 3, "1234", "Read Cont", 0},
        {"4: 0x55 unchanged", "RS", {4, 4}, 0, status, "Read Cont", 0},
        {"4: 0x59 -> 0", "WS", {4, 0}, 0, status, "Read Cont", 0},
        {"1: error -> 0", "E", {1}, 0, "", "Read Cont", 1},
        {"3: error -> 0", "Ew", {3}, 0, "", "Read Cont", 1},
    };
    for (const Row& r : rows)
        AddProtocols(r.name, [&](QTestData& row) {
            row << QString(r.actions) << r.before << r.state << r.value << QString(r.caption) << r.boxes;
        });
}

void tst_ClientLogic::stateTable()
{
    QFETCH(Protocol, protocol);
    QFETCH(QString, actions);
    QFETCH(QList<int>, statesBefore);
    QFETCH(int, finalState);
    QFETCH(QString, value);
    QFETCH(QString, caption);
    QFETCH(int, boxes);

    auto device = StartDevice();
    QVERIFY(device);
    Rig rig(*device, protocol);
    rig.logic.cmdConnect_Click();
    if (protocol == Protocol::Tcp)
        QTRY_VERIFY_WITH_TIMEOUT(!rig.view.IsEnabled(Control::txtIpAdd), kWait);

    for (const QChar a : actions)
        rig.Press(a.toLatin1());
    const int expected = int(statesBefore.size());
    QTRY_COMPARE_WITH_TIMEOUT(rig.answers, expected, kWait);

    QCOMPARE(QList<int>(rig.statesBefore.begin(), rig.statesBefore.end()), statesBefore);
    QCOMPARE(rig.logic.CmdState(), finalState);
    QCOMPARE(QString::fromStdString(rig.Text(Control::txtValue)), value);
    QCOMPARE(QString::fromStdString(rig.Text(Control::cmdReadCont)), caption);
    QCOMPARE(int(rig.box.shown.size()), boxes);
    if (boxes) {
        QCOMPARE(rig.box.shown.back().title, std::string("오류"));
        QCOMPARE(rig.box.shown.back().text, std::string("지정된 변수가 엑세스 경로에 정의되어있지 않습니다."));
    }
    if (finalState != 2 && actions.contains('C')) {
        QVERIFY(rig.view.IsEnabled(Control::cmdRead));
        QVERIFY(rig.view.IsEnabled(Control::cmdWrite));
        QVERIFY(rig.view.IsEnabled(Control::cmdStatus));
    }

    // A status exchange last: any answer or request beyond those expected
    // would come before it.
    rig.Press('S');
    QTRY_COMPARE_WITH_TIMEOUT(rig.answers, expected + 1, kWait);
    QCOMPARE(rig.Text(Control::txtValue), kStatusText);
    QCOMPARE(device->requestsReceived(), FramesIn(actions) + 1);
    QCOMPARE(rig.answers, expected + 1);
}

void tst_ClientLogic::continuousRun_data()
{
    QTest::addColumn<Protocol>("protocol");
    AddProtocols("200 exchanges", [](QTestData&) {});
}

void tst_ClientLogic::continuousRun()
{
    QFETCH(Protocol, protocol);
    auto device = StartDevice();
    QVERIFY(device);
    Rig rig(*device, protocol);
    rig.logic.cmdConnect_Click();
    rig.view.texts[Control::txtVar] = "%mw0";
    rig.logic.cmdReadCont_Click();
    QCOMPARE(rig.Text(Control::cmdReadCont), std::string("Stop"));
    QCOMPARE(rig.logic.CmdState(), 2);
    QVERIFY(!rig.view.IsEnabled(Control::cmdRead));
    QVERIFY(!rig.view.IsEnabled(Control::cmdWrite));
    QVERIFY(!rig.view.IsEnabled(Control::cmdStatus));

    QTRY_VERIFY_WITH_TIMEOUT(rig.answers >= 200, 120000);
    const int shown = rig.answers;
    rig.logic.cmdReadCont_Click();
    QCOMPARE(rig.logic.CmdState(), 0);
    QCOMPARE(rig.Text(Control::cmdReadCont), std::string("Read Cont"));
    QVERIFY(rig.view.IsEnabled(Control::cmdRead));
    QVERIFY(rig.view.IsEnabled(Control::cmdWrite));
    QVERIFY(rig.view.IsEnabled(Control::cmdStatus));

    // The one request still out is answered, shown, and sends nothing more.
    QTRY_COMPARE_WITH_TIMEOUT(rig.answers, shown + 1, kWait);
    rig.Press('S');
    QTRY_COMPARE_WITH_TIMEOUT(rig.answers, shown + 2, kWait);
    QCOMPARE(device->requestsReceived(), shown + 2);
    QCOMPARE(rig.Text(Control::txtVar), std::string("%MW0"));
    for (int i = 0; i <= shown; ++i)
        QCOMPARE(rig.values[std::size_t(i)], std::string("1234"));
    QVERIFY(rig.box.shown.empty());
    // Every exchange takes two readings of the fake clock: the send's stamp
    // before the write and the protocol module's own after it; over TCP the
    // first request, held until the connection was up, only the stamp.
    QCOMPARE(rig.logic.MinTime(), protocol == Protocol::Tcp ? 1 : 2);
    QCOMPARE(rig.logic.MaxTime(), 2);
}

void tst_ClientLogic::errorAnswerEndsLoopUnderStop()
{
    auto device = StartDevice();
    QVERIFY(device);
    Rig rig(*device, Protocol::Tcp);
    rig.logic.cmdConnect_Click();
    rig.Press('C');
    QTRY_VERIFY_WITH_TIMEOUT(rig.answers >= 3, kWait);
    // The name is read afresh for every request of the loop.
    rig.Var("%MW9");
    QTRY_COMPARE_WITH_TIMEOUT(rig.box.shown.size(), std::size_t(1), kWait);
    QCOMPARE(rig.box.shown[0].title, std::string("오류"));
    QCOMPARE(rig.box.shown[0].text, std::string("지정된 변수가 엑세스 경로에 정의되어있지 않습니다."));
    QCOMPARE(rig.logic.CmdState(), 0);
    QCOMPARE(rig.Text(Control::txtValue), std::string());
    QCOMPARE(rig.Text(Control::cmdReadCont), std::string("Stop"));
    QVERIFY(!rig.view.IsEnabled(Control::cmdRead));
    QVERIFY(!rig.view.IsEnabled(Control::cmdWrite));
    QVERIFY(!rig.view.IsEnabled(Control::cmdStatus));

    // The next press starts the loop again, because CmdState is 0.
    rig.logic.cmdReadCont_Click();
    QCOMPARE(rig.logic.CmdState(), 2);
    QCOMPARE(rig.Text(Control::cmdReadCont), std::string("Stop"));
    QTRY_COMPARE_WITH_TIMEOUT(rig.box.shown.size(), std::size_t(2), kWait);
    QCOMPARE(rig.logic.CmdState(), 0);
}

void tst_ClientLogic::dataSizeBelongsToLastRead()
{
    auto device = StartDevice();
    QVERIFY(device);
    Rig rig(*device, Protocol::Tcp);
    rig.logic.cmdConnect_Click();
    rig.Var("%MW0");
    rig.logic.cmdRead_Click();
    rig.Var("%MD0");
    // Built as a string: assigning the literal trips a false -Wrestrict of GCC 12 at -O2.
    rig.view.texts[Control::txtValue] = std::string(1, '1');
    rig.logic.cmdWrite_Click();
    QCOMPARE(rig.logic.DataSize(), 2);

    QTRY_COMPARE_WITH_TIMEOUT(rig.answers, 2, kWait);
    QCOMPARE(rig.values, std::vector<std::string>({"1234"}));
    QCOMPARE(rig.statesBefore, std::vector<int>({3, 3}));
    QCOMPARE(rig.logic.CmdState(), 0);
    QCOMPARE(device->readArea('M', 0, 4), QByteArray::fromHex("01000000"));
}

void tst_ClientLogic::firstAnswerSetsMinAndMax()
{
    auto device = StartDevice();
    QVERIFY(device);
    Rig rig(*device, Protocol::Udp);
    rig.clock.step = 0;
    rig.logic.cmdConnect_Click();
    QCOMPARE(rig.logic.MinTime(), 2147483647);
    QCOMPARE(rig.logic.MaxTime(), 0);

    struct Step {
        std::int32_t delay;
        const char *time, *min, *max;
    };
    const Step steps[] = {{37, "37", "37", "37"}, {12, "12", "12", "37"}, {50, "50", "12", "50"}};
    int n = 0;
    for (const Step& s : steps) {
        rig.clock.now = 5000;
        rig.Press(n == 1 ? 'S' : 'R'); // the statistics run across commands
        rig.clock.now = 5000 + s.delay;
        ++n;
        QTRY_COMPARE_WITH_TIMEOUT(rig.answers, n, kWait);
        QCOMPARE(rig.Text(Control::txtResTime), std::string(s.time));
        QCOMPARE(rig.Text(Control::txtMinTime), std::string(s.min));
        QCOMPARE(rig.Text(Control::txtMaxTime), std::string(s.max));
    }
}

void tst_ClientLogic::tickWrap_data()
{
    QTest::addColumn<int>("sentAt");
    QTest::addColumn<int>("arrivedAt");
    QTest::addColumn<QString>("elapsed");
    QTest::newRow("no wrap") << 100 << 350 << "250";
    QTest::newRow("across 2^31, 3 ms") << 2147483646 << -2147483647 << "3";
    QTest::newRow("at 2^31, 1 ms") << 2147483647 << (-2147483647 - 1) << "1";
    QTest::newRow("across 2^32, 3 ms") << -2 << 1 << "3";
    QTest::newRow("at 2^32, 1 ms") << -1 << 0 << "1";
}

void tst_ClientLogic::tickWrap()
{
    QFETCH(int, sentAt);
    QFETCH(int, arrivedAt);
    QFETCH(QString, elapsed);
    auto device = StartDevice();
    QVERIFY(device);
    Rig rig(*device, Protocol::Udp);
    rig.clock.step = 0;
    rig.logic.cmdConnect_Click();
    rig.clock.now = sentAt;
    rig.Press('R');
    rig.clock.now = arrivedAt;
    QTRY_COMPARE_WITH_TIMEOUT(rig.answers, 1, kWait);
    QCOMPARE(QString::fromStdString(rig.Text(Control::txtResTime)), elapsed);
    QCOMPARE(QString::fromStdString(rig.Text(Control::txtMinTime)), elapsed);
    QCOMPARE(QString::fromStdString(rig.Text(Control::txtMaxTime)), elapsed);
}

void tst_ClientLogic::readBeforeConnectionCompletes()
{
    auto device = StartDevice();
    QVERIFY(device);
    Rig rig(*device, Protocol::Tcp);
    rig.clock.step = 0;
    // The connection takes 500 ms to come up, the device answers in 20.
    struct SlowConnection final : platform::ISocketEvents {
        Rig& rig;
        explicit SlowConnection(Rig& r) : rig(r) {}
        void tcpClient_Connect() override
        {
            rig.clock.now += 500;
            rig.logic.tcpClient_Connect();
            rig.clock.now += 20;
        }
        void tcpClient_DataArrival(std::size_t n) override { rig.logic.tcpClient_DataArrival(n); }
        void tcpClient_Close() override { rig.logic.tcpClient_Close(); }
        void tcpClient_Error(const std::string& d) override { rig.logic.tcpClient_Error(d); }
    } slow(rig);
    rig.socket.SetListener(&slow);
    rig.logic.cmdConnect_Click();
    rig.Press('R'); // the connection is still being made: held until it is up
    QVERIFY(rig.view.IsEnabled(Control::txtIpAdd));
    QTRY_COMPARE_WITH_TIMEOUT(rig.answers, 1, kWait);
    QCOMPARE(rig.Text(Control::txtValue), std::string("1234"));
    QCOMPARE(rig.Text(Control::txtResTime), std::string("20"));
    QVERIFY(!rig.view.IsEnabled(Control::txtIpAdd));
    QCOMPARE(rig.logic.CmdState(), 0);
}

void tst_ClientLogic::coalescedAnswersInContinuousRead()
{
    auto device = StartDevice();
    QVERIFY(device);
    Rig rig(*device, Protocol::Tcp);
    CountingListener counter(rig.logic);
    rig.socket.SetListener(&counter);
    std::vector<int> arrivalOfAnswer;
    auto record = rig.view.onSetText;
    rig.view.onSetText = [&](Control c, std::string_view text) {
        if (c == Control::txtResTime)
            arrivalOfAnswer.push_back(counter.arrivals);
        record(c, text);
    };

    // Three requests held until the connection is up go out in one write;
    // the device answers them in one write, so one arrival completes three
    // answers. Reads at ticks 1000, 1001, 1002; the arrival reads 1003.
    rig.logic.cmdConnect_Click();
    rig.Press('R');
    rig.Press('R');
    rig.Press('C');
    QTRY_VERIFY_WITH_TIMEOUT(rig.answers >= 30, kWait);
    QCOMPARE(std::vector<int>(arrivalOfAnswer.begin(), arrivalOfAnswer.begin() + 3), std::vector<int>({1, 1, 1}));
    QCOMPARE(std::vector<int>(rig.statesBefore.begin(), rig.statesBefore.begin() + 3), std::vector<int>({2, 2, 2}));
    // The first answer is timed against the last send before the arrival;
    // the two after it against reads this arrival already sent: 0, not -1.
    QCOMPARE(std::vector<std::string>(rig.times.begin(), rig.times.begin() + 3),
             std::vector<std::string>({"1", "0", "0"}));

    rig.logic.cmdReadCont_Click();
    rig.Press('S');
    QTRY_COMPARE_WITH_TIMEOUT(rig.values.back(), kStatusText, kWait);
    for (const std::string& t : rig.times)
        QVERIFY2(t.front() != '-', t.c_str());
    QCOMPARE(rig.logic.MinTime(), 0);
    QCOMPARE(rig.answers, device->requestsReceived());
}

void tst_ClientLogic::splitAnswer()
{
    sim::Faults faults;
    faults.splitMs = 20;
    auto device = StartDevice(faults);
    QVERIFY(device);
    Rig rig(*device, Protocol::Tcp);
    CountingListener counter(rig.logic);
    rig.socket.SetListener(&counter);
    rig.logic.cmdConnect_Click();
    rig.Press('R');
    QTRY_COMPARE_WITH_TIMEOUT(rig.answers, 1, kWait);
    QCOMPARE(rig.Text(Control::txtValue), std::string("1234"));
    QCOMPARE(rig.Text(Control::txtState), std::string("0102"));
    QCOMPARE(counter.arrivals, 2);
    QVERIFY(rig.box.shown.empty());

    rig.Press('C');
    QTRY_VERIFY_WITH_TIMEOUT(rig.answers >= 20, kWait);
    rig.logic.cmdReadCont_Click();
    rig.Press('S');
    QTRY_COMPARE_WITH_TIMEOUT(rig.values.back(), kStatusText, kWait);
    QVERIFY(rig.box.shown.empty());
    QCOMPARE(rig.answers, device->requestsReceived());
}

void tst_ClientLogic::malformedAnswer_data()
{
    QTest::addColumn<int>("keep");
    QTest::addColumn<QString>("state");
    QTest::newRow("no state word") << 5 << "";
    QTest::newRow("header only") << 20 << "0102";
    QTest::newRow("value cut") << 33 << "0102";
}

void tst_ClientLogic::malformedAnswer()
{
    QFETCH(int, keep);
    QFETCH(QString, state);
    sim::Faults faults;
    faults.truncate = keep;
    auto device = StartDevice(faults);
    QVERIFY(device);
    Rig rig(*device, Protocol::Udp);
    rig.logic.cmdConnect_Click();
    rig.view.texts[Control::txtValue] = "old";
    rig.view.texts[Control::txtState] = "old";
    rig.Press('R');
    QTRY_COMPARE_WITH_TIMEOUT(rig.answers, 1, kWait);
    QCOMPARE(QString::fromStdString(rig.Text(Control::txtState)), state);
    QCOMPARE(rig.Text(Control::txtValue), std::string());
    QCOMPARE(rig.logic.CmdState(), 0);
    QCOMPARE(rig.box.shown.size(), std::size_t(1));
    QCOMPARE(rig.box.shown[0].title, std::string("오류"));
    QCOMPARE(rig.box.shown[0].text, std::string("응답 프레임이 올바르지 않습니다."));
    QVERIFY(rig.exit.statuses.empty());
}

void tst_ClientLogic::answersDuringMessageBox_data()
{
    QTest::addColumn<Protocol>("protocol");
    AddProtocols("error box open", [](QTestData&) {});
}

void tst_ClientLogic::answersDuringMessageBox()
{
    QFETCH(Protocol, protocol);
    ScriptedDevice device(protocol);
    QVERIFY(device.Listen());
    Rig rig(device.Ports(), protocol);
    rig.clock.step = 0;
    rig.logic.cmdConnect_Click();
    rig.Press('E');
    rig.Press('R');
    rig.Press('S');
    QVERIFY(device.Accept());
    QVERIFY(device.Receive(3));

    // The answers come 30 ms after the requests: the error answer first, the
    // other two while its box is open. The box then stays open for 3 s, which
    // is no part of any response time.
    rig.clock.now += 30;
    int answersWhileOpen = -1;
    bool arrivedWhileOpen = false;
    rig.box.whileOpen = [&] {
        answersWhileOpen = rig.answers;
        device.Send(kReadAnswer);
        device.Send(kStatusAnswer);
        arrivedWhileOpen = WaitLikeBox([&] { return rig.socket.HeldBytes() == std::size_t(34 + 50); });
        rig.clock.now += 3000;
    };
    device.Send(kErrorAnswer);
    QTRY_COMPARE_WITH_TIMEOUT(rig.answers, 3, kWait);
    QVERIFY(arrivedWhileOpen);
    QCOMPARE(answersWhileOpen, 1);
    QCOMPARE(rig.values, std::vector<std::string>({"", "1234", kStatusText}));
    QCOMPARE(rig.statesBefore, std::vector<int>({4, 0, 0}));
    QCOMPARE(rig.times, std::vector<std::string>({"30", "30", "30"}));
    QCOMPARE(rig.logic.MaxTime(), 30);
    QCOMPARE(rig.box.shown.size(), std::size_t(1));
    QCOMPARE(rig.logic.CmdState(), 0);
}

void tst_ClientLogic::peerCloseEndsProgram()
{
    sim::Faults faults;
    faults.closeAfter = 2;
    auto device = StartDevice(faults);
    QVERIFY(device);
    Rig rig(*device, Protocol::Tcp);
    rig.logic.cmdConnect_Click();
    rig.Press('R');
    QTRY_COMPARE_WITH_TIMEOUT(rig.answers, 1, kWait);
    rig.Press('S');
    QTRY_COMPARE_WITH_TIMEOUT(rig.exit.statuses, std::vector<int>({1}), kWait);
    QCOMPARE(rig.answers, 2); // the answer before the close is still handled
    QCOMPARE(rig.box.shown.size(), std::size_t(1));
    QCOMPARE(rig.box.shown[0].title, std::string("WinSock Message"));
    QCOMPARE(rig.box.shown[0].text, std::string("Close!"));

    // Ended: nothing more is sent or shown.
    rig.Press('R');
    rig.logic.tcpClient_Close();
    rig.logic.tcpClient_DataArrival(0);
    QCOMPARE(rig.box.shown.size(), std::size_t(1));
    QCOMPARE(rig.exit.statuses, std::vector<int>({1}));
    QCOMPARE(rig.answers, 2);
    QTRY_COMPARE_WITH_TIMEOUT(device->connectionCount(), 0, kWait);
    QCOMPARE(device->requestsReceived(), 2);
}

void tst_ClientLogic::refusedConnectionEndsProgram()
{
    quint16 closedPort = 0;
    {
        QTcpServer gone;
        QVERIFY(gone.listen(QHostAddress::LocalHost, 0));
        closedPort = gone.serverPort();
    }
    Rig rig(client::Ports{closedPort, 1}, Protocol::Tcp);
    rig.logic.cmdConnect_Click();
    QTRY_COMPARE_WITH_TIMEOUT(rig.exit.statuses, std::vector<int>({1}), kWait);
    QCOMPARE(rig.box.shown.size(), std::size_t(1));
    QCOMPARE(rig.box.shown[0].title, std::string("Winsock Error"));
#ifdef _WIN32
    // The system's own text, with the Winsock code a Windows user looks up.
    QVERIFY2(rig.box.shown[0].text.ends_with(" (10061)"), rig.box.shown[0].text.c_str());
#else
    QCOMPARE(rig.box.shown[0].text, std::string("Connection refused"));
#endif
    QCOMPARE(rig.busy.changes, std::vector<bool>({true, false}));
}

void tst_ClientLogic::hostNames_data()
{
    QTest::addColumn<Protocol>("protocol");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QHostAddress>("bind");
    QTest::addColumn<bool>("reachable");
    const QHostAddress v4(QHostAddress::LocalHost), v6(QHostAddress::LocalHostIPv6);
    AddProtocols("localhost", [&](QTestData& row) { row << "localhost" << v4 << true; });
    AddProtocols("::1", [&](QTestData& row) { row << "::1" << v6 << true; });
    AddProtocols("not an address", [&](QTestData& row) { row << "not an address!" << v4 << false; });
}

void tst_ClientLogic::hostNames()
{
    QFETCH(Protocol, protocol);
    QFETCH(QString, host);
    QFETCH(QHostAddress, bind);
    QFETCH(bool, reachable);
    auto device = StartDevice({}, bind);
    if (!device)
        QSKIP("no loopback address of this family");
    Rig rig(*device, protocol, host.toStdString());
    rig.logic.cmdConnect_Click();
    rig.Press('S');
    if (reachable) {
        QTRY_COMPARE_WITH_TIMEOUT(rig.answers, 1, kWait);
        QCOMPARE(rig.Text(Control::txtValue), kStatusText);
        QVERIFY(rig.exit.statuses.empty());
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(rig.exit.statuses, std::vector<int>({1}), kWait);
        QCOMPARE(rig.box.shown.size(), std::size_t(1));
        QCOMPARE(rig.box.shown[0].title, std::string("Winsock Error"));
        QVERIFY(!rig.box.shown[0].text.empty());
        QCOMPARE(device->requestsReceived(), 0);
    }
}

void tst_ClientLogic::otherPortIgnored()
{
    QUdpSocket stranger;
    QVERIFY(stranger.bind(QHostAddress::LocalHost, 0));
    auto device = StartDevice();
    QVERIFY(device);
    Rig rig(*device, Protocol::Udp);
    rig.logic.cmdConnect_Click();
    rig.Press('S');
    QTRY_COMPARE_WITH_TIMEOUT(rig.answers, 1, kWait);

    // A well-formed status answer from the device's address, but not from its
    // port. Sent before the next request, so it reaches the client first.
    const QByteArray foreign = QByteArray::fromHex("564F524E2D4B454C54550000001100001E000000"
                                                   "B1000000000000000000"
                                                   "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA");
    QCOMPARE(stranger.writeDatagram(foreign, QHostAddress::LocalHost, rig.socket.LocalPort()), qint64(foreign.size()));
    rig.Press('S');
    QTRY_COMPARE_WITH_TIMEOUT(rig.answers, 2, kWait);
    QCOMPARE(rig.values, std::vector<std::string>({kStatusText, kStatusText}));
}

void tst_ClientLogic::answerBeforeAnyRequest()
{
    ScriptedDevice device(Protocol::Tcp);
    QVERIFY(device.Listen());
    Rig rig(device.Ports(), Protocol::Tcp);
    rig.clock.now = 2798169;
    rig.logic.cmdConnect_Click();
    QVERIFY(device.Accept());
    QTRY_VERIFY_WITH_TIMEOUT(!rig.view.IsEnabled(Control::txtIpAdd), kWait);

    // Nothing was asked: the answer is shown, but there is no time to take.
    device.Send(kReadAnswer);
    QTRY_COMPARE_WITH_TIMEOUT(rig.logic.Answers(), std::uint64_t(1), kWait);
    QCOMPARE(rig.Text(Control::txtState), std::string("0201"));
    QCOMPARE(rig.Text(Control::txtValue), std::string(""));
    for (Control c : {Control::txtResTime, Control::txtMinTime, Control::txtMaxTime})
        QCOMPARE(rig.Text(c), std::string());
    QCOMPARE(rig.logic.MinTime(), 2147483647);
    QCOMPARE(rig.logic.MaxTime(), 0);

    rig.clock.step = 0;
    rig.Press('R');
    rig.clock.now += 7;
    device.Send(kReadAnswer);
    QTRY_COMPARE_WITH_TIMEOUT(rig.answers, 1, kWait);
    QCOMPARE(rig.Text(Control::txtValue), std::string("1234"));
    QCOMPARE(rig.times, std::vector<std::string>({"7"}));
    QCOMPARE(rig.logic.MaxTime(), 7);
}

void tst_ClientLogic::garbledFrameRestartsFraming()
{
    ScriptedDevice device(Protocol::Tcp);
    QVERIFY(device.Listen());
    Rig rig(device.Ports(), Protocol::Tcp);
    rig.logic.cmdConnect_Click();
    QVERIFY(device.Accept());
    rig.Press('C');

    // Twenty bytes that claim a body of 65535 bytes but are no answer (byte
    // 13 is not 0x11): one malformed answer, the loop ends, nothing held.
    device.Send(QByteArray::fromHex("564F524E2D4B454C5455010200330000FFFF0000"));
    QTRY_COMPARE_WITH_TIMEOUT(rig.box.shown.size(), std::size_t(1), kWait);
    QCOMPARE(rig.box.shown[0].title, std::string("오류"));
    QCOMPARE(rig.box.shown[0].text, std::string("응답 프레임이 올바르지 않습니다."));
    QCOMPARE(rig.logic.CmdState(), 0);
    QCOMPARE(rig.Text(Control::txtValue), std::string());

    // Framing starts again with the next arrival.
    rig.Press('R');
    device.Send(kReadAnswer);
    QTRY_COMPARE_WITH_TIMEOUT(rig.Text(Control::txtValue), std::string("1234"), kWait);
    QCOMPARE(rig.logic.Answers(), std::uint64_t(2));
    QCOMPARE(rig.box.shown.size(), std::size_t(1));
    QVERIFY(rig.exit.statuses.empty());
}

void tst_ClientLogic::answerShorterThanItsLength()
{
    ScriptedDevice device(Protocol::Tcp);
    QVERIFY(device.Listen());
    platform::QtTimer heldTimer;
    Rig rig(device.Ports(), Protocol::Tcp, "127.0.0.1", &heldTimer);
    CountingListener counter(rig.logic);
    rig.socket.SetListener(&counter);
    rig.logic.cmdConnect_Click();
    QVERIFY(device.Accept());
    rig.Press('C');
    QVERIFY(device.Receive(1));

    // A read answer whose length field claims 4 bytes more than it carries
    // (checksum corrected). No byte follows: a second later it is one
    // malformed answer, and the loop ends with the caption still "Stop".
    QByteArray claimsMore = kReadAnswer;
    claimsMore[16] = char(claimsMore[16] + 4);
    claimsMore[19] = char(claimsMore[19] + 4);
    device.Send(claimsMore);
    QTRY_COMPARE_WITH_TIMEOUT(counter.arrivals, 1, kWait);
    QVERIFY(rig.box.shown.empty());
    rig.clock.now += 1000;
    QTRY_COMPARE_WITH_TIMEOUT(rig.box.shown.size(), std::size_t(1), kWait);
    QCOMPARE(rig.box.shown[0].title, std::string("오류"));
    QCOMPARE(rig.box.shown[0].text, std::string("응답 프레임이 올바르지 않습니다."));
    QCOMPARE(rig.logic.CmdState(), 0);
    QCOMPARE(rig.Text(Control::cmdReadCont), std::string("Stop"));
    QCOMPARE(rig.Text(Control::txtValue), std::string());

    // Nothing is held: the next answer is read on its own.
    rig.Press('R');
    device.Send(kReadAnswer);
    QTRY_COMPARE_WITH_TIMEOUT(rig.Text(Control::txtValue), std::string("1234"), kWait);
    QCOMPARE(rig.logic.Answers(), std::uint64_t(2));
    QCOMPARE(rig.box.shown.size(), std::size_t(1));
    QVERIFY(rig.exit.statuses.empty());
}

void tst_ClientLogic::floodWhileBoxOpen_data()
{
    QTest::addColumn<Protocol>("protocol");
    QTest::addColumn<QString>("cause");
    QTest::newRow("tcp") << Protocol::Tcp << "more than 65555 bytes";
    QTest::newRow("udp") << Protocol::Udp << "more than 64 datagrams";
}

void tst_ClientLogic::floodWhileBoxOpen()
{
    QFETCH(Protocol, protocol);
    QFETCH(QString, cause);
    ScriptedDevice device(protocol);
    QVERIFY(device.Listen());
    Rig rig(device.Ports(), protocol);
    rig.logic.cmdConnect_Click();
    rig.Press('E');
    QVERIFY(device.Accept());
    QVERIFY(device.Receive(1));

    // The device answers with an error, then keeps sending unasked while the
    // box is open: over TCP 6000 answers (204000 bytes), over UDP 100.
    bool refused = false;
    rig.box.whileOpen = [&] {
        if (rig.box.shown.size() != 1)
            return;
        for (int i = 0; i < (protocol == Protocol::Tcp ? 6000 : 100); ++i)
            device.Send(kReadAnswer);
        refused = WaitLikeBox([&] { return rig.socket.Ended(); });
    };
    device.Send(kErrorAnswer);
    QTRY_COMPARE_WITH_TIMEOUT(rig.exit.statuses, std::vector<int>({1}), kWait);
    QVERIFY(refused);
    QCOMPARE(rig.box.shown.size(), std::size_t(2));
    QCOMPARE(rig.box.shown[1].title, std::string("Winsock Error"));
    QVERIFY2(QString::fromStdString(rig.box.shown[1].text).contains(cause), rig.box.shown[1].text.c_str());
    // Nothing of the flood was handled as an answer.
    QCOMPARE(rig.logic.Answers(), std::uint64_t(1));
}

void tst_ClientLogic::sendStampedBeforeWrite_data()
{
    QTest::addColumn<Protocol>("protocol");
    QTest::addColumn<bool>("heldWhileConnecting");
    QTest::newRow("tcp") << Protocol::Tcp << false;
    QTest::newRow("udp") << Protocol::Udp << false;
    QTest::newRow("tcp, made while connecting") << Protocol::Tcp << true;
}

void tst_ClientLogic::sendStampedBeforeWrite()
{
    QFETCH(Protocol, protocol);
    QFETCH(bool, heldWhileConnecting);

    struct Observers final : client::IExchangeObserver, client::ITrafficObserver {
        std::vector<std::optional<std::int32_t>> logged;
        std::vector<std::optional<std::int64_t>> rtts;
        void Exchanged(const client::Exchange& e) override { logged.push_back(e.elapsedMs); }
        void FrameSent(std::span<const std::uint8_t>, std::int64_t, std::uint64_t) override {}
        void FrameReceived(std::span<const std::uint8_t>, const modZeva::Answer&, std::int64_t,
                           std::optional<std::int64_t> rtt, client::AnswerTo, std::uint64_t) override
        {
            rtts.push_back(rtt);
        }
        void SocketEventHappened(client::SocketEvent, std::string_view) override {}
    } observers;
    RecordingView view;
    view.texts = {{Control::txtIpAdd, "127.0.0.1"}, {Control::txtVar, "%MW0"}};
    view.values = {{Control::optDirect, true}};
    FakeSocket socket;
    FakeClock ticks;
    FakeMonotonicClock micros;
    FakeMessageBox box;
    FakeBusy busy;
    FakeExit exit;
    client::ClientLogic logic(view, socket, ticks, box, busy, exit);
    logic.SetObserver(&observers);
    logic.SetTrafficObserver(&observers, &micros);
    logic.Form_Load();
    protocol == Protocol::Udp ? logic.optUDP_Click() : logic.optTCP_Click();

    // The process loses the processor for 10 ms inside each write; the
    // answer's last byte comes 12 ms after the request was handed over.
    socket.whileSending = [&] {
        ticks.now += 10;
        micros.now += 10000;
    };
    ticks.now = 5000;
    micros.now = 5'000'000;
    logic.cmdConnect_Click();
    if (!heldWhileConnecting && protocol == Protocol::Tcp)
        logic.tcpClient_Connect();
    logic.cmdRead_Click();
    if (heldWhileConnecting) {
        QVERIFY(socket.sent.empty());
        ticks.now = 6000;
        micros.now = 6'000'000;
        logic.tcpClient_Connect();
    }
    QCOMPARE(socket.sent.size(), std::size_t(1));
    const std::int32_t sentAt = heldWhileConnecting ? 6000 : 5000;
    socket.arrivalTick = sentAt + 12;
    socket.arrivalMicros = std::int64_t(sentAt + 12) * 1000;
    socket.incoming.emplace_back(kReadAnswer.begin(), kReadAnswer.end());
    logic.tcpClient_DataArrival(kReadAnswer.size());

    QCOMPARE(view.Text(Control::txtValue), std::string("1234"));
    QCOMPARE(view.Text(Control::txtResTime), std::string("12"));
    QCOMPARE(logic.MinTime(), 12);
    QCOMPARE(observers.logged, std::vector<std::optional<std::int32_t>>({12}));
    QCOMPARE(observers.rtts, std::vector<std::optional<std::int64_t>>({12000}));
}

QTEST_GUILESS_MAIN(tst_ClientLogic)
#include "tst_ClientLogic.moc"
