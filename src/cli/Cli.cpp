#include "cli/Cli.h"

#include "cli/Internal.h"
#include "cli/Tool.h"
#include "ui/widgets/ErrorBox.h"

#include <QAbstractEventDispatcher>
#include <QCommandLineParser>
#include <QEventLoop>
#include <QSocketNotifier>
#ifdef _WIN32
#include <QWinEventNotifier>
#endif
#include <QTimer>

#include <memory>
#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace cli {
namespace {

const QStringList kCommands = {"read",   "write", "get",  "set",     "volumes", "status",  "log",    "list", "diff",
                               "report", "sites", "site", "history", "export",  "restore", "import", "db",   "sync"};
// Commands that build the hidden Settings page.
const QStringList kWidgetCommands = {"read", "write", "diff", "report", "export", "restore", "import"};
// Commands on the site database or on files alone: no session.
const QStringList kOffline = {"list", "sites", "site", "history", "export", "import", "db", "sync"};

}   // namespace

int Tool::run(const QStringList& givenArgs) {
    addOptions(p_);
    const QStringList args = takeDemoCount(givenArgs, &demoCount_);
    if (!p_.parse(QStringList{"kestrum-cli"} + args)) {
        say("%s", p_.errorText().toLocal8Bit());
        printUsage(env_.err);
        return Usage;
    }
    if (p_.isSet("help")) {
        printUsage(env_.out);
        return Ok;
    }
    if (p_.isSet("version")) {
        std::fputs("kestrum-cli " KESTRUM_VERSION "\n", env_.out);
        return Ok;
    }
    positional_ = p_.positionalArguments();
    const QString command = positional_.isEmpty() ? QString() : positional_.takeFirst();
    if (!kCommands.contains(command)) {
        if (!command.isEmpty()) say("unknown command %s", quoted(command));
        printUsage(env_.err);
        return Usage;
    }
    if (!validate(command)) return Usage;
    if (!outputWritable(command)) return FileError;
    overModem_ = p_.isSet("serial-port");
    // Commands on files alone, and write --all, start no session here.
    const bool filesOnly =
        (command == "diff" && positional_.size() == 2) || (command == "report" && !positional_.isEmpty());
    if (!filesOnly && !kOffline.contains(command) && !p_.isSet("all")) startSession({});
    // Ctrl+C ends whatever waits for the module, at once: woken by the
    // signal's byte or the console's event where there is one, else by
    // looking every 50 ms. Once the work is over, Ctrl+C leaves a call's
    // hang-up still under way.
    const auto interrupt = [this] {
        if (session_ && session_->HangingUp()) {
            hangUpLeft_ = true;
            return session_->LeaveHangUp();
        }
        if (interrupted_) return;
        interrupted_ = true;
        if (session_) session_->Abort();
        if (waiting_) waiting_->quit();
    };
    QTimer watcher;
    std::unique_ptr<QSocketNotifier> stopNotifier;
    if (env_.stopFd >= 0) {
        stopNotifier = std::make_unique<QSocketNotifier>(env_.stopFd, QSocketNotifier::Read);
        QObject::connect(stopNotifier.get(), &QSocketNotifier::activated, [&] {
#ifndef _WIN32
            char bytes[64];   // one a signal; there is at least one
            if (::read(env_.stopFd, bytes, sizeof bytes) < 0) stopNotifier->setEnabled(false);
#endif
            interrupt();
        });
    }
#ifdef _WIN32
    std::unique_ptr<QWinEventNotifier> stopEventNotifier;
    if (env_.stopEvent) {
        stopEventNotifier = std::make_unique<QWinEventNotifier>(env_.stopEvent);
        QObject::connect(stopEventNotifier.get(), &QWinEventNotifier::activated, [&] {
            ResetEvent(env_.stopEvent);   // set again by the next Ctrl+C
            interrupt();
        });
    }
    const bool woken = stopNotifier || stopEventNotifier;
#else
    const bool woken = bool(stopNotifier);
#endif
    if (!woken && env_.stopRequested) {
        QObject::connect(&watcher, &QTimer::timeout, [&] {
            // A flag cannot tell a second Ctrl+C from the first: it interrupts
            // the work only, and a hang-up at the end is waited out.
            if (!interrupted_ && env_.stopRequested()) interrupt();
        });
        watcher.start(50);
    }
    // Window errors (a file that cannot be written, a text that is no number)
    // come here instead of a message box.
    QString windowError;
    errorSink() = [&](const QString& m) { windowError = m; };

    int rc = Ok;
    if (command == "list") {
        rc = doList();
    } else if (command == "diff") {
        rc = guarded([this] { return doDiff(); });
    } else if (command == "report") {
        rc = guarded([this] { return doReport(); });
    } else if (command == "sites") {
        rc = doSites();
    } else if (command == "site") {
        rc = doSite();
    } else if (command == "history") {
        rc = doHistory();
    } else if (command == "export") {
        rc = guarded([this] { return doExport(); });
    } else if (command == "import") {
        rc = guarded([this] { return doImport(); });
    } else if (command == "db") {
        rc = doDb();
    } else if (command == "sync") {
        rc = doSync();
    } else {
        if (command == "restore") writeAction_ = QStringLiteral("restore");
        if (command == "write" || command == "restore") rc = openSettings(positional_[0]);
        if (rc == Ok && p_.isSet("all")) {
            rc = writeAll();
        } else {
            work_.start();
            if (rc == Ok) rc = connect();
            if (rc == Ok && command != "get" && command != "set" && command != "log") recordStatus();
            if (rc == Ok)
                rc = guarded([&] {
                    if (command == "read") return doRead();
                    if (command == "write" || command == "restore") return doWrite();
                    if (command == "get") return doGet();
                    if (command == "set") return doSet();
                    if (command == "volumes") return doVolumes();
                    if (command == "status") return doStatus();
                    return doLog();
                });
        }
    }
    if (!windowError.isEmpty()) say("%s", windowError.toLocal8Bit());
    // The work on the module is recorded however it ended.
    const bool volumesSet = command == "volumes" && (p_.isSet("mic") || p_.isSet("spk"));
    if (!recorded_ && !p_.isSet("all")) {
        if (command == "read" || command == "write" || command == "restore")
            recordEvent(command, rc, {}, command == "read" ? QStringLiteral("module") : sourceOf(positional_.value(0)));
        else if (command == "diff" && positional_.size() == 1)
            recordEvent(command, rc);
        else if (volumesSet)
            recordEvent(command, rc, {}, QStringLiteral("module"), int(p_.isSet("mic")) + int(p_.isSet("spk")));
    }
    if (session_) session_->Close();
    errorSink() = nullptr;
    finishRecording();
    // A call's hang-up goes on off this thread within the modem's own waits
    // (and the records above were written meanwhile); the tool ends after
    // it, or at the next Ctrl+C.
    if (session_ && session_->HangingUp()) {
        QEventLoop loop;
        QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, &loop, [&] {
            if (!session_->HangingUp()) loop.quit();
        });
        loop.exec();
        // The modem's DTR is held off throughout, so closing the port does not
        // end the call: only the modem's ATH, which was not waited for.
        if (hangUpLeft_)
            say("the hang-up was left unfinished: the call on %s may still be up",
                session_->Modem()->portName().toLocal8Bit());
    }
    return rc;
}

Widgets NeedsWidgets(const QStringList& args) {
    QCommandLineParser p;
    addOptions(p);
    int count;
    if (!p.parse(QStringList{"kestrum-cli"} + takeDemoCount(args, &count))) return Widgets::None;
    const QStringList positional = p.positionalArguments();
    if (positional.isEmpty() || !kWidgetCommands.contains(positional[0])) return Widgets::None;
    return positional[0] == QLatin1String("report") ? Widgets::Drawing : Widgets::Hidden;
}

int Run(const QStringList& args, const Env& env) {
    Tool tool(env);
    return tool.run(args);
}

}   // namespace cli
