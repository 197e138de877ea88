#pragma once
// The command-line tool itself, private to it. Its members are defined by
// what they do: Options.cpp (the arguments and the choices they make),
// Output.cpp (printing, progress and messages), ModuleCommands.cpp (the
// commands that talk to a module), SettingsCommands.cpp (the commands on
// settings, through a hidden Settings page), ReportFacts.cpp (the report),
// SiteCommands.cpp (the site database: recording, references, its commands)
// and Cli.cpp (the run of a command).
#include "cli/Cli.h"
#include "core/link/HidBackend.h"
#include "core/protocol/Exchange.h"
#include "session/DeviceSession.h"
#include "sim/SimHidBackend.h"
#include "sim/SimHidBus.h"
#include "sim/SimModule.h"
#include "sites/Recorder.h"
#include "sites/SiteDatabase.h"
#include "ui/lang/LangMan.h"
#include "ui/lang/Messages.h"
#include "ui/pages/ConfigTransfer.h"
#include "ui/pages/SettingsPage.h"

#include <QByteArray>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QEventLoop;
class QJsonDocument;

namespace cli {

class Tool {
public:
    explicit Tool(const Env& env) : env_(env) {}

    int run(const QStringList& args);

private:
    void say(const char* fmt, const QByteArray& a = {}, const QByteArray& b = {}) const;
    // Module text is Windows-1250; the terminal gets the user's own encoding.
    void print(const QByteArray& line) const;
    void printText(const QString& line) const;
    // JSON is UTF-8 whatever the terminal's encoding, for the scripts that read it.
    void printJson(const QJsonDocument& doc) const;
    std::function<void(int)> progress(int total) const;
    void endProgress() const;
    bool waitFor(const std::function<bool()>& cond, int ms) const;
    int connect();
    int loginOutcome();
    int doRead();
    int readModule();
    int doWrite();
    int doGet();
    int doSet();
    int doVolumes();
    int doStatus();
    int doLog();
    int doList();
    int doDiff();
    int doReport();
    int verifyWritten();
    int writeAll();
    // The module's status values: pushed over USB, asked for one by one over a call.
    // Quiet: nothing is said of a failure (the status recorded at a connection).
    int collectStatus(QList<QPair<QByteArray, QByteArray>>& pairs, bool quiet = false);
    // "Supply voltage: 12210 mV": a status value as the Status page shows it.
    QString statusLine(const QByteArray& key, const QByteArray& value) const;
    HidBackend* backend();
    // The attached modules; false, having said why, when the system gives no list.
    bool listModules(std::vector<HidInterface>& modules);
    void startSession(const std::string& device);
    lang::Language language() const;
    QString message(lang::Msg m) const { return lang::message(language(), m); }
    // A hidden Settings page in the chosen language, with the window's
    // transfer code over the session's exchange (or none: files only).
    struct Form {
        std::unique_ptr<SettingsPage> page;
        ControlDescList bindings;
        std::unique_ptr<LangMan> lang;
        std::unique_ptr<ConfigTransfer> transfer;
    };
    std::unique_ptr<Form> newForm();
    std::unique_ptr<ConfigTransfer> makeTransfer(Form& f);
    // Every setting as the module would get it, from a file or the module,
    // through a Settings page of its own.
    int valuesOf(const QString& file, QList<QByteArray>& values);
    int guarded(const std::function<int()>& body);
    int exchangeFailure(const QByteArray& key, Outcome result) const;
    int transferFailure(Outcome result, const QByteArray& key, int done);
    int openSettings(const QString& path);
    std::optional<FileEncoding> encoding() const;
    // Before the module is looked for: the output file can be written.
    bool outputWritable(const QString& command);
    bool sendable(const QString& what, const QString& text) const;
    bool validate(const QString& command);
    bool validateSites(const QString& command);
    QByteArray password() const;
    // " (why)" when the link layer knows why the link went, else nothing.
    QByteArray linkReason() const;
    ConfigTransfer& transfer() { return *form().transfer; }
    Form& form() {
        if (!form_) form_ = newForm();
        return *form_;
    }
    Exchange& exchange() { return session_ ? session_->exchange() : offline_; }

    // --- The site database (SiteCommands.cpp) ---------------------------------
    int doSites();
    int doSite();
    int doHistory();
    int doExport();
    int doImport();
    int doDb();
    int doSync();
    // The database for the commands that need it, opened on first use; null,
    // having said why, when it cannot be used.
    sites::SiteDatabase* database();
    // The records waiting for the team database, said; and history from them
    // when the team database is out of reach.
    void sayPending(int count);
    int queuedHistory(const QString& site, const QString& module);
    void printHistory(const QList<sites::HistoryRow>& rows);
    // Ok when the site is there; else UnknownSite or DatabaseUnusable, said.
    int knownSite(sites::SiteDatabase& db, const QString& name);
    // Puts a snapshot's values into the hidden Settings page, by key.
    int openReference(const QString& reference);
    // The recorder of this run; null with --no-record.
    sites::Recorder* recorder();
    sites::ModuleFacts moduleFacts() const;
    // What diff and Write see now: every setting's key and value.
    sites::Values pageValues();
    // One event of the work on the module: done when rc is Ok, else failed
    // with what the user was told last; timed from work_.
    void recordEvent(const QString& action, int rc, const std::optional<sites::Values>& snapshot = {},
                     const QString& source = "module", int settings = -1);
    // The module's status at this connection, when anything is recorded.
    void recordStatus();
    // What the settings came from: "file:NAME" or "snapshot:ID".
    QString sourceOf(const QString& fileOrReference) const;
    // Waits for the records to be written; a database that could not be
    // written is told once.
    void finishRecording();

    Env env_;
    QCommandLineParser p_;
    QStringList positional_;
    int demoCount_ = 0;   // simulated modules asked for (0: the real ones)
    std::vector<std::unique_ptr<SimModule>> simModules_;
    std::vector<std::unique_ptr<SimHidBackend>> simBackends_;
    std::unique_ptr<SimHidBus> simBus_;
    std::unique_ptr<DeviceSession> session_;
    Exchange offline_;       // what files-only commands hold instead of a session's
    QByteArray moduleTag_;   // "SERIAL: " before every message while write --all works on a module
    // Read and write go through the Settings page's controls and rules and
    // the window's transfer code, so files and writes are the window's own.
    std::unique_ptr<Form> form_;
    bool overModem_ = false;
    mutable bool progressShown_ = false;
    bool interrupted_ = false;
    bool hangUpLeft_ = false;         // Ctrl+C during a call's hang-up at the end
    bool verifyCut_ = false;          // write --verify: all written, the link went while reading back
    QEventLoop* waiting_ = nullptr;   // the loop of a command that waits for the user to stop it
    mutable QByteArray lastSaid_;     // the latest message on err: a failed event's reason
    std::unique_ptr<sites::SiteDatabase> database_;
    bool databaseTried_ = false;
    std::unique_ptr<sites::Recorder> recorder_;
    QList<QPair<QByteArray, QByteArray>> status_;     // the module's status pairs at this connection
    qint64 openedSnapshot_ = 0;                       // the snapshot openReference put into the page
    QString writeAction_ = QStringLiteral("write");   // "restore" when a snapshot is written back
    bool recorded_ = false;                           // the command's event was recorded
    QList<SettingDifference> lastDifferences_;        // what the latest verify found
    QElapsedTimer work_;                              // since the work on the module began
};

}   // namespace cli
