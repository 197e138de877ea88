#pragma once
// The GSM modem link: drives a modem on a serial port with AT commands, places
// a data call to the device and then carries the device's command text over
// it, unframed. Received bytes go to the subscribers in Receivers on the
// modem's own reader thread.
//
// Connect, SendCommand, ReadLine, Dial and Close run on the main thread and
// keep the event loop alive while they wait; they wake when the modem's
// answer arrives, not on a timer. One object serves one call. The serial
// port is the modem's alone. While it is open a reader thread sleeps on it
// until bytes arrive or it is woken (Tserial::WaitForInput): during the
// dialogue it keeps what arrives for ReadLine, during the call it hands it
// to the subscribers. The main thread writes; each uses the port under the
// port's lock.
#include "core/link/Connection.h"
#include "core/modem/Tserial.h"
#include "core/text/Failure.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class QAbstractEventDispatcher;

// One line of the modem's answers, collected byte by byte: it ends at a line
// feed (which it keeps) or when kMax bytes have come without one; its text
// ends at its first zero byte.
class ModemLine {
public:
    static constexpr int kMax = 1024;
    bool push(char c);   // true once the line is complete
    QByteArray text() const;

private:
    char buf_[kMax] = {};
    int pos_ = 0;
};

class TModem : public Connection {
public:
    // Receives every command sent and every line received during the AT
    // dialogue, line ends included; called on the main thread only.
    using LogFunction = std::function<void(const QByteArray& line)>;

    // What the call is doing, for the page to show in words.
    enum class State {
        Idle,
        PortFailed,   // the port is missing or another program holds it
        NoModem,      // no "OK" to the checking AT
        NoSim,        // no "OK" to AT+CPIN?
        Dialling,
        Connected,    // at the speed speed() tells
        WrongSpeed,   // connected at speed(), not 9600: hung up
        Busy,
        NoCarrier,   // the dial failed, or the call dropped
        NoAnswer,    // the far end did not pick up, or nothing came within the dial's time
        NoDialTone,
        Cancelled,   // the user stopped the dial: hung up
        HungUp,
    };
    // Told on the main thread at every change of State (not for a dropped call,
    // which the carrier-lost handler tells on the reader thread).
    using StateFunction = std::function<void(State state)>;

    explicit TModem(LogFunction logView = {});
    // Stops and joins a running reader thread; the port closes with it (a
    // call left up is not hung up: see HangUpAtExit).
    ~TModem() override;

    // Set before Connect. The state handler runs on the main thread; the
    // carrier-lost handler runs on the reader thread when the modem reports
    // that the call has dropped ("NO CARRIER" during the call), IsOpen being
    // false by then.
    void setOnState(StateFunction onState) { onState_ = std::move(onState); }
    void setCarrierLost(std::function<void()> carrierLost) { carrierLost_ = std::move(carrierLost); }

    // Opens the port, prepares the modem and dials. Returns this object once
    // the data call is up, nullptr when it failed (the port is then closed).
    TModem* Connect(const QString& portName, const QByteArray& phoneNumber);
    // Opens the port alone, without a word to the modem (Connect's first
    // step), and starts its reader: false when it cannot be opened,
    // PortError() telling why.
    bool openPort(const QString& portName);
    // Writes the text to the port as it is; false when there is no open port
    // or the write failed (the port stays, unlike after SendText).
    bool Write(const QByteArray& text);
    // One AT command (line end included); true once a line with "OK" came.
    bool SendCommand(const QByteArray& command);
    // One received line with its line end, or empty text when none completed
    // within the time budget, which starts again whenever bytes arrive.
    QByteArray ReadLine(int ms);
    // Dials; true when the modem reports "CONNECT 9600" (the reader then runs).
    // Any other final result (another speed, BUSY, NO CARRIER, NO ANSWER,
    // NO DIALTONE, ERROR) ends the dial at once; State says which.
    bool Dial(const QByteArray& phoneNumber);
    // Ends a dial under way (from a handler run inside its waits); Connect
    // then hangs up and fails.
    void Cancel();
    // The program is closing: every wait for the modem ends at once and
    // Connect fails, leaving a dial that went out to HangUpAtExit. Any thread.
    void abort();
    // The program's end, after abort: ends what is up, the call (as Close
    // does) or the dial an aborted Connect left, and closes the port. It
    // handles no events and tells no handler, so it may run on a thread of
    // its own while the window goes; it waits for the modem's answers within
    // the modem's own budgets (an abort meanwhile ends those at once).
    void HangUpAtExit();
    // HangUpAtExit gives up at once (the user insists on leaving): its waits
    // for the modem and its pauses around the escape end, nothing more is
    // sent, and the port is closed, which drops DTR. For good. Any thread.
    void leaveHangUp();
    // There is something for HangUpAtExit to end: the call is up, or an
    // aborted Connect left a dial.
    bool NeedsHangUp() const { return connected_ || dialLeft_; }

    // What a line read while dialling means. Connected: "CONNECT 9600";
    // Failed: another CONNECT (WrongSpeed) or a final result that is no
    // connection; PassOver: anything else (a bare line end, RING, an echo).
    struct DialLine {
        enum Kind { PassOver, Connected, Failed } kind = PassOver;
        State state = State::Dialling;
        QByteArray speed;
    };
    static DialLine ClassifyDialLine(const QByteArray& line);
    // The modem's own "NO CARRIER" line in the data of a call: after a line
    // end (or right after the module's prompt) and followed by a line end.
    // The text's first byte has nothing before it: start it with "\n" where
    // it starts a line.
    static bool CarrierLostIn(const QByteArray& text);

    bool IsOpen() override { return connected_; }
    void SendData(const uint8_t*, int32_t) override {}
    // Writes the text to the port; a failed write drops the port for good.
    void SendText(const QByteArray& text) override;
    bool Open() override { return true; }
    // Hangs up: stops the reader, re-opens the port and sends the modem back
    // to command mode and on-hook.
    void Close() override;
    QByteArray GetName() override { return {}; }
    bool IsReady() override;   // the port is there
    bool portOpen() const;     // the port is there and open

    // True while the reader thread is running: from the port's open until
    // it is closed (also after a failed write dropped the port, idle).
    bool ReaderRunning() const { return readerAlive_; }
    // What the call is doing; any thread.
    State callState() const { return callState_; }
    // The speed of the latest CONNECT, e.g. "9600"; the port and the number
    // given to Connect. Main thread.
    QByteArray speed() const { return speed_; }
    QString portName() const { return portName_; }
    QByteArray phoneNumber() const { return phoneNumber_; }
    // Why the port failed, in words ("cannot open /dev/ttyUSB0: Permission
    // denied"): the open that ended in State::PortFailed, a later write that
    // failed, or the open Close makes to hang up; empty when nothing failed
    // since Connect began. Any thread.
    QString PortError() const;
    // Its kind and the system's own words (e.g. Busy, "Device or resource
    // busy"); Kind::None when nothing failed.
    Failure portFailure() const;
    // The system's own words of it alone, the failure's text.
    QString PortReason() const;
    // How the open was refused beyond the system's reason (a live lock, a
    // port left exclusive), and the lock file of a Locked refusal.
    Tserial::Refusal PortRefusal() const;
    QString PortRefusingLock() const;

    static constexpr int kBufferSize = ModemLine::kMax;   // line buffer and reader buffer

private:
    using Clock = std::chrono::steady_clock;

    void Log(const QByteArray& line);
    void ReaderLoop();
    void startReader();   // the port is open and no reader runs
    void StopReaderThread();
    void closePort();   // stops the reader and closes the port; the Tserial object stays
    // The reader hands bytes of the call to the subscribers and watches for
    // the modem's "NO CARRIER"; tail is the end of what came before.
    void deliver(const char* data, int n, QByteArray& tail);
    // Keeps the bytes for ReadLine while the dialogue goes on; false once
    // the call has them (then *call holds what the dialogue left, then them).
    bool keepForDialogue(const char* data, int n, QByteArray* call);
    // Wakes ReadLine's wait (bytes came, abort, Cancel).
    void wake();
    // Sleeps until wake is called after it had been called `seen` times, or
    // the deadline; the application's events are handled meanwhile on its
    // thread.
    void waitForWake(unsigned seen, Clock::time_point deadline);
    // The modem's guard times: silence on the line, not a wait for it.
    void pause(int ms);
    bool PrepareAndDial();   // Connect after the port is open
    void SetState(State s);
    // Ends whatever the modem is doing on the open port: escape to command
    // mode, then hang up. Written whether or not the modem answers.
    void HangUpOnPort();
    void keepPortError();   // portMutex_ held

    // Set before Connect; the carrier-lost handler runs on the reader
    // thread, the others on the main thread.
    const LogFunction logView_;
    StateFunction onState_;
    std::function<void()> carrierLost_;

    // Main thread only, or the thread that runs HangUpAtExit.
    QString portName_;
    QByteArray phoneNumber_;
    QByteArray speed_;
    bool dialled_ = false;    // ATD went out: a failure from here on must hang up
    bool dialLeft_ = false;   // an aborted Connect left that hang-up to HangUpAtExit
    bool quiet_ = false;      // HangUpAtExit runs: no handler is told

    std::atomic<State> callState_{State::Idle};
    std::atomic<bool> connected_{false};   // the call is up
    std::atomic<bool> stopReader_{false};
    std::atomic<bool> aborted_{false};
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> leaving_{false};   // leaveHangUp
    std::thread reader_;
    std::atomic<bool> readerAlive_{false};

    // What the reader received during the dialogue, and the waits for it.
    std::mutex inputMutex_;                            // guards everything below up to portMutex_
    QByteArray input_;                                 // not yet taken by ReadLine
    bool callMode_ = false;                            // the call is up: the reader hands its bytes to the subscribers
    unsigned wakes_ = 0;                               // calls of wake
    std::condition_variable woken_;                    // a wait off the application's thread
    std::vector<QAbstractEventDispatcher*> waiters_;   // waits on the application's thread (nested ones too)

    mutable std::mutex portMutex_;   // guards everything below
    // A reader with nothing to wait on (the port dropped, the line failed)
    // waits here for its stop.
    std::condition_variable readerIdle_;
    // Created by openPort. A failed write in SendText drops it: portDropped_
    // at once, and the reader (which may be waiting on it) destroys it,
    // leaving it null. Only the reader, or a thread that has stopped it,
    // closes or destroys the port.
    std::unique_ptr<Tserial> port_;
    bool portDropped_ = false;
    QString portError_;
    Failure portFailure_;
    Tserial::Refusal portRefusal_ = Tserial::Refusal::None;
    QString portRefusingLock_;
};
