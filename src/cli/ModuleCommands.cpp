#include "cli/Internal.h"
#include "cli/Tool.h"

#include "core/config/ParamTable.h"
#include "core/link/HID.h"
#include "core/modem/TModem.h"
#include "core/modem/Tserial.h"
#include "core/protocol/StatusParser.h"
#include "core/text/Codec.h"
#include "core/text/Timing.h"
#include "ui/lang/LangTables.h"
#include "ui/lang/ModemStateText.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QTimer>

namespace cli {

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

bool Tool::waitFor(const std::function<bool()>& cond, int ms) const {
    if (cond()) return true;
    if (interrupted_) return false;
    // Asleep in the event loop until something happens: the link changes,
    // text arrives, the signal's byte, the timer. Whatever it was has been
    // handled by the time the loop is about to sleep again, and the
    // condition is looked at then.
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    // The condition may hold inside a handler's own loop (the login that
    // follows the module's arrival) and no longer when that handler returns
    // (the module went during the login): it held, and the caller goes on to
    // hear how the handler ended.
    bool held = false;
    QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, &loop, [&] {
        if (interrupted_) {
            loop.quit();
        } else if (cond()) {
            held = true;
            loop.quit();
        }
    });
    timer.start(ms);
    loop.exec();
    return held || cond();
}

int Tool::connect() {
    Session& s = session_->login();
    // A refused password is not asked for again: there is nobody to ask. A
    // module that left one login's attempts unanswered is given up there,
    // not after every repeat of the login.
    s.askPassword = [this, &s] {
        if (s.lastLoginResult() == Outcome::NoAnswer) session_->Abort();
    };
    // The user hears of the wait once the first attempt has gone unanswered
    // since the link came up (the module found, or the call up: the login
    // follows at once). The login runs inside the waits below, where this
    // timer still fires.
    const int attemptMs = timing::loginPolls * timing::loginPollMs;
    const int loginsBefore = s.loginRuns();
    bool told = false;
    const auto loginAwaited = [&] {
        const TModem* m = session_->Modem();
        const bool linkUp = session_->LinkUp() || (m && m->callState() == TModem::State::Connected);
        return !told && s.loginRuns() == loginsBefore && linkUp;
    };
    QTimer loginWatch;
    loginWatch.setSingleShot(true);
    QObject::connect(&loginWatch, &QTimer::timeout, [&] {
        if (!loginAwaited()) return;
        told = true;
        say("the module does not answer the login yet; waiting up to %s s more",
            QByteArray::number(((timing::loginAttempts - 1) * attemptMs + 999) / 1000));
    });
    // Set going as the link comes up, stopped as it goes.
    const auto linkMayHaveChanged = [&] {
        if (!loginAwaited())
            loginWatch.stop();
        else if (!loginWatch.isActive())
            loginWatch.start(attemptMs);
    };
    QObject::connect(session_.get(), &DeviceSession::linkChanged, &loginWatch, linkMayHaveChanged);
    QObject::connect(session_.get(), &DeviceSession::callChanged, &loginWatch, linkMayHaveChanged);
    linkMayHaveChanged();
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
        s.setCurrentPassword(password());
        session_->connectModem(port, text::toCp1250(p_.value("phone").trimmed()));
        QObject::disconnect(c);
        if (interrupted_) return exchangeFailure({}, Outcome::NoAnswer);
        if (s.loginRuns() == loginsBefore) {   // the call never came up
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
        // Found, logged in to and gone again between two looks: the login says how it ended.
        if (s.loginRuns() > loginsBefore) return loginOutcome();
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
    waitFor([&] { return s.loginRuns() > 0; }, 600000);
    return loginOutcome();
}

int Tool::loginOutcome() {
    const Session& s = session_->login();
    if (s.lastLoginOk()) return Ok;
    if (interrupted_) return exchangeFailure({}, Outcome::NoAnswer);
    if (s.lastLoginResult() == Outcome::LinkLost) {
        say("the module was disconnected during the login%s", linkReason());
        return NoModule;
    }
    if (s.lastLoginResult() == Outcome::NoAnswer) {
        say("no answer from the module to the login");
        return NoAnswer;
    }
    say("the module refused the password");
    return LoginRefused;
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

int Tool::collectStatus(QList<QPair<QByteArray, QByteArray>>& pairs, bool quiet) {
    if (overModem_) {
        // Over a data call the values are asked for one by one.
        for (const StatusDef& q : modemStatusQueries()) {
            const QByteArray& key = q.key;
            const Exchange::Answer answer = exchange().Query(key);
            if (answer.outcome != Outcome::Accepted)
                return quiet ? int(NoAnswer) : exchangeFailure(key, answer.outcome);
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
            if (quiet) return NoAnswer;
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
    ::Failure why;   // the type, not the exit code of that name
    if (ListModules(*backend(), modules, &why)) return true;
    const QByteArray reason = why.text.toLocal8Bit();
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

}   // namespace cli
