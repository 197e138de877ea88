#include "sim/SimModule.h"

#include "core/config/ParamTable.h"

namespace {

constexpr char kLevel0[] = ":L0 >";
constexpr char kLevel2[] = ":L2 >";

// Values the device reports beyond its settings.
const std::vector<std::pair<QByteArray, QByteArray>>& extraParams() {
    static const std::vector<std::pair<QByteArray, QByteArray>> p = {
        {"VCALL:GMIC.VOL0", "4"},
        {"VCALL:GSPK.VOL0", "55"},
        {"EVM:New", "0"},
        {"Slots:Mainlog", "0"},
        {"GSMState:RFP", "21"},
        {"GSMState:RFPE", "14"},
        {"GSMState:UTM", "0d 02:11:05"},
        {"Version:FW_Version", "2.14"},
        {"IO:VBAT", "12650"},
        {"SysState:VBATE", "12210"},
        {"IO:DIN1", "1"},
        {"IO:DIN2", "1"},
        {"IO:REL1", "0"},
        {"IO:REL2", "0"},
        {"SysState:TempMain", "23"},
    };
    return p;
}

}   // namespace

SimModule::SimModule() {
    for (const auto& [k, v] : factoryParams()) params_[k] = v;
    status_ = {{"TPv", "GSM-2R"},       {"HWv", "B"},     {"FWv", "2.14"},
               {"SUTM", "0d 02:13:40"}, {"RFP", "21"},    {"RFE", "14"},
               {"GUTM", "0d 02:11:05"}, {"VSU", "12650"}, {"VSE", "12210"},
               {"TPS", "23"},           {"TPM", "31"},    {"IN1V", "1"},
               {"IN2V", "1"},           {"RE1", "0"},     {"RE2", "0"}};
}

const std::vector<std::pair<QByteArray, QByteArray>>& SimModule::factoryParams() {
    static const std::vector<std::pair<QByteArray, QByteArray>> all = [] {
        std::vector<std::pair<QByteArray, QByteArray>> v;
        for (const auto& p : settingsParams()) v.emplace_back(p.key, p.designValue);
        for (const auto& p : extraParams()) v.push_back(p);
        return v;
    }();
    return all;
}

void SimModule::setOutput(Output out) {
    std::lock_guard<std::recursive_mutex> g(mutex_);
    output_ = std::move(out);
}

void SimModule::out(int channel, const QByteArray& text) {
    Output o;
    {
        std::lock_guard<std::recursive_mutex> g(mutex_);
        o = output_;
    }
    if (o) o(channel, text);
}

QByteArray SimModule::prompt() const { return loggedIn_ ? kLevel2 : kLevel0; }

void SimModule::input(int channel, const QByteArray& bytes) {
    if (channel == Status) {
        QByteArray req;
        {
            std::lock_guard<std::recursive_mutex> g(mutex_);
            statusInput_ += bytes;
            if (!statusInput_.contains('R')) return;
            statusInput_.clear();
        }
        out(Status, statusPairs());
        return;
    }
    if (channel != Commands) return;
    QList<QByteArray> lines;
    {
        std::lock_guard<std::recursive_mutex> g(mutex_);
        lineBuffer_ += bytes;
        int nl;
        while ((nl = lineBuffer_.indexOf('\n')) >= 0) {
            QByteArray line = lineBuffer_.left(nl);
            lineBuffer_.remove(0, nl + 1);
            if (line.endsWith('\r')) line.chop(1);
            if (!line.trimmed().isEmpty()) lines.append(line);
        }
        // A device keeps a bounded line buffer; runaway input without line ends is dropped.
        if (lineBuffer_.size() > 4096) lineBuffer_.clear();
    }
    for (const QByteArray& l : lines) handleLine(l);
}

void SimModule::handleLine(const QByteArray& line) {
    QByteArray answer;
    bool detach = false;
    {
        std::lock_guard<std::recursive_mutex> g(mutex_);
        commands_.append(line);
        ++commandCount_;
        detach = knobs_.detachAfterCommands >= 0 && commandCount_ >= knobs_.detachAfterCommands;
        if (knobs_.silent || (knobs_.silentAfterCommands >= 0 && commandCount_ > knobs_.silentAfterCommands)) {
            // no answer at all
        } else if (line.startsWith("set REM:UPW P,")) {
            loggedIn_ = line.mid(14) == password_;
            answer = "\r\n" + prompt();
        } else if (line.startsWith("set REM:UPW C,")) {
            const QList<QByteArray> parts = line.mid(14).split(',');
            if (parts.size() == 2 && parts[0] == password_) {
                password_ = parts[1];
                loggedIn_ = true;
            } else {
                loggedIn_ = false;
            }
            answer = "\r\n" + prompt();
        } else if (!loggedIn_ || knobs_.refusing) {
            answer = "\r\n" + QByteArray(kLevel0);
        } else if (line.startsWith("sc \"") && line.endsWith("#\"")) {
            const QByteArray body = line.mid(4, line.size() - 6);
            const int eq = body.indexOf('=');
            const QByteArray key = body.left(eq);
            if (eq <= 0 || !params_.contains(key)) {
                answer = "\r\nERR\r\n" + QByteArray(kLevel0);
            } else {
                // A module that ignores a set still confirms it with the value sent.
                if (key != knobs_.ignoresSetOf) params_[key] = body.mid(eq + 1);
                answer = key + "=" + body.mid(eq + 1) + "\r\n->PASS\r\n" + kLevel2;
            }
        } else if (line.startsWith("sc ") && line.endsWith("?#")) {
            const QByteArray key = line.mid(3, line.size() - 5);
            if (!params_.contains(key))
                answer = "\r\nERR\r\n" + QByteArray(kLevel0);
            else
                answer = key + "=" + params_[key] + "\r\n->PASS\r\n" + kLevel2;
        } else {
            answer = "\r\nERR\r\n" + prompt();
        }
    }
    // The command that reaches the limit is taken but never answered: the
    // device is gone before its answer could leave.
    if (detach) {
        if (onDetachRequested) onDetachRequested();
        return;
    }
    if (!answer.isEmpty()) out(Commands, answer);
}

QByteArray SimModule::param(const QByteArray& key) const {
    std::lock_guard<std::recursive_mutex> g(mutex_);
    return params_.value(key);
}

bool SimModule::hasParam(const QByteArray& key) const {
    std::lock_guard<std::recursive_mutex> g(mutex_);
    return params_.contains(key);
}

void SimModule::setParam(const QByteArray& key, const QByteArray& value) {
    std::lock_guard<std::recursive_mutex> g(mutex_);
    params_[key] = value;
}

void SimModule::setStatus(const QByteArray& key, const QByteArray& value) {
    std::lock_guard<std::recursive_mutex> g(mutex_);
    for (auto& p : status_)
        if (p.first == key) {
            p.second = value;
            return;
        }
    status_.append({key, value});
}

QByteArray SimModule::status(const QByteArray& key) const {
    std::lock_guard<std::recursive_mutex> g(mutex_);
    for (const auto& p : status_)
        if (p.first == key) return p.second;
    return {};
}

QByteArray SimModule::statusPairs() const {
    std::lock_guard<std::recursive_mutex> g(mutex_);
    QByteArray s;
    for (const auto& p : status_) s += "{" + p.first + "=" + p.second + "}";
    return s;
}

bool SimModule::mainlogOn() const { return param("Slots:Mainlog") == "1"; }

void SimModule::emitLogLine(const QByteArray& line) { out(Log, line + "\r"); }

QByteArray SimModule::password() const {
    std::lock_guard<std::recursive_mutex> g(mutex_);
    return password_;
}

void SimModule::setPassword(const QByteArray& pw) {
    std::lock_guard<std::recursive_mutex> g(mutex_);
    password_ = pw;
}

bool SimModule::loggedIn() const {
    std::lock_guard<std::recursive_mutex> g(mutex_);
    return loggedIn_;
}

void SimModule::resetSession() {
    std::lock_guard<std::recursive_mutex> g(mutex_);
    loggedIn_ = false;
    lineBuffer_.clear();
    statusInput_.clear();
    commandCount_ = 0;
}

SimModule::Knobs SimModule::knobs() const {
    std::lock_guard<std::recursive_mutex> g(mutex_);
    return knobs_;
}

void SimModule::setKnobs(const Knobs& k) {
    std::lock_guard<std::recursive_mutex> g(mutex_);
    knobs_ = k;
}

QList<QByteArray> SimModule::commands() const {
    std::lock_guard<std::recursive_mutex> g(mutex_);
    return commands_;
}

void SimModule::clearCommands() {
    std::lock_guard<std::recursive_mutex> g(mutex_);
    commands_.clear();
}
