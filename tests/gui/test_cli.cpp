// kestrum-cli end to end against the simulated module, over USB and over the
// simulated GSM modem: round trips, byte-identical files, exit codes, progress.
#include "cli/Cli.h"
#include "core/text/Timing.h"
#include "sim/SimHidBackend.h"
#include "sim/SimHidBus.h"
#ifndef _WIN32
#include "sim/SimModem.h"
#endif
#include "sim/SimModule.h"
#include "sites/OfflineQueue.h"
#include "sites/Reference.h"
#include "sites/SiteDatabase.h"
#include "support/ModemTiming.h"
#include "support/TimingGuard.h"
#include "ui/pages/ConfigTransfer.h"
#include "ui/window/TFormMain.h"
#include "ui/window/TransferButtons.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <tuple>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// What Ctrl+C gives the tool to wake on: a pipe's byte, or Windows' console
// event.
struct StopSignal {
#ifdef _WIN32
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~StopSignal() { CloseHandle(event); }
    void give() { SetEvent(event); }
    void into(cli::Env& env) const { env.stopEvent = event; }
#else
    int fds[2] = {-1, -1};
    StopSignal() {
        if (::pipe(fds) != 0) fds[0] = fds[1] = -1;
    }
    ~StopSignal() {
        ::close(fds[0]);
        ::close(fds[1]);
    }
    void give() { QVERIFY(::write(fds[1], "", 1) == 1); }
    void into(cli::Env& env) const { env.stopFd = fds[0]; }
#endif
};

QByteArray slurp(FILE* f) {
    std::fflush(f);
    std::rewind(f);
    QByteArray all;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) all.append(buf, qsizetype(n));
    return all;
}

struct Run {
    int rc;
    QByteArray out;
    QByteArray err;
};

// A run that names no site database records nothing: the user's own stays untouched.
Run run(QStringList args, HidBackend* backend, bool terminal = false, std::function<bool()> stop = {},
        const StopSignal* signal = nullptr) {
    if (!args.contains("--database")) args << "--no-record";
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    cli::Env env;
    env.backend = backend;
    env.out = out;
    env.err = err;
    env.errIsTerminal = terminal;
    env.stopRequested = std::move(stop);
    if (signal) signal->into(env);
    Run r{cli::Run(args, env), slurp(out), slurp(err)};
    std::fclose(out);
    std::fclose(err);
    return r;
}

QByteArray fileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

struct Module {
    SimModule module;
    SimHidBackend backend{module};
    explicit Module(bool attached = true) {
        if (attached) backend.attach();
    }
};

}   // namespace

class CliTest : public QObject {
    Q_OBJECT
    QTemporaryDir dir_;
    TimingGuard savedTiming_;   // initTestCase changes timing

    // The site database's events, newest first, as history --json gives them.
    QJsonArray history(const QStringList& args) {
        const Run h = run(QStringList{"history", "--json"} + args, nullptr);
        if (h.rc != cli::Ok) qWarning("history: %s", h.err.constData());
        return QJsonDocument::fromJson(h.out).array();
    }

    // A settings file with these lines (Windows-1250, CR LF).
    QString settingsFile(const char* name, const QByteArray& lines) {
        QFile f(dir_.filePath(name));
        if (!f.open(QIODevice::WriteOnly)) qFatal("cannot write %s", name);
        f.write("[Settings]\r\n" + lines);
        return f.fileName();
    }

private slots:
    void initTestCase() {
        QStandardPaths::setTestModeEnabled(true);   // the offline queue: not the user's own
        timing::answerWaitMs = 500;                 // answered exchanges end at once; room for a loaded machine
        timing::loginPollMs = 5;
        timing::modemEscapeSleepMs = testTiming::modemEscapeSleepMs;
        timing::modemClosePumps = 5;
        timing::modemCommandLineMs = 200;
        timing::modemDialLineMs = 200;
    }

    void readWritesTheSameFileAsTheWindow() {
        Module m;
        m.module.setParam("CALL:USER1.PN", "+36301112233");
        m.module.setParam("SMS:Z1A.SMS", "Riaszt\xE1s \xF5r");
        m.module.setParam("REL1:PROPS.MO", "7");
        m.module.setParam("TEMP:RANG.LOW", "45");
        m.module.setParam("TEMP:RANG.HIGH", "55");
        const QString cliFile = dir_.filePath("cli.ini");
        const Run r = run({"read", "--out", cliFile}, &m.backend);
        QCOMPARE(r.rc, int(cli::Ok));
        QVERIFY(r.err.isEmpty());   // no progress bar: not a terminal

        // The window's Read followed by Save, for the same module.
        QSettings store(dir_.filePath("lang.ini"), QSettings::IniFormat);
        TFormMain::Options o;
        o.backend = &m.backend;
        o.full = true;
        o.languageStore = &store;
        TFormMain w(o);
        w.confirmDiscard = [] { return true; };   // no question box
        w.show();
        m.backend.detach();
        m.backend.attach();
        // Read is offered as soon as a link is up, also while the window has
        // not yet seen that the handle it opened before the detach is gone; a
        // Read then would end at once with "disconnected". The module logged
        // out by the attach is logged in only over the new link.
        QTRY_VERIFY_WITH_TIMEOUT(m.module.loggedIn() && w.findChild<QWidget*>("btnRead")->isEnabled(), 10000);
        w.findChild<QPushButton*>("btnRead")->click();
        const QString windowFile = dir_.filePath("window.ini");
        w.transfer().Save(windowFile);
        QCOMPARE(fileBytes(cliFile), fileBytes(windowFile));
        QVERIFY(fileBytes(cliFile).contains("tbMinTemp=45\r\n"));
    }

    void writeThenReadRoundTrip() {
        // One module's settings copied to another, input types and relay modes included.
        Module a;
        a.module.setParam("CALL:USER2.PN", "+40700000002");
        a.module.setParam("REL2:PROPS.TIM", "77");
        const QList<QPair<QByteArray, QByteArray>> modes = {{"DIN:Z1.POL", "CA"},    {"DIN:Z2.POL", "NC"},
                                                            {"REL1:PROPS.TEN", "0"}, {"REL1:PROPS.MO", "2"},
                                                            {"REL2:PROPS.MO", "0"},  {"REL2:ONM3.MTE", "3"}};
        for (const auto& [key, value] : modes) a.module.setParam(key, value);
        const QString file = dir_.filePath("a.ini");
        QCOMPARE(run({"read", "--out", file}, &a.backend).rc, int(cli::Ok));
        Module b;
        b.module.clearCommands();
        const Run w = run({"write", file}, &b.backend);
        QCOMPARE(w.rc, int(cli::Ok));
        QCOMPARE(b.module.param("CALL:USER2.PN"), QByteArray("+40700000002"));
        QCOMPARE(b.module.param("REL2:PROPS.TIM"), QByteArray("77"));
        for (const auto& [key, value] : modes) {
            QCOMPARE(b.module.param(key), value);
            QVERIFY(b.module.commands().contains("sc \"" + key + "=" + value + "#\""));
        }
        int sets = 0;
        for (const QByteArray& c : b.module.commands()) sets += c.startsWith("sc \"");
        QCOMPARE(sets, 205);
    }

    void getAndSet() {
        Module m;
        const Run s = run({"set", "CALL:USER1.PN=+361", "CALL:USER2.PN=", "EVH:Z1A.T1=1"}, &m.backend);
        QCOMPARE(s.rc, int(cli::Ok));
        QCOMPARE(m.module.param("CALL:USER1.PN"), QByteArray("+361"));
        QCOMPARE(m.module.param("EVH:Z1A.T1"), QByteArray("1"));
        const Run g = run({"get", "CALL:USER1.PN", "EVH:Z1A.T1", "CALL:USER2.PN"}, &m.backend);
        QCOMPARE(g.rc, int(cli::Ok));
        QCOMPARE(g.out, QByteArray("CALL:USER1.PN=+361\nEVH:Z1A.T1=1\nCALL:USER2.PN=\n"));
        // An unknown key: the module refuses it, and set stops there.
        const Run u = run({"get", "NO:SUCH.KEY"}, &m.backend);
        QCOMPARE(u.rc, int(cli::ParamRefused));
        QVERIFY(u.err.contains("NO:SUCH.KEY"));
        // A key quoted in a message is cut to a length that fits a line.
        const Run longKey = run({"get", QString(100, 'K')}, &m.backend);
        QCOMPARE(longKey.rc, int(cli::ParamRefused));
        QVERIFY2(longKey.err.contains(QString(40, 'K').toLocal8Bit() + QString::fromUtf8("…").toLocal8Bit()) &&
                     !longKey.err.contains(QByteArray(41, 'K')),
                 longKey.err);
        const Run us = run({"set", "CALL:USER3.PN=1", "NO:SUCH.KEY=2", "CALL:USER4.PN=3"}, &m.backend);
        QCOMPARE(us.rc, int(cli::ParamRefused));
        QCOMPARE(m.module.param("CALL:USER3.PN"), QByteArray("1"));
        QCOMPARE(m.module.param("CALL:USER4.PN"), QByteArray(""));
    }

    void volumesAndStatus() {
        Module m;
        QCOMPARE(run({"volumes", "--mic", "9", "--spk", "100"}, &m.backend).rc, int(cli::Ok));
        QCOMPARE(m.module.param("VCALL:GMIC.VOL0"), QByteArray("9"));
        QCOMPARE(m.module.param("VCALL:GSPK.VOL0"), QByteArray("100"));
        QCOMPARE(run({"volumes"}, &m.backend).out, QByteArray("mic=9\nspk=100\n"));
        QCOMPARE(run({"volumes", "--mic", "16"}, &m.backend).rc, int(cli::Usage));
        const Run st = run({"status", "--json"}, &m.backend);
        QCOMPARE(st.rc, int(cli::Ok));
        const QJsonObject o = QJsonDocument::fromJson(st.out).object();
        QCOMPARE(o.size(), 15);
        QCOMPARE(o.value("TPv").toString(), QString("GSM-2R"));
        QCOMPARE(o.value("VSE").toString(), QString("12210"));
    }

    // status reads as the Status page: caption, value, unit.
    void statusShowsCaptionsAndUnits() {
        Module m;
        const Run st = run({"status"}, &m.backend);
        QCOMPARE(st.rc, int(cli::Ok));
        // In the system's encoding, as all plain output (UTF-8 here; Windows' code page there).
        const QString text = QString::fromLocal8Bit(st.out);
        for (const QString line : {"Type: GSM-2R\n", "Lowest signal strength: 14\n", "Lowest voltage: 12210 mV\n",
                                   "Module temperature: 31 \u00B0C\n", "IN1: Inactive\n", "Relay 2: Off\n"})
            QVERIFY2(text.contains(line), st.out);
        // Values the simulated module varies.
        QVERIFY2(text.contains(QRegularExpression("\nSupply voltage: \\d+ mV\n")), st.out);
        QVERIFY2(text.contains(QRegularExpression("\nSensor temperature: -?\\d+ \u00B0C\n")), st.out);
    }

    // Text the module holds never reaches the terminal as control characters.
    void getEscapesControlCharacters() {
        Module m;
        m.module.setParam("CALL:USER1.PN",
                          "\x1b]0;x\x07"
                          "a\\b\tc");
        const Run g = run({"get", "CALL:USER1.PN"}, &m.backend);
        QCOMPARE(g.rc, int(cli::Ok));
        QCOMPARE(g.out, QByteArray("CALL:USER1.PN=\\x1b]0;x\\x07a\\\\b\\tc\n"));
        const Run j = run({"get", "CALL:USER1.PN", "--json"}, &m.backend);
        QCOMPARE(QJsonDocument::fromJson(j.out).object().value("CALL:USER1.PN").toString(), QString("\x1b]0;x\x07"
                                                                                                    "a\\b\tc"));
    }

    void helpListsTheExitCodes() {
        const Run h = run({"--help"}, nullptr);
        QCOMPARE(h.rc, int(cli::Ok));
        for (const char* line :
             {"\n    0  done\n", "\n    3  no module found", "\n    8  write --verify", "\n  130  interrupted"})
            QVERIFY2(h.out.contains(line), h.out);
    }

    void exitCodes() {
        QCOMPARE(run({}, nullptr).rc, int(cli::Usage));
        QCOMPARE(run({"frob"}, nullptr).rc, int(cli::Usage));
        QCOMPARE(run({"read"}, nullptr).rc, int(cli::Usage));   // before looking for a module
        QCOMPARE(run({"set", "NOEQUALS"}, nullptr).rc, int(cli::Usage));
        QCOMPARE(run({"get", "X", "--phone", "1"}, nullptr).rc, int(cli::Usage));
        for (const char* wait : {"1e300", "inf", "nan", "-1", "86401", "soon"})
            QCOMPARE(run({"get", "X", "--wait", wait}, nullptr).rc, int(cli::Usage));
        {
            Module m(false);   // never plugged in
            const Run r = run({"get", "X", "--wait", "0.2"}, &m.backend);
            QCOMPARE(r.rc, int(cli::NoModule));
            QVERIFY(r.err.contains("no module found"));
            // A module that is there but cannot be opened is told apart, with the system's reason.
            // The wait, always waited out, leaves room for the first search on a loaded machine.
            m.backend.setOtherInterfaces({{"HID\\VID_04D8&PID_0054", "cannot-open"}});
            const Run held = run({"get", "X", "--wait", "2"}, &m.backend);
            QCOMPARE(held.rc, int(cli::NoModule));
            QVERIFY2(held.err.contains("plugged in but cannot be opened: No such device: cannot-open"), held.err);
        }
        {
            Module m;
            m.module.setPassword("1357");
            QCOMPARE(run({"get", "CALL:USER1.PN"}, &m.backend).rc, int(cli::LoginRefused));
            QCOMPARE(run({"get", "CALL:USER1.PN", "--password", "1357"}, &m.backend).rc, int(cli::Ok));
            // The password is never echoed.
            const Run r = run({"get", "CALL:USER1.PN", "--password", "9999"}, &m.backend);
            QVERIFY(!r.err.contains("9999") && !r.out.contains("9999"));
        }
        {
            TimingGuard saved;
            Module m;
            auto k = m.module.knobs();
            k.silentAfterCommands = 1;   // the login is answered, the query is not
            m.module.setKnobs(k);
            timing::commandAttempts = 1;
            const Run r = run({"get", "CALL:USER1.PN"}, &m.backend);
            QCOMPARE(r.rc, int(cli::NoAnswer));
            QVERIFY(r.err.contains("CALL:USER1.PN"));
        }
        {
            Module m;
            auto k = m.module.knobs();
            k.detachAfterCommands = 2;   // the module goes away during the query
            m.module.setKnobs(k);
            const Run r = run({"get", "CALL:USER1.PN"}, &m.backend);
            QCOMPARE(r.rc, int(cli::NoModule));
            QVERIFY(r.err.contains("disconnected"));
        }
        {
            Module m;
            QCOMPARE(run({"write", dir_.filePath("missing.ini")}, &m.backend).rc, int(cli::FileError));
            const Run r = run({"read", "--out", dir_.filePath("no-dir/x.ini")}, &m.backend);
            QCOMPARE(r.rc, int(cli::FileError));
            QVERIFY(r.err.contains("Unable to write to"));
        }
    }

    // A module that does not answer the login is given up after one login's
    // attempts, not after every repeat of the login, and the user hears of
    // the wait meanwhile.
    void silentLoginIsGivenUpAfterOneLogin() {
        TimingGuard saved;
        Module m;
        auto k = m.module.knobs();
        k.silent = true;
        m.module.setKnobs(k);
        timing::loginPollMs = 40;   // an attempt of 0.8 s: the note comes during the login
        const Run r = run({"get", "CALL:USER1.PN"}, &m.backend);
        QCOMPARE(r.rc, int(cli::NoAnswer));
        QVERIFY2(r.err.contains("the module does not answer the login yet") &&
                     r.err.contains("no answer from the module to the login"),
                 r.err);
        int logins = 0;
        for (const QByteArray& c : m.module.commands()) logins += c.startsWith("set REM:UPW");
        QCOMPARE(logins, timing::loginAttempts);
    }

    void silentModuleAtLoginIsNoAnswer() {
        TimingGuard saved;
        Module m;
        auto k = m.module.knobs();
        k.silent = true;
        m.module.setKnobs(k);
        timing::loginCalls = 1;
        const Run r = run({"get", "CALL:USER1.PN"}, &m.backend);
        QCOMPARE(r.rc, int(cli::NoAnswer));
        QVERIFY(r.err.contains("no answer from the module to the login"));
    }

    void interruptEndsAReadAtOnce() {
        TimingGuard saved;
        Module m;
        auto k = m.module.knobs();
        k.silentAfterCommands = 1;   // logged in, then nothing answers any more
        m.module.setKnobs(k);
        const QString file = dir_.filePath("interrupted.ini");
        timing::answerWaitMs = 2000;
        QElapsedTimer t;
        t.start();
        const Run r = run({"read", "--out", file}, &m.backend, false, [&] { return t.elapsed() > 500; });
        QCOMPARE(r.rc, int(cli::Interrupted));
        QVERIFY2(t.elapsed() < 3000, QByteArray::number(t.elapsed()));
        QVERIFY(!QFile::exists(file));
    }

    void nothingUnsafeIsSent() {
        Module m;
        m.module.clearCommands();
        // A line feed would end the command and send a second one; '#"' ends a
        // set early; a character outside the module's code page would go as '?'.
        const QStringList refused[] = {
            {"set", "CALL:USER1.PN=+36\nset REM:UPW C,4826,0000"}, {"set", "SMS:Z1A.SMS=a#\"b"},
            {"set", QString::fromUtf8("SMS:Z1A.SMS=日本€✓")},      {"get", "CALL:USER1.PN\r"},
            {"get", "CALL:USER1.PN", "--password", "48\n26"},      {"set", "SMS:Z1A.SMS=a\x7F"},
        };
        for (const QStringList& args : refused) {
            const Run r = run(args, &m.backend);
            QCOMPARE(r.rc, int(cli::Usage));
            QVERIFY2(r.err.contains("cannot be sent to the module"), r.err.constData());
        }
        QVERIFY(run({"set", "SMS:Z1A.SMS=a#\"b"}, &m.backend).err.contains("SMS:Z1A.SMS"));
        QVERIFY(m.module.commands().isEmpty());   // refused before the module was looked for
        QCOMPARE(m.module.password(), QByteArray("4826"));
        // Romanian letters with a comma below go as the code page's cedilla forms.
        QCOMPARE(run({"set", QString::fromUtf8("SMS:Z1A.SMS=Ștefan, țara")}, &m.backend).rc, int(cli::Ok));
        QCOMPARE(m.module.param("SMS:Z1A.SMS"), QByteArray("\xAAtefan, \xFE"
                                                           "ara"));
    }

    void writeOfAFileThatIsNoSettingsFileSendsNothing() {
        Module m;
        m.module.clearCommands();
        const QString empty = dir_.filePath("empty.ini");
        QFile(empty).open(QIODevice::WriteOnly);
        const Run r = run({"write", empty}, &m.backend);
        QCOMPARE(r.rc, int(cli::FileError));
        QVERIFY(r.err.contains("is not a settings file"));
        const QString bad = dir_.filePath("bad-value.ini");
        QFile f(bad);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[Settings]\r\nEditPhoneNumber1=+36\rset REM:UPW C,4826,0000\r\n");
        f.close();
        const Run v = run({"write", bad}, &m.backend);
        QCOMPARE(v.rc, int(cli::Failure));
        QVERIFY(v.err.contains("EditPhoneNumber1"));
        QVERIFY(m.module.commands().isEmpty());   // not even a login
    }

    void textInTheUsersEncoding() {
        Module m;
        m.module.setParam("SMS:Z1A.SMS", "Riaszt\xE1s \xF5r 20\xB0");
        const Run g = run({"get", "SMS:Z1A.SMS"}, &m.backend);
        QCOMPARE(g.out, QString::fromUtf8("SMS:Z1A.SMS=Riasztás őr 20°\n").toLocal8Bit());
        const Run s = run({"set", QString::fromUtf8("SMS:Z1R.SMS=Visszaállás ő")}, &m.backend);
        QCOMPARE(s.rc, int(cli::Ok));
        QCOMPARE(m.module.param("SMS:Z1R.SMS"), QByteArray("Vissza\xE1ll\xE1s \xF5"));
    }

    void readWritesNothingWhenIncomplete() {
        // The module goes away during the 49th query: the Read ends there, and
        // neither a new file nor an old one is written.
        Module m;
        auto k = m.module.knobs();
        k.detachAfterCommands = 50;
        m.module.setKnobs(k);
        const QString file = dir_.filePath("half.ini");
        QFile old(file);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("[Settings]\r\nEditPhoneNumber1=old\r\n");
        old.close();
        const QByteArray before = fileBytes(file);
        const Run r = run({"read", "--out", file}, &m.backend);
        QCOMPARE(r.rc, int(cli::NoModule));
        QVERIFY(r.err.contains("disconnected after 48 of 205 settings"));
        QCOMPARE(fileBytes(file), before);
    }

    void progressOnlyOnATerminal() {
        Module m;
        const QString file = dir_.filePath("p.ini");
        const Run quiet = run({"read", "--out", file}, &m.backend, false);
        QVERIFY(quiet.err.isEmpty());
        const Run loud = run({"read", "--out", file}, &m.backend, true);
        QCOMPARE(loud.rc, int(cli::Ok));
        QVERIFY(loud.err.contains("205/205"));
        QVERIFY(loud.err.contains("\r["));
    }

    void writeVerifyCatchesASetTheModuleIgnored() {
        Module m;
        const QString file = settingsFile("v.ini", "EditPhoneNumber1=+3612345\r\nEditPhoneNumber2=+3667\r\n");
        auto knobs = m.module.knobs();
        knobs.ignoresSetOf = "CALL:USER2.PN";
        m.module.setKnobs(knobs);
        const Run bad = run({"write", file, "--verify"}, &m.backend);
        QCOMPARE(bad.rc, int(cli::Mismatch));
        QCOMPARE(bad.out, QByteArray("CALL:USER2.PN: sent +3667, read \"\"\n"));
        knobs.ignoresSetOf.clear();
        m.module.setKnobs(knobs);
        const Run good = run({"write", file, "--verify"}, &m.backend);
        QCOMPARE(good.rc, int(cli::Ok));
        QVERIFY(good.out.isEmpty());
        int queries = 0;
        for (const QByteArray& c : m.module.commands()) queries += c.endsWith("?#");
        QCOMPARE(queries, 2 * 205);   // every setting read back, each time
    }

    // Values compare as the module would get them: a combo's "01" is its "1";
    // a hidden code missing from a file is filled in as Write fills it.
    void diffComparesWhatTheModuleWouldGet() {
        const QString a = settingsFile("a.ini", "EditPhoneNumber1=+361\r\ncmbACK1=1\r\n");
        const QString b = settingsFile("b.ini", "EditPhoneNumber1=+362\r\ncmbACK1=01\r\n_edIN1=NO\r\n");
        const Run files = run({"diff", a, b}, nullptr);
        QCOMPARE(files.rc, 1);
        QCOMPARE(files.out, QByteArray("CALL:USER1.PN (T1 phone number): +361 -> +362\n"));
        QCOMPARE(run({"diff", a, a}, nullptr).rc, int(cli::Ok));
        // The module against a file, in Hungarian, for a script.
        Module m;
        m.module.setParam("CALL:USER1.PN", "+361");
        m.module.setParam("CALL:USER1.NMOD", "1");
        const Run json = run({"diff", b, "--json", "--lang", "hu"}, &m.backend);
        QCOMPARE(json.rc, 1);
        const QJsonArray list = QJsonDocument::fromJson(json.out).array();
        QVERIFY2(list.size() > 2, json.out);
        QCOMPARE(list[0].toObject(),
                 (QJsonObject{
                     {"key", "CALL:USER1.PN"}, {"caption", "T1 telefonszám"}, {"left", "+361"}, {"right", "+362"}}));
        bool matrix = false;
        for (const auto& d : list)
            matrix = matrix || d.toObject().value("caption") == QString::fromUtf8("01. IN1 Riasztás \u203a T2");
        QVERIFY2(matrix, json.out);
        QCOMPARE(run({"diff", dir_.filePath("missing.ini"), b}, nullptr).rc, int(cli::FileError));
    }

    // Three modules on one bus: listed, one picked by serial or path, all
    // written in turn with a table; one that refuses fails the whole run.
    void severalModules() {
        Module one, two, three;
        SimHidBackend second(two.module, 1), third(three.module, 2);
        second.attach();
        third.attach();
        SimHidBus bus({&one.backend, &second, &third});
        const Run list = run({"list"}, &bus);
        QCOMPARE(list.rc, int(cli::Ok));
        QCOMPARE(list.out.count('\n'), 3);
        QVERIFY2(list.out.contains("sim:brisal-1  SIM0002  "), list.out);
        QCOMPARE(run({"set", "CALL:USER1.PN=+2", "--device", "SIM0002"}, &bus).rc, int(cli::Ok));
        QCOMPARE(run({"set", "CALL:USER1.PN=+3", "--device", "sim:brisal-2"}, &bus).rc, int(cli::Ok));
        QCOMPARE(one.module.param("CALL:USER1.PN"), QByteArray());
        QCOMPARE(two.module.param("CALL:USER1.PN"), QByteArray("+2"));
        QCOMPARE(three.module.param("CALL:USER1.PN"), QByteArray("+3"));
        QCOMPARE(run({"get", "CALL:USER1.PN", "--device", "SIM0009", "--wait", "0.2"}, &bus).rc, int(cli::NoModule));

        const QString file = settingsFile("all.ini", "EditPhoneNumber4=+3644\r\n");
        const Run all = run({"write", file, "--all", "--verify"}, &bus);
        QCOMPARE(all.rc, int(cli::Ok));
        for (Module* m : {&one, &two, &three}) QCOMPARE(m->module.param("CALL:USER4.PN"), QByteArray("+3644"));
        const QList<QByteArray> rows = all.out.trimmed().split('\n');
        QCOMPARE(rows.size(), 4);
        QVERIFY(rows[0].startsWith("MODULE"));
        QVERIFY2(rows[2].startsWith("SIM0002") && rows[2].contains(" ok "), all.out);
        auto knobs = two.module.knobs();
        knobs.refusing = true;
        two.module.setKnobs(knobs);
        const Run refused = run({"write", file, "--all"}, &bus);
        QCOMPARE(refused.rc, int(cli::ParamRefused));
        QVERIFY2(refused.out.contains("setting refused"), refused.out);
        QVERIFY2(refused.err.contains("kestrum-cli: SIM0002: the module refused"), refused.err);
        // The simulated modules of the demo appear as many times as asked.
        QCOMPARE(run({"--demo", "3", "list"}, nullptr).out.count("(simulated)"), 3);
        // Devices that cannot be listed at all: the system's reason, not "no module".
        one.backend.setListRefused("hid_init failed");
        const Run unlisted = run({"list"}, &one.backend);
        QVERIFY2(unlisted.err.contains("cannot list the HID devices: hid_init failed"), unlisted.err);
        QVERIFY(unlisted.rc != int(cli::Ok));
    }

    void reportHoldsCaptionsAndValues() {
        const QString file = settingsFile("r.ini", "EditPhoneNumber1=+36301112233\r\nedCID1=1234\r\n");
        const QString pdf = dir_.filePath("r.pdf");
        const Run r = run({"report", file, "--pdf", pdf, "--lang", "ro"}, nullptr);
        QCOMPARE(r.rc, int(cli::Ok));
        QVERIFY(fileBytes(pdf).startsWith("%PDF-"));
        QCOMPARE(run({"report", file, "--pdf", dir_.filePath("no/such/dir/r.pdf")}, nullptr).rc, int(cli::FileError));
        const QString pdftotext = QStandardPaths::findExecutable("pdftotext");
#ifdef _WIN32
        if (pdftotext.isEmpty()) return;   // the text is checked on Linux
#endif
        QVERIFY2(!pdftotext.isEmpty(), "pdftotext (poppler-utils) is needed to read the report");
        QProcess p;
        p.start(pdftotext, {pdf, "-"});
        QVERIFY(p.waitForFinished(10000));
        const QString text = QString::fromUtf8(p.readAllStandardOutput()).simplified();
        for (const char* expected : {"Raport de punere in functiune", "Numar telefon T1", "+36301112233", "1234",
                                     "01. IN1 Alarma", "Releu 1", "Semnatura", "Fisierul", "r.ini, salvat la"})
            QVERIFY2(text.contains(QString::fromUtf8(expected)), expected);
        // The PDF's title names the report and its file.
        p.start(QStandardPaths::findExecutable("pdfinfo"), {pdf});
        QVERIFY(p.waitForFinished(10000));
        QVERIFY2(QString::fromUtf8(p.readAllStandardOutput())
                     .contains(QString::fromUtf8("Title:           Raport de punere in functiune \u2013 r.ini")),
                 "the PDF's title");
    }

    // The report replaces a file only once all of it is written: a full disk
    // (a file-size limit here) leaves the old file as it was, /dev/full says
    // why, and the settings file the report is made of is never written over.
    void reportIsWrittenWholeOrNotAtAll() {
        const QString file = settingsFile("w.ini", "EditPhoneNumber1=+361\r\n");
        const QByteArray settings = fileBytes(file);
        const Run self = run({"report", file, "--pdf", dir_.path() + "/./w.ini"}, nullptr);
        QCOMPARE(self.rc, int(cli::FileError));
        QCOMPARE(fileBytes(file), settings);
#ifndef _WIN32
        const Run full = run({"report", file, "--pdf", "/dev/full"}, nullptr);
        QCOMPARE(full.rc, int(cli::FileError));
        QVERIFY2(full.err.contains(std::strerror(ENOSPC)), full.err);
        const QString dir = dir_.filePath("limited");
        QVERIFY(QDir().mkpath(dir));
        const QString pdf = dir + "/old.pdf";
        const QByteArray old = "%PDF-1.4 the report of last week %%EOF\n";
        QFile f(pdf);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(old) == old.size());
        f.close();
        Run cut;
        {
            // Files may not grow past 4 KiB (the report has more), and going
            // past the limit fails the write instead of raising the signal.
            rlimit limit{};
            QVERIFY(getrlimit(RLIMIT_FSIZE, &limit) == 0);
            struct Restore {
                rlimit limit;
                void (*handler)(int);
                ~Restore() {
                    setrlimit(RLIMIT_FSIZE, &limit);
                    std::signal(SIGXFSZ, handler);
                }
            } restore{limit, std::signal(SIGXFSZ, SIG_IGN)};
            rlimit small = limit;
            small.rlim_cur = std::min<rlim_t>(4096, limit.rlim_max);
            QVERIFY(setrlimit(RLIMIT_FSIZE, &small) == 0);
            cut = run({"report", file, "--pdf", pdf}, nullptr);
        }
        QCOMPARE(cut.rc, int(cli::FileError));
        QVERIFY2(cut.err.contains(std::strerror(EFBIG)), cut.err);
        QCOMPARE(fileBytes(pdf), old);
        QCOMPARE(QDir(dir).entryList(QDir::Files | QDir::Hidden), QStringList{"old.pdf"});
#endif
    }

    // read --out writes only what Open takes back: a file the settings would
    // push past the size limit is left as it was, with the limit and the size
    // said; a FIFO is refused before the module is looked for.
    void readOutWritesOnlyWhatOpenTakesBack() {
        Module m;
        const QString big = dir_.filePath("big.ini");
        for (const int room : {1000, 8000}) {   // the 205 settings take some 3.4 KB
            const QByteArray before =
                "[Extra]\r\nblob=" + QByteArray(int(ConfigTransfer::kMaxFileSize) - room, 'x') + "\r\n";
            QFile f(big);
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write(before) == before.size());
            f.close();
            const Run r = run({"read", "--out", big}, &m.backend);
            if (room == 1000) {
                QCOMPARE(r.rc, int(cli::FileError));
                QVERIFY2(r.err.contains("would grow to") && r.err.contains("at most 1 MiB (1048576 bytes)"), r.err);
                QCOMPARE(fileBytes(big), before);
            } else {
                QCOMPARE(r.rc, int(cli::Ok));
                QVERIFY(QFileInfo(big).size() <= ConfigTransfer::kMaxFileSize);
                QCOMPARE(run({"write", big}, &m.backend).rc, int(cli::Ok));
            }
        }
#ifndef _WIN32
        const QString fifo = dir_.filePath("out.fifo");
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
        m.module.clearCommands();
        const Run r = run({"read", "--out", fifo}, &m.backend);
        QCOMPARE(r.rc, int(cli::FileError));
        QVERIFY2(r.err.contains("not a regular file (a FIFO)"), r.err);
        QVERIFY(m.module.commands().isEmpty());
#endif
    }

    // A byte-order mark says UTF-8. Without one, text that reads as UTF-8 is
    // not taken for Windows-1250 unless --encoding says which it is (the
    // window asks); files the program writes stay Windows-1250.
    void textArrivesAsTheUserWroteIt() {
        Module m;
        const QByteArray utf8 = "Alarm\xC4\x83 \xC3\xAEn curte";   // "Alarmă în curte"
        const QByteArray cp1250 = "Alarm\xE3 \xEEn curte";
        const QString bom = dir_.filePath("bom.ini");
        QFile f(bom);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("\xEF\xBB\xBF[Settings]\r\nedSMS1=" + utf8 + "\r\n");
        f.close();
        QCOMPARE(run({"write", bom}, &m.backend).rc, int(cli::Ok));
        QCOMPARE(m.module.param("SMS:Z1A.SMS"), cp1250);

        const QString plain = settingsFile("utf8.ini", "edSMS1=" + utf8 + "\r\nedSMS2=Riasztas\r\n");
        m.module.clearCommands();
        const Run unclear = run({"write", plain}, &m.backend);
        QCOMPARE(unclear.rc, int(cli::FileError));
        QVERIFY2(
            unclear.err.contains("edSMS1") && !unclear.err.contains("edSMS2") && unclear.err.contains("--encoding"),
            unclear.err);
        QVERIFY(m.module.commands().isEmpty());
        QCOMPARE(run({"write", plain, "--encoding", "utf-8"}, &m.backend).rc, int(cli::Ok));
        QCOMPARE(m.module.param("SMS:Z1A.SMS"), cp1250);
        QCOMPARE(run({"write", plain, "--encoding", "windows-1250"}, &m.backend).rc, int(cli::Ok));
        QCOMPARE(m.module.param("SMS:Z1A.SMS"), utf8);
        m.module.setParam("SMS:Z1A.SMS", cp1250);
        const QString out = dir_.filePath("written.ini");
        QCOMPARE(run({"read", "--out", out}, &m.backend).rc, int(cli::Ok));
        QVERIFY(fileBytes(out).contains("edSMS1=" + cp1250 + "\r\n"));

        // The window asks, naming the settings; cancelled, nothing changes.
        QSettings store(dir_.filePath("lang-enc.ini"), QSettings::IniFormat);
        TFormMain::Options o;
        o.backend = &m.backend;
        o.full = true;
        o.languageStore = &store;
        TFormMain w(o);
        auto* sms = w.findChild<QLineEdit*>("edSMS1");
        const QString shown = sms->text();
        QList<QByteArray> asked;
        std::optional<FileEncoding> answer;
        w.buttons().chooseEncoding = [&](const QString&, const QList<QByteArray>& settings) {
            asked = settings;
            return answer;
        };
        w.buttons().OpenFile(plain);
        QCOMPARE(asked, QList<QByteArray>{"edSMS1"});
        QCOMPARE(sms->text(), shown);
        answer = FileEncoding::Utf8;
        w.buttons().OpenFile(plain);
        QCOMPARE(sms->text(), QString::fromUtf8(utf8));
    }

    // write --verify cut while reading back tells that everything was
    // written, with a result of its own in the --all table.
    void verifyCutShortAfterEverythingWasWritten() {
        Module m;
        auto k = m.module.knobs();
        k.detachAfterCommands = 1 + 205 + 50;   // the login, every set, and the 50th query goes unanswered
        m.module.setKnobs(k);
        SimHidBus bus({&m.backend});
        const QString file = settingsFile("cut.ini", "EditPhoneNumber1=+3611\r\n");
        const Run r = run({"write", file, "--verify", "--all"}, &bus);
        QCOMPARE(r.rc, int(cli::NoModule));
        QVERIFY2(r.err.contains("all 205 written; disconnected while verifying after 49 of 205"), r.err);
        QVERIFY2(r.out.contains("written, verify cut"), r.out);
        QCOMPARE(m.module.param("CALL:USER1.PN"), QByteArray("+3611"));
    }

#ifndef _WIN32
    // log that ends because the module went says so.
    void logTellsTheModuleWent() {
        Module m;
        FILE* out = std::tmpfile();
        FILE* err = std::tmpfile();
        const auto printed = [&] {   // what the tool printed so far; its file position stays
            QByteArray text(4096, '\0');
            const ssize_t n = ::pread(fileno(out), text.data(), size_t(text.size()), 0);
            return text.left(int(std::max<ssize_t>(n, 0)));
        };
        // Once the log is on, the module sends a line; once that is printed
        // (after the answer that turned the log on), the module goes.
        bool lineSent = false;
        QTimer unplug;
        QObject::connect(&unplug, &QTimer::timeout, [&] {
            if (!lineSent && m.module.mainlogOn()) {
                m.module.emitLogLine("zone 1 alarm");
                lineSent = true;
            }
            if (lineSent && printed().contains("zone 1 alarm")) {
                unplug.stop();
                m.backend.detach();
            }
        });
        unplug.start(5);
        cli::Env env;
        env.backend = &m.backend;
        env.out = out;
        env.err = err;
        const int rc = cli::Run({"log"}, env);
        const QByteArray errText = slurp(err);
        std::fclose(out);
        std::fclose(err);
        QCOMPARE(rc, int(cli::NoModule));
        QVERIFY2(errText.contains("the module was disconnected") && errText.contains("; the log ends here"), errText);
    }

    // Ctrl+C is how log usually ends: exit 130.
    void logEndedByCtrlCIsInterrupted() {
        Module m;
        const Run r = run({"log"}, &m.backend, false, [&] { return m.module.mainlogOn(); });
        QCOMPARE(r.rc, int(cli::Interrupted));
        QVERIFY2(!r.err.contains("disconnected"), r.err);
    }

    // Over a call the module on USB is neither opened nor logged in to.
    void overTheModemTheUsbModuleIsLeftAlone() {
        TimingGuard saved;
        testTiming::deviceAnswerBudgets();
        Module usb;   // plugged in and answering
        SimModule far;
        far.setParam("CALL:USER1.PN", "+36209998877");
        SimModem modem(far);
        QVERIFY(modem.start());
        const Run g =
            run({"get", "CALL:USER1.PN", "--serial-port", modem.slavePath(), "--phone", "+36301234567"}, &usb.backend);
        QCOMPARE(g.out, QByteArray("CALL:USER1.PN=+36209998877\n"));
        QVERIFY2(usb.module.commands().isEmpty(), usb.module.commands().join(' '));
    }

    // the simulated modem answers on a pseudo-terminal
    void overTheSimulatedModem() {
        TimingGuard saved;
        testTiming::deviceAnswerBudgets();
        Module usb(false);
        SimModule far;
        far.setParam("CALL:USER1.PN", "+36209998877");
        SimModem modem(far);
        QVERIFY(modem.start());
        const QStringList via = {"--serial-port", modem.slavePath(), "--phone", "+36301234567"};
        const QString file = dir_.filePath("modem.ini");
        const QString db = dir_.filePath("modem.sqlite");
        const Run r = run(QStringList{"read", "--out", file, "--database", db} + via, &usb.backend);
        QCOMPARE(r.rc, int(cli::Ok));
        QVERIFY(fileBytes(file).contains("EditPhoneNumber1=+36209998877\r\n"));
        const QJsonArray events = history({"--module", "+36301234567", "--database", db});   // the number called
        QCOMPARE(events.size(), 1);
        QCOMPARE(events[0].toObject()["link"].toString(), QString("modem"));
        QCOMPARE(events[0].toObject()["result"].toString(), QString("done"));
        QTRY_VERIFY_WITH_TIMEOUT(!modem.inCall(), 10000);   // hung up at the end
        const Run g = run(QStringList{"get", "CALL:USER1.PN"} + via, &usb.backend);
        QCOMPARE(g.out, QByteArray("CALL:USER1.PN=+36209998877\n"));
        auto k = modem.knobs();
        k.dialResult = "BUSY";
        modem.setKnobs(k);
        timing::modemDialReads = 3;
        const Run busy = run(QStringList{"get", "CALL:USER1.PN"} + via, &usb.backend);
        QCOMPARE(busy.rc, int(cli::NoModule));
    }

    // Ctrl+C ends the work; Ctrl+C again, while the call is being hung up,
    // leaves the hang-up at once and says that the call may still be up.
    void ctrlCDuringTheHangUpLeavesIt() {
        TimingGuard saved;
        testTiming::deviceAnswerBudgets();
        Module usb(false);
        SimModule far;
        auto k = far.knobs();
        k.silentAfterCommands = 1;   // logged in, then nothing answers
        far.setKnobs(k);
        SimModem modem(far);
        QVERIFY(modem.start());
        StopSignal stop;
        int given = 0, escapes = 0, athBefore = 0;
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (given == 0 && far.commands().contains("sc CALL:USER1.PN?#")) {
                // The dial's own escape is behind; the hang-up's pauses around
                // its escape would now take 2 minutes each.
                escapes = modem.escapes();
                athBefore = int(modem.atLog().count("ATH"));
                timing::modemEscapeSleepMs = 120000;
            } else if (!(given == 1 && modem.escapes() > escapes)) {
                return;
            }
            ++given;
            stop.give();
        });
        watch.start(5);
        QElapsedTimer t;
        t.start();
        const Run r = run({"get", "CALL:USER1.PN", "--serial-port", modem.slavePath(), "--phone", "+36301234567"},
                          &usb.backend, false, {}, &stop);
        QCOMPARE(r.rc, int(cli::Interrupted));
        QCOMPARE(given, 2);
        QVERIFY2(t.elapsed() < 100000, QByteArray::number(t.elapsed()));   // within the first pause
        QCOMPARE(int(modem.atLog().count("ATH")), athBefore);              // left before its ATH
        QVERIFY2(r.err.contains("the call on " + modem.slavePath().toLocal8Bit() + " may still be up"), r.err);
    }
#endif

    // SIGINT and SIGTERM write a byte to a pipe, Ctrl+C on Windows sets an
    // event: the tool wakes on it, with no timer looking at a flag.
    void aSignalsByteEndsTheWaitAtOnce() {
        Module m(false);   // never plugged in: the tool would wait a minute
        StopSignal stop;
        QTimer::singleShot(0, [&] { stop.give(); });
        QElapsedTimer t;
        t.start();
        const Run r = run({"get", "CALL:USER1.PN", "--wait", "60"}, &m.backend, false, {}, &stop);
        QCOMPARE(r.rc, int(cli::Interrupted));
        QVERIFY(t.elapsed() < 30000);
    }

    // Asleep until something happens (the module comes, its answer comes,
    // the signal's byte), never until a timer runs out.
    void theToolSleepsUntilTheModuleTheAnswerOrTheSignalsByte() {
        TimingGuard saved;
        timing::answerWaitMs = 60000;
        timing::commandAttempts = 1;
        Module m(false);
        auto k = m.module.knobs();
        k.answerDelayMs = 20;
        m.module.setKnobs(k);
        QTimer::singleShot(0, [&] { m.backend.attach(); });   // once the tool waits for it
        QElapsedTimer t;
        t.start();
        const Run r = run({"get", "CALL:USER1.PN", "--wait", "60"}, &m.backend);
        QCOMPARE(r.rc, int(cli::Ok));
        QVERIFY(r.out.startsWith("CALL:USER1.PN="));
        QVERIFY2(t.elapsed() < 30000, QByteArray::number(t.elapsed()));

        Module silent;
        k = silent.module.knobs();
        k.silentAfterCommands = 1;   // logged in, then nothing answers any more
        silent.module.setKnobs(k);
        StopSignal stop;
        QTimer asked;   // the signal comes once the query is out
        QObject::connect(&asked, &QTimer::timeout, [&] {
            if (!silent.module.commands().contains("sc CALL:USER1.PN?#")) return;
            asked.stop();
            stop.give();
        });
        asked.start(5);
        t.restart();
        const Run i = run({"get", "CALL:USER1.PN"}, &silent.backend, false, {}, &stop);
        QCOMPARE(i.rc, int(cli::Interrupted));
        QVERIFY(!asked.isActive());
        QVERIFY2(t.elapsed() < 30000, QByteArray::number(t.elapsed()));
    }

    // The installer's visit: a site, the module assigned to it, a read, the
    // second phone number changed by hand, a write. The history holds both
    // with the snapshots that differ in exactly that number, and the status
    // seen at each connection.
    void theSiteRemembersTheReadAndTheWrite() {
        Module m;
        const QString db = dir_.filePath("visit.sqlite");
        const QStringList d = {"--database", db, "--operator", "Anna"};
        QCOMPARE(run(QStringList{"site", "add", "Bakery", "--customer", "Kov\u00E1cs"} + d, nullptr).rc, int(cli::Ok));
        QCOMPARE(run(QStringList{"site", "add", "Bakery"} + d, nullptr).rc, int(cli::Usage));   // taken
        QCOMPARE(run(QStringList{"site", "assign", "Bakery"} + d, &m.backend).rc, int(cli::Ok));
        const QString file = dir_.filePath("bakery.ini");
        QCOMPARE(run(QStringList{"read", "--out", file} + d, &m.backend).rc, int(cli::Ok));
        QByteArray bytes = fileBytes(file);
        QVERIFY(bytes.contains("\r\nEditPhoneNumber2=\r\n"));
        bytes.replace("\r\nEditPhoneNumber2=\r\n", "\r\nEditPhoneNumber2=+36301234567\r\n");
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
        f.close();
        QCOMPARE(run(QStringList{"write", file} + d, &m.backend).rc, int(cli::Ok));

        const QJsonArray events = history({"--site", "Bakery", "--database", db});
        QCOMPARE(events.size(), 2);
        const QJsonObject write = events[0].toObject(), read = events[1].toObject();
        for (const auto& [e, action, source] :
             {std::tuple{write, "write", "file:bakery.ini"}, {read, "read", "module"}}) {
            QCOMPARE(e["action"].toString(), QString(action));
            QCOMPARE(e["source"].toString(), QString(source));
            QCOMPARE(e["result"].toString(), QString("done"));
            QCOMPARE(e["settings"].toInt(), 205);
            QCOMPARE(e["serial"].toString(), QString("SIM0001"));
            QCOMPARE(e["link"].toString(), QString("usb"));
            QCOMPARE(e["operator"].toString(), QString("Anna"));
        }
        const QString first = "@" + QString::number(read["snapshot"].toInt());
        const QString second = "@" + QString::number(write["snapshot"].toInt());
        QVERIFY(first != second);
        const Run diff = run({"diff", first, second, "--database", db}, nullptr);
        QCOMPARE(diff.rc, int(cli::Failure));   // they differ
        QCOMPARE(diff.out, QByteArray("CALL:USER2.PN (T2 phone number): \"\" -> +36301234567\n"));

        sites::SiteDatabase sdb({db, {}});
        QVERIFY(sdb.open());
        const QList<sites::StatusVisit> visits = sdb.statusHistory("Bakery", 0);
        QCOMPARE(visits.size(), 2);
        QCOMPARE(visits[0].signal, m.module.status("RFP"));
        QCOMPARE(visits[0].firmware, m.module.status("FWv"));
        QCOMPARE(sdb.sites("Kov\u00E1cs").value(0).serial, QString("SIM0001"));
    }

    // A snapshot written back and checked; the check that finds the module
    // holding something else is recorded as failed, with what was said and
    // what the module holds. Export gives the read's own file back.
    void restoreThenVerify() {
        Module m;
        m.module.setParam("CALL:USER1.PN", "+3611");
        const QString db = dir_.filePath("restore.sqlite");
        const QStringList d = {"--database", db};
        QCOMPARE(run(QStringList{"site", "add", "Shop"} + d, nullptr).rc, int(cli::Ok));
        QCOMPARE(run(QStringList{"site", "assign", "Shop"} + d, &m.backend).rc, int(cli::Ok));
        const QString file = dir_.filePath("shop.ini");
        QCOMPARE(run(QStringList{"read", "--out", file} + d, &m.backend).rc, int(cli::Ok));
        const int readSnapshot =
            history({"--module", "SIM0001", "--limit", "1", "--database", db})[0].toObject()["snapshot"].toInt();

        m.module.setParam("CALL:USER1.PN", "+3622");
        QCOMPARE(run(QStringList{"restore", "@site:Shop", "--verify"} + d, &m.backend).rc, int(cli::Ok));
        QCOMPARE(m.module.param("CALL:USER1.PN"), QByteArray("+3611"));
        const QJsonArray events = history({"--site", "Shop", "--limit", "2", "--database", db});
        QCOMPARE(events[0].toObject()["action"].toString(), QString("verify"));
        QCOMPARE(events[1].toObject()["action"].toString(), QString("restore"));
        QCOMPARE(events[1].toObject()["source"].toString(), QString("snapshot:%1").arg(readSnapshot));
        QCOMPARE(events[0].toObject()["snapshot"].toInt(), readSnapshot);
        QCOMPARE(events[1].toObject()["snapshot"].toInt(), readSnapshot);

        const QString exported = dir_.filePath("exported.ini");
        QCOMPARE(run(QStringList{"export", "@module:SIM0001", "--out", exported} + d, nullptr).rc, int(cli::Ok));
        QCOMPARE(fileBytes(exported), fileBytes(file));

        auto knobs = m.module.knobs();
        knobs.ignoresSetOf = "CALL:USER1.PN";
        m.module.setKnobs(knobs);
        m.module.setParam("CALL:USER1.PN", "+3633");
        const Run bad = run(QStringList{"restore", "@" + QString::number(readSnapshot), "--verify"} + d, &m.backend);
        QCOMPARE(bad.rc, int(cli::Mismatch));
        const QJsonObject verify = history({"--site", "Shop", "--limit", "1", "--database", db})[0].toObject();
        QCOMPARE(verify["result"].toString(), QString("failed"));
        QCOMPARE("kestrum-cli: " + verify["reason"].toString().toLocal8Bit() + "\n", bad.err);
        QCOMPARE(run(QStringList{"export", "@site:Shop", "--out", exported} + d, nullptr).rc, int(cli::Ok));
        QVERIFY(fileBytes(exported).contains("\r\nEditPhoneNumber1=+3633\r\n"));
    }

    // Files brought in keep their time; one that is no settings file is
    // skipped with its reason. Names and references that lead nowhere have
    // exit codes of their own.
    void importAndUnknownNames() {
        const QString db = dir_.filePath("import.sqlite");
        const QStringList d = {"--database", db};
        QCOMPARE(run(QStringList{"site", "add", "Office"} + d, nullptr).rc, int(cli::Ok));
        QDir(dir_.path()).mkdir("old");
        const QString good = settingsFile("old/good.ini", "EditPhoneNumber1=+3655\r\n");
        QFile g(good);
        QVERIFY(g.open(QIODevice::ReadWrite));
        const QDateTime modified(QDate(2025, 3, 14), QTime(10, 0), Qt::UTC);
        QVERIFY(g.setFileTime(modified, QFileDevice::FileModificationTime));
        g.close();
        QFile bad(dir_.filePath("old/bad.txt"));
        QVERIFY(bad.open(QIODevice::WriteOnly) && bad.write("hello\n") == 6);
        bad.close();

        const Run i = run(QStringList{"import", dir_.filePath("old"), "--site", "Office"} + d, nullptr);
        QCOMPARE(i.rc, int(cli::FileError));
        QVERIFY(i.err.contains("bad.txt") && !i.err.contains("good.ini"));
        const QJsonArray events = history({"--site", "Office", "--database", db});
        QCOMPARE(events.size(), 1);
        QCOMPARE(events[0].toObject()["action"].toString(), QString("import"));
        QCOMPARE(events[0].toObject()["at"].toString(), QString("2025-03-14T10:00:00Z"));
        QCOMPARE(events[0].toObject()["source"].toString(), QString("file:good.ini"));
        QCOMPARE(i.out, QDir::toNativeSeparators(good).toLocal8Bit() + ": @" +
                            QByteArray::number(events[0].toObject()["snapshot"].toInt()) + "\n");
        QCOMPARE(run(QStringList{"diff", good, "@site:Office"} + d, nullptr).rc, int(cli::Ok));   // the same

        Module m;
        QCOMPARE(run(QStringList{"import", good, "--site", "Nope"} + d, nullptr).rc, int(cli::UnknownSite));
        QCOMPARE(run(QStringList{"history", "--site", "Nope"} + d, nullptr).rc, int(cli::UnknownSite));
        QCOMPARE(run(QStringList{"site", "assign", "Nope"} + d, &m.backend).rc, int(cli::UnknownSite));
        QCOMPARE(run(QStringList{"diff", good, "@site:Nope"} + d, nullptr).rc, int(cli::UnknownSite));
        QCOMPARE(run(QStringList{"diff", good, "@999"} + d, nullptr).rc, int(cli::UnknownReference));
        QCOMPARE(run(QStringList{"write", "@module:NOSUCH"} + d, &m.backend).rc, int(cli::UnknownReference));
        QVERIFY(m.module.commands().isEmpty());   // nothing sent
        QCOMPARE(run(QStringList{"restore", "file.ini"} + d, &m.backend).rc, int(cli::Usage));

        // KESTRUM_DATABASE names the file when --database does not.
        qputenv("KESTRUM_DATABASE", db.toLocal8Bit());
        const Run s = run({"sites", "--no-record"}, nullptr);
        qunsetenv("KESTRUM_DATABASE");
        QCOMPARE(s.out, QByteArray("Office  -  -  -\n"));
    }

    // A team on one PostgreSQL server: the schema checked and made by
    // db check and db migrate, a one-person file copied over once, a read
    // of one installer in the history of another; with the server out of
    // reach the read is kept and history shows what waits; back, sync
    // sends it once.
    void aTeamSharesOneServerAndLosesNothingOffline() {
        const QString server = qEnvironmentVariable("KESTRUM_TEST_POSTGRES");
        if (server.isEmpty()) QSKIP("KESTRUM_TEST_POSTGRES names no test server");
        QString why;
        sites::Reference team = *sites::Reference::parse(server, {}, &why);
        if (!team.host.startsWith('/')) QSKIP("needs the server on a socket folder");
        {
            QSqlDatabase admin = QSqlDatabase::addDatabase("QPSQL", "admin");
            admin.setHostName(team.host);
            admin.setUserName(team.user);
            admin.setDatabaseName(team.database);
            QVERIFY2(admin.open(), qPrintable(admin.lastError().text()));
            QSqlQuery q(admin);
            q.exec("DROP DATABASE IF EXISTS cli_team");
            QVERIFY(q.exec("CREATE DATABASE cli_team"));
            admin.close();
        }
        QSqlDatabase::removeDatabase("admin");
        QFile::remove(sites::OfflineQueue::defaultPath());
        // The server's socket folder through a link of its own, there or not.
        const QString folder = team.host;
        team.host = dir_.filePath("server");
        team.database = "cli_team";
        const QString ref = team.display();
        QVERIFY(QFile::link(folder, team.host));

        Run check = run({"db", "check", "--database", ref}, nullptr);
        QCOMPARE(check.rc, int(cli::DatabaseOld));
        QVERIFY2(check.out.contains("PostgreSQL " + ref.toUtf8() + ", schema 0"), check.out.constData());
        QCOMPARE(run({"db", "migrate", "--database", ref}, nullptr).rc, int(cli::Ok));
        check = run({"db", "check", "--database", ref}, nullptr);
        QCOMPARE(check.rc, int(cli::Ok));
        QVERIFY2(check.out.contains(", schema 3 (current)"), check.out.constData());

        Module m;
        const QString own = dir_.filePath("own.sqlite");
        QCOMPARE(run({"site", "add", "Bakery", "--database", own}, nullptr).rc, int(cli::Ok));
        QCOMPARE(run({"site", "assign", "Bakery", "--database", own}, &m.backend).rc, int(cli::Ok));
        const QString file = dir_.filePath("team.ini");
        QCOMPARE(run({"read", "--out", file, "--database", own, "--operator", "Anna"}, &m.backend).rc, int(cli::Ok));
        Run copy = run({"db", "copy", "--from", own, "--to", ref}, nullptr);
        QCOMPARE(copy.rc, int(cli::Ok));
        QVERIFY2(copy.out.contains("added 1 sites, 1 installations, 1 events, 1 status visits"), copy.out.constData());
        copy = run({"db", "copy", "--from", own, "--to", ref}, nullptr);
        QVERIFY2(copy.out.contains("added 0 sites, 0 installations, 0 events, 0 status visits"), copy.out.constData());

        QCOMPARE(run({"read", "--out", file, "--database", ref, "--operator", "Bela"}, &m.backend).rc, int(cli::Ok));
        QJsonArray events = history({"--site", "Bakery", "--database", ref, "--operator", "Anna"});
        QCOMPARE(events.size(), 2);
        QCOMPARE(events[0].toObject()["operator"].toString(), QString("Bela"));
        QCOMPARE(events[1].toObject()["operator"].toString(), QString("Anna"));

        // Out of reach: the work goes on, the read waits.
        QVERIFY(QFile::remove(team.host));
        const Run offline = run({"read", "--out", file, "--database", ref, "--operator", "Cili"}, &m.backend);
        QCOMPARE(offline.rc, int(cli::Ok));
        QVERIFY2(offline.err.contains("2 records not yet sent to the team database"), offline.err.constData());
        const Run waiting = run({"history", "--database", ref}, nullptr);
        QCOMPARE(waiting.rc, int(cli::DatabaseUnusable));
        QVERIFY2(waiting.out.contains("Cili") && !waiting.out.contains("Bela"), waiting.out.constData());
        QVERIFY(waiting.err.contains("the rest is unavailable"));
        QCOMPARE(run({"sync", "--database", ref}, nullptr).rc, int(cli::DatabaseUnusable));

        // Back: sent once.
        QVERIFY(QFile::link(folder, team.host));
        const Run sync = run({"sync", "--database", ref}, nullptr);
        QCOMPARE(sync.rc, int(cli::Ok));
        QVERIFY2(sync.out.contains("sent 2 records"), sync.out.constData());
        QVERIFY(run({"sync", "--database", ref}, nullptr).out.contains("nothing to send"));
        events = history({"--site", "Bakery", "--database", ref});
        QCOMPARE(events.size(), 3);
        QCOMPARE(events[0].toObject()["operator"].toString(), QString("Cili"));
    }

    // A site database that cannot be used never changes what the work on the
    // module does: said once, the exit code that of the work. The commands
    // that need it have an exit code of their own. A newer one is left as it was.
    void anUnusableDatabaseLeavesTheWorkAlone() {
        Module m;
        QFile blocker(dir_.filePath("blocker"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        const QString nowhere = dir_.filePath("blocker/sub/sites.sqlite");   // under a file: never created
        const QString newer = dir_.filePath("newer.sqlite");
        {
            QSqlDatabase s = QSqlDatabase::addDatabase("QSQLITE", "newer");
            s.setDatabaseName(newer);
            QVERIFY(s.open());
            QSqlQuery q(s);
            QVERIFY(q.exec("CREATE TABLE schema_version (version INTEGER NOT NULL)"));
            QVERIFY(q.exec("INSERT INTO schema_version (version) VALUES (99)"));
            q.finish();
            s.close();
        }
        QSqlDatabase::removeDatabase("newer");
        const QByteArray before = fileBytes(newer);
        for (const QString& db : {nowhere, newer}) {
            const QString out = dir_.filePath("unusable.ini");
            QFile::remove(out);
            const Run r = run({"read", "--out", out, "--database", db}, &m.backend);
            QCOMPARE(r.rc, int(cli::Ok));
            QVERIFY(QFileInfo::exists(out));
            QCOMPARE(r.err.count("kestrum-cli: site database: "), 1);
            QCOMPARE(r.err.count('\n'), 1);
            if (db == newer) QVERIFY(r.err.contains("newer"));
            QCOMPARE(run({"sites", "--database", db}, nullptr).rc, int(cli::DatabaseUnusable));
            QCOMPARE(run({"diff", out, "@1", "--database", db}, nullptr).rc, int(cli::DatabaseUnusable));
        }
        QCOMPARE(fileBytes(newer), before);
        QVERIFY(!QFileInfo::exists(dir_.filePath("newer.sqlite.bak")));
    }
};

QTEST_MAIN(CliTest)
#include "test_cli.moc"
