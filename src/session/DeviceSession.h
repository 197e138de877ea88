#pragma once
// The device session: one object owns everything that talks to the module —
// the USB connection with its command, status and log slots, the modem calls,
// the command exchange and the login. It lives on the UI thread. The link's
// reader threads hand their work to it (CallInMainThread), and it tells the
// window, the pages and the command-line tool what happened through signals.
#include "core/link/LinkEvent.h"
#include "core/modem/TModem.h"
#include "core/protocol/Session.h"

#include <QObject>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ChangeStateEvent;
struct SessionHandOff;
class ConnHIDCOM;
class HidBackend;
class ResponseConnection;
class Slot;

class DeviceSession : public QObject {
    Q_OBJECT
public:
    struct Options {
        HidBackend* backend = nullptr;                   // null: the real USB device through hidapi
        QByteArray defaultPassword = kDefaultPassword;   // the first login on a new link
        std::string device{};                            // empty: the first module; else its path or serial number
        // False: no USB module is looked for, opened or logged in to (the
        // command-line tool working over a modem call).
        bool searchUsb = true;
    };
    // Starts looking for the USB module at once (unless options.searchUsb is false).
    explicit DeviceSession(const Options& options, QObject* parent = nullptr);
    // Closes, then waits for a call's hang-up that Close left running.
    ~DeviceSession() override;

    // --- The link ---------------------------------------------------------
    bool LinkUp() const;   // the USB module ready, or a data call up
    bool UsbReady() const;
    bool CallUp() const;
    // Commands go to the USB module (no call has the command channel).
    bool OnUsb() const;
    // Why the USB module cannot be reached or went away, as the system said
    // it (empty when nothing failed); and whether a module is plugged in that
    // cannot be opened (access rights, or another program holds it).
    QString UsbProblem() const;
    bool UsbFoundButNotOpened() const;
    // The same as a kind and the system's words (Kind::None: nothing failed).
    Failure usbFailure() const;
    // The serial number the USB module gives, looked up in the device list
    // as the link chose the module; empty when none is ready or it gives none.
    QString moduleSerial() const;

    // Where the user stands, in the order the bottom bar tells it: a call up
    // (with the number dialled), a module logged in, connected but the
    // password refused, connected but not logged in (no answer to the
    // login), plugged in but not accessible, or none.
    enum class Standing { NoModule, NotAccessible, Connected, PasswordRefused, LoggedIn, CallUp };
    Standing standing() const;
    QByteArray callNumber() const { return callNumber_; }

    Exchange& exchange() { return state_.exchange(); }
    // The password, the logged-in flag, the bulk operator and the login
    // itself. Set askPassword on it to let the user retry a refused login.
    Session& login() { return state_; }
    const Session& login() const { return state_; }

    // Logs in when a link is up that has had no login yet, then remembers the
    // link state (connected, as the caller saw it before). True when it
    // logged in just now. A call from inside the login's own waits does
    // nothing.
    bool LogInIfNew(bool connected);
    // Logs in again to the USB module whose login failed (the user asked):
    // the password dialog comes once the current password is refused. True
    // when logged in now; false at once when not connected, logged in, or
    // a login is under way.
    bool LogInAgain();

    // Asks the module for its status pairs ("R" on the status slot); over
    // USB only.
    void RequestStatus();
    // Turns the module's main log on; over USB only.
    void EnableMainLog();

    // --- Modem calls --------------------------------------------------------
    // Opens the port, dials and logs in with the current password (the
    // default when none is set yet). True once logged in over the call; on
    // failure the call is hung up and the modem's state says why.
    bool connectModem(const QString& portName, const QByteArray& phoneNumber);
    void hangUp();                             // ends the call; the channel goes back to USB
    void CancelDial();                         // ends a dial under way (from a handler run inside its waits)
    TModem* Modem() const { return modem_; }   // the newest call's modem, or null
    // A dial, its login or a hang-up is under way.
    bool CallBusy() const { return callBusy_; }

    // --- Hand-off to the UI thread ------------------------------------------
    // Both keep the order in which they were called; on the UI thread itself
    // fn runs at once.
    // Hands fn to the UI thread and waits up to timing::handOffTimeoutMs for
    // the UI thread to take it. 0 when the session is closing or the UI
    // thread did not take it in time (then fn never runs); non-zero when it
    // was taken and runs there. For a change the caller must know was seen.
    int CallInMainThread(std::function<void()> fn);
    // Hands data (status and log text) to the UI thread without waiting: it
    // runs however late the UI thread takes it. False, and fn never runs,
    // when the session is closing, or when kMaxQueuedData hand-offs are
    // waiting already: then it is counted, and dataDropped tells the count
    // once the UI thread has caught up with the ones before it.
    bool QueueInMainThread(std::function<void()> fn);
    static constexpr int kMaxQueuedData = 10000;

    // Every wait for the module ends at once (Ctrl+C in the command line).
    void Abort();
    // Hangs up every call and stops the USB reader; the session is over.
    // Returns once the USB reader has ended, at once: a call's hang-up (the
    // modem's escape and ATH, seconds) goes on on a thread of its own, which
    // tells nobody and which the destructor waits for. A dial or a login
    // over a call under way inside a handler gives up first and hands its
    // hang-up over as it returns. Runs once.
    void Close();
    bool Closing() const { return closing_; }
    // The hang-up Close left running is still under way; as it ends, it
    // wakes the thread that called Close (its event loop). UI thread.
    bool HangingUp() const { return hangUp_.joinable() && !hungUp_; }
    // The user will not wait for it: it gives up at once and closes the
    // port (TModem::leaveHangUp). UI thread.
    void LeaveHangUp();

signals:
    // The link changed: attached, detached, resync (a state change was
    // missed: look again), a call up (logged in over it), the call ended.
    void linkChanged(LinkEvent event);
    // Where the user stands (standing()) is other than when last told.
    void standingChanged(DeviceSession::Standing standing);
    void statusText(const QByteArray& text);   // as received on the status slot
    void logText(const QByteArray& text);      // log text, up to its first zero byte
    void modemLine(const QByteArray& line);    // the AT dialogue, line ends included
    void callChanged();                        // the call's state or CallBusy changed
    // A search for the USB module found it plugged in but not accessible, or
    // no longer so: standing() may tell something else.
    void searchOutcomeChanged();
    // This many pieces of status and log text were dropped: the UI thread
    // was too long busy to take them (see QueueInMainThread).
    void dataDropped(int count);

protected:
    bool event(QEvent* e) override;

private:
    void linkStateChanged(LinkEvent event);   // reader thread
    // Tells standingChanged when standing() is other than when last told.
    void checkStanding();
    Standing lastStanding_ = Standing::NoModule;
    void carrierLost(uint64_t call);
    void callEnded();
    // The call's receiver leaves it, and the commands go back to USB.
    void releaseCall();
    // Closing: the modem's hang-up, when it needs one, starts on hangUp_.
    void hangUpAtExit();

    std::atomic<bool> closing_{false};
    std::mutex pendingMutex_;                // guards pending_, and closing_ becoming true
    std::vector<SessionHandOff*> pending_;   // hand-offs whose senders wait
    std::mutex dataMutex_;                   // guards the two below
    int queuedData_ = 0;                     // data hand-offs not run yet
    int droppedData_ = 0;                    // dropped and not yet told
    QByteArray defaultPassword_;
    HidBackend* const backend_;
    const std::string wanted_;
    Session state_;
    std::unique_ptr<ConnHIDCOM> usb_;
    std::unique_ptr<ChangeStateEvent> stateListener_;
    std::unique_ptr<Slot> commandSlot_, statusSlot_, logSlot_;
    std::vector<std::unique_ptr<ResponseConnection>> receivers_;
    // The newest call's modem, kept for what it tells after the call, and
    // the receiver of its text while the call is up. An earlier call's modem
    // goes when the next call starts, and its reader with it.
    std::unique_ptr<TModem> modemOwned_;
    std::unique_ptr<ResponseConnection> callReceiver_;
    TModem* modem_ = nullptr;
    std::thread hangUp_;                // the newest modem's HangUpAtExit; joined by the destructor
    std::atomic<bool> hungUp_{false};   // hangUp_ has done its work
    uint64_t calls_ = 0;                // calls started: which one a late carrier loss is about
    QByteArray callNumber_;
    Connection* call_ = nullptr;   // what the newest Connect returned
    bool callBusy_ = false;
    bool loggingIn_ = false;
    uint32_t loginAttach_ = 0;   // the USB module's attach that the last login was for
};
