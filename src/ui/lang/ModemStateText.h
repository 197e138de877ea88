#pragma once
// A modem call's state in words, as the Modem page and the command-line tool
// tell it.
#include "core/modem/TModem.h"
#include "ui/lang/Messages.h"

#include <QString>

#include <functional>

namespace lang {

// Empty when the modem is idle.
QString modemStateText(const TModem& modem, const std::function<QString(Msg)>& message);

}   // namespace lang
