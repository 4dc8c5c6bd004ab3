// The window as it opens and its own enabling rules, without a device.
#include <frmClient.h>

#include <Fakes.h>

#include <QAccessible>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>

class tst_frmClient : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        window = std::make_unique<ui::frmClient>(ui::Services{&box, &clock, &exit, &busy});
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        // Run once more with the traffic window opened by its key.
        if (qEnvironmentVariableIsSet("ZEVA_TEST_TRAFFIC_OPEN")) {
            window->activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(window.get()));
            QTest::keyClick(window.get(), Qt::Key_F12);
            QVERIFY(window->Traffic() && window->Traffic()->isVisible());
        }
    }
    void cleanup() { window.reset(); }

    void titleAndSize();
    void initialState_data();
    void initialState();
    void positions_data();
    void positions();
    void captionsWholeAndApart();
    void tabOrder();
    void buddies_data();
    void buddies();
    void dataTypeList();
    void namedAndDirect();
    void protocolCaption();
    void startEnablesCommands();

private:
    template <typename T = QWidget>
    T* control(const char* name) const
    {
        T* w = window->findChild<T*>(QString::fromLatin1(name));
        if (!w)
            qFatal("no control %s", name);
        return w;
    }

    FakeMessageBox box;
    FakeClock clock;
    FakeExit exit;
    FakeBusy busy;
    std::unique_ptr<ui::frmClient> window;
};

void tst_frmClient::titleAndSize()
{
    QCOMPARE(window->windowTitle(), QStringLiteral("Zeva Client"));
    QCOMPARE(window->minimumSize(), QSize(367, 236));
    QCOMPARE(window->maximumSize(), QSize(367, 236));
    QVERIFY(window->windowFlags() & Qt::WindowMinimizeButtonHint);
    QVERIFY(!(window->windowFlags() & Qt::WindowMaximizeButtonHint));
}

void tst_frmClient::initialState_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<bool>("checked");

    const auto row = [](const char* name, const char* kind, const char* parent, const char* text, bool enabled,
                        bool checked = false) {
        QTest::newRow(name) << kind << parent << text << enabled << checked;
    };
    row("Frame2", "QGroupBox", "frmClient", "Protocol", true);
    row("optTCP", "QRadioButton", "Frame2", "TCP", true, true);
    row("optUDP", "QRadioButton", "Frame2", "UDP", true);
    row("Frame1", "QGroupBox", "frmClient", "Variable Type", true);
    row("optDirect", "QRadioButton", "Frame1", "Direct", true, true);
    row("optPath", "QRadioButton", "Frame1", "Named", true);
    row("lblIpAdd", "QLabel", "frmClient", "Remote Host IP Address", true);
    row("txtIpAdd", "QLineEdit", "frmClient", "127.0.0.1", true);
    row("lblDataType", "QLabel", "frmClient", "Data Type", true);
    row("cboDataType", "QComboBox", "frmClient", "", false);
    row("Label1", "QLabel", "frmClient", "Variable", true);
    row("txtVar", "QLineEdit", "frmClient", "%MW0", true);
    row("Label2", "QLabel", "frmClient", "Value", true);
    row("txtValue", "QLineEdit", "frmClient", "", true);
    row("cmdConnect", "QPushButton", "frmClient", "Connect", true);
    row("cmdRead", "QPushButton", "frmClient", "Read", false);
    row("cmdReadCont", "QPushButton", "frmClient", "Read Cont", false);
    row("cmdWrite", "QPushButton", "frmClient", "Write", false);
    row("cmdStatus", "QPushButton", "frmClient", "Status", false);
    row("txtResTime", "QLineEdit", "frmClient", "", true);
    row("Label3", "QLabel", "frmClient", "Response Time", true);
    row("Label4", "QLabel", "frmClient", "(msec)", true);
    row("Label5", "QLabel", "frmClient", "Min", true);
    row("txtMinTime", "QLineEdit", "frmClient", "", true);
    row("Label6", "QLabel", "frmClient", "Max", true);
    row("txtMaxTime", "QLineEdit", "frmClient", "", true);
    row("txtState", "QLineEdit", "frmClient", "", true);
    row("Label7", "QLabel", "frmClient", "State", true);
}

void tst_frmClient::initialState()
{
    QFETCH(QString, kind);
    QFETCH(QString, parent);
    QFETCH(QString, text);
    QFETCH(bool, enabled);
    QFETCH(bool, checked);

    QWidget* w = control(QTest::currentDataTag());
    QCOMPARE(QString::fromLatin1(w->metaObject()->className()), kind);
    QCOMPARE(w->parentWidget()->objectName(), parent);
    QString shown;
    if (auto* b = qobject_cast<QAbstractButton*>(w))
        shown = b->text();
    else if (auto* l = qobject_cast<QLabel*>(w))
        shown = l->text();
    else if (auto* e = qobject_cast<QLineEdit*>(w))
        shown = e->text();
    else if (auto* g = qobject_cast<QGroupBox*>(w))
        shown = g->title();
    else if (auto* c = qobject_cast<QComboBox*>(w))
        shown = c->currentText();
    QCOMPARE(shown, text);
    QCOMPARE(w->isEnabled(), enabled);
    if (auto* o = qobject_cast<QRadioButton*>(w))
        QCOMPARE(o->isChecked(), checked);
    if (auto* e = qobject_cast<QLineEdit*>(w))
        QVERIFY(!e->isReadOnly());
    QVERIFY(w->isVisible());
}

void tst_frmClient::positions_data()
{
    QTest::addColumn<QRect>("rect");
    // Twips of the layout divided by 15.
    QTest::newRow("Frame2") << QRect(24, 0, 145, 41);
    QTest::newRow("Frame1") << QRect(24, 48, 145, 41);
    QTest::newRow("txtIpAdd") << QRect(208, 24, 137, 21);
    QTest::newRow("cboDataType") << QRect(208, 64, 137, 21);
    QTest::newRow("txtVar") << QRect(56, 104, 177, 19);
    QTest::newRow("txtValue") << QRect(56, 128, 305, 19);
    QTest::newRow("txtState") << QRect(56, 152, 305, 19);
    QTest::newRow("txtMaxTime") << QRect(304, 176, 57, 19);
    QTest::newRow("cmdConnect") << QRect(8, 208, 65, 25);
    QTest::newRow("cmdStatus") << QRect(296, 208, 65, 25);
}

void tst_frmClient::positions()
{
    QFETCH(QRect, rect);
    QCOMPARE(control(QTest::currentDataTag())->geometry(), rect);
}

void tst_frmClient::captionsWholeAndApart()
{
    // Labels and options may grow from their top-left corner, never onto a neighbour.
    QCOMPARE(control("Label3")->pos(), QPoint(8, 176));
    QCOMPARE(control("optPath")->pos(), QPoint(80, 16));

    const QList<QWidget*> all = window->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)
        + control("Frame1")->findChildren<QWidget*>() + control("Frame2")->findChildren<QWidget*>();
    for (QWidget* w : all) {
        if (w->objectName().isEmpty())
            continue;
        const QRect area = w->parentWidget()->rect();
        QVERIFY2(area.contains(w->geometry()), qPrintable(w->objectName()));
        if (auto* l = qobject_cast<QLabel*>(w))
            QVERIFY2(l->width() >= l->sizeHint().width() && l->height() >= l->sizeHint().height(),
                     qPrintable(w->objectName()));
        if (auto* o = qobject_cast<QRadioButton*>(w))
            QVERIFY2(o->width() >= o->sizeHint().width(), qPrintable(w->objectName()));
        if (auto* b = qobject_cast<QPushButton*>(w))
            QVERIFY2(b->fontMetrics().horizontalAdvance(b->text()) < b->width(), qPrintable(w->objectName()));
        if (auto* g = qobject_cast<QGroupBox*>(w))
            QVERIFY2(g->fontMetrics().horizontalAdvance(g->title()) < g->width(), qPrintable(w->objectName()));
        for (QWidget* other : all)
            if (other != w && other->parentWidget() == w->parentWidget() && !other->objectName().isEmpty())
                QVERIFY2(!w->geometry().intersects(other->geometry()),
                         qPrintable(w->objectName() + " / " + other->objectName()));
    }
}

void tst_frmClient::tabOrder()
{
    // Tab enters an option group at its selected option; both stay in the chain.
    QStringList order;
    QWidget* first = control("optTCP");
    QWidget* w = first;
    do {
        if (w->focusPolicy() != Qt::NoFocus && !w->objectName().isEmpty() && window->isAncestorOf(w))
            order << w->objectName();
        w = w->nextInFocusChain();
    } while (w != first && order.size() < 100);
    QCOMPARE(order, QStringList({"optTCP", "optUDP", "optDirect", "optPath", "txtIpAdd", "cboDataType", "txtVar",
                                 "txtValue", "cmdConnect", "cmdRead", "cmdReadCont", "cmdWrite", "cmdStatus",
                                 "txtResTime", "txtMinTime", "txtMaxTime", "txtState"}));
}

void tst_frmClient::buddies_data()
{
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("announced");
    QTest::newRow("txtIpAdd") << "lblIpAdd" << "Remote Host IP Address";
    QTest::newRow("cboDataType") << "lblDataType" << "Data Type";
    QTest::newRow("txtVar") << "Label1" << "Variable";
    QTest::newRow("txtValue") << "Label2" << "Value";
    QTest::newRow("txtState") << "Label7" << "State";
    QTest::newRow("txtResTime") << "Label3" << "Response Time";
    QTest::newRow("txtMinTime") << "Label5" << "Min";
    QTest::newRow("txtMaxTime") << "Label6" << "Max";
}

void tst_frmClient::buddies()
{
    QFETCH(QString, label);
    QFETCH(QString, announced);
    QWidget* field = control(QTest::currentDataTag());
    auto* l = control<QLabel>(qPrintable(label));
    QCOMPARE(l->buddy(), field);
    QCOMPARE(l->parentWidget(), field->parentWidget());
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(field);
    QVERIFY(a);
    QCOMPARE(a->text(QAccessible::Name), announced);
}

void tst_frmClient::dataTypeList()
{
    auto* list = control<QComboBox>("cboDataType");
    QVERIFY(!list->isEditable());
    QCOMPARE(list->count(), 4);
    QStringList items;
    for (int i = 0; i < list->count(); ++i)
        items << list->itemText(i);
    QCOMPARE(items, QStringList({"BYTE", "WORD", "DWORD", "LWORD"}));
    QCOMPARE(list->currentIndex(), -1);
}

void tst_frmClient::namedAndDirect()
{
    auto* list = control<QComboBox>("cboDataType");
    QWidget* label = control("lblDataType");

    QTest::mouseClick(control("optDirect"), Qt::LeftButton);
    QVERIFY(!list->isEnabled());
    QVERIFY(!label->isEnabled());
    QCOMPARE(list->currentIndex(), -1);

    QTest::mouseClick(control("optPath"), Qt::LeftButton);
    QVERIFY(list->isEnabled());
    QVERIFY(label->isEnabled());
    QCOMPARE(list->currentText(), QStringLiteral("BYTE"));

    list->setCurrentIndex(2);
    QTest::mouseClick(control("optPath"), Qt::LeftButton);
    QCOMPARE(list->currentText(), QStringLiteral("DWORD"));

    QTest::mouseClick(control("optDirect"), Qt::LeftButton);
    QVERIFY(!list->isEnabled());
    QVERIFY(!label->isEnabled());
    QCOMPARE(list->currentText(), QStringLiteral("DWORD"));

    QTest::mouseClick(control("optPath"), Qt::LeftButton);
    QVERIFY(list->isEnabled());
    QCOMPARE(list->currentText(), QStringLiteral("DWORD"));
}

void tst_frmClient::protocolCaption()
{
    auto* connect = control<QPushButton>("cmdConnect");
    QTest::mouseClick(control("optUDP"), Qt::LeftButton);
    QCOMPARE(connect->text(), QStringLiteral("Start"));
    QTest::mouseClick(control("optTCP"), Qt::LeftButton);
    QCOMPARE(connect->text(), QStringLiteral("Connect"));
}

void tst_frmClient::startEnablesCommands()
{
    QTest::mouseClick(control("optUDP"), Qt::LeftButton);
    QTest::mouseClick(control("cmdConnect"), Qt::LeftButton);
    for (const char* name : {"cmdConnect", "optTCP", "optUDP"})
        QVERIFY2(!control(name)->isEnabled(), name);
    for (const char* name : {"cmdRead", "cmdReadCont", "cmdWrite", "cmdStatus", "txtIpAdd", "optDirect", "optPath"})
        QVERIFY2(control(name)->isEnabled(), name);
    QVERIFY(box.shown.empty());
}

QTEST_MAIN(tst_frmClient)
#include "tst_frmClient.moc"
