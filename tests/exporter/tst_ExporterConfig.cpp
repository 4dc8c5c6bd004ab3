// The exporter's configuration: each kind of wrong file is refused with
// where it is wrong, and what a good one says is what the probes get.
#include <Config.h>

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

QTEST_GUILESS_MAIN(tst_ExporterConfig)
#include "tst_ExporterConfig.moc"
