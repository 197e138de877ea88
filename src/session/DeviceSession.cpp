#include "session/DeviceSession.h"

#include "core/link/ConnHIDCOM.h"
#include "core/link/HID.h"
#include "core/link/Slot.h"
#include "core/text/Timing.h"
#include "session/HandOffSync.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

// One hand-off to the UI thread. The sender and the UI thread race for it
// with one atomic exchange: the UI thread runs the function only if it takes
// the record before the sender gives up; everything it uses is owned here.
struct SessionHandOff {
    explicit SessionHandOff(std::function<void()> f) : fn(std::move(f)) {}
    enum { Pending, Taken, Dropped };
    std::function<void()> fn;
    std::atomic<int> state{Pending};
    std::mutex mutex;
    std::condition_variable decided;   // the UI thread took or dropped the record
    // Drops the record if nobody took it yet, and wakes its sender.
    void drop() {
        int expected = Pending;
        state.compare_exchange_strong(expected, Dropped);
        { std::lock_guard<std::mutex> g(mutex); }
        decided.notify_all();
    }
};

namespace {

using HandOff = SessionHandOff;

const QEvent::Type kHandOffEvent = QEvent::Type(QEvent::User + 1);
const QEvent::Type kDataEvent = QEvent::Type(QEvent::User + 2);

class HandOffEvent : public QEvent {
public:
    explicit HandOffEvent(std::shared_ptr<HandOff> h) : QEvent(kHandOffEvent), handOff(std::move(h)) {}
    std::shared_ptr<HandOff> handOff;
};

// Data for the UI thread; nobody waits for it.
class DataEvent : public QEvent {
public:
    explicit DataEvent(std::function<void()> f) : QEvent(kDataEvent), fn(std::move(f)) {}
    std::function<void()> fn;
};

// Passes the USB link's attach and detach on; called on the reader thread.
class LinkListener : public ChangeStateEvent {
public:
    explicit LinkListener(std::function<void(LinkEvent)> f) : f_(std::move(f)) {}
    void StateChanged(LinkEvent event) override { f_(event); }

private:
    std::function<void(LinkEvent)> f_;
};

}   // namespace

DeviceSession::DeviceSession(const Options& options, QObject* parent)
    : QObject(parent),
      defaultPassword_(options.defaultPassword),
      backend_(options.backend ? options.backend : hidapiBackend()),
      wanted_(options.device) {
    usb_ = std::make_unique<ConnHIDCOM>(backend_, wanted_);
    stateListener_ = std::make_unique<LinkListener>([this](LinkEvent e) { linkStateChanged(e); });
    usb_->StateListeners().Add(stateListener_.get());
    usb_->setSearchOutcomeChanged([this] {
        // Nothing waits for it: posted, and dropped if the session is gone by then.
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (!closing_) emit searchOutcomeChanged();
            },
            Qt::QueuedConnection);
    });

    // Whatever may change where the user stands is looked at once more.
    connect(this, &DeviceSession::callChanged, this, &DeviceSession::checkStanding);
    connect(this, &DeviceSession::searchOutcomeChanged, this, &DeviceSession::checkStanding);
    state_.loginOutcomeChanged = [this] { checkStanding(); };

    commandSlot_ = usb_->CreateSlot(2);
    state_.exchange().setChannel(commandSlot_.get());
    receivers_.push_back(std::make_unique<ResponseConnection>(
        [this](const uint8_t* d, int32_t n) { state_.exchange().AccumulateResponse(d, n); }));
    commandSlot_->AddReceiver(receivers_.back().get());

    statusSlot_ = usb_->CreateSlot(4);
    receivers_.push_back(std::make_unique<ResponseConnection>([this](const uint8_t* d, int32_t n) {
        const QByteArray text(reinterpret_cast<const char*>(d), n);   // owned copy for the UI thread
        QueueInMainThread([this, text] { emit statusText(text); });
    }));
    statusSlot_->AddReceiver(receivers_.back().get());

    logSlot_ = usb_->CreateSlot(3);
    receivers_.push_back(std::make_unique<ResponseConnection>([this](const uint8_t* d, int32_t n) {
        // The text taken over ends at its first zero byte.
        const QByteArray raw(reinterpret_cast<const char*>(d), n);
        const int zero = int(raw.indexOf('\0'));
        const QByteArray text = zero < 0 ? raw : raw.left(zero);
        QueueInMainThread([this, text] { emit logText(text); });
    }));
    logSlot_->AddReceiver(receivers_.back().get());

    // The reader starts last, once everything it reports to exists.
    if (options.searchUsb) usb_->Open();
}

DeviceSession::~DeviceSession() {
    Close();
    // The program ends once the call is hung up.
    if (hangUp_.joinable()) hangUp_.join();
    // The modem first: it joins a reader that may still deliver to the receiver.
    modem_ = nullptr;
    modemOwned_.reset();
    callReceiver_.reset();
}

bool DeviceSession::UsbReady() const { return usb_ && usb_->IsReady(); }

bool DeviceSession::CallUp() const { return call_ && call_->IsOpen(); }

bool DeviceSession::OnUsb() const { return commandSlot_ && state_.exchange().channel() == commandSlot_.get(); }

QString DeviceSession::UsbProblem() const { return usbFailure().text; }

Failure DeviceSession::usbFailure() const { return usb_ ? usb_->LastFailure() : Failure(); }

bool DeviceSession::UsbFoundButNotOpened() const { return usb_ && usb_->FoundButNotOpened(); }

QString DeviceSession::moduleSerial() const {
    if (!UsbReady()) return {};
    std::vector<HidInterface> modules;
    if (!ListModules(*backend_, modules)) return {};
    // The link takes the first module listed that the wanted name matches.
    for (const HidInterface& m : modules)
        if (wanted_.empty() || m.path == wanted_ || m.serial == wanted_) return QString::fromStdString(m.serial);
    return {};
}

DeviceSession::Standing DeviceSession::standing() const {
    if (CallUp()) return Standing::CallUp;
    if (UsbReady()) {
        if (state_.loggedIn() && state_.lastLoginOk()) return Standing::LoggedIn;
        return state_.lastLoginResult() == Outcome::Refused ? Standing::PasswordRefused : Standing::Connected;
    }
    return UsbFoundButNotOpened() ? Standing::NotAccessible : Standing::NoModule;
}

bool DeviceSession::LinkUp() const { return UsbReady() || CallUp(); }

void DeviceSession::linkStateChanged(LinkEvent event) {
    // Commands sent before are lost with the link: a command waiting for its
    // answer ends at once. (Nothing is sent while the module is away, so an
    // arrival has nothing to forget; a command sent just after it must not
    // be taken for lost.)
    const bool attached = event == LinkEvent::Attached;
    if (!attached) state_.exchange().LinkChanged(commandSlot_.get());
    const LinkEvent told = attached ? LinkEvent::Attached : LinkEvent::Detached;
    if (CallInMainThread([this, told] {
            emit linkChanged(told);
            checkStanding();
            LogInIfNew(LinkUp());
        }))
        return;
    // A dropped state change must not leave anyone with a stale link state:
    // look again once the UI thread is free. A dropped "Attached" may hide a
    // detach and attach in between: the module is new and logged out, so the
    // resync logs in again.
    if (closing_) return;
    HANDOFF_RELEASE(this);
    QMetaObject::invokeMethod(
        this,
        [this, attached] {
            HANDOFF_ACQUIRE(this);
            if (closing_) return;
            if (attached) state_.setLoggedIn(false);
            emit linkChanged(LinkEvent::Resync);
            checkStanding();
            LogInIfNew(LinkUp());
        },
        Qt::QueuedConnection);
}

void DeviceSession::checkStanding() {
    if (closing_) return;
    const Standing now = standing();
    if (now == lastStanding_) return;
    lastStanding_ = now;
    emit standingChanged(now);
}

bool DeviceSession::LogInIfNew(bool connected) {
    if (!connected) state_.dropBulkOperator();
    // The login was for an earlier attach of the USB module: this one is a
    // new module, logged out, however the link changes were seen (a detach
    // handled only once the module was back left the flag set).
    if (!loggingIn_ && !CallUp() && UsbReady() && usb_->Attaches() != loginAttach_) state_.setLoggedIn(false);
    bool ok = false;
    if (!state_.loggedIn() && connected && !loggingIn_) {
        loggingIn_ = true;
        state_.setCurrentPassword(defaultPassword_);
        state_.forgetLastResult();   // a refusal of a module before is not this one's
        // A module attached again during the login is logged in again.
        do {
            loginAttach_ = usb_->Attaches();
            ok = state_.LoginRepeatedly();
        } while (!CallUp() && UsbReady() && usb_->Attaches() != loginAttach_ && !closing_);
        if (CallUp()) statusSlot_->SendText("R");
        loggingIn_ = false;
    }
    // The login above waited for the device, and a detach handled meanwhile
    // must not be forgotten, or the next attach would find the flag set and
    // skip its login: look at the link again. A link that came up only after
    // the caller looked has had no login yet: its own state change will log in.
    state_.setLoggedIn(connected && LinkUp());
    checkStanding();
    return ok;
}

bool DeviceSession::LogInAgain() {
    if (!UsbReady() || loggingIn_ || closing_ || (state_.loggedIn() && state_.lastLoginOk())) return false;
    loggingIn_ = true;
    loginAttach_ = usb_->Attaches();
    const bool ok = state_.LoginRepeatedly();
    loggingIn_ = false;
    state_.setLoggedIn(LinkUp());   // as LogInIfNew leaves it: this link has had its login
    checkStanding();
    return ok;
}

void DeviceSession::RequestStatus() {
    if (UsbReady()) statusSlot_->SendText("R");
}

void DeviceSession::EnableMainLog() {
    if (UsbReady()) state_.exchange().SetParam("Slots:Mainlog", "1");
}

bool DeviceSession::connectModem(const QString& portName, const QByteArray& phoneNumber) {
    // A second dial while one is under way, or while a call is up, is
    // ignored: the call's handle must not be lost.
    if (callBusy_ || CallUp() || closing_) return false;
    callBusy_ = true;
    // The call before has ended: its modem goes, and its reader with it (a
    // reader that saw the carrier go may still be running).
    releaseCall();
    modem_ = nullptr;
    modemOwned_.reset();
    modemOwned_ = std::make_unique<TModem>([this](const QByteArray& line) { emit modemLine(line); });
    TModem* m = modemOwned_.get();
    m->setOnState([this](TModem::State) { emit callChanged(); });
    // The far end going away is seen on the modem's reader thread; the
    // session hangs up and gives the channel back on its own thread. The
    // call is named by its number: the modem may be gone by then.
    const uint64_t call = ++calls_;
    m->setCarrierLost([this, m, call] {
        HANDOFF_RELEASE(m);
        QMetaObject::invokeMethod(
            this,
            [this, m, call] {
                HANDOFF_ACQUIRE(m);
                carrierLost(call);
            },
            Qt::QueuedConnection);
    });
    modem_ = m;
    callNumber_ = phoneNumber;
    emit callChanged();
    call_ = m->Connect(portName, phoneNumber);
    if (!call_) {
        callBusy_ = false;
        emit callChanged();
        if (closing_) hangUpAtExit();   // a dial that went out is hung up off this thread
        return false;
    }
    state_.exchange().setChannel(call_);
    callReceiver_ = std::make_unique<ResponseConnection>(
        [this](const uint8_t* d, int32_t n) { state_.exchange().AccumulateResponse(d, n); });
    call_->AddReceiver(callReceiver_.get());

    // No USB login has set a password yet: start from the device's default
    // rather than offering the device an empty one.
    if (state_.currentPassword().isEmpty()) state_.setCurrentPassword(kDefaultPassword);
    const bool ok = state_.LoginRepeatedly();
    callBusy_ = false;
    if (closing_) {
        hangUpAtExit();   // Close left it to this handler, still on the stack then
        return false;
    }
    if (!ok) {
        call_->Close();
        callEnded();
        return false;
    }
    state_.setLoggedIn(true);
    emit linkChanged(LinkEvent::CallUp);
    emit callChanged();
    return true;
}

void DeviceSession::CancelDial() {
    if (modem_ && callBusy_) modem_->Cancel();
}

void DeviceSession::hangUp() {
    if (!CallUp() || callBusy_) return;
    callBusy_ = true;
    emit callChanged();
    modem_->Close();
    callBusy_ = false;
    callEnded();
}

void DeviceSession::carrierLost(uint64_t call) {
    if (closing_ || call != calls_ || !modem_ || callBusy_) return;
    callBusy_ = true;
    emit callChanged();
    modem_->Close();   // stops the reader, and hangs up to be sure
    callBusy_ = false;
    callEnded();
}

void DeviceSession::releaseCall() {
    if (call_ && state_.exchange().channel() == call_) state_.exchange().setChannel(commandSlot_.get());
    if (call_ && callReceiver_) call_->RemoveReceiver(callReceiver_.get());
    callReceiver_.reset();
    call_ = nullptr;
}

void DeviceSession::hangUpAtExit() {
    if (!modem_ || !modem_->NeedsHangUp() || hangUp_.joinable()) return;
    // Nothing of the session's hears of the call from here on: its receiver
    // leaves (a delivery in flight finishes first), and the modem tells no
    // handler while it hangs up.
    releaseCall();
    TModem* m = modem_;
    QAbstractEventDispatcher* closer = QAbstractEventDispatcher::instance();
    hangUp_ = std::thread([this, m, closer] {
        m->HangUpAtExit();
        hungUp_ = true;
        if (closer) closer->wakeUp();   // thread-safe; a wait for HangingUp() looks again
    });
}

void DeviceSession::LeaveHangUp() {
    if (modem_ && HangingUp()) modem_->leaveHangUp();
}

void DeviceSession::callEnded() {
    if (closing_) return;
    state_.exchange().setChannel(commandSlot_.get());
    // The call's reader has ended (its Close joined it); the receiver goes.
    releaseCall();
    // A module on USB is logged in afresh, as on an attach.
    state_.setLoggedIn(false);
    emit linkChanged(LinkEvent::CallEnded);
    LogInIfNew(LinkUp());
    emit callChanged();
}

void DeviceSession::Abort() {
    state_.exchange().Abort();
    if (modem_) modem_->abort();
}

int DeviceSession::CallInMainThread(std::function<void()> fn) {
    if (closing_) return 0;
    if (QThread::currentThread() == thread()) {
        fn();
        return 1;
    }
    auto h = std::make_shared<HandOff>(std::move(fn));
    {
        // A close drops it at once: the UI thread that closes takes nothing more.
        std::lock_guard<std::mutex> g(pendingMutex_);
        if (closing_) return 0;
        pending_.push_back(h.get());
    }
    auto* event = new HandOffEvent(h);
    HANDOFF_RELEASE(event);   // the event and the record it holds are complete
    QCoreApplication::postEvent(this, event);
    {
        std::unique_lock<std::mutex> lk(h->mutex);
        h->decided.wait_for(lk, std::chrono::milliseconds(timing::handOffTimeoutMs),
                            [&] { return h->state != HandOff::Pending; });
    }
    {
        std::lock_guard<std::mutex> g(pendingMutex_);
        pending_.erase(std::find(pending_.begin(), pending_.end(), h.get()));
    }
    int expected = HandOff::Pending;
    if (h->state.compare_exchange_strong(expected, HandOff::Dropped)) return 0;   // never runs now
    return h->state == HandOff::Taken ? 1 : 0;
}

bool DeviceSession::QueueInMainThread(std::function<void()> fn) {
    if (closing_) return false;
    if (QThread::currentThread() == thread()) {
        fn();
        return true;
    }
    {
        std::lock_guard<std::mutex> g(dataMutex_);
        if (queuedData_ >= kMaxQueuedData) {
            ++droppedData_;
            return false;
        }
        ++queuedData_;
    }
    auto* event = new DataEvent(std::move(fn));
    HANDOFF_RELEASE(event);   // the event and the function it holds are complete
    QCoreApplication::postEvent(this, event);
    return true;
}

bool DeviceSession::event(QEvent* e) {
    if (e->type() == kDataEvent) {
        HANDOFF_ACQUIRE(e);
        if (closing_) return true;
        static_cast<DataEvent*>(e)->fn();
        // A drop happens only while hand-offs wait, and each of them looks
        // here once it has run: the one that sees the count tells it, after
        // the text that came before the drop.
        int dropped;
        {
            std::lock_guard<std::mutex> g(dataMutex_);
            --queuedData_;
            dropped = droppedData_;
            droppedData_ = 0;
        }
        if (dropped > 0) emit dataDropped(dropped);
        return true;
    }
    if (e->type() != kHandOffEvent) return QObject::event(e);
    HANDOFF_ACQUIRE(e);
    auto h = static_cast<HandOffEvent*>(e)->handOff;
    // Once the session is closing nothing is taken any more. The sender may
    // go on as soon as the work is taken: everything the function uses is
    // owned by the record, and a function that waits for the device (a
    // login) needs the reader thread free.
    int expected = HandOff::Pending;
    const bool take = h->state.compare_exchange_strong(expected, closing_ ? HandOff::Dropped : HandOff::Taken);
    {
        std::lock_guard<std::mutex> g(h->mutex);   // the sender is waiting or about to
    }
    h->decided.notify_all();
    if (take && !closing_) h->fn();
    return true;
}

void DeviceSession::Close() {
    {
        std::lock_guard<std::mutex> g(pendingMutex_);
        if (closing_.exchange(true)) return;
        // A reader waiting to hand work over goes on at once: the UI thread
        // is here, and will take nothing more.
        for (SessionHandOff* h : pending_) h->drop();
    }
    // A Read, Write or login still waiting inside a handler ends at once.
    state_.exchange().Abort();
    // A dialogue still under way gives up; the call is hung up off this
    // thread, so that the window goes at once. A dial or a login over the
    // call under way inside a handler (this runs inside its waits) hands
    // the hang-up over as it returns; a hang-up under way finishes there.
    if (modem_) {
        modem_->abort();
        if (!callBusy_) hangUpAtExit();
    }
    usb_->Close();   // stops and joins the reader thread
    // The slots leave the connection before it goes; nothing is sent on them any more.
    if (state_.exchange().channel() == commandSlot_.get()) state_.exchange().setChannel(nullptr);
    commandSlot_.reset();
    statusSlot_.reset();
    logSlot_.reset();
    usb_.reset();
}
