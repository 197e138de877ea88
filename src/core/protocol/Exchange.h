#pragma once
// The command exchange with the device: commands go out on the command
// channel as text, the answers come back on it, and the prompts the device
// prints tell success (":L2 >" or ":L9 >" with "->PASS") from refusal
// (":L0 >").
//
// The device answers every command line it receives with text that ends in
// one prompt, in the order it received them. When an answer is slower than
// one attempt's wait the command is sent again, and the device answers both
// sends; the second answer then arrives while a later command waits. So the
// exchange keeps the sends still unanswered in order, cuts the received text
// into answers at each prompt (at the start of a line, where the device
// prints it: a value may hold the same characters), and gives each answer
// to the send it belongs to: an answer to a command that is no longer waited
// for is dropped, never taken as the answer to the command that waits now.
// A query's answer also has to name the key asked for. An answer that names
// a key also puts the count right again: sends before the one it names were
// lost.
#include "core/link/Connection.h"

#include <QByteArray>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

class QAbstractEventDispatcher;

// The text the tool itself returns for a refused query (never sent by the device).
extern const QByteArray kNotAvailable;

// How one command ended.
enum class Outcome {
    Accepted,   // the device confirmed
    Refused,    // the level-0 prompt
    NoAnswer,   // nothing that counts came back after every attempt
    LinkLost,   // the link was down, a send failed, or the link went down while the command waited
    NotSent,    // the key or value cannot go into a command line (see IsCommandSafe)
};

// A key or value can go into a command line: no control character (a line
// feed or carriage return would end the command and start another, a NUL cuts
// it; DEL neither) and no '#"', which ends a set command early.
bool IsCommandSafe(const QByteArray& text);

class Exchange {
public:
    Exchange();

    // Where commands go: slot 2 of the USB connection, or the modem. A new
    // channel is a new link: sends of the old one are not waited for.
    void setChannel(Connection* c);
    Connection* channel() const { return channel_; }

    // The receiving end of the command channel; runs on the delivering thread.
    void AccumulateResponse(const uint8_t* data, int32_t len);
    // The link of channel c went down (any thread): nothing sent before will
    // be answered, and a command waiting ends at once. Ignored when c is not
    // the current channel.
    void LinkChanged(Connection* c);

    struct Answer {
        Outcome outcome = Outcome::NoAnswer;
        QByteArray text;   // the whole answer when accepted
    };
    // Main thread only. They keep the user interface alive while they wait.
    Answer Query(const QByteArray& key);
    QByteArray QueryParam(const QByteArray& key);   // answer, kNotAvailable or empty
    Outcome SetParam(const QByteArray& key, const QByteArray& value);
    // Login (second == "0") or password change; success is the level-2 prompt.
    Outcome PasswordCommand(const QByteArray& password, const QByteArray& second);

    // Text received since the last complete answer.
    QByteArray Buffer() const;
    // Sends whose answer has not arrived yet.
    int Unanswered() const;
    bool Locked() const { return lock_; }

    // The window is closing: every exchange under way or to come ends at once
    // without an answer, so nothing waits on a device nobody will hear.
    void Abort();
    bool Aborted() const { return aborted_; }

    // Unset (the default): a wait sleeps until text arrives, the link
    // changes, Abort or its deadline; on the application's thread in its
    // event loop, which handles the user interface's events meanwhile.
    // Set (tests that play the device from it): called inside every wait,
    // which looks again every millisecond.
    std::function<void()> pump;

    // At most this many unanswered sends are remembered (a device that stays
    // silent while commands keep going out).
    static constexpr int kMaxUnanswered = 64;
    // Text without a prompt is kept up to this much (the oldest is dropped),
    // as the status and log buffers are bounded.
    static constexpr int kMaxPending = 64 * 1024;

private:
    enum class Kind { Query, Set, Password };
    struct Sent {
        uint64_t exchange;   // which call of Query, SetParam or PasswordCommand sent it
        Kind kind;
        QByteArray key;   // empty for the password commands
    };
    struct Waiter {   // one call waiting for its answer
        Kind kind;
        QByteArray key;
        unsigned epoch = 0;   // the link its latest send went to
        bool complete = false;
        Outcome outcome = Outcome::NoAnswer;
        QByteArray text;
    };

    bool linkUp() const;
    void acquire();
    uint64_t begin(Kind kind, const QByteArray& key);   // registers a waiting call
    void end(uint64_t id);
    // Sends one attempt; false when the link is down (nothing sent) or the
    // send failed (the connection keeps why).
    bool send(uint64_t id, const QByteArray& text);
    // Waits up to totalMs for the exchange's result, pumping events and waking
    // at once when text arrives; LinkLost when the link goes.
    Outcome waitFor(uint64_t id, int totalMs, QByteArray* text);
    // Sleeps until deliveries_ is other than seen, or until.
    void sleep(unsigned seen, std::chrono::steady_clock::time_point until);
    void wakeSleepers();   // mutex_ held
    // One command to its end: sends it up to `attempts` times, each waiting
    // waitMs for the answer; LinkLost when a send cannot go. *text gets the
    // answer when accepted and is empty otherwise. Frees the exchange lock.
    Outcome transact(Kind kind, const QByteArray& key, const QByteArray& command, int attempts, int waitMs,
                     QByteArray* text);
    // Gives the answer to its call; true when that call waits and is done. mutex_ held.
    bool takeAnswer(const QByteArray& answer);
    void forgetSends();   // mutex_ held

    mutable std::mutex mutex_;   // everything below up to lock_
    std::condition_variable arrived_;
    unsigned deliveries_ = 0;                           // an answer came, the link changed or Abort: a wait looks again
    std::vector<QAbstractEventDispatcher*> sleepers_;   // waits asleep in an event loop (nested ones too)
    QByteArray pending_;
    int scanned_ = 0;   // pending_ was looked at for prompts up to here
    std::deque<Sent> unanswered_;
    std::map<uint64_t, Waiter> waiting_;
    uint64_t nextId_ = 1;
    unsigned linkEpoch_ = 0;
    bool lock_ = false;      // main thread only
    bool aborted_ = false;   // main thread only
    std::atomic<Connection*> channel_{nullptr};
};

// The value of a query's answer: between the first "=" and the last "->PASS",
// without the two characters before "->PASS" (a value may hold "=" and
// "->PASS" itself).
QByteArray ParseAnswerValue(const QByteArray& answer);

// Key and value of an answer as Read splits them; false when the answer has no
// "=" or no "->PASS".
bool SplitAnswer(const QByteArray& answer, QByteArray& key, QByteArray& value);
