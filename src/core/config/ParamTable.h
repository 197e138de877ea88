#pragma once
// The device's settings vocabulary, written once: every parameter key with the
// control that edits it, in the order Read, Write, Open and Save walk them, and
// the status keys the device pushes. The window's binding lists, the simulated
// module and the command-line tool are all built from these tables.
#include <QByteArray>

#include <vector>

enum class ParamKind { Edit, Spin, Check, Combo, Track };

struct ParamDef {
    QByteArray key;       // as sent on the wire, e.g. "CALL:USER1.PN"
    QByteArray control;   // objectName of the bound control
    ParamKind kind;
    bool hidden;              // a never-visible control carrying a code
    QByteArray designValue;   // what the control shows before anything is loaded
};

struct StatusDef {
    QByteArray key;       // e.g. "RFP"
    QByteArray control;   // a value label, or a hidden edit
};

// One of the thirteen notification events, in binding order.
struct EventDef {
    QByteArray code;       // "Z1A"
    QByteArray stem;       // control stem: "1" ... "11", "TEMPS", "TEMPR"
    QByteArray editStem;   // stem of the code and SMS edits: "1" ... "11", "_TEMP_S", "_TEMP_R"
    int listedAs;          // display number on the page
    QByteArray defaultCode;
    QByteArray defaultSms;
    bool hasCalls;   // TEST has no call targets
};

const std::vector<EventDef>& eventTable();
const std::vector<ParamDef>& settingsParams();   // 205 entries
const std::vector<StatusDef>& statusParams();    // 15 entries
// What the Status page asks for, one query at a time, over a data call (there
// are no pushed pairs there), and the control each answer goes to.
const std::vector<StatusDef>& modemStatusQueries();   // 11 entries
// The unit the Status page writes after the value in this label ("mV", "°C",
// UTF-8), e.g. for "lbSupplyVoltageValue"; empty for a value without one.
const char* statusUnit(const QByteArray& valueLabel);
// The word a two-state value is shown as, by its translation key ("txtOn"),
// given the value's label on the Status page and the value as sent; null
// when the value is shown as sent. Inputs: "1" is idle; relays: "1" is on.
const char* statusWord(const QByteArray& valueLabel, const QByteArray& value);

// The call audio levels: not settings of the binding list, but set and read
// on their own (the volume tool, kestrum-cli volumes).
constexpr const char* kMicVolumeKey = "VCALL:GMIC.VOL0";
constexpr const char* kSpeakerVolumeKey = "VCALL:GSPK.VOL0";

// Control names of one event's controls.
QByteArray eventCallBox(const EventDef& e, int target);   // T1..T4
QByteArray eventSmsBox(const EventDef& e, int target);    // S1..S4
QByteArray eventCidBox(const EventDef& e);
QByteArray eventCodeEdit(const EventDef& e);
QByteArray eventSmsEdit(const EventDef& e);
