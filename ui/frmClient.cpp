#include "frmClient.h"

#include <DataType.h>

#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QStyle>

#include <algorithm>
#include <initializer_list>

namespace ui {

namespace {

// The layout is drawn in twips; at 15 twips per logical pixel the client
// area of 5505 x 3540 twips is 367 x 236 pixels. Qt scales logical pixels on
// high-DPI screens.
constexpr int kTwipsPerPixel = 15;
constexpr int kClientWidth = 5505;
constexpr int kClientHeight = 3540;

// One frame of a 60 Hz screen.
constexpr qint64 kFrameNs = 16000000;

// Small enough for the 13-pixel labels, with Hangul in the same face.
constexpr int kFontPixelSize = 11;

constexpr int Px(int twips)
{
    return twips / kTwipsPerPixel;
}

QString FromUtf8(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

template <typename W>
W* Make(QWidget* parent, const char* name, int left, int top, int width, int height)
{
    auto* w = new W(parent);
    w->setObjectName(QString::fromLatin1(name));
    w->setGeometry(Px(left), Px(top), Px(width), Px(height));
    return w;
}

// A caption is never cut: a label or option that its text does not fit
// grows to the right and downwards, keeping its left and top.
void GrowToFit(QWidget* w)
{
    const QSize hint = w->sizeHint();
    w->resize(std::max(w->width(), hint.width()), std::max(w->height(), hint.height()));
}

// A button's size hint carries the style's minimum width, wider than the
// buttons of this window; only the caption itself is made to fit.
void GrowToFit(QPushButton* b)
{
    const int margin = b->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, b);
    const int needed = b->fontMetrics().horizontalAdvance(b->text()) + 2 * margin;
    if (needed > b->width())
        b->resize(needed, b->height());
}

} // namespace

frmClient::frmClient(Services services, client::Ports ports, QWidget* parent)
    : QWidget(parent),
      qtMessageBox_(this)
{
    setObjectName(QStringLiteral("frmClient"));
    setWindowTitle(FromUtf8(platform::kDefaultTitle));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                   | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    QFont font(QStringLiteral("NanumGothic"));
    font.setPixelSize(kFontPixelSize);
    setFont(font);
    setFixedSize(Px(kClientWidth), Px(kClientHeight));

    CreateControls();
    SetTabOrder();

    logic_ = std::make_unique<client::ClientLogic>(
        *this, tcpClient,
        services.ticks ? *services.ticks : static_cast<platform::ITickCounter&>(qtTicks_),
        services.messageBox ? *services.messageBox : static_cast<platform::IMessageBox&>(qtMessageBox_),
        services.busyPointer ? *services.busyPointer : static_cast<platform::IBusyPointer&>(qtBusyPointer_),
        services.programEnd ? *services.programEnd : static_cast<platform::IProgramEnd&>(qtProgramEnd_),
        ports, &heldTimer_);
    tcpClient.SetListener(logic_.get());
    paintLaterEvents_.window = this;
    paintLater_->SetListener(&paintLaterEvents_);

    ConnectHandlers();
    Form_Load();

    auto* traffic = new QShortcut(QKeySequence(Qt::Key_F12), this);
    connect(traffic, &QShortcut::activated, this, [this] { OpenTraffic(); });
}

frmClient::~frmClient()
{
    logic_->SetTrafficObserver(nullptr, nullptr);
    traffic_.reset();
    // The logic goes before the socket; no event may reach it on the way.
    tcpClient.SetListener(nullptr);
    tcpClient.Close();
}

void frmClient::CreateControls()
{
    Frame2 = Make<QGroupBox>(this, "Frame2", 360, 0, 2175, 615);
    Frame2->setTitle(QStringLiteral("Protocol"));
    optTCP = Make<QRadioButton>(Frame2, "optTCP", 120, 240, 855, 195);
    optTCP->setText(QStringLiteral("TCP"));
    optTCP->setChecked(true);
    optUDP = Make<QRadioButton>(Frame2, "optUDP", 1200, 240, 735, 195);
    optUDP->setText(QStringLiteral("UDP"));

    Frame1 = Make<QGroupBox>(this, "Frame1", 360, 720, 2175, 615);
    Frame1->setTitle(QStringLiteral("Variable Type"));
    optDirect = Make<QRadioButton>(Frame1, "optDirect", 120, 240, 735, 195);
    optDirect->setText(QStringLiteral("Direct"));
    optDirect->setChecked(true);
    optPath = Make<QRadioButton>(Frame1, "optPath", 1200, 240, 855, 195);
    optPath->setText(QStringLiteral("Named"));

    lblIpAdd = Make<QLabel>(this, "lblIpAdd", 3120, 120, 1740, 195);
    lblIpAdd->setText(QStringLiteral("Remote Host IP Address"));
    txtIpAdd = Make<QLineEdit>(this, "txtIpAdd", 3120, 360, 2055, 315);
    txtIpAdd->setText(QStringLiteral("127.0.0.1"));

    lblDataType = Make<QLabel>(this, "lblDataType", 3120, 720, 750, 195);
    lblDataType->setText(QStringLiteral("Data Type"));
    cboDataType = Make<QComboBox>(this, "cboDataType", 3120, 960, 2055, 315);
    cboDataType->setEditable(false);
    cboDataType->setEnabled(false);

    Label1 = Make<QLabel>(this, "Label1", 120, 1560, 570, 195);
    Label1->setText(QStringLiteral("Variable"));
    txtVar = Make<QLineEdit>(this, "txtVar", 840, 1560, 2655, 285);
    txtVar->setText(QStringLiteral("%MW0"));

    Label2 = Make<QLabel>(this, "Label2", 120, 1920, 405, 195);
    Label2->setText(QStringLiteral("Value"));
    txtValue = Make<QLineEdit>(this, "txtValue", 840, 1920, 4575, 285);

    cmdConnect = Make<QPushButton>(this, "cmdConnect", 120, 3120, 975, 375);
    cmdConnect->setText(QStringLiteral("Connect"));
    cmdRead = Make<QPushButton>(this, "cmdRead", 1200, 3120, 975, 375);
    cmdRead->setText(QStringLiteral("Read"));
    cmdRead->setEnabled(false);
    cmdReadCont = Make<QPushButton>(this, "cmdReadCont", 2280, 3120, 975, 375);
    cmdReadCont->setText(QStringLiteral("Read Cont"));
    cmdReadCont->setEnabled(false);
    cmdWrite = Make<QPushButton>(this, "cmdWrite", 3360, 3120, 975, 375);
    cmdWrite->setText(QStringLiteral("Write"));
    cmdWrite->setEnabled(false);
    cmdStatus = Make<QPushButton>(this, "cmdStatus", 4440, 3120, 975, 375);
    cmdStatus->setText(QStringLiteral("Status"));
    cmdStatus->setEnabled(false);

    txtResTime = Make<QLineEdit>(this, "txtResTime", 1320, 2640, 855, 285);
    Label3 = Make<QLabel>(this, "Label3", 120, 2640, 1110, 195);
    Label3->setText(QStringLiteral("Response Time"));
    Label4 = Make<QLabel>(this, "Label4", 2280, 2640, 465, 195);
    Label4->setText(QStringLiteral("(msec)"));
    Label5 = Make<QLabel>(this, "Label5", 2880, 2640, 255, 195);
    Label5->setText(QStringLiteral("Min"));
    txtMinTime = Make<QLineEdit>(this, "txtMinTime", 3240, 2640, 855, 285);
    Label6 = Make<QLabel>(this, "Label6", 4200, 2640, 300, 195);
    Label6->setText(QStringLiteral("Max"));
    txtMaxTime = Make<QLineEdit>(this, "txtMaxTime", 4560, 2640, 855, 285);
    txtState = Make<QLineEdit>(this, "txtState", 840, 2280, 4575, 285);
    Label7 = Make<QLabel>(this, "Label7", 120, 2280, 375, 195);
    Label7->setText(QStringLiteral("State"));

    // Each field is announced by the label beside it.
    lblIpAdd->setBuddy(txtIpAdd);
    lblDataType->setBuddy(cboDataType);
    Label1->setBuddy(txtVar);
    Label2->setBuddy(txtValue);
    Label3->setBuddy(txtResTime);
    Label5->setBuddy(txtMinTime);
    Label6->setBuddy(txtMaxTime);
    Label7->setBuddy(txtState);

    // Enter presses Read from anywhere on the window, and a focused button
    // presses itself (keyPressEvent).
    for (QPushButton* b : {cmdConnect, cmdRead, cmdReadCont, cmdWrite, cmdStatus})
        b->setAutoDefault(true);
    cmdRead->setDefault(true);

    for (QWidget* w : std::initializer_list<QWidget*>{optTCP, optUDP, optDirect, optPath, lblIpAdd, lblDataType,
                                                      Label1, Label2, Label3, Label4, Label5, Label6, Label7})
        GrowToFit(w);
    for (QPushButton* b : {cmdConnect, cmdRead, cmdReadCont, cmdWrite, cmdStatus})
        GrowToFit(b);
}

void frmClient::SetTabOrder()
{
    // Labels and frames hold tab positions too but never take the focus.
    const std::initializer_list<QWidget*> order = {
        optTCP, optUDP, optDirect, optPath, txtIpAdd, cboDataType, txtVar, txtValue,
        cmdConnect, cmdRead, cmdReadCont, cmdWrite, cmdStatus,
        txtResTime, txtMinTime, txtMaxTime, txtState,
    };
    QWidget* previous = nullptr;
    for (QWidget* w : order) {
        if (previous)
            QWidget::setTabOrder(previous, w);
        previous = w;
    }
}

void frmClient::ConnectHandlers()
{
    client::ClientLogic& logic = *logic_;
    connect(optTCP, &QAbstractButton::clicked, this, [&logic] { logic.optTCP_Click(); });
    connect(optUDP, &QAbstractButton::clicked, this, [&logic] { logic.optUDP_Click(); });
    connect(optDirect, &QAbstractButton::clicked, this, [this] { optDirect_Click(); });
    connect(optPath, &QAbstractButton::clicked, this, [this] { optPath_Click(); });
    connect(cmdConnect, &QAbstractButton::clicked, this, [&logic] { logic.cmdConnect_Click(); });
    connect(cmdRead, &QAbstractButton::clicked, this, [&logic] { logic.cmdRead_Click(); });
    connect(cmdReadCont, &QAbstractButton::clicked, this, [&logic] { logic.cmdReadCont_Click(); });
    connect(cmdWrite, &QAbstractButton::clicked, this, [&logic] { logic.cmdWrite_Click(); });
    connect(cmdStatus, &QAbstractButton::clicked, this, [&logic] { logic.cmdStatus_Click(); });

    // Whatever changes a text box, the user or the code, its kept text is
    // read again the next time.
    for (auto c = client::Control::optTCP; c <= client::Control::txtState;
         c = static_cast<client::Control>(static_cast<int>(c) + 1)) {
        if (auto* edit = qobject_cast<QLineEdit*>(Widget(c)))
            connect(edit, &QLineEdit::textChanged, this,
                    [this, c] { textCache_[static_cast<std::size_t>(c)].valid = false; });
    }
}

void frmClient::Form_Load()
{
    logic_->Form_Load();
    for (std::string_view name : modZeva::kTypeNames)
        cboDataType->addItem(FromUtf8(name));
    cboDataType->setCurrentIndex(-1);
}

void frmClient::Form_Unload()
{
    if (unloaded_)
        return;
    unloaded_ = true;
    logic_->Form_Unload();
}

void frmClient::SelectUdp()
{
    optUDP->setChecked(true);
    logic_->optUDP_Click();
}

void frmClient::optDirect_Click()
{
    // The list keeps its selection while greyed.
    cboDataType->setEnabled(false);
    lblDataType->setEnabled(false);
}

void frmClient::optPath_Click()
{
    cboDataType->setEnabled(true);
    lblDataType->setEnabled(true);
    if (cboDataType->currentIndex() < 0)
        cboDataType->setCurrentIndex(0);
}

bool frmClient::event(QEvent* event)
{
    // Qt asks for one repaint of everything changed since the last; a request
    // within a frame of the last repaint is taken up when the frame is over,
    // and whatever changed until then is painted together.
    if (event->type() == QEvent::UpdateRequest) {
        if (lastPaint_.isValid() && lastPaint_.nsecsElapsed() < kFrameNs) {
            if (!paintLaterEvents_.armed) {
                paintLaterEvents_.armed = true;
                paintLater_->Start((kFrameNs - lastPaint_.nsecsElapsed() + 999) / 1000);
            }
            return true;
        }
        lastPaint_.start();
    }
    return QWidget::event(event);
}

void frmClient::PaintChanged()
{
    lastPaint_.start();
    QEvent request(QEvent::UpdateRequest);
    QWidget::event(&request);
}

void frmClient::OpenTraffic()
{
    if (!traffic_) {
        traffic_ = std::make_unique<frmTraffic>(trafficClock_, [this](client::ITrafficObserver* observer) {
            logic_->SetTrafficObserver(observer, &trafficClock_);
        });
        traffic_->SetLinkSource([this] {
            return client::CaptureLink{tcpClient.GetProtocol(), tcpClient.LocalEndpoint(), tcpClient.PeerEndpoint()};
        });
    }
    traffic_->Open();
}

void frmClient::contextMenuEvent(QContextMenuEvent* event)
{
    QMenu menu(this);
    menu.addAction(QStringLiteral("Traffic..."), this, [this] { OpenTraffic(); });
    menu.exec(event->globalPos());
}

void frmClient::closeEvent(QCloseEvent* event)
{
    // The traffic window goes with the main window.
    if (traffic_)
        traffic_->close();
    Form_Unload();
    QWidget::closeEvent(event);
}

void frmClient::keyPressEvent(QKeyEvent* event)
{
    // Enter that no focused widget took: the default button, Read.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
        && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        if (cmdRead->isEnabled())
            cmdRead->click();
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

QWidget* frmClient::Widget(client::Control control) const
{
    using client::Control;
    switch (control) {
    case Control::optTCP: return optTCP;
    case Control::optUDP: return optUDP;
    case Control::optDirect: return optDirect;
    case Control::optPath: return optPath;
    case Control::txtIpAdd: return txtIpAdd;
    case Control::cboDataType: return cboDataType;
    case Control::txtVar: return txtVar;
    case Control::txtValue: return txtValue;
    case Control::cmdConnect: return cmdConnect;
    case Control::cmdRead: return cmdRead;
    case Control::cmdReadCont: return cmdReadCont;
    case Control::cmdWrite: return cmdWrite;
    case Control::cmdStatus: return cmdStatus;
    case Control::txtResTime: return txtResTime;
    case Control::txtMinTime: return txtMinTime;
    case Control::txtMaxTime: return txtMaxTime;
    case Control::txtState: return txtState;
    }
    return nullptr;
}

std::string frmClient::Text(client::Control control) const
{
    // Continuous reading reads the variable box on every exchange: a text
    // box is read and converted only when it has changed since.
    TextCache& cache = textCache_[static_cast<std::size_t>(control)];
    if (cache.valid)
        return cache.utf8;
    QWidget* w = Widget(control);
    QString text;
    if (auto* edit = qobject_cast<QLineEdit*>(w)) {
        text = edit->text();
        cache.valid = true;
    } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
        text = button->text();
    } else if (auto* list = qobject_cast<QComboBox*>(w)) {
        text = list->currentText();
    }
    cache.utf8 = text.toStdString();
    return cache.utf8;
}

void frmClient::SetText(client::Control control, std::string_view text)
{
    // A box is written only when its text changes: rewriting it would move
    // the cursor of a user typing in it and repaint it for nothing.
    // Continuous reading sets the same texts on every exchange; while a text
    // box has not changed since it was last read or written here, the UTF-8
    // bytes kept for it tell whether this text is new, without asking it.
    TextCache& cache = textCache_[static_cast<std::size_t>(control)];
    if (cache.valid && std::string_view(cache.utf8) == text)
        return;
    QWidget* w = Widget(control);
    auto* edit = qobject_cast<QLineEdit*>(w);
    auto* button = edit ? nullptr : qobject_cast<QAbstractButton*>(w);
    if (!edit && !button)
        return;
    const QString wanted = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    if (wanted != (edit ? edit->text() : button->text())) {
        if (edit)
            edit->setText(wanted);
        else
            button->setText(wanted);
    }
    // As the widget holds it (a line edit cuts what exceeds its length).
    const QString held = edit ? edit->text() : button->text();
    if (held == wanted)
        cache.utf8.assign(text);
    else
        cache.utf8 = held.toStdString();
    // A button has no signal for a changed caption: it is asked every time.
    cache.valid = edit != nullptr;
}

void frmClient::SetEnabled(client::Control control, bool enabled)
{
    if (QWidget* w = Widget(control))
        w->setEnabled(enabled);
}

bool frmClient::Value(client::Control control) const
{
    auto* button = qobject_cast<QAbstractButton*>(Widget(control));
    return button && button->isChecked();
}

int frmClient::ListIndex(client::Control control) const
{
    auto* list = qobject_cast<QComboBox*>(Widget(control));
    return list ? list->currentIndex() : -1;
}

} // namespace ui
