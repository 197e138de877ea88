#pragma once
// The simulated Brisal module: one device model for the demo, the tests and the
// simulated GSM modem. It knows the command text protocol (login, queries, sets,
// prompts), keeps a parameter store and the status values, and streams log
// lines. Transports (SimHidBackend over USB, SimModem over a pseudo-terminal)
// carry its text; the model itself knows nothing of frames or AT commands.
#include <QByteArray>
#include <QList>
#include <QMap>

#include <functional>
#include <mutex>
#include <utility>
#include <vector>

class SimModule {
public:
    // Channels of the device: 2 commands and answers, 3 log lines, 4 status pairs.
    enum Channel { Commands = 2, Log = 3, Status = 4 };

    using Output = std::function<void(int channel, const QByteArray& text)>;

    SimModule();

    // Where the device's text goes (set by the transport).
    void setOutput(Output out);
    // Text received by the device on a channel. Complete command lines are
    // carried out at once; their answers leave through the output.
    void input(int channel, const QByteArray& bytes);

    // Parameter store: the 205 settings, the two volume levels, EVM:New and the
    // values the Status page queries over a data call.
    QByteArray param(const QByteArray& key) const;
    bool hasParam(const QByteArray& key) const;
    void setParam(const QByteArray& key, const QByteArray& value);
    // The design values every module starts with, in binding order first.
    static const std::vector<std::pair<QByteArray, QByteArray>>& factoryParams();

    // Status pairs pushed on channel 4 ("{KEY=VALUE}").
    void setStatus(const QByteArray& key, const QByteArray& value);
    QByteArray status(const QByteArray& key) const;
    QByteArray statusPairs() const;   // all 15 keys in order
    bool mainlogOn() const;           // Slots:Mainlog is "1"
    // Advances the live values and emits due log lines; called every
    // ~100 ms by the transport while the device is attached.
    void tick();
    void emitLogLine(const QByteArray& line);   // a log line on channel 3, CR-terminated

    // Login state
    QByteArray password() const;
    void setPassword(const QByteArray& pw);
    bool loggedIn() const;
    void resetSession();   // a new connection: logged out, partial input dropped

    // Knobs for tests and the demo.
    struct Knobs {
        bool silent = false;     // answers nothing on channel 2
        bool refusing = false;   // answers every query and set with ":L0 >"
        // The transport holds each answer this long after its command. Longer
        // than one attempt's wait, the command is sent again and both sends
        // are answered: the second answer arrives late, during a later command.
        int answerDelayMs = 0;
        int detachAfterCommands = -1;   // after this many commands the device goes away
        int silentAfterCommands = -1;   // answers this many commands, then nothing more (a hung device)
        QByteArray ignoresSetOf;        // confirms sets of this key but keeps its old value
    };
    Knobs knobs() const;
    void setKnobs(const Knobs& k);
    // Called (on the thread that fed the input) when detachAfterCommands is reached.
    std::function<void()> onDetachRequested;

    // Every complete command line received on channel 2, line end stripped.
    QList<QByteArray> commands() const;
    void clearCommands();

private:
    void handleLine(const QByteArray& line);
    void out(int channel, const QByteArray& text);
    QByteArray prompt() const;

    mutable std::recursive_mutex mutex_;
    Output output_;
    QMap<QByteArray, QByteArray> params_;
    QList<QPair<QByteArray, QByteArray>> status_;
    QByteArray lineBuffer_;
    QByteArray statusInput_;
    QByteArray password_ = "4826";
    bool loggedIn_ = false;
    Knobs knobs_;
    int commandCount_ = 0;
    QList<QByteArray> commands_;
    unsigned tickCount_ = 0;
};
