// The exporter's configuration: each kind of wrong file is refused with
// where it is wrong, and what a good one says is what the probes get.
#include <Config.h>
#include <Exporter.h>
#include <WebConfig.h>

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using exporter::ParseConfig;

class tst_ExporterConfig : public QObject {
    Q_OBJECT

private slots:
    void refused_data();
    void refused();
    void goodFile();
    void allowList_data();
    void allowList();
    void targets_data();
    void targets();
    void listenAddress_data();
    void listenAddress();
    void probeDeadline_data();
    void probeDeadline();
    void onlyARegularFileIsRead();
    void webConfigRefused_data();
    void webConfigRefused();
    void passwordsCheckedAgainstBcrypt();
};

void tst_ExporterConfig::refused_data()
{
    QTest::addColumn<QString>("yaml");
    QTest::addColumn<QString>("error"); // the start of the message, FILE:LINE:COLUMN first

    const QString head = QStringLiteral("allow: [127.0.0.0/8]\nmodules:\n  default:\n");
    QTest::newRow("unknown key") << head + "    variabels:\n      - name: \"%MW0\"\n"
                                 << "x.yml:4:5: unknown key 'variabels' in a module";
    QTest::newRow("unknown top key") << QStringLiteral("alow: [127.0.0.1]\nmodules: {}\n")
                                     << "x.yml:1:1: unknown key 'alow' in the configuration";
    QTest::newRow("named variable without type") << head + "    variables:\n      - name: SPEED\n"
                                                 << "x.yml:5:9: the named variable SPEED needs a type";
    QTest::newRow("float for a WORD") << head + "    variables:\n      - name: SPEED\n        type: WORD\n        format: float\n"
                                      << "x.yml:7:17: float is for DWORD and LWORD variables; SPEED is a WORD";
    QTest::newRow("not a range") << QStringLiteral("allow:\n  - 127.0.0.0/40\nmodules:\n  m:\n    status: true\n")
                                 << "x.yml:2:5: '127.0.0.0/40' is not an address range";
    QTest::newRow("not a host") << QStringLiteral("allow:\n  - \"plc 1\"\nmodules:\n  m:\n    status: true\n")
                                << "x.yml:2:5: 'plc 1' is not an address, an address range or a host name";
    QTest::newRow("unknown protocol") << head + "    protocol: sctp\n    status: true\n"
                                      << "x.yml:4:15: unknown protocol 'sctp'";
    QTest::newRow("port out of range") << head + "    port: 70000\n    status: true\n" << "x.yml:4:11: bad port '70000'";
    QTest::newRow("bad timeout") << head + "    timeout: 1x\n    status: true\n" << "x.yml:4:14: bad timeout '1x'";
    QTest::newRow("retries over tcp") << head + "    retries: 2\n    status: true\n" << "x.yml:4:14: retries is for udp";
    QTest::newRow("unknown format") << head + "    variables:\n      - name: \"%MW0\"\n        format: hex\n"
                                    << "x.yml:6:17: unknown format 'hex'";
    QTest::newRow("type on a direct address") << head + "    variables:\n      - name: \"%MW0\"\n        type: WORD\n"
                                              << "x.yml:6:15: %MW0 is a direct address";
    QTest::newRow("variable twice") << head + "    variables:\n      - name: \"%MW0\"\n      - name: \"%mw0\"\n"
                                    << "x.yml:6:9: the variable %MW0 is listed twice";
    QTest::newRow("nothing to read") << head + "    port: 2004\n" << "x.yml:4:5: a module needs a variable";
    QTest::newRow("not yaml") << QStringLiteral("allow: [127.0.0.1\nmodules:\n") << "x.yml:";
    QTest::newRow("no modules") << QStringLiteral("allow: [127.0.0.1]\n") << "x.yml:1:1: no modules";
    QTest::newRow("name a request cannot carry") << head + "    variables:\n      - name: \"속도\"\n        type: WORD\n"
                                                 << "x.yml:5:15: 속도: the name has a character outside U+0001 to U+00FF";
    QTest::newRow("timeout overflows") << head + "    timeout: 5124095576h1m50s551ms\n    status: true\n"
                                       << "x.yml:4:14: bad timeout '5124095576h1m50s551ms'";
    QTest::newRow("probe_timeout over 10m") << head + "    probe_timeout: 11m\n    status: true\n"
                                            << "x.yml:4:20: bad probe_timeout '11m'";
    QTest::newRow("allow with a leading zero") << QStringLiteral("allow:\n  - 127.0.0.010\nmodules:\n  m:\n    status: true\n")
                                               << "x.yml:2:5: '127.0.0.010' is not an address, an address range or a host name";
    QTest::newRow("allow, short form") << QStringLiteral("allow:\n  - 127.1/8\nmodules:\n  m:\n    status: true\n")
                                       << "x.yml:2:5: '127.1/8' is not an address range";
    QTest::newRow("allow, number as name") << QStringLiteral("allow:\n  - 2130706502\nmodules:\n  m:\n    status: true\n")
                                           << "x.yml:2:5: '2130706502' is not an address";
}

void tst_ExporterConfig::refused()
{
    QFETCH(QString, yaml);
    QFETCH(QString, error);
    const exporter::Loaded loaded = ParseConfig(yaml.toStdString(), "x.yml");
    QVERIFY(!loaded.config);
    QVERIFY2(QString::fromStdString(loaded.error).startsWith(error), loaded.error.c_str());
}

void tst_ExporterConfig::goodFile()
{
    const exporter::Loaded loaded = ParseConfig(R"(allow:
  - 127.0.0.0/8
  - plc-7.plant
modules:
  default:
    variables:
      - name: "%mw0"
      - name: speed
        type: word
        format: signed
  fast:
    protocol: udp
    timeout: 1m30s
    retries: 2
    status: true
    variables:
      - name: "%MD10"
        format: float
)",
                                                "x.yml");
    QVERIFY2(loaded.config, loaded.error.c_str());
    const exporter::Module& d = loaded.config->modules.at("default");
    QCOMPARE(d.port, 2004);
    QCOMPARE(d.timeoutUs, 1'000'000);
    QCOMPARE(d.variables.size(), 2u);
    QCOMPARE(d.variables[0].label, "%MW0");
    QCOMPARE(d.variables[0].request.dataSize, 2);
    QCOMPARE(d.variables[1].request.name, "SPEED");
    QCOMPARE(d.variables[1].request.type, 2);
    QCOMPARE(d.variables[1].format, modZeva::ValueFormat::Signed);
    const exporter::Module& f = loaded.config->modules.at("fast");
    QCOMPARE(f.protocol, platform::Protocol::Udp);
    QCOMPARE(f.port, 2005);
    QCOMPARE(f.timeoutUs, 90'000'000);
    QCOMPARE(f.retries, 2);
    QVERIFY(f.status);
}

// A target reaches a device only when the list allows it; a host name is
// matched as it is written, never looked up.
void tst_ExporterConfig::allowList_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("allowed");
    QTest::newRow("in the range") << "127.0.0.1:2004" << true;
    QTest::newRow("range's last") << "127.255.255.255" << true;
    QTest::newRow("outside") << "128.0.0.1" << false;
    QTest::newRow("listed name") << "PLC-7.plant:2004" << true;
    QTest::newRow("unlisted name") << "localhost" << false;
    QTest::newRow("IPv6 loopback") << "[::1]:2004" << false;
    QTest::newRow("mapped IPv4") << "[::ffff:127.0.0.1]" << false;
}

void tst_ExporterConfig::allowList()
{
    QFETCH(QString, target);
    QFETCH(bool, allowed);
    const exporter::Loaded loaded
        = ParseConfig("allow: [127.0.0.0/8, plc-7.plant]\nmodules:\n  m:\n    status: true\n", "x.yml");
    QVERIFY(loaded.config);
    exporter::Target t;
    std::string error;
    QVERIFY2(exporter::ParseTarget(target.toStdString(), 2004, &t, &error), error.c_str());
    QCOMPARE(loaded.config->Allows(t.host), allowed);
}

// Only four decimal numbers make an IPv4 address: every other form a
// resolver would read as one, and any space or control character, is refused.
void tst_ExporterConfig::targets_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QString>("host"); // empty: refused
    QTest::addColumn<int>("port");
    QTest::newRow("address") << QByteArray("127.0.0.70") << "127.0.0.70" << 2004;
    QTest::newRow("address and port") << QByteArray("255.255.255.255:1") << "255.255.255.255" << 1;
    QTest::newRow("leading zero") << QByteArray("127.0.0.010") << "" << 0;
    QTest::newRow("hexadecimal") << QByteArray("0x7f.0.0.70") << "" << 0;
    QTest::newRow("three parts") << QByteArray("127.0.70") << "" << 0;
    QTest::newRow("one number") << QByteArray("2130706502") << "" << 0;
    QTest::newRow("hex name") << QByteArray("0x7f000046") << "" << 0;
    QTest::newRow("over 255") << QByteArray("127.0.0.256") << "" << 0;
    QTest::newRow("five parts") << QByteArray("1.2.3.4.5") << "" << 0;
    QTest::newRow("spaces around") << QByteArray(" 127.0.0.70 ") << "" << 0;
    QTest::newRow("newline") << QByteArray("127.0.0.70\n") << "" << 0;
    QTest::newRow("NUL") << QByteArray("127.0.0.70\0junk", 15) << "" << 0;
    QTest::newRow("tab in name") << QByteArray("plc\t7") << "" << 0;
    QTest::newRow("port with leading zero") << QByteArray("127.0.0.1:02004") << "" << 0;
    QTest::newRow("port zero") << QByteArray("127.0.0.1:0") << "" << 0;
    QTest::newRow("IPv6") << QByteArray("[0:0::1]:5") << "::1" << 5;
    QTest::newRow("IPv6, longest zero run") << QByteArray("[1:0:0:2:0:0:0:3]") << "1:0:0:2::3" << 2004;
    QTest::newRow("IPv6 with IPv4") << QByteArray("[::FFFF:127.0.0.1]") << "::ffff:7f00:1" << 2004;
    QTest::newRow("IPv6 without brackets") << QByteArray("::1") << "" << 0;
    QTest::newRow("IPv6 zone") << QByteArray("[fe80::1%eth0]") << "" << 0;
    QTest::newRow("IPv6, two gaps") << QByteArray("[1::2::3]") << "" << 0;
    QTest::newRow("IPv6, nine groups") << QByteArray("[1:2:3:4:5:6:7:8:9]") << "" << 0;
    QTest::newRow("IPv4 in brackets") << QByteArray("[127.0.0.1]") << "" << 0;
    QTest::newRow("name") << QByteArray("PLC-7.Plant:2004") << "plc-7.plant" << 2004;
    QTest::newRow("empty label") << QByteArray("plc..plant") << "" << 0;
    QTest::newRow("hyphen first") << QByteArray("-plc") << "" << 0;
}

void tst_ExporterConfig::targets()
{
    QFETCH(QByteArray, target);
    QFETCH(QString, host);
    QFETCH(int, port);
    exporter::Target t;
    std::string error;
    const bool ok = exporter::ParseTarget(std::string(target.constData(), std::size_t(target.size())), 2004, &t, &error);
    QVERIFY2(ok == !host.isEmpty(), error.c_str());
    if (ok) {
        QCOMPARE(QString::fromStdString(t.host), host);
        QCOMPARE(int(t.port), port);
    } else {
        QVERIFY(!error.empty());
        QVERIFY(error.find(std::string(target.constData(), std::size_t(target.size()))) == std::string::npos);
    }
}

// Where the exporter listens: an address or localhost and a port, 0 for
// any free one; an empty host is every address.
void tst_ExporterConfig::listenAddress_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("address"); // empty: refused
    QTest::addColumn<int>("port");
    QTest::newRow("every address") << ":9810" << "0.0.0.0" << 9810;
    QTest::newRow("port 0") << "127.0.0.1:0" << "127.0.0.1" << 0;
    QTest::newRow("IPv6, leading zero") << "[::1]:09810" << "::1" << 9810;
    QTest::newRow("localhost") << "localhost:80" << "127.0.0.1" << 80;
    QTest::newRow("IPv6 without brackets") << "::1:9810" << "" << 0;
    QTest::newRow("no port") << "127.0.0.1" << "" << 0;
    QTest::newRow("a name") << "plc.example:80" << "" << 0;
    QTest::newRow("octal-looking address") << "127.0.0.010:80" << "" << 0;
}

void tst_ExporterConfig::listenAddress()
{
    QFETCH(QString, text);
    QFETCH(QString, address);
    QFETCH(int, port);
    QHostAddress a;
    quint16 p = 1;
    QCOMPARE(exporter::ParseListenAddress(text, &a, &p), !address.isEmpty());
    if (!address.isEmpty()) {
        QCOMPARE(a.toString(), address);
        QCOMPARE(int(p), port);
    }
}

// The scraper's timeout less the offset, within the module's probe_timeout
// and ten minutes; a header that is not a positive finite number counts
// for nothing.
void tst_ExporterConfig::probeDeadline_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<qint64>("offsetUs");
    QTest::addColumn<qint64>("probeTimeoutUs");
    QTest::addColumn<qint64>("deadlineUs");
    QTest::newRow("no header") << QByteArray() << 500'000LL << 0LL << 10'000'000LL;
    QTest::newRow("header") << QByteArray("3") << 500'000LL << 0LL << 2'500'000LL;
    QTest::newRow("header with spaces") << QByteArray(" 2.5 ") << 500'000LL << 0LL << 2'000'000LL;
    QTest::newRow("own offset") << QByteArray("3") << 1'000'000LL << 0LL << 2'000'000LL;
    QTest::newRow("probe_timeout smaller") << QByteArray("3") << 500'000LL << 1'000'000LL << 1'000'000LL;
    QTest::newRow("probe_timeout, no header") << QByteArray() << 500'000LL << 4'000'000LL << 4'000'000LL;
    QTest::newRow("probe_timeout over 10 s, no header") << QByteArray() << 500'000LL << 30'000'000LL << 10'000'000LL;
    QTest::newRow("huge header") << QByteArray("1e13") << 500'000LL << 0LL << 600'000'000LL;
    QTest::newRow("past double") << QByteArray("1e400") << 500'000LL << 0LL << 10'000'000LL;
    QTest::newRow("infinite") << QByteArray("inf") << 500'000LL << 0LL << 10'000'000LL;
    QTest::newRow("not a number") << QByteArray("nan") << 500'000LL << 2'000'000LL << 2'000'000LL;
    QTest::newRow("negative") << QByteArray("-3") << 500'000LL << 0LL << 10'000'000LL;
    QTest::newRow("zero") << QByteArray("0") << 500'000LL << 0LL << 10'000'000LL;
    QTest::newRow("text") << QByteArray("3s") << 500'000LL << 0LL << 10'000'000LL;
    QTest::newRow("shorter than twice the offset") << QByteArray("0.6") << 500'000LL << 0LL << 300'000LL;
}

void tst_ExporterConfig::probeDeadline()
{
    QFETCH(QByteArray, header);
    QFETCH(qint64, offsetUs);
    QFETCH(qint64, probeTimeoutUs);
    QFETCH(qint64, deadlineUs);
    QCOMPARE(qint64(exporter::ProbeDeadlineUs(header.toStdString(), offsetUs, probeTimeoutUs)), deadlineUs);
}

// A FIFO would hold the exporter for ever on reading it.
void tst_ExporterConfig::onlyARegularFileIsRead()
{
    QTemporaryDir dir;
    const std::string directory = dir.path().toStdString();
    QCOMPARE(exporter::LoadConfig(directory).error, directory + ":1:1: not a regular file");
    QCOMPARE(exporter::WebConfigFile(directory).Current(nullptr), nullptr);
    const QString mkfifo = QStandardPaths::findExecutable(QStringLiteral("mkfifo"));
    if (mkfifo.isEmpty())
        return;
    const std::string fifo = dir.filePath("fifo").toStdString();
    QCOMPARE(QProcess::execute(mkfifo, {QString::fromStdString(fifo)}), 0);
    QCOMPARE(exporter::LoadConfig(fifo).error, fifo + ":1:1: not a regular file");
    std::string error;
    QVERIFY(!exporter::WebConfigFile(fifo).Current(&error));
    QCOMPARE(error, fifo + ":1:1: not a regular file");
}

void tst_ExporterConfig::webConfigRefused_data()
{
    QTest::addColumn<QString>("yaml");
    QTest::addColumn<QString>("error");
    QTest::newRow("unknown key") << "basic_auth_user:\n  alice: x\n" << "w.yml:1:1: unknown key 'basic_auth_user'";
    QTest::newRow("not bcrypt") << "basic_auth_users:\n  alice: secret\n"
                                << "w.yml:2:10: the password hash of 'alice' is not a bcrypt hash";
    QTest::newRow("no key file") << "tls_server_config:\n  cert_file: c.pem\n"
                                 << "w.yml:2:3: tls_server_config needs cert_file and key_file";
    QTest::newRow("no certificate") << "tls_server_config:\n  cert_file: none.pem\n  key_file: none.key\n"
                                    << "w.yml:2:14: cert_file '";
    QTest::newRow("not a certificate") << "tls_server_config:\n  cert_file: w.yml\n  key_file: w.yml\n  min_version: TLS10\n"
                             << "w.yml:2:14: cert_file holds no PEM certificate";
}

void tst_ExporterConfig::webConfigRefused()
{
    QFETCH(QString, yaml);
    QFETCH(QString, error);
    QTemporaryDir dir;
    QFile(dir.filePath("w.yml")).open(QIODevice::WriteOnly);
    const exporter::LoadedWeb loaded = exporter::ParseWebConfig(yaml.toStdString(), "w.yml", dir.path().toStdString());
    QVERIFY(!loaded.config);
    QVERIFY2(QString::fromStdString(loaded.error).startsWith(error), loaded.error.c_str());
}

void tst_ExporterConfig::passwordsCheckedAgainstBcrypt()
{
    const QString htpasswd = QStandardPaths::findExecutable(QStringLiteral("htpasswd"));
    if (htpasswd.isEmpty())
        QSKIP("htpasswd is not installed (./tools.sh installs apache2-utils)");
    QProcess make;
    make.start(htpasswd, {"-nbB", "alice", "s3cret:x"});
    QVERIFY(make.waitForFinished(20000));
    const QByteArray line = make.readAllStandardOutput().trimmed();
    QVERIFY2(line.startsWith("alice:$2y$"), line.constData());
    const exporter::LoadedWeb loaded = exporter::ParseWebConfig(
        "basic_auth_users:\n  alice: '" + line.mid(6).toStdString() + "'\n", "w.yml", ".");
    QVERIFY2(loaded.config, loaded.error.c_str());
    const auto basic = [](const QByteArray& userPassword) { return ("Basic " + userPassword.toBase64()).toStdString(); };
    QVERIFY(loaded.config->Authorized(basic("alice:s3cret:x")));
    QVERIFY(loaded.config->Authorized(basic("alice:s3cret:x"))); // as remembered
    QVERIFY(!loaded.config->Authorized(basic("alice:s3cret")));
    QVERIFY(!loaded.config->Authorized(basic("bob:s3cret:x")));
    QVERIFY(!loaded.config->Authorized("Basic !!!"));
    QVERIFY(!loaded.config->Authorized(""));
}

QTEST_GUILESS_MAIN(tst_ExporterConfig)
#include "tst_ExporterConfig.moc"
