#include "session/DeviceSession.h"

#include "core/link/ConnHIDCOM.h"
#include "core/link/Slot.h"
#include "core/text/Timing.h"
#include "session/HandOffSync.h"

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

class HandOffEvent : public QEvent {
public:
    explicit HandOffEvent(std::shared_ptr<HandOff> h) : QEvent(kHandOffEvent), handOff(std::move(h)) {}
    std::shared_ptr<HandOff> handOff;
};

// Passes the USB link's "Attached" and "Detached" on; called on the reader thread.
class LinkListener : public ChangeStateEvent {
public:
    explicit LinkListener(std::function<void(const QByteArray&)> f) : f_(std::move(f)) {}
    void StateChanged(const char* name) override { f_(QByteArray(name)); }

private:
    std::function<void(const QByteArray&)> f_;
};

}   // namespace

DeviceSession::DeviceSession(const Options& options, QObject* parent)
    : QObject(parent), defaultPassword_(options.defaultPassword) {
    usb_ = std::make_unique<ConnHIDCOM>(options.backend ? options.backend : hidapiBackend(), options.device);
    stateListener_ = std::make_unique<LinkListener>([this](const QByteArray& s) { linkStateChanged(s); });
    usb_->StateListeners.Add(stateListener_.get());
    usb_->SearchOutcomeChanged = [this] {
        // Nothing waits for it: posted, and dropped if the session is gone by then.
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (!closing_) emit searchOutcomeChanged();
            },
            Qt::QueuedConnection);
    };

    commandSlot_ = usb_->CreateSlot(2);
    state_.exchange.setChannel(commandSlot_.get());
    receivers_.push_back(std::make_unique<ResponseConnection>(
        [this](const uint8_t* d, int32_t n) { state_.exchange.AccumulateResponse(d, n); }));
    commandSlot_->AddReceiver(receivers_.back().get());

    statusSlot_ = usb_->CreateSlot(4);
    receivers_.push_back(std::make_unique<ResponseConnection>([this](const uint8_t* d, int32_t n) {
        const QByteArray text(reinterpret_cast<const char*>(d), n);   // owned copy for the UI thread
        CallInMainThread([this, text] { emit statusText(text); });
    }));
    statusSlot_->AddReceiver(receivers_.back().get());

    logSlot_ = usb_->CreateSlot(3);
    receivers_.push_back(std::make_unique<ResponseConnection>([this](const uint8_t* d, int32_t n) {
        // The text taken over ends at its first zero byte.
        const QByteArray raw(reinterpret_cast<const char*>(d), n);
        const int zero = int(raw.indexOf('\0'));
        const QByteArray text = zero < 0 ? raw : raw.left(zero);
        CallInMainThread([this, text] { emit logText(text); });
    }));
    logSlot_->AddReceiver(receivers_.back().get());

    // The reader starts last, once everything it reports to exists.
    if (options.searchUsb) usb_->Open();
}

DeviceSession::~DeviceSession() {
    Close();
    modems_.clear();
}

bool DeviceSession::UsbReady() const { return usb_ && usb_->IsReady(); }

bool DeviceSession::CallUp() const { return call_ && call_->IsOpen(); }

bool DeviceSession::OnUsb() const { return commandSlot_ && state_.exchange.channel() == commandSlot_.get(); }

QString DeviceSession::UsbProblem() const { return usb_ ? QString::fromStdString(usb_->LastError()) : QString(); }

bool DeviceSession::UsbFoundButNotOpened() const { return usb_ && usb_->FoundButNotOpened(); }

DeviceSession::Standing DeviceSession::standing() const {
    if (CallUp()) return Standing::CallUp;
    if (UsbReady()) return state_.loggedIn && state_.lastLoginOk ? Standing::LoggedIn : Standing::Connected;
    return UsbFoundButNotOpened() ? Standing::NotAccessible : Standing::NoModule;
}

bool DeviceSession::LinkUp() const { return UsbReady() || CallUp(); }

void DeviceSession::linkStateChanged(const QByteArray& state) {
    // Commands sent before are lost with the link: a command waiting for its
    // answer ends at once. (Nothing is sent while the module is away, so an
    // arrival has nothing to forget; a command sent just after it must not
    // be taken for lost.)
    if (state == "Detached") state_.exchange.LinkChanged(commandSlot_.get());
    const char* reason = state == "Attached" ? "Attached" : "Detached";
    if (CallInMainThread([this, reason] {
            emit linkChanged(reason);
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
        [this, attached = state == "Attached"] {
            HANDOFF_ACQUIRE(this);
            if (closing_) return;
            if (attached) state_.loggedIn = false;
            emit linkChanged("Resync");
            LogInIfNew(LinkUp());
        },
        Qt::QueuedConnection);
}

bool DeviceSession::LogInIfNew(bool connected) {
    if (!connected) state_.bulkOperator.reset();
    bool ok = false;
    if (!state_.loggedIn && connected && !loggingIn_) {
        loggingIn_ = true;
        state_.currentPassword = defaultPassword_;
        ok = state_.LoginRepeatedly();
        if (CallUp()) statusSlot_->SendText("R");
        loggingIn_ = false;
    }
    // The login above waited for the device, and a detach handled meanwhile
    // must not be forgotten, or the next attach would find the flag set and
    // skip its login: look at the link again. A link that came up only after
    // the caller looked has had no login yet: its own state change will log in.
    state_.loggedIn = connected && LinkUp();
    return ok;
}

void DeviceSession::RequestStatus() {
    if (UsbReady()) statusSlot_->SendText("R");
}

void DeviceSession::EnableMainLog() {
    if (UsbReady()) state_.exchange.SetParam("Slots:Mainlog", "1");
}

bool DeviceSession::connectModem(const QString& portName, const QByteArray& phoneNumber) {
    // A second dial while one is under way, or while a call is up, is
    // ignored: the call's handle must not be lost.
    if (callBusy_ || CallUp() || closing_) return false;
    callBusy_ = true;
    auto owned = std::make_unique<TModem>([this](const QByteArray& line) { emit modemLine(line); });
    TModem* m = owned.get();
    m->OnState = [this](TModem::State) { emit callChanged(); };
    // The far end going away is seen on the modem's reader thread; the
    // session hangs up and gives the channel back on its own thread.
    m->CarrierLost = [this, m] {
        HANDOFF_RELEASE(m);
        QMetaObject::invokeMethod(
            this,
            [this, m] {
                HANDOFF_ACQUIRE(m);
                carrierLost(m);
            },
            Qt::QueuedConnection);
    };
    modems_.push_back(std::move(owned));
    modem_ = m;
    callNumber_ = phoneNumber;
    emit callChanged();
    call_ = m->Connect(portName, phoneNumber);
    if (!call_) {
        callBusy_ = false;
        emit callChanged();
        return false;
    }
    state_.exchange.setChannel(call_);
    callReceivers_.push_back(std::make_unique<ResponseConnection>(
        [this](const uint8_t* d, int32_t n) { state_.exchange.AccumulateResponse(d, n); }));
    call_->AddReceiver(callReceivers_.back().get());

    // No USB login has set a password yet: start from the device's default
    // rather than offering the device an empty one.
    if (state_.currentPassword.isEmpty()) state_.currentPassword = kDefaultPassword;
    const bool ok = state_.LoginRepeatedly();
    callBusy_ = false;
    if (closing_) return false;   // closing has hung up already
    if (!ok) {
        call_->Close();
        callEnded();
        return false;
    }
    state_.loggedIn = true;
    emit linkChanged("CallUp");
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

void DeviceSession::carrierLost(TModem* m) {
    if (closing_ || m != modem_ || callBusy_) return;
    callBusy_ = true;
    emit callChanged();
    m->Close();   // stops the reader, and hangs up to be sure
    callBusy_ = false;
    callEnded();
}

void DeviceSession::callEnded() {
    if (closing_) return;
    if (call_ && !callReceivers_.empty()) call_->RemoveReceiver(callReceivers_.back().get());
    state_.exchange.setChannel(commandSlot_.get());
    // A module on USB is logged in afresh, as on an attach.
    state_.loggedIn = false;
    emit linkChanged("CallEnded");
    LogInIfNew(LinkUp());
    emit callChanged();
}

void DeviceSession::Abort() {
    state_.exchange.Abort();
    for (auto& m : modems_) m->Aborted = true;
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

bool DeviceSession::event(QEvent* e) {
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
    state_.exchange.Abort();
    // Hang up every call that is up; a dialogue still under way gives up.
    for (auto& m : modems_) {
        m->Aborted = true;
        if (m->IsOpen()) m->Close();
    }
    usb_->Close();   // stops and joins the reader thread
    // The slots leave the connection before it goes; nothing is sent on them any more.
    if (state_.exchange.channel() == commandSlot_.get()) state_.exchange.setChannel(nullptr);
    commandSlot_.reset();
    statusSlot_.reset();
    logSlot_.reset();
    usb_.reset();
}
