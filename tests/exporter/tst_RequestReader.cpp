// The exporter's request reader on its own: requests split anywhere, the
// bounds to the byte, and what a request says about keeping the connection.
#include <RequestReader.h>

#include <QTest>

using exporter::RequestReader;

namespace {

constexpr std::size_t kHeaders = 8192;
constexpr std::size_t kBody = 65536;

// Feeds the pieces in turn and reads every request: "METHOD URL TIMEOUT"
// for each, then "refused STATUS" if it came to that.
QStringList ReadPieces(const QByteArrayList& pieces)
{
    RequestReader reader(kHeaders, kBody);
    QStringList seen;
    QByteArray pending;
    for (qsizetype next = 0;;) {
        if (pending.isEmpty()) {
            if (next == pieces.size())
                return seen;
            pending = pieces[next++];
        }
        pending.remove(0, qsizetype(reader.Feed(pending.constData(), std::size_t(pending.size()))));
        if (reader.GetState() == RequestReader::State::Refused)
            return seen << QStringLiteral("refused %1").arg(reader.Status());
        if (reader.GetState() == RequestReader::State::Complete) {
            seen << QString::fromStdString(reader.Method() + " " + reader.Url() + " " + reader.ScrapeTimeout());
            reader.Next();
        } else if (!pending.isEmpty()) {
            return seen << QStringLiteral("bytes left unread");
        }
    }
}

// The text whole (piece 0), or in pieces of `piece` bytes.
QStringList ReadAll(const QByteArray& text, qsizetype piece)
{
    QByteArrayList pieces;
    for (qsizetype at = 0; at < text.size(); at += piece ? piece : text.size())
        pieces << text.mid(at, piece ? piece : text.size());
    return ReadPieces(pieces);
}

// A GET whose request line and headers take exactly `size` bytes.
QByteArray GetOfSize(std::size_t size)
{
    const QByteArray start = "GET / HTTP/1.1\r\nX-Pad: ";
    const QByteArray end = "\r\n\r\n";
    return start + QByteArray(qsizetype(size) - start.size() - end.size(), 'p') + end;
}

} // namespace

class tst_RequestReader : public QObject {
    Q_OBJECT

private slots:
    void splitAnywhere();
    void bounds_data();
    void bounds();
    void keepAlive_data();
    void keepAlive();
};

// Three requests in a row, given whole, split in two at every byte, and
// byte by byte: the same three requests, in order.
void tst_RequestReader::splitAnywhere()
{
    const QByteArray text = "GET /probe?target=127.0.0.1 HTTP/1.1\r\nHost: x\r\nX-Prometheus-Scrape-Timeout-Seconds: 3\r\n\r\n"
                            "POST /-/reload HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello"
                            "HEAD /metrics HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n";
    const QStringList expected{"GET /probe?target=127.0.0.1 3", "POST /-/reload ", "HEAD /metrics "};
    QCOMPARE(ReadAll(text, 0), expected);
    QCOMPARE(ReadAll(text, 1), expected);
    for (qsizetype split = 1; split < text.size(); ++split) {
        const QStringList seen = ReadPieces({text.left(split), text.mid(split)});
        QVERIFY2(seen == expected, qPrintable(QStringLiteral("split %1: %2").arg(split).arg(seen.join('|'))));
    }
}

void tst_RequestReader::bounds_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("result");
    const QByteArray post = "POST /-/reload HTTP/1.1\r\n";
    QTest::newRow("headers of 8 KiB") << GetOfSize(kHeaders) << "GET / ";
    QTest::newRow("headers of 8 KiB and a byte") << GetOfSize(kHeaders + 1) << "refused 431";
    QTest::newRow("request line over 8 KiB") << "GET /" + QByteArray(kHeaders, 'u') + " HTTP/1.1\r\n\r\n" << "refused 414";
    QTest::newRow("request line without end") << "GET /" + QByteArray(kHeaders + 10, 'u') << "refused 414";
    QTest::newRow("headers without end") << "GET / HTTP/1.1\r\n" + QByteArray("a: b\r\n").repeated(2000) << "refused 431";
    QTest::newRow("body of 64 KiB") << post + "Content-Length: 65536\r\n\r\n" + QByteArray(kBody, 'b') << "POST /-/reload ";
    QTest::newRow("body of 64 KiB and a byte") << post + "Content-Length: 65537\r\n\r\n" << "refused 413";
    QTest::newRow("chunked body over 64 KiB")
        << post + "Transfer-Encoding: chunked\r\n\r\n" + QByteArray("8000\r\n" + QByteArray(0x8000, 'b') + "\r\n").repeated(3)
        << "refused 413";
    QTest::newRow("length that overflows") << post + "Content-Length: 99999999999999999999999\r\n\r\n" << "refused 400";
    QTest::newRow("not HTTP") << QByteArray("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03") << "refused 400";
}

// Given whole and byte by byte, each ends the same.
void tst_RequestReader::bounds()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, result);
    QCOMPARE(ReadAll(text, 0).value(0), result);
    QCOMPARE(ReadAll(text, 1).value(0), result);
}

void tst_RequestReader::keepAlive_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("keepAlive");
    QTest::newRow("HTTP/1.1") << QByteArray("GET / HTTP/1.1\r\n\r\n") << true;
    QTest::newRow("HTTP/1.1, close") << QByteArray("GET / HTTP/1.1\r\nConnection: close\r\n\r\n") << false;
    QTest::newRow("HTTP/1.0") << QByteArray("GET / HTTP/1.0\r\n\r\n") << false;
    QTest::newRow("HTTP/1.0, keep-alive") << QByteArray("GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n") << true;
    QTest::newRow("upgrade") << QByteArray("GET / HTTP/1.1\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n\r\n") << false;
}

void tst_RequestReader::keepAlive()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, keepAlive);
    RequestReader reader(kHeaders, kBody);
    QCOMPARE(reader.Feed(text.constData(), std::size_t(text.size())), std::size_t(text.size()));
    QCOMPARE(reader.GetState(), RequestReader::State::Complete);
    QCOMPARE(reader.KeepAlive(), keepAlive);
}

QTEST_GUILESS_MAIN(tst_RequestReader)
#include "tst_RequestReader.moc"
