#include "lang/Messages.h"

namespace lang {
namespace {

struct MessageRow {
    Msg id;
    const char* english;
    const char* hungarian;
    const char* romanian;
};

// UTF-8 source text; one row per message, in the order of Msg.
const MessageRow kRows[] = {
    {Msg::NotSettingsFile, "'%1' is not a settings file", "'%1' nem beállításfájl",
     "'%1' nu este un fișier de setări"},
    {Msg::NoAnswerFor, "The module did not answer for %1", "A modul nem válaszolt: %1",
     "Modulul nu a răspuns pentru %1"},
    {Msg::RefusedSetting, "The module refused %1", "A modul elutasította: %1", "Modulul a refuzat %1"},
    {Msg::DisconnectedAfter, "The module was disconnected after %1 of %2 settings",
     "A modul kapcsolata megszakadt %1 / %2 beállítás után",
     "Modulul a fost deconectat după %1 din %2 setări"},
    {Msg::Disconnected, "The module was disconnected", "A modul kapcsolata megszakadt",
     "Modulul a fost deconectat"},
    {Msg::CannotSend, "The value of %1 holds a character that cannot be sent to the module",
     "%1 értéke olyan karaktert tartalmaz, amely nem küldhető el a modulnak",
     "Valoarea %1 conține un caracter care nu poate fi trimis modulului"},
    {Msg::SettingsRead, "%1 settings read", "%1 beállítás beolvasva", "%1 setări citite"},
    {Msg::SettingsWritten, "%1 settings written", "%1 beállítás kiírva", "%1 setări scrise"},
};
static_assert(sizeof kRows / sizeof kRows[0] == size_t(Msg::Count), "one row per message");

}  // namespace

QString message(Language language, Msg m) {
    const MessageRow& r = kRows[int(m)];
    switch (language) {
    case Language::Hungarian: return QString::fromUtf8(r.hungarian);
    case Language::Romanian: return QString::fromUtf8(r.romanian);
    case Language::English: break;
    }
    return QString::fromUtf8(r.english);
}

}  // namespace lang
