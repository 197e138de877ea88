#include "cli/Cli.h"

#include "core/config/ParamTable.h"
#include "core/modem/TModem.h"
#include "core/modem/Tserial.h"
#include "core/protocol/StatusParser.h"
#include "core/text/Codec.h"
#include "session/DeviceSession.h"
#include "sim/SimHidBackend.h"
#include "sim/SimModule.h"
#include "ui/lang/Messages.h"
#include "ui/pages/ConfigTransfer.h"
#include "ui/pages/ModemPage.h"
#include "ui/pages/SettingsPage.h"
#include "ui/pages/VolumesPage.h"
#include "ui/widgets/ErrorBox.h"
#include "ui/widgets/TextInput.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QThread>
#include <QTimer>

#include <memory>

namespace cli {
namespace {

constexpr char kUsage[] =
    "usage: kestrum-cli COMMAND [ARGS] [OPTIONS]\n"
    "commands:\n"
    "  read --out FILE.ini          read every setting and save them\n"
    "  write FILE.ini               open a settings file and write it to the module\n"
    "  get KEY...                   print KEY=VALUE for each key\n"
    "  set KEY=VALUE...             set each, stopping at the first failure\n"
    "  volumes [--mic N] [--spk N]  print or set the microphone and speaker levels\n"
    "  status [--json]              print the module's status values\n"
    "  log                          print the module's log lines until interrupted\n"
    "options:\n"
    "  --password PW      device password (default 4826)\n"
    "  --wait SECONDS     how long to wait for the module (default 5)\n"
    "  --demo             use the simulated module\n"
    "  --serial-port PATH --phone NUMBER   reach the module through a GSM modem data call\n"
    "  --version          print the version\n";

// The options every command takes; the same for Run and NeedsWidgets.
void addOptions(QCommandLineParser& p) {
    p.addOptions({
        {"out", "", "file"},
        {"password", "", "pw", "4826"},
        {"wait", "", "seconds", "5"},
        {"demo", ""},
        {"serial-port", "", "path"},
        {"phone", "", "number"},
        {"mic", "", "level"},
        {"spk", "", "level"},
        {"json", ""},
        {{"h", "help"}, ""},
        {"version", ""},
    });
}

QString english(lang::Msg m) { return lang::message(lang::Language::English, m); }

class Tool {
public:
    explicit Tool(const Env& env) : env_(env) {}

    int run(const QStringList& args);

private:
    void say(const char* fmt, const QByteArray& a = {}, const QByteArray& b = {}) const {
        std::fprintf(env_.err, "kestrum-cli: ");
        std::fprintf(env_.err, fmt, a.constData(), b.constData());
        std::fprintf(env_.err, "\n");
    }
    // Module text is Windows-1250; the terminal gets the user's own encoding.
    void print(const QByteArray& line) const { printText(text::fromCp1250(line)); }
    void printText(const QString& line) const {
        const QByteArray local = line.toLocal8Bit();
        std::fwrite(local.constData(), 1, size_t(local.size()), env_.out);
        std::fputc('\n', env_.out);
        std::fflush(env_.out);
    }
    std::function<void(int)> progress(int total) const;
    void endProgress() const;
    bool waitFor(const std::function<bool()>& cond, int ms) const;
    int connect();
    int loginOutcome();
    int doRead();
    int doWrite();
    int doGet();
    int doSet();
    int doVolumes();
    int doStatus();
    int doLog();
    int exchangeFailure(const QByteArray& key, Outcome result) const;
    int transferFailure(Outcome result, const QByteArray& key, int done) const;
    int openSettings(const QString& path);
    bool sendable(const QString& what, const QString& text) const;
    bool validate(const QString& command);
    QByteArray password() const;
    // " (why)" when the link layer knows why the link went, else nothing.
    QByteArray linkReason() const;
    ConfigTransfer& transfer();
    Exchange& exchange() { return session_->exchange(); }

    Env env_;
    QCommandLineParser p_;
    QStringList positional_;
    std::unique_ptr<SimModule> simModule_;
    std::unique_ptr<SimHidBackend> simBackend_;
    std::unique_ptr<DeviceSession> session_;
    // Read and write go through the Settings page's controls and rules and
    // the window's transfer code, so files and writes are the window's own.
    std::unique_ptr<SettingsPage> page_;
    ControlDescList bindings_;
    std::unique_ptr<ConfigTransfer> transfer_;
    bool overModem_ = false;
    mutable bool progressShown_ = false;
    bool interrupted_ = false;
};

// --password, else KESTRUM_PASSWORD (kept out of the process list), else the default.
QByteArray Tool::password() const {
    if (p_.isSet("password")) return text::toCp1250(p_.value("password"));
    const QString env = qEnvironmentVariable("KESTRUM_PASSWORD");
    return env.isEmpty() ? QByteArray(kDefaultPassword) : text::toCp1250(env);
}

QByteArray Tool::linkReason() const {
    QString why;
    if (overModem_)
        why = session_->Modem() ? session_->Modem()->PortError() : QString();
    else
        why = session_->UsbProblem();
    return why.isEmpty() ? QByteArray() : " (" + why.toLocal8Bit() + ")";
}

ConfigTransfer& Tool::transfer() {
    if (!transfer_) {
        page_ = std::make_unique<SettingsPage>();
        bindings_ = page_->Bindings();
        SettingsPage* page = page_.get();
        transfer_ = std::make_unique<ConfigTransfer>(ConfigTransfer::Host{bindings_,
                                                                          session_->exchange(),
                                                                          nullptr,
                                                                          [](bool, const char*) {},
                                                                          [page] { page->beginLoad(); },
                                                                          [page] { page->endLoad(); },
                                                                          nullptr,
                                                                          english,
                                                                          {},
                                                                          {},
                                                                          {}});
    }
    return *transfer_;
}

std::function<void(int)> Tool::progress(int total) const {
    if (!env_.errIsTerminal) return {};
    return [this, total](int done) {
        const int width = 40;
        const int filled = done * width / total;
        std::fprintf(env_.err, "\r[%s%s] %3d/%d", QByteArray(filled, '#').constData(),
                     QByteArray(width - filled, '.').constData(), done, total);
        std::fflush(env_.err);
        progressShown_ = true;
    };
}

void Tool::endProgress() const {
    if (progressShown_) std::fprintf(env_.err, "\n");
    progressShown_ = false;
}

bool Tool::waitFor(const std::function<bool()>& cond, int ms) const {
    QElapsedTimer t;
    t.start();
    while (!cond()) {
        if (t.elapsed() > ms || interrupted_) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(2);
    }
    return true;
}

int Tool::exchangeFailure(const QByteArray& key, Outcome result) const {
    endProgress();
    if (interrupted_) {
        say("interrupted");
        return Interrupted;
    }
    switch (result) {
        case Outcome::Refused:
            say("the module refused %s", key);
            return ParamRefused;
        case Outcome::LinkLost:
            say("the module was disconnected%s", linkReason());
            return NoModule;
        case Outcome::NotSent:
            say("%s cannot be sent to the module", key);
            return Usage;
        case Outcome::Accepted:
        case Outcome::NoAnswer:
            break;
    }
    say("no answer from the module for %s", key);
    return NoAnswer;
}

// A Read or Write that stopped: the link going names how far it got.
int Tool::transferFailure(Outcome result, const QByteArray& key, int done) const {
    if (result != Outcome::LinkLost || interrupted_) return exchangeFailure(key, result);
    endProgress();
    say("the module was disconnected after %s of %s", QByteArray::number(done),
        QByteArray::number(bindings_.Count()) + " settings" + linkReason());
    return NoModule;
}

// A key or value from the command line that could not go to the module as
// typed (a line break would end the command and start another one).
bool Tool::sendable(const QString& what, const QString& text) const {
    const QString problem = ModuleTextProblem(text);
    if (problem.isEmpty()) return true;
    say("%s cannot be sent to the module: it holds %s", what.toLocal8Bit(), problem.toLocal8Bit());
    return false;
}

// Opens the settings file of `write` into the window, before the module is
// looked for: a file that is no settings file, or holds a value that cannot
// be sent, ends the command with nothing sent.
int Tool::openSettings(const QString& path) {
    const QFileInfo file(path);
    if (!file.isFile() || !file.isReadable()) {
        say("cannot read %s", path.toLocal8Bit());
        return FileError;
    }
    try {
        transfer().Open(file.filePath());
    } catch (const NotSettingsFileError& e) {
        say("%s", e.what());
        return FileError;
    } catch (const UnsendableValueError& e) {
        say("%s in %s", e.what(), path.toLocal8Bit());
        return Failure;
    } catch (const text::ConvertError& e) {
        say("%s (%s)", e.what(), path.toLocal8Bit());
        return Failure;
    } catch (const std::exception& e) {
        say("%s", e.what());
        return FileError;
    }
    return Ok;
}

int Tool::connect() {
    Session& s = session_->login();
    // A refused password is not asked for again: there is nobody to ask.
    s.askPassword = [] {};
    if (overModem_) {
        const QString port = p_.value("serial-port");
        // A port another program holds is not touched.
        if (Tserial::FreePorts({port}).isEmpty()) {
            say("cannot open the serial port %s", port.toLocal8Bit());
            return NoModule;
        }
        QByteArray atLog;
        const QMetaObject::Connection c =
            QObject::connect(session_.get(), &DeviceSession::modemLine, [&](const QByteArray& line) { atLog += line; });
        s.currentPassword = password();
        const int loginsBefore = s.loginRuns;
        session_->connectModem(port, text::toCp1250(p_.value("phone").trimmed()));
        QObject::disconnect(c);
        if (interrupted_) return exchangeFailure({}, Outcome::NoAnswer);
        if (s.loginRuns == loginsBefore) {   // the call never came up
            const TModem* m = session_->Modem();
            say("the data call failed (%s); the modem said:\n%s",
                (m ? ModemPage::StateText(*m, english) : QString()).toLocal8Bit(),
                text::fromCp1250(atLog).trimmed().toLocal8Bit());
            return NoModule;
        }
        return loginOutcome();
    }
    const int waitMs = int(p_.value("wait").toDouble() * 1000);
    if (!waitFor([&] { return session_->UsbReady(); }, waitMs)) {
        if (interrupted_) return exchangeFailure({}, Outcome::NoAnswer);
        const QString why = session_->UsbProblem();
        if (session_->UsbFoundButNotOpened())
            say("a module is plugged in but cannot be opened: %s", why.toLocal8Bit());
        else if (!why.isEmpty())
            say("no module found (%s)", why.toLocal8Bit());
        else
            say("no module found");
        return NoModule;
    }
    // The session logs in by itself once it sees the module.
    waitFor([&] { return s.loginRuns > 0; }, 600000);
    return loginOutcome();
}

int Tool::loginOutcome() {
    const Session& s = session_->login();
    if (s.lastLoginOk) return Ok;
    if (interrupted_) return exchangeFailure({}, Outcome::NoAnswer);
    if (s.lastLoginResult == Outcome::LinkLost) {
        say("the module was disconnected during the login%s", linkReason());
        return NoModule;
    }
    if (s.lastLoginResult == Outcome::NoAnswer) {
        say("no answer from the module to the login");
        return NoAnswer;
    }
    say("the module refused the password");
    return LoginRefused;
}

int Tool::doRead() {
    const QString out = p_.value("out");
    const auto r = transfer().Read(progress(bindings_.Count()));
    if (r.linkLost) return transferFailure(Outcome::LinkLost, {}, r.answered);
    if (!r.refusedKey.isEmpty()) return exchangeFailure(r.refusedKey, Outcome::Refused);
    if (!r.silentKeys.isEmpty()) return exchangeFailure(r.silentKeys.first(), Outcome::NoAnswer);
    endProgress();
    // Written only after a complete Read; the file itself is replaced in one step.
    transfer().Save(out);
    return Ok;
}

int Tool::doWrite() {
    // The file was opened before the module was looked for.
    const auto r = transfer().Write(progress(bindings_.Count()));
    if (!r.ok()) return transferFailure(r.failure, r.failedKey, r.written);
    endProgress();
    return Ok;
}

int Tool::doGet() {
    for (const QString& k : positional_) {
        const QByteArray key = text::toCp1250(k);
        const Exchange::Answer answer = exchange().Query(key);
        if (answer.outcome != Outcome::Accepted) return exchangeFailure(key, answer.outcome);
        print(key + "=" + ParseAnswerValue(answer.text));
    }
    return Ok;
}

int Tool::doSet() {
    for (const QString& kv : positional_) {
        const QByteArray bytes = text::toCp1250(kv);
        const int eq = int(bytes.indexOf('='));
        const QByteArray key = bytes.left(eq);
        const Outcome r = exchange().SetParam(key, bytes.mid(eq + 1));
        if (r != Outcome::Accepted) return exchangeFailure(key, r);
    }
    return Ok;
}

int Tool::doVolumes() {
    struct Level {
        const char* option;
        const char* key;
        int max;
    };
    const Level levels[] = {{"mic", VolumesPage::kMicKey, 15}, {"spk", VolumesPage::kSpkKey, 100}};
    const bool setAny = p_.isSet("mic") || p_.isSet("spk");
    for (const Level& l : levels) {
        if (setAny) {
            if (!p_.isSet(l.option)) continue;
            const Outcome r = exchange().SetParam(l.key, QByteArray::number(p_.value(l.option).toInt()));
            if (r != Outcome::Accepted) return exchangeFailure(l.key, r);
        } else {
            const Exchange::Answer answer = exchange().Query(l.key);
            if (answer.outcome != Outcome::Accepted) return exchangeFailure(l.key, answer.outcome);
            print(QByteArray(l.option) + "=" + ParseAnswerValue(answer.text));
        }
    }
    return Ok;
}

int Tool::doStatus() {
    QList<QPair<QByteArray, QByteArray>> pairs;
    if (overModem_) {
        // Over a data call the values are asked for one by one.
        for (const StatusDef& q : modemStatusQueries()) {
            const QByteArray& key = q.key;
            const Exchange::Answer answer = exchange().Query(key);
            if (answer.outcome != Outcome::Accepted) return exchangeFailure(key, answer.outcome);
            pairs.append({key, ParseAnswerValue(answer.text)});
        }
    } else {
        // Over USB the module pushes its pairs when asked with "R".
        QMap<QByteArray, QByteArray> got;
        StatusTextParser parser;
        const QMetaObject::Connection c =
            QObject::connect(session_.get(), &DeviceSession::statusText, [&](const QByteArray& text) {
                parser.Feed(text, [&](const QByteArray& key, const QByteArray& value) { got[key] = value; });
            });
        session_->RequestStatus();
        const auto complete = [&] {
            for (const StatusDef& d : statusParams())
                if (got.value(d.key).isEmpty()) return false;
            return true;
        };
        waitFor(complete, 3000);
        QObject::disconnect(c);
        for (const StatusDef& d : statusParams())
            if (!got.value(d.key).isEmpty()) pairs.append({d.key, got.value(d.key)});
        if (pairs.isEmpty()) {
            say("no status from the module");
            return NoAnswer;
        }
    }
    if (p_.isSet("json")) {
        QJsonObject o;
        for (const auto& [k, v] : pairs) o.insert(QString::fromLatin1(k), text::fromCp1250(v));
        printText(QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)));
    } else {
        for (const auto& [k, v] : pairs) print(k + "=" + v);
    }
    return Ok;
}

int Tool::doLog() {
    if (overModem_) {
        say("the log comes only over USB");
        return Usage;
    }
    LogLineSplitter splitter;
    const QMetaObject::Connection c =
        QObject::connect(session_.get(), &DeviceSession::logText, [&](const QByteArray& text) {
            splitter.Feed(text, [&](const QByteArray& line) {
                QByteArray l = line;
                if (l.startsWith('\n')) l.remove(0, 1);
                print(l);
            });
        });
    const Outcome r = exchange().SetParam("Slots:Mainlog", "1");
    if (r != Outcome::Accepted) {
        QObject::disconnect(c);
        return exchangeFailure("Slots:Mainlog", r);
    }
    while (!(env_.stopRequested && env_.stopRequested()) && session_->UsbReady()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(5);
    }
    QObject::disconnect(c);
    return session_->UsbReady() ? Ok : NoModule;
}

// The arguments of each command, checked before any module is looked for.
bool Tool::validate(const QString& command) {
    const auto fail = [this](const char* what, const QByteArray& a = {}) {
        say(what, a);
        return false;
    };
    if ((command == "read" || command == "volumes" || command == "status" || command == "log") &&
        !positional_.isEmpty())
        return fail("%s takes no further arguments", command.toLocal8Bit());
    if (command == "read" && p_.value("out").isEmpty()) return fail("read needs --out FILE.ini");
    if (command == "write" && positional_.size() != 1) return fail("write needs one FILE.ini");
    if ((command == "get" || command == "set") && positional_.isEmpty())
        return fail("%s needs at least one key", command.toLocal8Bit());
    if (command == "set")
        for (const QString& kv : positional_)
            if (kv.indexOf('=') <= 0) return fail("not KEY=VALUE: %s", kv.toLocal8Bit());
    // Nothing that would end or split a command line, or that the module's
    // code page cannot hold, is sent: refused before the module is looked for.
    if (command == "get")
        for (const QString& k : positional_)
            if (!sendable(k, k)) return false;
    if (command == "set")
        for (const QString& kv : positional_) {
            const QString key = kv.left(kv.indexOf('='));
            if (!sendable(key, key) || !sendable(key, kv.mid(kv.indexOf('=') + 1))) return false;
        }
    if (p_.isSet("password") && !sendable("the password", p_.value("password"))) return false;
    if (!p_.isSet("password") && !sendable("the password", qEnvironmentVariable("KESTRUM_PASSWORD"))) return false;
    for (const auto& [option, max] : {std::pair<const char*, int>{"mic", 15}, {"spk", 100}}) {
        bool ok = true;
        const int v = p_.isSet(option) ? p_.value(option).toInt(&ok) : 0;
        if (!ok || v < 0 || v > max) {
            say("--%s takes a level from 0 to %s", option, QByteArray::number(max));
            return false;
        }
    }
    if (p_.isSet("serial-port") != p_.isSet("phone")) return fail("--serial-port and --phone go together");
    if (p_.isSet("phone") && p_.value("phone").trimmed().isEmpty()) return fail("--phone needs the module's number");
    if (p_.isSet("phone") && !sendable("the phone number", p_.value("phone"))) return false;
    bool ok = false;
    const double wait = p_.value("wait").toDouble(&ok);
    if (!ok || !(wait >= 0 && wait <= 86400)) return fail("--wait takes a number of seconds from 0 to 86400");
    return true;
}

int Tool::run(const QStringList& args) {
    addOptions(p_);
    if (!p_.parse(QStringList{"kestrum-cli"} + args)) {
        say("%s", p_.errorText().toLocal8Bit());
        std::fputs(kUsage, env_.err);
        return Usage;
    }
    if (p_.isSet("help")) {
        std::fputs(kUsage, env_.out);
        return Ok;
    }
    if (p_.isSet("version")) {
        std::fputs("kestrum-cli " KESTRUM_VERSION "\n", env_.out);
        return Ok;
    }
    positional_ = p_.positionalArguments();
    const QString command = positional_.isEmpty() ? QString() : positional_.takeFirst();
    static const QStringList commands = {"read", "write", "get", "set", "volumes", "status", "log"};
    if (!commands.contains(command)) {
        if (!command.isEmpty()) say("unknown command %s", command.toLocal8Bit());
        std::fputs(kUsage, env_.err);
        return Usage;
    }
    if (!validate(command)) return Usage;
    overModem_ = p_.isSet("serial-port");

    HidBackend* backend = env_.backend;
    if (!backend && p_.isSet("demo")) {
        simModule_ = std::make_unique<SimModule>();
        simBackend_ = std::make_unique<SimHidBackend>(*simModule_);
        simBackend_->attach();
        backend = simBackend_.get();
    }
    DeviceSession::Options o;
    o.backend = backend;
    o.defaultPassword = password();
    session_ = std::make_unique<DeviceSession>(o);
    // Ctrl+C ends whatever waits for the module, at once.
    QTimer watcher;
    if (env_.stopRequested) {
        QObject::connect(&watcher, &QTimer::timeout, [this] {
            if (!interrupted_ && env_.stopRequested()) {
                interrupted_ = true;
                session_->Abort();
            }
        });
        watcher.start(50);
    }
    // Window errors (a file that cannot be written, a text that is no number)
    // come here instead of a message box.
    QString windowError;
    errorSink() = [&](const QString& m) { windowError = m; };

    int rc = command == "write" ? openSettings(positional_[0]) : Ok;
    if (rc == Ok) rc = connect();
    if (rc == Ok) {
        try {
            if (command == "read")
                rc = doRead();
            else if (command == "write")
                rc = doWrite();
            else if (command == "get")
                rc = doGet();
            else if (command == "set")
                rc = doSet();
            else if (command == "volumes")
                rc = doVolumes();
            else if (command == "status")
                rc = doStatus();
            else
                rc = doLog();
        } catch (const text::ConvertError& e) {
            endProgress();
            say("%s", e.what());
            rc = Failure;
        } catch (const std::exception& e) {
            endProgress();
            say("%s", e.what());
            rc = FileError;
        }
    }
    if (!windowError.isEmpty()) say("%s", windowError.toLocal8Bit());
    session_->Close();
    errorSink() = nullptr;
    return rc;
}

}   // namespace

bool NeedsWidgets(const QStringList& args) {
    QCommandLineParser p;
    addOptions(p);
    if (!p.parse(QStringList{"kestrum-cli"} + args)) return false;
    const QStringList positional = p.positionalArguments();
    return !positional.isEmpty() && (positional[0] == "read" || positional[0] == "write");
}

int Run(const QStringList& args, const Env& env) {
    Tool tool(env);
    return tool.run(args);
}

}   // namespace cli
