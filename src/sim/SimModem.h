#pragma once
// A simulated GSM modem on a pseudo-terminal, with the simulated module at the
// far end of its data calls. The tool opens slavePath() like a serial port.
//
// In command mode the modem answers AT commands line by line. After a
// CONNECT it carries the module's command text unframed: bytes from the
// terminal go to the module's command channel, the module's answers come back
// in a few pieces. "+++" during a call returns to command mode, ATO resumes
// the call, ATH hangs up (the module then starts a new session).
//
// The escape is judged as a modem judges it: "+++" with the guard time of
// silence before and after it, by the time between the bytes, whatever pieces
// the terminal hands them over in. SimModem.cpp tells how the time of a byte
// is known on a pseudo-terminal.
//
// The modem holds only the master side of the terminal: the slave is the
// tool's alone, as a real modem's port would be, so the tool's check that no
// other program has the port open finds nobody. While no one has the slave
// open, reads of the master fail; the modem waits for the next open.
#include "sim/SimModule.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <thread>

class SimModem {
public:
    struct Knobs {
        bool silent = false;                          // answers nothing in command mode
        bool simNotReady = false;                     // AT+CPIN? gives "+CPIN: SIM PIN" and ERROR
        QByteArray dialResult = "CONNECT 9600/RLP";   // any result starting with CONNECT starts a call
        int dialDelayMs = 20;                         // from ATD to its result
        bool echo = false;                            // starts with echo on, as after ATE1
        bool bareLineBeforeOk = true;                 // results as "\r\nOK\r\n" (else "OK\r\n")
        int answerChunks = 3;                         // the module's answers arrive in this many pieces
        int chunkGapMs = 2;                           // between those pieces
        // Silence before and after "+++" that makes it an escape. Short, so that
        // a tool that waits longer around its escape (Kestrum 200 ms, the tests
        // 40 ms) is heard also when the terminal hands its input over late.
        int guardMs = 10;
        int lateReadMs = 0;   // reads this long after input arrives, as on a loaded machine
        // Reads nothing from the terminal until unset: what the tool writes
        // waits there (and its silences are not judged meanwhile).
        bool deaf = false;
    };

    explicit SimModem(SimModule& module);
    ~SimModem();
    SimModem(const SimModem&) = delete;
    SimModem& operator=(const SimModem&) = delete;

    bool start();                // creates the pseudo-terminal and the modem's thread
    QString slavePath() const;   // the port name for the tool
    void stop();                 // joins the thread, closes the terminal; safe twice

    Knobs knobs() const;
    void setKnobs(const Knobs& k);   // any time, from any thread

    QList<QByteArray> atLog() const;   // AT commands received, from "AT" on, line end stripped
    int escapes() const;               // escapes ("+++" framed by silence) received, in either mode
    // The far end goes away during a call: "NO CARRIER", back to command mode.
    void dropCall();
    bool inCall() const;   // a data call is up (also while escaped to command mode)

    // For tests: raw bytes to the terminal in one write, as they are, and how
    // many bytes the tool has not yet read; how many the tool wrote that the
    // modem has not read.
    void sendToTerminal(const QByteArray& bytes);
    int waitingAtTerminal() const;
    int waitingAtModem() const;

private:
    using Clock = std::chrono::steady_clock;
    struct Outgoing {
        Clock::time_point due;
        QByteArray bytes;
        bool startsCall = false;   // the CONNECT result: data mode begins as it goes out
    };

    void run();
    // One read of the terminal, with the window its bytes arrived in: after
    // `since` (the terminal was seen empty then), by `until` (when read).
    void handleInput(const QByteArray& bytes, Clock::time_point since, Clock::time_point until);
    void silenceUntil(Clock::time_point t);   // the terminal was empty until t
    int guardWaitMs() const;                  // ms until a pending escape is due, -1 none
    void escape();
    void dropCandidate();   // the pluses were no escape
    void commandChar(char c);
    void handleCommand(const QByteArray& line);
    void moduleOutput(int channel, const QByteArray& text);
    void queue(const QByteArray& bytes, int delayMs = 0, bool startsCall = false);
    void result(const QByteArray& word);
    int flushDue();   // writes what is due; returns ms until the next item, -1 none
    void wake();

    SimModule& module_;
    mutable std::mutex mutex_;   // knobs, the outgoing queue and the AT log
    Knobs knobs_;
    std::deque<Outgoing> outgoing_;
    QList<QByteArray> atLog_;
    int escapes_ = 0;

    int master_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    QString slavePath_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> inCall_{false};
    std::atomic<bool> dataMode_{false};

    std::atomic<bool> echo_{false};
    // Modem thread only.
    QByteArray commandLine_;
    QByteArray toModule_;   // data of the current read for the module
    std::chrono::milliseconds guard_{10};
    Clock::time_point emptyAt_;     // the latest moment the terminal was seen holding nothing
    Clock::time_point lastSince_;   // the window's start of the latest byte read
    // The escape being judged: its pluses so far, the window's start of the
    // byte before them, the window of the latest plus, and how many pluses
    // were held back from the module (those read in data mode).
    int pluses_ = 0;
    Clock::time_point beforeSince_;
    Clock::time_point plusSince_;
    Clock::time_point plusUntil_;
    int held_ = 0;
};
