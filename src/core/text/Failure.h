#pragma once
// Why something failed, as one value throughout the program: a kind the code
// can act on, and the system's own words for the user ("Permission denied",
// hidapi's hid_error). Made by the HID layer, the serial port, the modem and
// the session; shown as text, naming what it concerns.
#include <QString>

#include <utility>

struct Failure {
    enum class Kind {
        None,       // nothing failed
        NotFound,   // no such device, port or file
        NoAccess,   // the system refused (permissions)
        Busy,       // held by another program
        Gone,       // it was there and went away (unplugged, hung up)
        Io,         // a read or write failed otherwise
        Refused,    // the other side said no (a refused password or setting)
        TimedOut,   // no answer in time
    };

    Kind kind = Kind::None;
    QString text;   // the system's words; empty when it gave none

    Failure() = default;
    Failure(Kind k, QString t) : kind(k), text(std::move(t)) {}
    explicit operator bool() const { return kind != Kind::None; }
    bool operator==(const Failure& o) const { return kind == o.kind && text == o.text; }

    // An errno value as its kind, with strerror's words.
    static Failure fromErrno(int error);
};
