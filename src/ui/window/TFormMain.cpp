#include "ui/window/TFormMain.h"

#include "core/config/ParamTable.h"
#include "ui/pages/ConfigTransfer.h"
#include "ui/widgets/ErrorBox.h"
#include "session/HandOffSync.h"
#include "ui/lang/LangMan.h"
#include "core/link/ConnHIDCOM.h"
#include "core/link/Slot.h"
#include "core/modem/TModem.h"
#include "ui/pages/ModemPage.h"
#include "core/text/Timing.h"
#include "ui/dialogs/PwdForm.h"
#include "ui/pages/SettingsPage.h"
#include "ui/pages/LogPage.h"
#include "ui/pages/StatusPage.h"
#include "ui/pages/VolumesPage.h"
#include "core/text/Codec.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDebug>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QThread>
#include <QToolButton>
#include <QVBoxLayout>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

// One hand-off to the UI thread. The sender and the UI thread race for it
// with one atomic exchange: the UI thread runs the function only if it takes
// the record before the sender gives up; everything it uses is owned here.
struct HandOff {
    explicit HandOff(std::function<void()> f) : fn(std::move(f)) {}
    enum { Pending, Taken, Dropped };
    std::function<void()> fn;
    std::atomic<int> state{Pending};
    std::mutex mutex;
    std::condition_variable decided;   // the UI thread took or dropped the record
};

const QEvent::Type kHandOffEvent = QEvent::Type(QEvent::User + 1);

class HandOffEvent : public QEvent {
public:
    explicit HandOffEvent(std::shared_ptr<HandOff> h) : QEvent(kHandOffEvent), handOff(std::move(h)) {}
    std::shared_ptr<HandOff> handOff;
};

// Passes the USB link's state changes to UpdateUIState on the UI thread.
class ConnHIDComChangeStateEvent : public ChangeStateEvent {
public:
    explicit ConnHIDComChangeStateEvent(TFormMain* w) : window_(w) {}
    void StateChanged(const char* name) override {
        const QByteArray state(name);
        // Commands sent before are lost with the link: a command waiting for
        // its answer ends at once. (Nothing is sent while the module is away,
        // so an arrival has nothing to forget; a command sent just after it
        // must not be taken for lost.)
        if (state == "Detached") window_->session.exchange.LinkChanged(window_->commandSlot);
        if (window_->CallInMainThread([w = window_, state] { w->UpdateUIState(state.constData()); })) return;
        // A dropped state change must not leave the window showing a stale
        // link state: have the UI thread look again once it is free.
        // A dropped "Attached" may hide a detach and attach in between: the
        // module is new and logged out, so the resync logs in again.
        if (!window_->closing) {
            HANDOFF_RELEASE(window_);
            QMetaObject::invokeMethod(
                window_,
                [w = window_, attached = state == "Attached"] {
                    HANDOFF_ACQUIRE(w);
                    if (w->closing) return;
                    if (attached) w->session.loggedIn = false;
                    w->UpdateUIState("Resync");
                },
                Qt::QueuedConnection);
        }
    }

private:
    TFormMain* window_;
};

}  // namespace

TFormMain::TFormMain(const Options& options) : defaultPassword(options.defaultPassword) {
    setObjectName("FormMain");
    // 1. The window and its controls.
    buildWindow();
    // 2.-5. State, binding lists, progress bar maximum.
    buildBindings();
    ProgressBarRW->setMaximum(settingsBindings.Count());
    transfer = std::make_unique<ConfigTransfer>(ConfigTransfer::Host{
        settingsBindings, session.exchange, ProgressBarRW, [this](bool on, const char* reason) { setBusy(on, reason); },
        [this] { settingsPage->beginLoad(); }, [this] { settingsPage->endLoad(); }, this,
        [this](lang::Msg m) { return langMan->Message(m); },
        [this](const QString& note) { showTransferNote(note); }});
    volumesPage->message = [this](lang::Msg m) { return langMan->Message(m); };
    // After a Read or Write the bar shows its note for a while, then empties.
    noteTimer_.setSingleShot(true);
    connect(&noteTimer_, &QTimer::timeout, this, [this] {
        ProgressBarRW->setValue(0);
        ProgressBarRW->setTextVisible(false);
    });
    session.askPassword = [this] {
        if (closing) return;
        TPwdForm form(this, session, [this](const QByteArray& key) { return langMan->Text(key); });
        form.exec();
    };
    // 6.-10. The USB connection and its three slots.
    wireConnection(options.backend);
    // 11. Languages.
    langMan = std::make_unique<LangMan>(this, options.languageStore);
    langMan->formatTempLabels = [this] { settingsPage->formatAllTempLabels(); };
    langMan->languageApplied = [this] { modemPage->retranslate(); };
    modemPage->message = [this](lang::Msg m) { return langMan->Message(m); };
    statusPage->lookupText = [this](const QByteArray& key) { return langMan->Text(key); };
    langMan->ApplyLanguage(langMan->StoredLanguage());
    // 12. The temperature threshold labels.
    settingsPage->formatAllTempLabels();
    modemPage->setExtraPorts(options.extraSerialPorts);
    // 13. The volume tool.
    if (options.full) {
        for (int i : {PageSettings, PageStatus, PageModem, PageVolumes}) PageControl1->setTabVisible(i, true);
        setWindowTitle("Brisal Kestrum v1.00");
        resize(824, 676);
    } else {
        applyStartupPresentation();
    }
    connect(PageControl1, &QTabWidget::currentChanged, this, &TFormMain::PageControl1Change);
}

TFormMain::~TFormMain() {
    FormClose();
    modems_.clear();
}

void TFormMain::buildWindow() {
    setFont(QFont("Trebuchet MS", 9, QFont::Bold, true));
    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName("PageControl1");
    settingsPage = new SettingsPage(PageControl1);
    statusPage = new StatusPage(PageControl1);
    logPage = new LogPage(PageControl1);
    modemPage = new ModemPage(*this, PageControl1);
    volumesPage = new VolumesPage(session.exchange, PageControl1);
    PageControl1->addTab(settingsPage, "Settings");
    PageControl1->addTab(statusPage, "Status");
    PageControl1->addTab(logPage, "Log");
    PageControl1->addTab(modemPage, "Modem");
    PageControl1->addTab(volumesPage, "Volumes");
    PageControl1->setTabVisible(PageLog, false);
    PageControl1->setCurrentIndex(PageVolumes);

    Panel1 = new QWidget(this);
    Panel1->setObjectName("Panel1");
    Panel1->setFixedHeight(29);
    Panel3 = new QWidget(Panel1);
    Panel3->setObjectName("Panel3");
    ProgressBarRW = new QProgressBar(Panel3);
    ProgressBarRW->setObjectName("ProgressBarRW");
    ProgressBarRW->setValue(0);
    ProgressBarRW->setTextVisible(false);
    auto* p3 = new QHBoxLayout(Panel3);
    p3->setContentsMargins(4, 4, 4, 4);
    p3->addWidget(ProgressBarRW);
    Panel2 = new QWidget(Panel1);
    Panel2->setObjectName("Panel2");
    Panel2->setFixedWidth(76);
    Panel4 = new QWidget(Panel2);
    Panel4->setObjectName("Panel4");
    auto* p4 = new QHBoxLayout(Panel4);
    p4->setContentsMargins(0, 2, 0, 2);
    p4->setSpacing(2);
    auto makeLangButton = [&](const char* name, const char* caption, void (TFormMain::*slot)()) {
        auto* b = new QToolButton(Panel4);
        b->setObjectName(name);
        b->setText(caption);
        b->setAutoRaise(true);
        b->setFixedSize(24, 24);
        connect(b, &QToolButton::clicked, this, slot);
        p4->addWidget(b);
        return b;
    };
    SpeedButtonEN = makeLangButton("SpeedButtonEN", "EN", &TFormMain::SpeedButtonENClick);
    SpeedButtonHU = makeLangButton("SpeedButtonHU", "HU", &TFormMain::SpeedButtonHUClick);
    SpeedButtonRO = makeLangButton("SpeedButtonRO", "RO", &TFormMain::SpeedButtonROClick);
    auto* p2 = new QHBoxLayout(Panel2);
    p2->setContentsMargins(0, 0, 0, 0);
    p2->addWidget(Panel4);
    auto* p1 = new QHBoxLayout(Panel1);
    p1->setContentsMargins(0, 0, 0, 0);
    p1->addWidget(Panel3, 1);
    p1->addWidget(Panel2);

    auto* lay = new QVBoxLayout(this);
    lay->setContentsMargins(0, 0, 0, 0);
    lay->setSpacing(0);
    // The volume tool is smaller than the widest page: hidden pages must not hold the window open.
    lay->setSizeConstraint(QLayout::SetNoConstraint);
    lay->addWidget(PageControl1, 1);
    lay->addWidget(Panel1);
    setWindowTitle("Brisal Kestrum v1.00");
    resize(824, 676);

    // Ctrl+Alt+D acts while the window itself or one of these four buttons has the focus.
    for (const char* name : {"btnOpen", "btnRead", "btnSave", "btnWrite"})
        if (QWidget* b = settingsPage->control(name)) b->installEventFilter(this);
    auto click = [this](const char* name, std::function<void()> fn) {
        if (auto* b = qobject_cast<QPushButton*>(settingsPage->control(name)))
            connect(b, &QPushButton::clicked, this, std::move(fn));
    };
    click("btnRead", [this] { transfer->btnReadClick(); });
    click("btnWrite", [this] { transfer->btnWriteClick(); });
    click("btnOpen", [this] { transfer->btnOpenClick(); });
    click("btnSave", [this] { transfer->btnSaveClick(); });
    settingsPage->updateUIState = [this](const char* reason) { UpdateUIState(reason); };
    settingsPage->testReportNow = [this] { session.exchange.SetParam("EVM:New", "10"); };
}

QWidget* TFormMain::control(const QByteArray& name) const {
    return findChild<QWidget*>(QString::fromLatin1(name));
}

void TFormMain::buildBindings() {
    for (const ParamDef& p : settingsParams()) settingsBindings.Add(p.key, control(p.control));
    for (const StatusDef& s : statusParams()) statusBindings.Add(s.key, control(s.control));
    for (int i = 0; i < settingsBindings.Count(); ++i)
        Q_ASSERT_X(settingsBindings.At(i).control, "bindings", settingsBindings.At(i).key.constData());
    for (int i = 0; i < statusBindings.Count(); ++i)
        Q_ASSERT_X(statusBindings.At(i).control, "bindings", statusBindings.At(i).key.constData());
}

void TFormMain::wireConnection(HidBackend* backend) {
    usb = std::make_unique<ConnHIDCOM>(backend ? backend : hidapiBackend());
    stateEvent_ = std::make_unique<ConnHIDComChangeStateEvent>(this);
    usb->StateListeners.Add(stateEvent_.get());

    commandSlot = usb->CreateSlot(2);
    slots_.emplace_back(commandSlot);
    session.exchange.setChannel(commandSlot);
    auto accumulate = std::make_unique<ResponseConnection>(
        [this](const uint8_t* d, int32_t n) { session.exchange.AccumulateResponse(d, n); });
    commandSlot->AddReceiver(accumulate.get());
    responders_.push_back(std::move(accumulate));

    statusSlot = usb->CreateSlot(4);
    slots_.emplace_back(statusSlot);
    auto status = std::make_unique<ResponseConnection>([this](const uint8_t* d, int32_t n) {
        const QByteArray text(reinterpret_cast<const char*>(d), n);   // owned copy for the UI thread
        CallInMainThread([this, text] { ReceiveStatusText(text); });
    });
    statusSlot->AddReceiver(status.get());
    responders_.push_back(std::move(status));

    logSlot = usb->CreateSlot(3);
    slots_.emplace_back(logSlot);
    auto log = std::make_unique<ResponseConnection>([this](const uint8_t* d, int32_t n) {
        // The text taken over ends at its first zero byte.
        const QByteArray raw(reinterpret_cast<const char*>(d), n);
        const int zero = int(raw.indexOf('\0'));
        const QByteArray text = zero < 0 ? raw : raw.left(zero);
        CallInMainThread([this, text] { logPage->ReceiveLogText(text); });
    });
    logSlot->AddReceiver(log.get());
    responders_.push_back(std::move(log));

    // The reader starts last, once everything it reports to exists.
    usb->Open();
}

void TFormMain::applyStartupPresentation() {
    PageControl1->setTabVisible(PageVolumes, true);
    for (int i : {PageSettings, PageStatus, PageModem}) PageControl1->setTabVisible(i, false);
    setWindowTitle("Orvik Device Volumes");
    PageControl1->resize(300, 430);
    resize(300, 480);
    Panel3->hide();
    Panel4->hide();
}

int TFormMain::CallInMainThread(std::function<void()> fn) {
    if (closing) return 0;
    if (QThread::currentThread() == thread()) {
        fn();
        return 1;
    }
    auto h = std::make_shared<HandOff>(std::move(fn));
    HANDOFF_RELEASE(h.get());
    QCoreApplication::postEvent(this, new HandOffEvent(h));
    {
        std::unique_lock<std::mutex> lk(h->mutex);
        h->decided.wait_for(lk, std::chrono::milliseconds(timing::handOffTimeoutMs),
                            [&] { return h->state != HandOff::Pending; });
    }
    int expected = HandOff::Pending;
    if (h->state.compare_exchange_strong(expected, HandOff::Dropped)) return 0;   // never runs now
    return h->state == HandOff::Taken ? 1 : 0;
}

bool TFormMain::event(QEvent* e) {
    if (e->type() == kHandOffEvent) {
        auto h = static_cast<HandOffEvent*>(e)->handOff;
        HANDOFF_ACQUIRE(h.get());
        // Once the window is closing nothing is taken any more. The sender may
        // go on as soon as the work is taken: everything the function uses is
        // owned by the record, and a function that waits for the device (a
        // login) needs the reader thread free.
        int expected = HandOff::Pending;
        const bool take = h->state.compare_exchange_strong(expected, closing ? HandOff::Dropped : HandOff::Taken);
        {
            std::lock_guard<std::mutex> g(h->mutex);   // the sender is waiting or about to
        }
        h->decided.notify_all();
        if (take && !closing) Guarded(h->fn);
        return true;
    }
    return QWidget::event(e);
}

void TFormMain::setBusy(bool on, const char* reason) {
    busy = on;
    if (on) {
        noteTimer_.stop();
        ProgressBarRW->setTextVisible(false);
    }
    UpdateUIState(reason);
}

void TFormMain::showTransferNote(const QString& note) {
    ProgressBarRW->setFormat(note);
    ProgressBarRW->setTextVisible(!note.isEmpty());
    noteTimer_.start(timing::transferNoteMs);
}

bool TFormMain::LinkUp() const {
    if (usb && usb->IsReady()) return true;
    return modemConnection && modemConnection->IsOpen();
}

void TFormMain::UpdateUIState(const char* /*reason*/) {
    // 1. Is a link up?
    const bool connected = LinkUp();
    // 2. Enabling.
    auto setButtons = [this](bool on) {
        for (const char* name : {"btnRead", "btnWrite"})
            if (QWidget* w = control(name)) w->setEnabled(on);
        volumesPage->btSetVols->setEnabled(on);
        volumesPage->btReadVols->setEnabled(on);
    };
    if (busy) {
        PageControl1->setEnabled(false);
        setButtons(false);
    } else if (connected) {
        setButtons(true);
        PageControl1->setEnabled(true);
    } else {
        session.bulkOperator.reset();
        setButtons(false);
        PageControl1->setEnabled(true);
    }
    // 3. Log in when a link has just come up.
    // A state update run from inside that login's own waits does not start
    // another one.
    if (!session.loggedIn && connected && !loggingIn_) {
        loggingIn_ = true;
        session.currentPassword = defaultPassword;
        if (session.LoginRepeatedly()) setButtons(true);
        if (modemConnection && modemConnection->IsOpen() && statusSlot) statusSlot->SendText("R");
        loggingIn_ = false;
    }
    // 4. Remember the link state. The login above waited for the device, and
    // a detach handled meanwhile must not be forgotten, or the next attach
    // would find the flag set and skip its login: look at the link again. A
    // link that came up only after step 1 has had no login yet: its own
    // state update will log in.
    session.loggedIn = connected && LinkUp();
}

void TFormMain::ReceiveStatusText(const QByteArray& text) {
    statusParser.Feed(text, [this](const QByteArray& key, const QByteArray& value) {
        if (const ControlDesc* d = statusBindings.Find(key)) SetControlValue(d->control, value);
    });
}

void TFormMain::PageControl1Change(int index) {
    if (usb && usb->IsReady()) {
        session.exchange.SetParam("Slots:Mainlog", "1");
        statusSlot->SendText("R");
    }
    if (index == PageModem) modemPage->PortScan();
    if (index == PageStatus && modemConnection && modemConnection->IsOpen()) queryModemStatus();
}

void TFormMain::queryModemStatus() {
    for (const StatusDef& q : modemStatusQueries()) {
        const QByteArray value = ParseAnswerValue(session.exchange.QueryParam(q.key));
        if (QWidget* c = control(q.control)) SetControlValue(c, value);
    }
}

void TFormMain::SpeedButtonENClick() { langMan->SelectLanguage("en"); }
void TFormMain::SpeedButtonHUClick() { langMan->SelectLanguage("hu"); }
void TFormMain::SpeedButtonROClick() { langMan->SelectLanguage("ro"); }

void TFormMain::FormShow() {
    // The serial ports are searched when the Modem page is shown, not here.
    session.loggedIn = false;
}

void TFormMain::showEvent(QShowEvent* e) {
    QWidget::showEvent(e);
    if (e->spontaneous()) return;   // restored from the task bar: not a new show
    FormShow();
    if (shown_) return;
    shown_ = true;
    // A module attached before the window existed may have announced itself
    // while nobody could take the hand-off: look at the link once now.
    QMetaObject::invokeMethod(this, [this] { if (!closing) UpdateUIState("Show"); }, Qt::QueuedConnection);
}

void TFormMain::FormClose() {
    if (closing.exchange(true)) return;
    // A Read, Write or login still waiting inside a handler ends at once.
    session.exchange.Abort();
    // Hang up every call that is up; a dialogue still under way gives up.
    for (auto& m : modems_) {
        m->Aborted = true;
        if (m->IsOpen()) m->Close();
    }
    usb->Close();   // stops and joins the reader thread
    // The slots leave the connection before it goes; nothing is sent on them any more.
    if (session.exchange.channel() == commandSlot) session.exchange.setChannel(nullptr);
    commandSlot = statusSlot = logSlot = nullptr;
    slots_.clear();
    usb.reset();
}

void TFormMain::closeEvent(QCloseEvent* e) {
    FormClose();
    QWidget::closeEvent(e);
}

void TFormMain::ToggleLogTab() { PageControl1->setTabVisible(PageLog, !PageControl1->isTabVisible(PageLog)); }

bool TFormMain::FormKeyDown(QKeyEvent* e) {
    const auto m = e->modifiers();
    if (e->key() == Qt::Key_D && (m & Qt::ControlModifier) && (m & Qt::AltModifier)) {
        ToggleLogTab();
        return true;
    }
    return false;
}

bool TFormMain::eventFilter(QObject* watched, QEvent* e) {
    if (e->type() == QEvent::KeyPress && watched->isWidgetType() && FormKeyDown(static_cast<QKeyEvent*>(e)))
        return true;
    return QWidget::eventFilter(watched, e);
}

void TFormMain::keyPressEvent(QKeyEvent* e) {
    // Only when the window itself has the focus, not a control that let the key pass.
    QWidget* f = QApplication::focusWidget();
    if (f == nullptr || f == this) {
        qDebug("-------------");
        if (FormKeyDown(e)) return;
    }
    QWidget::keyPressEvent(e);
}
