#include "ui/lang/ModemStateText.h"

#include "core/text/Codec.h"

#include <QDir>

namespace lang {

QString modemStateText(const TModem& m, const std::function<QString(Msg)>& message) {
    const QString speed = QString::fromLatin1(m.speed());
    switch (m.callState()) {
        case TModem::State::Idle:
            return {};
        case TModem::State::PortFailed: {
            if (m.PortRefusal() == Tserial::Refusal::Locked)
                return message(Msg::ModemPortLocked).arg(QDir::toNativeSeparators(m.PortRefusingLock()));
            if (m.PortRefusal() == Tserial::Refusal::LeftExclusive) return message(Msg::ModemPortLeftExclusive);
            const QString why = m.PortReason();   // the system's words, in its own language
            return why.isEmpty() ? message(Msg::ModemPortFailed) : message(Msg::ModemPortFailed) + ": " + why;
        }
        case TModem::State::NoModem:
            return message(Msg::ModemNoModem);
        case TModem::State::NoSim:
            return message(Msg::ModemNoSim);
        case TModem::State::Dialling:
            return message(Msg::ModemDialling).arg(text::fromCp1250(m.phoneNumber()));
        case TModem::State::Connected:
            return message(Msg::ModemConnected).arg(speed);
        case TModem::State::WrongSpeed:
            return message(Msg::ModemWrongSpeed).arg(speed);
        case TModem::State::Busy:
            return message(Msg::ModemBusy);
        case TModem::State::NoCarrier:
            return message(Msg::ModemNoCarrier);
        case TModem::State::NoAnswer:
            return message(Msg::ModemNoAnswer);
        case TModem::State::NoDialTone:
            return message(Msg::ModemNoDialTone);
        case TModem::State::Cancelled:
            return message(Msg::ModemCancelled);
        case TModem::State::HungUp:
            return message(Msg::ModemHungUp);
    }
    return {};
}

}   // namespace lang
