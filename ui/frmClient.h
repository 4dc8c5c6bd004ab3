#pragma once

#include "frmTraffic.h"

#include <ClientLogic.h>
#include <ClientView.h>

#include <QtBusyPointer.h>
#include <QtMessageBox.h>
#include <QtMonotonicClock.h>
#include <QtProgramEnd.h>
#include <QtSocket.h>
#include <QtTickCounter.h>
#include <QtTimer.h>
#include <Timer.h>

#include <QElapsedTimer>
#include <QWidget>

#include <array>
#include <memory>
#include <string>

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace ui {

// The platform services the window hands to the client logic. A null pointer
// means the window's own Qt implementation; tests pass recording fakes.
struct Services {
    platform::IMessageBox* messageBox = nullptr;
    platform::ITickCounter* ticks = nullptr;
    platform::IProgramEnd* programEnd = nullptr;
    platform::IBusyPointer* busyPointer = nullptr;
};

// The client's one window. Every control carries its name as objectName;
// buttons and socket events go to the client logic, the Direct / Named
// enabling rules are the window's own.
class frmClient final : public QWidget, public client::IClientView {
    Q_OBJECT

public:
    explicit frmClient(Services services = {}, client::Ports ports = {}, QWidget* parent = nullptr);
    ~frmClient() override;

    // client::IClientView
    std::string Text(client::Control control) const override;
    void SetText(client::Control control, std::string_view text) override;
    void SetEnabled(client::Control control, bool enabled) override;
    bool Value(client::Control control) const override;
    int ListIndex(client::Control control) const override;

    const client::ClientLogic& Logic() const { return *logic_; }

    // Start-up choices, made before the window is used: the UDP option
    // selected as a click on it would, and an observer of every answer.
    void SelectUdp();
    void SetExchangeObserver(client::IExchangeObserver* observer) { logic_->SetObserver(observer); }

    // Opens the traffic window (F12, or "Traffic..." on the window's
    // background), made the first time; null until then.
    void OpenTraffic();
    frmTraffic* Traffic() const { return traffic_.get(); }

protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void CreateControls();
    void SetTabOrder();
    void ConnectHandlers();
    void Form_Load();
    void Form_Unload();
    void optDirect_Click();
    void optPath_Click();
    QWidget* Widget(client::Control control) const;

    // Own Qt services, used where Services leaves a null.
    platform::QtMessageBox qtMessageBox_;
    platform::QtTickCounter qtTicks_;
    platform::QtProgramEnd qtProgramEnd_;
    platform::QtBusyPointer qtBusyPointer_;

    platform::QtSocket tcpClient;
    // Ends the wait for the rest of an answer that stopped short.
    platform::QtTimer heldTimer_;

    // A box's text as last read or written here, in UTF-8; valid until the
    // box reports a change (text boxes only).
    struct TextCache {
        std::string utf8;
        bool valid = false;
    };
    mutable std::array<TextCache, static_cast<std::size_t>(client::Control::txtState) + 1> textCache_;
    std::unique_ptr<client::ClientLogic> logic_;
    bool unloaded_ = false;

    platform::QtMonotonicClock trafficClock_;
    std::unique_ptr<frmTraffic> traffic_;

    // Repaints at most once a frame: continuous reading may change a box
    // thousands of times a second, more than any screen shows. The timer
    // is the platform's frame timer (the kernel's on Linux): a QTimer armed
    // for most of each frame would shorten every wait of the event loop,
    // one per exchange.
    struct PaintLater final : platform::ITimerEvents {
        frmClient* window = nullptr;
        bool armed = false;
        void Timer_Elapsed() override
        {
            armed = false;
            window->PaintChanged();
        }
    };
    void PaintChanged();
    QElapsedTimer lastPaint_;
    PaintLater paintLaterEvents_;
    std::unique_ptr<platform::ITimer> paintLater_ = platform::MakeFrameTimer();

    QGroupBox* Frame2 = nullptr;
    QRadioButton* optTCP = nullptr;
    QRadioButton* optUDP = nullptr;
    QGroupBox* Frame1 = nullptr;
    QRadioButton* optDirect = nullptr;
    QRadioButton* optPath = nullptr;
    QLabel* lblIpAdd = nullptr;
    QLineEdit* txtIpAdd = nullptr;
    QLabel* lblDataType = nullptr;
    QComboBox* cboDataType = nullptr;
    QLabel* Label1 = nullptr;
    QLineEdit* txtVar = nullptr;
    QLabel* Label2 = nullptr;
    QLineEdit* txtValue = nullptr;
    QPushButton* cmdConnect = nullptr;
    QPushButton* cmdRead = nullptr;
    QPushButton* cmdReadCont = nullptr;
    QPushButton* cmdWrite = nullptr;
    QPushButton* cmdStatus = nullptr;
    QLineEdit* txtResTime = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* Label5 = nullptr;
    QLineEdit* txtMinTime = nullptr;
    QLabel* Label6 = nullptr;
    QLineEdit* txtMaxTime = nullptr;
    QLineEdit* txtState = nullptr;
    QLabel* Label7 = nullptr;
};

} // namespace ui
