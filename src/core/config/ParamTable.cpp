#include "core/config/ParamTable.h"

const std::vector<EventDef>& eventTable() {
    static const std::vector<EventDef> t = {
        {"Z1A", "1", "1", 1, "1130", "ALARM1", true},
        {"Z1R", "2", "2", 2, "3130", "", true},
        {"Z2A", "3", "3", 3, "1130", "ALARM2", true},
        {"Z2R", "4", "4", 4, "3130", "", true},
        {"TMPLA", "5", "5", 5, "1159", "TEMPERATURE ALARM (LOW)", true},
        {"TMPLR", "6", "6", 6, "3159", "", true},
        {"TMPHA", "7", "7", 7, "1158", "TEMPERATURE ALARM (HIGH)", true},
        {"TMPHR", "8", "8", 8, "3158", "", true},
        {"BATTA", "9", "9", 11, "1302", "LOW VOLTAGE", true},
        {"BATTR", "10", "10", 12, "3302", "BATTERY OK.", true},
        {"TEST", "11", "11", 13, "1602", "TEST REPORT", false},
        {"TMPSA", "TEMPS", "_TEMP_S", 9, "3158", "", true},
        {"TMPSR", "TEMPR", "_TEMP_R", 10, "3158", "", true},
    };
    return t;
}

static bool sensorEvent(const EventDef& e) { return e.stem.startsWith("TEMP"); }

QByteArray eventCallBox(const EventDef& e, int target) {
    const QByteArray t = "T" + QByteArray::number(target);
    return sensorEvent(e) ? "cbEvent" + e.stem + "_" + t : "cbEvent" + e.stem + t;
}

QByteArray eventSmsBox(const EventDef& e, int target) {
    const QByteArray s = "S" + QByteArray::number(target);
    return sensorEvent(e) ? "cbEvent" + e.stem + "_" + s : "cbEvent" + e.stem + s;
}

QByteArray eventCidBox(const EventDef& e) {
    return sensorEvent(e) ? "cbEvent" + e.stem + "_C1" : "cbEvent" + e.stem + "IsCID";
}

QByteArray eventCodeEdit(const EventDef& e) { return "edCID" + e.editStem; }

QByteArray eventSmsEdit(const EventDef& e) {
    // edSMS1 ... edSMS11, edSMSTEMP_S, edSMSTEMP_R
    return sensorEvent(e) ? "edSMS" + e.editStem.mid(1) : "edSMS" + e.editStem;
}

static std::vector<ParamDef> buildSettings() {
    std::vector<ParamDef> p;
    auto add = [&](const QByteArray& key, const QByteArray& control, ParamKind kind, const QByteArray& value,
                   bool hidden = false) {
        p.push_back({key, control, kind, hidden, value});
    };
    using K = ParamKind;
    for (int i = 1; i <= 4; ++i)
        add("CALL:USER" + QByteArray::number(i) + ".PN", "EditPhoneNumber" + QByteArray::number(i), K::Edit, "");
    for (int i = 1; i <= 4; ++i)
        add("CALL:USER" + QByteArray::number(i) + ".NMOD", "cmbACK" + QByteArray::number(i), K::Combo, "0");
    add("CALL:FWNRS.MODE", "cbSMSfw", K::Check, "1");
    add("CALL:SUNR1.PN", "EditPhoneNumberSu", K::Edit, "");

    const auto& ev = eventTable();
    for (const auto& e : ev) add("EVH:" + e.code + ".CEID", eventCodeEdit(e), K::Edit, e.defaultCode);
    for (int t = 1; t <= 4; ++t)
        for (const auto& e : ev)
            if (e.hasCalls) add("EVH:" + e.code + ".T" + QByteArray::number(t), eventCallBox(e, t), K::Check, "0");
    for (int s = 1; s <= 4; ++s)
        for (const auto& e : ev) add("EVH:" + e.code + ".S" + QByteArray::number(s), eventSmsBox(e, s), K::Check, "0");
    for (const auto& e : ev) add("EVH:" + e.code + ".C1", eventCidBox(e), K::Check, "1");
    for (const auto& e : ev) add("SMS:" + e.code + ".SMS", eventSmsEdit(e), K::Edit, e.defaultSms);

    add("BATT:RANG.LOW", "edBattLow", K::Spin, "11500");
    add("BATT:RANG.RES", "edBattHigh", K::Spin, "12200");
    add("EVH:PROPS.MAXTIM", "seAlarmMax", K::Spin, "10");
    add("EVH:PROPS.TESTFREQ", "seTestFreq", K::Spin, "7");
    add("DIN:CALA.SEC", "seCarAlarmSec", K::Spin, "5");
    add("DIN:Z1.SEN", "seIn1Sensitivity", K::Spin, "100");
    add("DIN:Z2.SEN", "seIn2Sensitivity", K::Spin, "100");
    add("DIN:Z1.POL", "_edIN1", K::Edit, "NO", true);
    add("DIN:Z2.POL", "_edIN2", K::Edit, "NO", true);
    add("TEMP:PROPS.EN", "cbTempSens", K::Check, "0");
    add("CALL:REMNR1.PN", "edTCentrPhone1", K::Edit, "");
    add("UID:CIDUID.CID", "edTUserID", K::Edit, "0000");
    add("TEMP:RANG.LOW", "tbMinTemp", K::Track, "0");
    add("TEMP:RANG.HIGH", "tbMaxTemp", K::Track, "40");

    for (int r = 1; r <= 2; ++r) {
        const QByteArray k = "REL" + QByteArray::number(r) + ":";
        const QByteArray c = "Relay" + QByteArray::number(r);
        add(k + "PROPS.TEN", "_cb" + c + "Timed", K::Check, "1", true);
        add(k + "PROPS.TIM", "se" + c + "Timed", K::Spin, "3");
        add(k + "PROPS.MO", "_ed" + c + "Control", K::Edit, "1", true);
        add(k + "ONM1.Z1A", "cb" + c + "Z1Alarm", K::Check, "0");
        add(k + "OFM1.Z1R", "cb" + c + "Z1Restore", K::Check, "0");
        add(k + "ONM1.Z2A", "cb" + c + "Z2Alarm", K::Check, "0");
        add(k + "OFM1.Z2R", "cb" + c + "Z2Restore", K::Check, "0");
        for (int t = 1; t <= 4; ++t) {
            const QByteArray n = QByteArray::number(t);
            add(k + "ONM2.T" + n, "cb" + c + "T" + n + "Start", K::Check, "0");
            add(k + "OFM2.T" + n, "cb" + c + "T" + n + "Stop", K::Check, "0");
        }
        add(k + "ONM2.TN", "cb" + c + "UnknownStart", K::Check, "0");
        add(k + "OFM2.TN", "cb" + c + "UnknownStop", K::Check, "0");
        add(k + "PROPS.SRP", "rb" + c + "SendAnswerSMS", K::Check, "0");
        add(k + "TMPL.VAL", "tb" + c + "MinTemp", K::Track, "0");
        add(k + "TMPH.VAL", "tb" + c + "MaxTemp", K::Track, "40");
        add(k + "ONM3.MTE", "_ed" + c + "TempInOut", K::Edit, "0", true);
    }
    return p;
}

const std::vector<ParamDef>& settingsParams() {
    static const std::vector<ParamDef> p = buildSettings();
    return p;
}

const std::vector<StatusDef>& modemStatusQueries() {
    static const std::vector<StatusDef> q = {
        {"GSMState:RFP", "lbGsmSignalValue"},
        {"GSMState:RFPE", "lbGsmLowestSignalValue"},
        {"GSMState:UTM", "lbGsmUptimeValue"},
        {"Version:FW_Version", "lbViFwVerValue"},
        {"IO:VBAT", "lbSupplyVoltageValue"},
        {"SysState:VBATE", "lbMinVoltageValue"},
        {"IO:DIN1", "_edInputsIN1Value"},
        {"IO:DIN2", "_edInputsIN2Value"},
        {"IO:REL1", "_edRelay1Value"},
        {"IO:REL2", "_edRelay2Value"},
        {"SysState:TempMain", "_edActTempSensorValue"},
    };
    return q;
}

const char* statusUnit(const QByteArray& valueLabel) {
    static const struct {
        const char* label;
        const char* unit;
    } units[] = {
        {"lbSupplyVoltageValue", "mV"},
        {"lbMinVoltageValue", "mV"},
        {"lbActTempSensorValue", "\u00B0C"},
        {"lbActTempModuleValue", "\u00B0C"},
    };
    for (const auto& u : units)
        if (valueLabel == u.label) return u.unit;
    return "";
}

const char* statusWord(const QByteArray& valueLabel, const QByteArray& value) {
    if (value.isEmpty()) return nullptr;
    if (valueLabel == "lbInputsIN1Value" || valueLabel == "lbInputsIN2Value")
        return value == "1" ? "txtInactive" : "txtActive";
    if (valueLabel == "lbRelay1Value" || valueLabel == "lbRelay2Value") return value == "1" ? "txtOn" : "txtOff";
    return nullptr;
}

const std::vector<StatusDef>& statusParams() {
    static const std::vector<StatusDef> s = {
        {"TPv", "lbViTypeValue"},         {"HWv", "lbViHwVerValue"},        {"FWv", "lbViFwVerValue"},
        {"SUTM", "lbStUptimeValue"},      {"RFP", "_edGsmSignalValue"},     {"RFE", "lbGsmLowestSignalValue"},
        {"GUTM", "lbGsmUptimeValue"},     {"VSU", "_edSupplyVoltageValue"}, {"VSE", "_edMinVoltageValue"},
        {"TPS", "_edActTempSensorValue"}, {"TPM", "_edActTempModuleValue"}, {"IN1V", "_edInputsIN1Value"},
        {"IN2V", "_edInputsIN2Value"},    {"RE1", "_edRelay1Value"},        {"RE2", "_edRelay2Value"},
    };
    return s;
}
