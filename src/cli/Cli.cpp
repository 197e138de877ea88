#include "cli/Cli.h"

#include "core/config/IniFile.h"
#include "core/config/ParamTable.h"
#include "core/config/WholeFile.h"
#include "core/link/HID.h"
#include "core/modem/TModem.h"
#include "core/modem/Tserial.h"
#include "core/protocol/StatusParser.h"
#include "core/text/Codec.h"
#include "core/text/Timing.h"
#include "session/DeviceSession.h"
#include "sim/SimHidBackend.h"
#include "sim/SimHidBus.h"
#include "sim/SimModule.h"
#include "ui/lang/LangMan.h"
#include "ui/lang/LangTables.h"
#include "ui/lang/Messages.h"
#include "ui/lang/ModemStateText.h"
#include "ui/pages/ConfigTransfer.h"
#include "ui/pages/SettingsPage.h"
#include "ui/pages/SettingsReport.h"
#include "ui/widgets/ErrorBox.h"
#include "ui/widgets/TextInput.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <memory>
#include <optional>

namespace cli {
namespace {

constexpr char kUsage[] =
    "usage: kestrum-cli COMMAND [ARGS] [OPTIONS]\n"
    "commands:\n"
    "  read --out FILE.ini          read every setting and save them\n"
    "  write FILE.ini [--verify] [--all]\n"
    "                               open a settings file and write it to the module;\n"
    "                               --verify reads every setting back and compares,\n"
    "                               --all writes every attached module in turn\n"
    "  get KEY... [--json]          print KEY=VALUE for each key\n"
    "  set KEY=VALUE...             set each, stopping at the first failure\n"
    "  volumes [--mic N] [--spk N]  print or set the microphone and speaker levels\n"
    "  status [--json]              print the module's status values\n"
    "  log                          print the module's log lines until interrupted\n"
    "  list [--json]                print every attached module: path, serial number, product\n"
    "  diff [A.ini] B.ini [--json]  compare the module (or A.ini) with B.ini: KEY (caption): left -> right;\n"
    "                               exit 0 when equal, 1 when not\n"
    "  report [FILE.ini] --pdf OUT.pdf\n"
    "                               the commissioning report of the file, or of the module\n"
    "options:\n"
    "  --password PW      device password (default 4826)\n"
    "  --wait SECONDS     how long to wait for the module (default 5)\n"
    "  --device PATH|SERIAL  the module to use when several are attached (see list)\n"
    "  --lang en|hu|ro    the language of captions in status, diff and report (default en)\n"
    "  --encoding windows-1250|utf-8\n"
    "                     the encoding of a settings file whose text reads as UTF-8 but\n"
    "                     has no byte-order mark (refused without it)\n"
    "  --demo [N]         use the simulated module (N of them, default 1)\n"
    "  --serial-port PATH --phone NUMBER   reach the module through a GSM modem data call\n"
    "  --version          print the version\n"
    "Values the module holds are printed with control characters escaped: \\n, \\r, \\t,\n"
    "\\xHH for the others (ESC is \\x1b), and a backslash as \\\\.\n";

// What each exit code means; --help lists them, the README has the same table.
const struct {
    Exit code;
    const char* meaning;
} kExitCodes[] = {
    {Ok, "done"},
    {Failure, "a value the window could not take (not an integer, or not sendable, in the file)"},
    {Usage, "usage error, or a key or value that cannot be sent"},
    {NoModule,
     "no module found, the data call failed, or the module went away (how far it got is said; log says that "
     "it ended)"},
    {LoginRefused, "the module refused the password"},
    {ParamRefused, "the module refused a parameter (named on standard error)"},
    {NoAnswer, "no answer from the module for a parameter (named)"},
    {FileError,
     "a file that cannot be read or written (a full disk, a FIFO or device, over 1 MiB), is not a settings "
     "file, or whose encoding cannot be told without --encoding"},
    {Mismatch, "write --verify: the module holds other values than were written (each is listed)"},
    {Interrupted, "interrupted (Ctrl+C or SIGTERM, also the usual end of log); nothing is written"},
};

void printUsage(FILE* to) {
    std::fputs(kUsage, to);
    std::fputs("exit codes:\n", to);
    for (const auto& e : kExitCodes) std::fprintf(to, "  %3d  %s\n", int(e.code), e.meaning);
}

// Text the module holds, safe for a terminal: no control character (an
// escape sequence) reaches it as such, and a backslash is doubled so that
// the escapes stay unambiguous.
QString escaped(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (c == QLatin1Char('\\'))
            out += QLatin1String("\\\\");
        else if (c == QLatin1Char('\n'))
            out += QLatin1String("\\n");
        else if (c == QLatin1Char('\r'))
            out += QLatin1String("\\r");
        else if (c == QLatin1Char('\t'))
            out += QLatin1String("\\t");
        else if (u < 0x20 || (u >= 0x7F && u <= 0x9F))
            out += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

const QStringList kCommands = {"read", "write", "get", "set", "volumes", "status", "log", "list", "diff", "report"};

// "--demo N" and "--demo=N" ask for N simulated modules; the count is taken
// out of the arguments so that it is not read as a command or a file.
QStringList takeDemoCount(QStringList args, int* count) {
    *count = 1;
    for (int i = 0; i < args.size(); ++i) {
        bool number = false;
        if (args[i].startsWith(QLatin1String("--demo="))) {
            *count = args[i].mid(7).toInt(&number);
            if (!number) *count = -1;
            args[i] = QStringLiteral("--demo");
        } else if (args[i] == QLatin1String("--demo") && i + 1 < args.size()) {
            const int n = args[i + 1].toInt(&number);
            if (number) {
                *count = n;
                args.removeAt(i + 1);
            }
        }
    }
    return args;
}

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
        {"verify", ""},
        {"all", ""},
        {"device", "", "path-or-serial"},
        {"lang", "", "language", "en"},
        {"pdf", "", "file"},
        {"encoding", "", "encoding"},
        {{"h", "help"}, ""},
        {"version", ""},
    });
}

QString english(lang::Msg m) { return lang::message(lang::Language::English, m); }

// A key or value quoted in a message, cut to a length that fits a line.
QString shortened(const QString& text) {
    const int kMax = 40;
    return text.size() <= kMax ? text : text.left(kMax) + QStringLiteral("…");
}
QByteArray quoted(const QString& text) { return shortened(text).toLocal8Bit(); }
// Module text (Windows-1250) in a message.
QByteArray quoted(const QByteArray& cp1250) { return quoted(text::fromCp1250(cp1250)); }

class Tool {
public:
    explicit Tool(const Env& env) : env_(env) {}

    int run(const QStringList& args);

private:
    void say(const char* fmt, const QByteArray& a = {}, const QByteArray& b = {}) const {
        std::fprintf(env_.err, "kestrum-cli: %s", moduleTag_.constData());
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
    // JSON is UTF-8 whatever the terminal's encoding, for the scripts that read it.
    void printJson(const QJsonDocument& doc) const {
        const QByteArray utf8 = doc.toJson(QJsonDocument::Compact);
        std::fwrite(utf8.constData(), 1, size_t(utf8.size()), env_.out);
        std::fputc('\n', env_.out);
        std::fflush(env_.out);
    }
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
    int collectStatus(QList<QPair<QByteArray, QByteArray>>& pairs);
    // "Supply voltage: 12210 mV": a status value as the Status page shows it.
    QString statusLine(const QByteArray& key, const QByteArray& value) const;
    HidBackend* backend();
    // The attached modules; false, having said why, when the system gives no list.
    bool listModules(std::vector<HidInterface>& modules);
    void startSession(const std::string& device);
    int commandOnModule(const QString& command);
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
    QByteArray password() const;
    // " (why)" when the link layer knows why the link went, else nothing.
    QByteArray linkReason() const;
    ConfigTransfer& transfer() { return *form().transfer; }
    Form& form() {
        if (!form_) form_ = newForm();
        return *form_;
    }
    Exchange& exchange() { return session_ ? session_->exchange() : offline_; }

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
    bool verifyCut_ = false;          // write --verify: all written, the link went while reading back
    QEventLoop* waiting_ = nullptr;   // the loop of a command that waits for the user to stop it
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

lang::Language Tool::language() const {
    const QString code = p_.value("lang");
    return code == QLatin1String("hu")   ? lang::Language::Hungarian
           : code == QLatin1String("ro") ? lang::Language::Romanian
                                         : lang::Language::English;
}

std::unique_ptr<Tool::Form> Tool::newForm() {
    auto f = std::make_unique<Form>();
    f->page = std::make_unique<SettingsPage>();
    f->bindings = f->page->Bindings();
    f->lang = std::make_unique<LangMan>(f->page.get());
    SettingsPage* page = f->page.get();
    f->lang->formatTempLabels = [page] { page->formatAllTempLabels(); };
    f->lang->ApplyLanguage(p_.value("lang").toLatin1());
    f->transfer = makeTransfer(*f);
    return f;
}

std::unique_ptr<ConfigTransfer> Tool::makeTransfer(Form& f) {
    SettingsPage* page = f.page.get();
    return std::make_unique<ConfigTransfer>(ConfigTransfer::Needs{
        f.bindings,
        exchange(),
        [page] { page->beginLoad(); },
        [page] { page->endLoad(); },
        english,
    });
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
            say("the module refused %s", quoted(key));
            return ParamRefused;
        case Outcome::LinkLost:
            say("the module was disconnected%s", linkReason());
            return NoModule;
        case Outcome::NotSent:
            say("%s cannot be sent to the module", quoted(key));
            return Usage;
        case Outcome::Accepted:
        case Outcome::NoAnswer:
            break;
    }
    say("no answer from the module for %s", quoted(key));
    return NoAnswer;
}

// A Read or Write that stopped: the link going names how far it got.
int Tool::transferFailure(Outcome result, const QByteArray& key, int done) {
    if (result != Outcome::LinkLost || interrupted_) return exchangeFailure(key, result);
    endProgress();
    say("the module was disconnected after %s of %s", QByteArray::number(done),
        QByteArray::number(form().bindings.Count()) + " settings" + linkReason());
    return NoModule;
}

// A key or value from the command line that could not go to the module as
// typed (a line break would end the command and start another one).
bool Tool::sendable(const QString& what, const QString& text) const {
    const QString problem = ModuleTextProblem(text);
    if (problem.isEmpty()) return true;
    say("%s cannot be sent to the module: it holds %s", quoted(what), problem.toLocal8Bit());
    return false;
}

// Opens the settings file of `write` into the window, before the module is
// looked for: a file that is no settings file, or holds a value that cannot
// be sent, ends the command with nothing sent.
int Tool::openSettings(const QString& path) {
    const QFileInfo file(path);
    if (!file.exists() || (file.isFile() && !file.isReadable())) {
        say("cannot read %s", path.toLocal8Bit());
        return FileError;
    }
    try {
        transfer().Open(file.filePath(), encoding());
    } catch (const NotSettingsFileError& e) {
        say("%s", e.what());
        return FileError;
    } catch (const EncodingUnclearError& e) {
        say("%s: say which with --encoding windows-1250 or --encoding utf-8", e.what());
        return FileError;
    } catch (const UnsendableValueError& e) {
        say("%s in %s", e.what(), path.toLocal8Bit());
        return Failure;
    } catch (const text::ConvertError& e) {
        say("'%s' is not a valid integer value (%s)", quoted(e.text), path.toLocal8Bit());
        return Failure;
    } catch (const std::exception& e) {
        say("%s", e.what());
        return FileError;
    }
    return Ok;
}

// --encoding: how a settings file without a byte-order mark is read when its
// text would read as UTF-8; none: such a file is refused.
std::optional<FileEncoding> Tool::encoding() const {
    if (!p_.isSet("encoding")) return std::nullopt;
    return p_.value("encoding").toLower() == QLatin1String("utf-8") ? FileEncoding::Utf8 : FileEncoding::Windows1250;
}

// read --out and report --pdf: a target that cannot be written is said before
// the module is looked for, not after it has been read.
bool Tool::outputWritable(const QString& command) {
    if (command == "read") {
        const QString out = p_.value("out");
        const IniFile existing(out);   // a regular file of at most the limit, or none
        if (existing.Readable()) return true;
        say("cannot write to %s: %s", out.toLocal8Bit(), existing.Error().toLocal8Bit());
        return false;
    }
    if (command == "report") {
        const QString pdf = p_.value("pdf");
        // The settings file the report is made of is never written over.
        const QString input = positional_.isEmpty() ? QString() : QFileInfo(positional_[0]).canonicalFilePath();
        if (!input.isEmpty() && QFileInfo(pdf).canonicalFilePath() == input) {
            say("cannot write the report to %s: it is the settings file it is made of", pdf.toLocal8Bit());
            return false;
        }
        const QString other = wholefile::notRegular(pdf);
        if (other.isEmpty() || wholefile::isCharacterDevice(pdf)) return true;
        say("cannot write the report to %s: not a regular file (%s)", pdf.toLocal8Bit(), other.toLocal8Bit());
        return false;
    }
    return true;
}

int Tool::connect() {
    Session& s = session_->login();
    // A refused password is not asked for again: there is nobody to ask. A
    // module that left one login's attempts unanswered is given up there,
    // not after every repeat of the login.
    s.askPassword = [this, &s] {
        if (s.lastLoginResult == Outcome::NoAnswer) session_->Abort();
    };
    // The user hears of the wait once the first attempt has gone unanswered
    // since the link came up (the module found, or the call up). The login
    // runs inside the waits below, where this timer still fires.
    const int attemptMs = timing::loginPolls * timing::loginPollMs;
    const int loginsBefore = s.loginRuns;
    QElapsedTimer linkUp;
    bool told = false;
    QTimer loginWatch;
    QObject::connect(&loginWatch, &QTimer::timeout, [&] {
        if (s.loginRuns != loginsBefore || !session_->LinkUp()) {
            linkUp.invalidate();
            return;
        }
        if (!linkUp.isValid()) linkUp.start();
        if (!told && linkUp.elapsed() >= attemptMs) {
            told = true;
            say("the module does not answer the login yet; waiting up to %s s more",
                QByteArray::number(((timing::loginAttempts - 1) * attemptMs + 999) / 1000));
        }
    });
    loginWatch.start(50);
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
        session_->connectModem(port, text::toCp1250(p_.value("phone").trimmed()));
        QObject::disconnect(c);
        if (interrupted_) return exchangeFailure({}, Outcome::NoAnswer);
        if (s.loginRuns == loginsBefore) {   // the call never came up
            const TModem* m = session_->Modem();
            say("the data call failed (%s); the modem said:\n%s",
                (m ? lang::modemStateText(*m, english) : QString()).toLocal8Bit(),
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

int Tool::readModule() {
    const auto r = transfer().Read(progress(form().bindings.Count()));
    if (r.linkLost) return transferFailure(Outcome::LinkLost, {}, r.answered);
    if (!r.refusedKey.isEmpty()) return exchangeFailure(r.refusedKey, Outcome::Refused);
    if (!r.silentKeys.isEmpty()) return exchangeFailure(r.silentKeys.first(), Outcome::NoAnswer);
    endProgress();
    return Ok;
}

int Tool::doRead() {
    if (const int rc = readModule(); rc != Ok) return rc;
    // Written only after a complete Read; the file itself is replaced in one step.
    transfer().Save(p_.value("out"));
    return Ok;
}

int Tool::doWrite() {
    // The file was opened before the module was looked for.
    const auto r = transfer().Write(progress(form().bindings.Count()));
    if (!r.ok()) return transferFailure(r.failure, r.failedKey, r.written);
    endProgress();
    return p_.isSet("verify") ? verifyWritten() : Ok;
}

// An empty value is shown as "" so that it is seen.
QByteArray shownBytes(const QByteArray& v) { return v.isEmpty() ? QByteArray("\"\"") : v; }

int Tool::verifyWritten() {
    const auto v = transfer().Verify(progress(form().bindings.Count()));
    const auto& r = v.read;
    if (r.linkLost && !interrupted_) {
        // What was written stays written: only the check is incomplete.
        endProgress();
        verifyCut_ = true;
        const QByteArray all = QByteArray::number(form().bindings.Count());
        say("all %s written; disconnected while verifying after %s", all,
            QByteArray::number(r.answered) + " of " + all + linkReason());
        return NoModule;
    }
    if (!r.refusedKey.isEmpty()) return exchangeFailure(r.refusedKey, Outcome::Refused);
    if (!r.silentKeys.isEmpty()) return exchangeFailure(r.silentKeys.first(), Outcome::NoAnswer);
    endProgress();
    for (const SettingDifference& d : v.differences)
        print(d.key + ": sent " + shownBytes(d.left) + ", read " + shownBytes(d.right));
    if (v.differences.isEmpty()) return Ok;
    say("%s settings differ in the module from what was written", QByteArray::number(v.differences.size()));
    return Mismatch;
}

int Tool::doGet() {
    QJsonObject json;
    for (const QString& k : positional_) {
        const QByteArray key = text::toCp1250(k);
        const Exchange::Answer answer = exchange().Query(key);
        if (answer.outcome != Outcome::Accepted) return exchangeFailure(key, answer.outcome);
        const QByteArray value = ParseAnswerValue(answer.text);
        if (p_.isSet("json"))
            json.insert(k, text::fromCp1250(value));
        else
            printText(text::fromCp1250(key) + "=" + escaped(text::fromCp1250(value)));
    }
    if (p_.isSet("json")) printJson(QJsonDocument(json));
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
    const Level levels[] = {{"mic", kMicVolumeKey, 15}, {"spk", kSpeakerVolumeKey, 100}};
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

int Tool::collectStatus(QList<QPair<QByteArray, QByteArray>>& pairs) {
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
    return Ok;
}

QString Tool::statusLine(const QByteArray& key, const QByteArray& value) const {
    std::vector<StatusDef> defs = statusParams();
    defs.insert(defs.end(), modemStatusQueries().begin(), modemStatusQueries().end());
    QByteArray label;   // the value's label on the page; a hidden edit feeds it
    for (const StatusDef& d : defs)
        if (d.key == key) label = d.control.startsWith("_ed") ? "lb" + d.control.mid(3) : d.control;
    QByteArray caption = key + ":";
    for (const lang::Row& row : lang::table(language()))
        if (label == row.key + "Value") {
            caption = row.text;
            break;
        }
    QByteArray shown = value;   // inputs and relays in words, as the page shows them
    if (const char* word = statusWord(label, value))
        for (const lang::Row& row : lang::table(language()))
            if (row.key == word) shown = row.text;
    QString line = text::fromCp1250(caption) + " " + escaped(text::fromCp1250(shown));
    if (const QString unit = QString::fromUtf8(statusUnit(label)); !unit.isEmpty()) line += " " + unit;
    return line;
}

int Tool::doStatus() {
    QList<QPair<QByteArray, QByteArray>> pairs;
    if (const int rc = collectStatus(pairs); rc != Ok) return rc;
    if (p_.isSet("json")) {
        QJsonObject o;
        for (const auto& [k, v] : pairs) o.insert(QString::fromLatin1(k), text::fromCp1250(v));
        printJson(QJsonDocument(o));
    } else {
        for (const auto& [k, v] : pairs) printText(statusLine(k, v));
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
    // Until interrupted or the module goes; the lines come as events.
    QEventLoop loop;
    QObject::connect(session_.get(), &DeviceSession::linkChanged, &loop, [&] {
        if (!session_->UsbReady()) loop.quit();
    });
    waiting_ = &loop;
    if (!interrupted_ && session_->UsbReady()) loop.exec();
    waiting_ = nullptr;
    QObject::disconnect(c);
    if (interrupted_) return Interrupted;   // Ctrl+C, the usual end
    if (session_->UsbReady()) return Ok;
    say("the module was disconnected%s; the log ends here", linkReason());
    return NoModule;
}

bool Tool::listModules(std::vector<HidInterface>& modules) {
    std::string why;
    if (ListModules(*backend(), modules, &why)) return true;
    const QByteArray reason = QByteArray::fromStdString(why);
    if (reason.startsWith("cannot list the HID devices"))
        say("%s", reason);
    else
        say("cannot list the HID devices: %s", reason);
    return false;
}

int Tool::doList() {
    std::vector<HidInterface> modules;
    if (!listModules(modules)) return NoModule;
    QJsonArray json;
    for (const HidInterface& m : modules) {
        const QString path = QString::fromStdString(m.path), serial = QString::fromStdString(m.serial),
                      product = QString::fromStdString(m.product);
        if (p_.isSet("json"))
            json.append(QJsonObject{{"path", path}, {"serial", serial}, {"product", product}});
        else
            printText(QStringList{path, serial.isEmpty() ? "-" : serial, product}.join(QLatin1String("  ")));
    }
    if (p_.isSet("json")) printJson(QJsonDocument(json));
    if (!modules.empty()) return Ok;
    say("no module found");
    return NoModule;
}

int Tool::valuesOf(const QString& file, QList<QByteArray>& values) {
    form_ = newForm();   // a page of its own: nothing of the other side stays in it
    const int rc = file.isEmpty() ? readModule() : openSettings(file);
    if (rc == Ok) values = transfer().Values();
    return rc;
}

int Tool::doDiff() {
    QList<QByteArray> left, right;
    // The file first: one that is no settings file ends the command before
    // the module is looked for.
    int rc = valuesOf(positional_.last(), right);
    if (rc == Ok && positional_.size() == 2) {
        rc = valuesOf(positional_.first(), left);
    } else if (rc == Ok) {
        rc = connect();
        if (rc == Ok) rc = valuesOf({}, left);
    }
    if (rc != Ok) return rc;
    const QList<SettingDifference> differences = ConfigTransfer::Compare(form().bindings, left, right);
    QJsonArray json;
    for (const SettingDifference& d : differences) {
        const QString key = QString::fromLatin1(d.key);
        const QString caption = report::caption(*form().page, form().bindings.Find(d.key)->control);
        if (p_.isSet("json"))
            json.append(QJsonObject{{"key", key},
                                    {"caption", caption},
                                    {"left", text::fromCp1250(d.left)},
                                    {"right", text::fromCp1250(d.right)}});
        else
            printText(
                QStringLiteral("%1 (%2): %3 -> %4")
                    .arg(key, caption, text::fromCp1250(shownBytes(d.left)), text::fromCp1250(shownBytes(d.right))));
    }
    if (p_.isSet("json")) printJson(QJsonDocument(json));
    return differences.isEmpty() ? Ok : Failure;
}

int Tool::doReport() {
    report::Facts facts;
    facts.when = QDateTime::currentDateTime();
    int rc;
    if (!positional_.isEmpty()) {
        facts.file = QDir::toNativeSeparators(positional_[0]);
        facts.fileSaved = QFileInfo(positional_[0]).lastModified();
        rc = openSettings(positional_[0]);
    } else {
        rc = connect();
        if (rc == Ok) rc = readModule();
        facts.readAt = QDateTime::currentDateTime();
        if (session_) facts.serial = session_->moduleSerial();
        QList<QPair<QByteArray, QByteArray>> pairs;
        if (rc == Ok) rc = collectStatus(pairs);
        // The module's type, versions and uptime, captioned as on the Status page.
        std::vector<StatusDef> defs = statusParams();
        defs.insert(defs.end(), modemStatusQueries().begin(), modemStatusQueries().end());
        for (const char* caption : {"lbViType", "lbViHwVer", "lbViFwVer", "lbStUptime"})
            for (const StatusDef& d : defs)
                for (const auto& [key, value] : pairs)
                    if (d.control == QByteArray(caption) + "Value" && d.key == key)
                        facts.module.append(
                            {form().lang->Text(caption).remove(QLatin1Char(':')).trimmed(), text::fromCp1250(value)});
    }
    if (rc != Ok) return rc;
    const auto messageFn = [this](lang::Msg m) { return message(m); };
    const QString html = report::html(*form().page, messageFn, facts);
    QString why;
    if (!report::writePdf(html, p_.value("pdf"), &why, {}, report::title(messageFn, facts))) {
        say("cannot write %s: %s", p_.value("pdf").toLocal8Bit(), why.toLocal8Bit());
        return FileError;
    }
    return Ok;
}

HidBackend* Tool::backend() {
    if (env_.backend) return env_.backend;
    if (!p_.isSet("demo")) return hidapiBackend();
    if (!simBus_) {
        std::vector<SimHidBackend*> members;
        for (int i = 0; i < demoCount_; ++i) {
            simModules_.push_back(std::make_unique<SimModule>());
            simBackends_.push_back(std::make_unique<SimHidBackend>(*simModules_.back(), i));
            simBackends_.back()->attach();
            members.push_back(simBackends_.back().get());
        }
        simBus_ = std::make_unique<SimHidBus>(members);
    }
    return simBus_.get();
}

void Tool::startSession(const std::string& device) {
    if (session_) session_->Close();
    DeviceSession::Options o;
    o.backend = backend();
    o.defaultPassword = password();
    o.device = device.empty() ? p_.value("device").toStdString() : device;
    o.searchUsb = !overModem_;   // over a call no USB module is opened nor logged in to
    session_ = std::make_unique<DeviceSession>(o);
}

// A command's failures that come as exceptions (a file, a value) end it with
// their own exit code.
int Tool::guarded(const std::function<int()>& body) {
    try {
        return body();
    } catch (const text::ConvertError& e) {
        endProgress();
        say("'%s' is not a valid integer value", quoted(e.text));
        return Failure;
    } catch (const std::exception& e) {
        endProgress();
        say("%s", e.what());
        return FileError;
    }
}

const char* resultText(int rc) {
    switch (rc) {
        case Ok:
            return "ok";
        case NoModule:
            return "disconnected";
        case LoginRefused:
            return "password refused";
        case ParamRefused:
            return "setting refused";
        case NoAnswer:
            return "no answer";
        case Mismatch:
            return "differs after write";
        case Interrupted:
            return "interrupted";
        default:
            return "failed";
    }
}

// One module after the other: each gets its own session, the file's values
// and, with --verify, the check. A table tells how each went.
int Tool::writeAll() {
    std::vector<HidInterface> modules;
    if (!listModules(modules)) return NoModule;
    if (modules.empty()) {
        say("no module found");
        return NoModule;
    }
    struct Row {
        QString module;
        int rc;
        qint64 ms;
        bool verifyCut;   // written, then disconnected while verifying
    };
    std::vector<Row> rows;
    for (const HidInterface& m : modules) {
        if (interrupted_) break;
        const QString name = QString::fromStdString(m.serial.empty() ? m.path : m.serial);
        moduleTag_ = name.toLocal8Bit() + ": ";
        QElapsedTimer t;
        t.start();
        startSession(m.path);
        form().transfer = makeTransfer(form());
        verifyCut_ = false;
        int rc = connect();
        if (rc == Ok) rc = guarded([this] { return doWrite(); });
        session_->Close();
        rows.push_back({name, rc, t.elapsed(), verifyCut_});
    }
    moduleTag_.clear();
    int width = 6;
    for (const Row& r : rows) width = std::max(width, int(r.module.size()));
    const auto line = [&](const QString& module, const QString& result, const QString& time) {
        printText(module.leftJustified(width + 2) + result.leftJustified(21) + time);
    };
    line("MODULE", "RESULT", "TIME");
    int rc = rows.size() < modules.size() ? int(Interrupted) : int(Ok);
    for (const Row& r : rows) {
        line(r.module, QString::fromLatin1(r.verifyCut ? "written, verify cut" : resultText(r.rc)),
             QString::number(r.ms / 1000.0, 'f', 1) + " s");
        if (rc == Ok && r.rc != Ok) rc = r.rc;
    }
    return rc;
}

// The arguments of each command, checked before any module is looked for.
bool Tool::validate(const QString& command) {
    const auto fail = [this](const char* what, const QByteArray& a = {}) {
        say(what, a);
        return false;
    };
    if ((command == "read" || command == "volumes" || command == "status" || command == "log" || command == "list") &&
        !positional_.isEmpty())
        return fail("%s takes no further arguments", command.toLocal8Bit());
    if (command == "diff" && (positional_.isEmpty() || positional_.size() > 2))
        return fail("diff needs one settings file (compared with the module) or two");
    if (command == "report" && positional_.size() > 1) return fail("report takes at most one settings file");
    if (command == "report" && p_.value("pdf").isEmpty()) return fail("report needs --pdf FILE.pdf");
    for (const char* option : {"verify", "all"})
        if (p_.isSet(option) && command != "write") return fail("--%s goes with write", option);
    if (p_.isSet("all") && (p_.isSet("device") || p_.isSet("serial-port")))
        return fail("--all writes every module on USB: not with --device or --serial-port");
    if (p_.isSet("device") && p_.isSet("serial-port"))
        return fail("--device picks a module on USB: not with --serial-port");
    if (!QStringList{"en", "hu", "ro"}.contains(p_.value("lang"))) return fail("--lang takes en, hu or ro");
    if (p_.isSet("encoding") && !QStringList{"windows-1250", "utf-8"}.contains(p_.value("encoding").toLower()))
        return fail("--encoding takes windows-1250 or utf-8");
    if (p_.isSet("encoding") && command != "write" && command != "diff" && command != "report")
        return fail("--encoding goes with write, diff and report");
    if (p_.isSet("demo") && (demoCount_ < 1 || demoCount_ > 16)) return fail("--demo takes 1 to 16 modules");
    if (command == "read" && p_.value("out").isEmpty()) return fail("read needs --out FILE.ini");
    if (command == "write" && positional_.size() != 1) return fail("write needs one FILE.ini");
    if ((command == "get" || command == "set") && positional_.isEmpty())
        return fail("%s needs at least one key", command.toLocal8Bit());
    if (command == "set")
        for (const QString& kv : positional_)
            if (kv.indexOf('=') <= 0) return fail("not KEY=VALUE: %s", quoted(kv));
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
    if (!filesOnly && command != "list" && !p_.isSet("all")) startSession({});
    // Ctrl+C ends whatever waits for the module, at once: woken by the
    // signal's byte where there is one, else by looking every 50 ms.
    const auto interrupt = [this] {
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
            stopNotifier->setEnabled(false);   // once is enough; the byte stays unread
            interrupt();
        });
    } else if (env_.stopRequested) {
        QObject::connect(&watcher, &QTimer::timeout, [&] {
            if (env_.stopRequested()) interrupt();
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
    } else {
        if (command == "write") rc = openSettings(positional_[0]);
        if (rc == Ok && p_.isSet("all")) {
            rc = writeAll();
        } else {
            if (rc == Ok) rc = connect();
            if (rc == Ok)
                rc = guarded([&] {
                    if (command == "read") return doRead();
                    if (command == "write") return doWrite();
                    if (command == "get") return doGet();
                    if (command == "set") return doSet();
                    if (command == "volumes") return doVolumes();
                    if (command == "status") return doStatus();
                    return doLog();
                });
        }
    }
    if (!windowError.isEmpty()) say("%s", windowError.toLocal8Bit());
    if (session_) session_->Close();
    errorSink() = nullptr;
    return rc;
}

}   // namespace

bool NeedsWidgets(const QStringList& args) {
    QCommandLineParser p;
    addOptions(p);
    int count;
    if (!p.parse(QStringList{"kestrum-cli"} + takeDemoCount(args, &count))) return false;
    const QStringList positional = p.positionalArguments();
    return !positional.isEmpty() && QStringList{"read", "write", "diff", "report"}.contains(positional[0]);
}

int Run(const QStringList& args, const Env& env) {
    Tool tool(env);
    return tool.run(args);
}

}   // namespace cli
