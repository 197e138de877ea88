#include "ui/lang/Messages.h"

namespace lang {
namespace {

struct MessageRow {
    Msg id;
    const char* english;
    const char* hungarian;
    const char* romanian;
};

// UTF-8 source text; one row per message, in the order of Msg.
constexpr MessageRow kRows[] = {
    {Msg::NotSettingsFile, "'%1' is not a settings file", "'%1' nem beállításfájl", "'%1' nu este un fisier de setari"},
    {Msg::NoAnswerFor, "The module did not answer for %1", "A modul nem válaszolt: %1",
     "Modulul nu a raspuns pentru %1"},
    {Msg::RefusedSetting, "The module refused %1", "A modul elutasította: %1", "Modulul a refuzat %1"},
    {Msg::DisconnectedAfter, "The module was disconnected after %1 of %2 settings",
     "A modul kapcsolata megszakadt %1 / %2 beállítás után", "Modulul a fost deconectat dupa %1 din %2 setari"},
    {Msg::Disconnected, "The module was disconnected", "A modul kapcsolata megszakadt", "Modulul a fost deconectat"},
    {Msg::CannotSend, "The value of %1 holds a character that cannot be sent to the module",
     "%1 értéke olyan karaktert tartalmaz, amely nem küldhető el a modulnak",
     "Valoarea %1 contine un caracter care nu poate fi trimis modulului"},
    {Msg::SettingsRead, "%1 settings read", "%1 beállítás beolvasva", "%1 setari citite"},
    {Msg::SettingsWritten, "%1 settings written", "%1 beállítás kiírva", "%1 setari scrise"},
    {Msg::ModemPortFailed, "The serial port cannot be opened (missing, or in use by another program)",
     "A soros port nem nyitható meg (nincs meg, vagy másik program használja)",
     "Portul serial nu poate fi deschis (lipseste sau il foloseste alt program)"},
    {Msg::ModemPortLocked, "The serial port is locked by another program (lock file %1)",
     "A soros portot másik program zárolja (zárfájl: %1)",
     "Portul serial este blocat de alt program (fisier de blocare %1)"},
    {Msg::ModemPortLeftExclusive,
     "The serial port was left exclusive by a program that ended: no program holds it, but only the administrator "
     "may open it now",
     "A soros portot egy már leállt program kizárólagos módban hagyta: egy program sem használja, de most csak a "
     "rendszergazda nyithatja meg",
     "Portul serial a fost lasat exclusiv de un program care s-a incheiat: niciun program nu il foloseste, dar acum "
     "doar administratorul il poate deschide"},
    {Msg::ModemNoModem, "No answer from the modem", "A modem nem válaszol", "Modemul nu raspunde"},
    {Msg::ModemNoSim, "No SIM card, or the SIM asks for its PIN", "Nincs SIM-kártya, vagy a SIM PIN-kódot kér",
     "Nu exista cartela SIM sau cartela cere PIN-ul"},
    {Msg::ModemDialling, "Dialling %1…", "Tárcsázás: %1…", "Se formeaza %1…"},
    {Msg::ModemConnected, "Connected at %1 bit/s", "Kapcsolódva, %1 bit/s", "Conectat la %1 bit/s"},
    {Msg::ModemWrongSpeed, "Connected at %1 bit/s, but the module needs 9600: hung up",
     "Kapcsolódva %1 bit/s sebességgel, de a modulnak 9600 kell: bontva",
     "Conectat la %1 bit/s, dar modulul are nevoie de 9600: apel incheiat"},
    {Msg::ModemBusy, "Busy", "Foglalt", "Ocupat"},
    {Msg::ModemNoCarrier, "No carrier", "Nincs vivő", "Fara purtatoare"},
    {Msg::ModemNoAnswer, "The module's number does not answer", "A modul száma nem válaszol",
     "Numarul modulului nu raspunde"},
    {Msg::ModemNoDialTone, "No dial tone (no network?)", "Nincs tárcsahang (nincs hálózat?)",
     "Fara ton de apel (fara retea?)"},
    {Msg::ModemCancelled, "Dialling cancelled: hung up", "Tárcsázás megszakítva: bontva", "Apel anulat"},
    {Msg::ModemHungUp, "Hung up", "Bontva", "Apel incheiat"},
    {Msg::EmptyPhoneNumber, "Type the module's phone number first", "Előbb adja meg a modul telefonszámát",
     "Introduceti mai intai numarul de telefon al modulului"},
    {Msg::CancelButton, "Cancel", "Mégse", "Anulare"},
    {Msg::StandingNoModule, "No module – plug it in", "Nincs modul – csatlakoztassa", "Niciun modul – conectati-l"},
    {Msg::StandingNotAccessible, "Module found but not accessible – see README, Access to the USB module",
     "A modul megvan, de nem érhető el – lásd README, Access to the USB module",
     "Modul gasit, dar inaccesibil – vezi README, Access to the USB module"},
    {Msg::StandingConnected, "Connected", "Kapcsolódva", "Conectat"},
    {Msg::StandingLoggedIn, "Logged in", "Bejelentkezve", "Autentificat"},
    {Msg::StandingCallUp, "Call up: %1", "Hívás él: %1", "Apel activ: %1"},
    {Msg::PasswordRefused, "The module refused the password.", "A modul elutasította a jelszót.",
     "Modulul a refuzat parola."},
    {Msg::StandingPasswordRefused, "Connected – password refused", "Kapcsolódva – jelszó elutasítva",
     "Conectat – parola refuzata"},
    {Msg::LogInButton, "Log in…", "Bejelentkezés…", "Autentificare…"},
    {Msg::NotLoggedIn, "Not logged in: the module refused the password. Press Log in… and type the module's password.",
     "Nincs bejelentkezve: a modul elutasította a jelszót. Nyomja meg a Bejelentkezés… gombot, és írja be a modul "
     "jelszavát.",
     "Neautentificat: modulul a refuzat parola. Apasati Autentificare… si introduceti parola modulului."},
    {Msg::LogAllLines, "All lines", "Minden sor", "Toate liniile"},
    {Msg::LogClear, "Clear", "Törlés", "Stergere"},
    {Msg::LogCopy, "Copy", "Másolás", "Copiere"},
    {Msg::LogSave, "Save to file…", "Mentés fájlba…", "Salvare in fisier…"},
    {Msg::LogSaveFailed, "The log cannot be saved to '%1': %2", "A napló nem menthető ide: '%1': %2",
     "Jurnalul nu poate fi salvat in '%1': %2"},
    {Msg::LogTextDropped, "(%1 pieces of log and status text were lost: the window was busy)",
     "(%1 napló- és állapotszöveg-darab elveszett: az ablak foglalt volt)",
     "(%1 fragmente de text de jurnal si de stare s-au pierdut: fereastra era ocupata)"},
    {Msg::AboutTitle, "About Kestrum", "A Kestrum névjegye", "Despre Kestrum"},
    {Msg::AboutButton, "About", "Névjegy", "Despre"},
    {Msg::AboutText,
     "Kestrum %1\n\nConfigures and monitors the Brisal GSM alarm module.\n\nBuilt with Qt %2, under the GNU "
     "LGPL version 3, and hidapi, under the BSD licence (or, at your choice, the GNU GPL version 3 or the original "
     "HIDAPI licence).",
     "Kestrum %1\n\nA Brisal GSM riasztómodul beállítása és figyelése.\n\nKészült a Qt %2 (GNU LGPL 3-as "
     "verzió) és a hidapi (BSD-licenc, vagy választás szerint GNU GPL 3-as verzió vagy az eredeti HIDAPI-licenc) "
     "felhasználásával.",
     "Kestrum %1\n\nConfigureaza si monitorizeaza modulul de alarma GSM Brisal.\n\nRealizat cu Qt %2, sub "
     "licenta GNU LGPL versiunea 3, si hidapi, sub licenta BSD (sau, la alegere, GNU GPL versiunea 3 ori licenta "
     "originala HIDAPI)."},
    {Msg::AllFilesFilter, "All files", "Minden fájl", "Toate fisierele"},
    {Msg::IniFilesFilter, "ini files", "ini fájlok", "fisiere ini"},
    {Msg::DiscardButton, "Discard", "Elvetés", "Renuntare"},
    {Msg::UnsavedQuestion, "%1 settings were changed and are not saved. Save them before going on?",
     "%1 beállítás megváltozott, és nincs mentve. Menti a folytatás előtt?",
     "%1 setari au fost modificate si nu sunt salvate. Le salvati inainte de a continua?"},
    {Msg::SaveFirstButton, "Save…", "Mentés…", "Salvare…"},
    {Msg::SaveAsButton, "Save as…", "Mentés másként…", "Salvare ca…"},
    {Msg::WasValue, "was: %1", "korábban: %1", "inainte: %1"},
    {Msg::PageNotWritten, "not written to the module", "nincs a modulba írva", "nescris in modul"},
    {Msg::PageWritten, "written %1", "kiírva: %1", "scris: %1"},
    {Msg::PageRead, "read %1", "beolvasva: %1", "citit: %1"},
    {Msg::RecentFiles, "Recent", "Legutóbbi", "Recente"},
    {Msg::VerifyButton, "Verify", "Ellenőrzés", "Verificare"},
    {Msg::VerifyMatch, "%1 settings match the module", "%1 beállítás egyezik a modulban lévővel",
     "%1 setari corespund cu modulul"},
    {Msg::VerifyDiffers, "These settings differ in the module (shown -> read from the module):",
     "Ezek a beállítások eltérnek a modulban (látható -> a modulból olvasott):",
     "Aceste setari difera in modul (afisat -> citit din modul):"},
    {Msg::ReportButton, "Print / PDF…", "Nyomtatás / PDF…", "Tiparire / PDF…"},
    {Msg::ReportTitle, "Commissioning report", "Üzembe helyezési jegyzőkönyv", "Raport de punere in functiune"},
    {Msg::ReportDate, "Date", "Dátum", "Data"},
    {Msg::ReportSource, "Source", "Forrás", "Sursa"},
    {Msg::ReportReadAt, "Read from the module at %1", "A modulból beolvasva: %1", "Citite din modul la %1"},
    {Msg::ReportWrittenAt, "Written to the module at %1", "A modulba kiírva: %1", "Scrise in modul la %1"},
    {Msg::ReportFileSaved, "File %1, saved at %2", "%1 fájl, mentve: %2", "Fisierul %1, salvat la %2"},
    {Msg::ReportUnsaved, "Shown in the window, not saved", "Az ablakban látható, nincs mentve",
     "Afisate in fereastra, nesalvate"},
    {Msg::ReportSerial, "Serial number", "Sorozatszám", "Numar de serie"},
    {Msg::ReportInstaller, "Installer", "Telepítő", "Instalator"},
    {Msg::ReportSignature, "Signature", "Aláírás", "Semnatura"},
    {Msg::ReportSaveFailed, "Could not write the report to %1: %2", "A jegyzőkönyv nem írható ide: %1: %2",
     "Raportul nu poate fi scris in %1: %2"},
    {Msg::Yes, "Yes", "Igen", "Da"},
    {Msg::No, "No", "Nem", "Nu"},
    {Msg::FileTooLarge, "'%1' is %2 bytes: a settings file has at most 1 MiB (%3 bytes)",
     "'%1' mérete %2 bájt: egy beállításfájl legfeljebb 1 MiB (%3 bájt)",
     "'%1' are %2 octeti: un fisier de setari are cel mult 1 MiB (%3 octeti)"},
    {Msg::SaveTooLarge,
     "'%1' would grow to %2 bytes: a settings file has at most 1 MiB (%3 bytes). Nothing was written.",
     "'%1' mérete %2 bájtra nőne: egy beállításfájl legfeljebb 1 MiB (%3 bájt). Semmi sem lett kiírva.",
     "'%1' ar ajunge la %2 octeti: un fisier de setari are cel mult 1 MiB (%3 octeti). Nu s-a scris nimic."},
    {Msg::NotRegularFile, "'%1' is not a regular file (a FIFO or a device): it is neither read nor written",
     "'%1' nem közönséges fájl (FIFO vagy eszköz): a program nem olvassa és nem írja",
     "'%1' nu este un fisier obisnuit (FIFO sau dispozitiv): nu este nici citit, nici scris"},
    {Msg::EncodingQuestion,
     "'%1' has no byte-order mark, but the text of these settings reads as UTF-8: %2.\n\nWhich encoding does the "
     "file use?",
     "'%1' nem kezdődik bájtsorrend-jellel (BOM), de ezeknek a beállításoknak a szövege UTF-8-ként olvasható: "
     "%2.\n\nMilyen kódolású a fájl?",
     "'%1' nu are marcaj de ordine a octetilor (BOM), dar textul acestor setari se citeste ca UTF-8: %2.\n\nCe "
     "codificare foloseste fisierul?"},
    {Msg::PlotWindow, "last 10 min", "utolsó 10 perc", "ultimele 10 min"},
    {Msg::PlotLastUpdate, "last update %1", "utolsó frissítés: %1", "ultima actualizare: %1"},
    {Msg::PlotMax, "max %1", "max. %1", "max. %1"},
    {Msg::PlotMin, "min %1", "min. %1", "min. %1"},
    {Msg::ReadStopped, "Read stopped after %1 of %2 settings: the other %3 are the values shown before",
     "Az olvasás leállítva %1 / %2 beállítás után: a többi %3 a korábban látható érték",
     "Citirea oprita dupa %1 din %2 setari: celelalte %3 sunt valorile afisate inainte"},
    {Msg::WriteStopped, "Write stopped after %1 of %2 settings: the other %3 were not sent to the module",
     "Az írás leállítva %1 / %2 beállítás után: a többi %3 nem lett elküldve a modulnak",
     "Scrierea oprita dupa %1 din %2 setari: celelalte %3 nu au fost trimise modulului"},
    {Msg::VerifyStopped, "Verify stopped after %1 of %2 settings: the other %3 were not compared",
     "Az ellenőrzés leállítva %1 / %2 beállítás után: a többi %3 nem lett összehasonlítva",
     "Verificarea oprita dupa %1 din %2 setari: celelalte %3 nu au fost comparate"},
    {Msg::NotRead, "not read: the value shown before the last Read",
     "nincs beolvasva: a legutóbbi olvasás előtti érték", "necitit: valoarea afisata inainte de ultima citire"},
    {Msg::NextStepTransfer, "Check the module and its cable or call, then press the button again.",
     "Ellenőrizze a modult és a kábelét vagy a hívást, majd nyomja meg újra a gombot.",
     "Verificati modulul si cablul sau apelul, apoi apasati din nou butonul."},
    {Msg::NextStepValue, "Correct the value, then press Write again.",
     "Javítsa az értéket, majd nyomja meg újra az Írás gombot.", "Corectati valoarea, apoi apasati din nou Scriere."},
    {Msg::SitesTab, "Sites", "Telephelyek", "Locatii"},
    {Msg::SitesSearch, "Search: name, customer, serial, phone", "Keresés: név, ügyfél, sorozatszám, telefon",
     "Cautare: nume, client, serie, telefon"},
    {Msg::SitesUnusable, "The site database cannot be used: %1", "A telephely-adatbázis nem használható: %1",
     "Baza de date a locatiilor nu poate fi folosita: %1"},
    {Msg::SiteModule, "Module: %1", "Modul: %1", "Modulul: %1"},
    {Msg::SiteNoModule, "No module installed", "Nincs telepített modul", "Niciun modul instalat"},
    {Msg::SitesHistory, "History", "Előzmények", "Istoric"},
    {Msg::HistoryDate, "Date", "Dátum", "Data"},
    {Msg::HistoryAction, "Action", "Művelet", "Actiune"},
    {Msg::HistoryResult, "Result", "Eredmény", "Rezultat"},
    {Msg::HistoryOperator, "Operator", "Kezelő", "Utilizator"},
    {Msg::HistoryDone, "done", "kész", "reusit"},
    {Msg::HistoryFailed, "failed: %1", "sikertelen: %1", "esuat: %1"},
    {Msg::ActionRead, "Read", "Olvasás", "Citire"},
    {Msg::ActionWrite, "Write", "Írás", "Scriere"},
    {Msg::ActionVerify, "Verify", "Ellenőrzés", "Verificare"},
    {Msg::ActionVolumes, "Volumes set", "Hangerő beállítva", "Volum setat"},
    {Msg::ActionDiff, "Compared", "Összehasonlítás", "Comparare"},
    {Msg::ActionRestore, "Restore", "Visszaállítás", "Restaurare"},
    {Msg::ActionImport, "Import", "Importálás", "Importare"},
    {Msg::ActionPassword, "Password changed", "Jelszóváltoztatás", "Schimbare parola"},
    {Msg::SnapshotAgainstPrevious,
     "Against the previous snapshot:", "Az előző pillanatképhez képest:", "Fata de instantaneul anterior:"},
    {Msg::SnapshotAgainstPage, "Against the Settings page:", "A Beállítások laphoz képest:", "Fata de pagina Setari:"},
    {Msg::SnapshotNoPrevious, "no earlier snapshot", "nincs korábbi pillanatkép", "niciun instantaneu anterior"},
    {Msg::SnapshotSame, "no difference", "nincs eltérés", "nicio diferenta"},
    {Msg::SnapshotLoad, "Load into the Settings page", "Betöltés a Beállítások lapra", "Incarcare in pagina Setari"},
    {Msg::SnapshotExport, "Export…", "Exportálás…", "Exportare…"},
    {Msg::SnapshotReport, "Report…", "Jelentés…", "Raport…"},
    {Msg::SitesStatus, "Status over visits", "Állapot látogatásonként", "Starea la fiecare vizita"},
    {Msg::PlotVisits, "last %1 visits", "utolsó %1 látogatás", "ultimele %1 vizite"},
    {Msg::SiteLabel, "Site: %1", "Telephely: %1", "Locatie: %1"},
    {Msg::AddToSite, "Add to a site…", "Hozzáadás telephelyhez…", "Adaugare la o locatie…"},
    {Msg::AddToSiteQuestion, "Pick a site or type a new name:", "Válasszon telephelyet, vagy írjon be új nevet:",
     "Alegeti o locatie sau scrieti un nume nou:"},
    {Msg::AddToSiteFailed, "The module could not be added to %1: %2", "A modul nem adható hozzá ehhez: %1: %2",
     "Modulul nu a putut fi adaugat la %1: %2"},
    {Msg::RecordingFailed, "Not recorded in the site database: %1", "Nem került be a telephely-adatbázisba: %1",
     "Nu a fost inregistrat in baza de date a locatiilor: %1"},
    {Msg::DatabaseLabel, "Database:", "Adatbázis:", "Baza de date:"},
    {Msg::DatabaseUse, "Use", "Használat", "Folosire"},
    {Msg::DatabaseNote,
     "A file, or postgresql://USER@HOST[:PORT]/DBNAME for a team server (libpq finds its password in PGPASSFILE, "
     "~/.pgpass or PGPASSWORD)",
     "Fájl, vagy csapatszerver esetén postgresql://FELHASZNÁLÓ@GÉP[:PORT]/ADATBÁZIS (a jelszót a libpq a "
     "PGPASSFILE, a ~/.pgpass vagy a PGPASSWORD alapján találja meg)",
     "Un fisier sau postgresql://UTILIZATOR@SERVER[:PORT]/BAZA pentru un server al echipei (libpq gaseste parola "
     "in PGPASSFILE, ~/.pgpass sau PGPASSWORD)"},
    {Msg::DatabaseRefused, "This database cannot be used: %1", "Ez az adatbázis nem használható: %1",
     "Aceasta baza de date nu poate fi folosita: %1"},
    {Msg::RecordsWaitingOne, "%1 record not yet sent to the team database",
     "%1 rekord még nincs elküldve a csapat adatbázisába", "%1 inregistrare inca netrimisa in baza de date a echipei"},
    {Msg::RecordsWaitingFew, "%1 records not yet sent to the team database",
     "%1 rekord még nincs elküldve a csapat adatbázisába", "%1 inregistrari inca netrimise in baza de date a echipei"},
    {Msg::RecordsWaitingMany, "%1 records not yet sent to the team database",
     "%1 rekord még nincs elküldve a csapat adatbázisába",
     "%1 de inregistrari inca netrimise in baza de date a echipei"},
    {Msg::TeamOutOfReach, "The team database could not be reached: %1", "A csapat adatbázisa nem volt elérhető: %1",
     "Baza de date a echipei nu a putut fi accesata: %1"},
    {Msg::TeamOutOfReachShown, "The team database cannot be reached (%1): only the records not yet sent are shown.",
     "A csapat adatbázisa nem érhető el (%1): csak a még el nem küldött rekordok láthatók.",
     "Baza de date a echipei nu poate fi accesata (%1): sunt afisate doar inregistrarile inca netrimise."},
};
static_assert(sizeof kRows / sizeof kRows[0] == size_t(Msg::Count), "one row per message");
constexpr bool rowsInOrder() {
    for (size_t i = 0; i < sizeof kRows / sizeof kRows[0]; ++i)
        if (size_t(kRows[i].id) != i) return false;
    return true;
}
static_assert(rowsInOrder(), "the rows in the order of Msg");

}   // namespace

Msg counted(int n, Msg one, Msg few, Msg many) {
    if (n == 1) return one;
    const int rest = n % 100;
    return n == 0 || (rest >= 1 && rest <= 19) ? few : many;
}

QString message(Language language, Msg m) {
    const MessageRow& r = kRows[int(m)];
    switch (language) {
        case Language::Hungarian:
            return QString::fromUtf8(r.hungarian);
        case Language::Romanian:
            return QString::fromUtf8(r.romanian);
        case Language::English:
            break;
    }
    return QString::fromUtf8(r.english);
}

}   // namespace lang
