#pragma once
// The command exchange with the device: commands go out on the command
// channel as text, the answers collect in the response buffer, and the
// prompts the device prints tell success (":L2 >" or ":L9 >" with "->PASS")
// from refusal (":L0 >").
#include "link/Connection.h"

#include <QByteArray>

#include <condition_variable>
#include <functional>
#include <mutex>

// The text the tool itself returns for a refused query (never sent by the device).
extern const QByteArray kNotAvailable;

class Exchange {
public:
    Exchange();

    // Where commands go: slot 2 of the USB connection, or the modem.
    void setChannel(Connection* c) { channel_ = c; }
    Connection* channel() const { return channel_; }

    // The receiving end of the command channel; runs on the delivering thread.
    void AccumulateResponse(const uint8_t* data, int32_t len);

    // Main thread only. They keep the user interface alive while they wait.
    QByteArray QueryParam(const QByteArray& key);                       // answer, kNotAvailable or empty
    int SetParam(const QByteArray& key, const QByteArray& value);       // 1, -1 or 0
    int PasswordCommand(const QByteArray& password, const QByteArray& second);  // "0": login

    // Flags and buffer, for the login and for tests.
    bool PassSeen() const;
    bool Level2Seen() const;
    bool Level0Seen() const;
    void ClearLevel0AndPass();
    QByteArray Buffer() const;
    bool Locked() const { return lock_; }

    // The window is closing: every exchange under way or to come ends at once
    // without an answer, so nothing waits on a device nobody will hear.
    void Abort() { aborted_ = true; }
    bool Aborted() const { return aborted_; }

    // Processes pending events of the user interface inside every wait.
    std::function<void()> pump;

private:
    enum class Wait { Pass, Level0, Level2 };
    void acquire();
    void send(const QByteArray& text);
    // Waits up to totalMs for check() to return non-zero, pumping events and
    // waking at once when new text arrives.
    int waitFor(int totalMs, const std::function<int()>& check);
    void clearBuffer();

    mutable std::mutex mutex_;   // the buffer and the three flags
    std::condition_variable arrived_;
    unsigned deliveries_ = 0;
    QByteArray buffer_;
    bool passSeen_ = false;
    bool level2Seen_ = false;
    bool level0Seen_ = false;
    bool lock_ = false;          // main thread only
    bool aborted_ = false;       // main thread only
    Connection* channel_ = nullptr;
};

// The value of a query's answer: between the first "=" and the first "->PASS",
// without the two characters before "->PASS".
QByteArray ParseAnswerValue(const QByteArray& answer);

// Key and value of an answer as Read splits them; false when the answer has no
// "=" or no "->PASS".
bool SplitAnswer(const QByteArray& answer, QByteArray& key, QByteArray& value);
