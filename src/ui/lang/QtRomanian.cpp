#include "ui/lang/QtRomanian.h"

#include <cstring>

namespace {

struct Entry {
    const char* context;
    const char* source;
    const char* text;   // UTF-8
};

// Written without diacritics, as the Romanian captions of the window are.
constexpr Entry kEntries[] = {
    // The standard buttons of message boxes and button boxes.
    {"QPlatformTheme", "OK", "OK"},
    {"QPlatformTheme", "Save", "Salveaza"},
    {"QPlatformTheme", "Save All", "Salveaza tot"},
    {"QPlatformTheme", "Open", "Deschide"},
    {"QPlatformTheme", "&Yes", "&Da"},
    {"QPlatformTheme", "Yes to &All", "Da la &toate"},
    {"QPlatformTheme", "&No", "&Nu"},
    {"QPlatformTheme", "N&o to All", "N&u la toate"},
    {"QPlatformTheme", "Abort", "Abandoneaza"},
    {"QPlatformTheme", "Retry", "Reincearca"},
    {"QPlatformTheme", "Ignore", "Ignora"},
    {"QPlatformTheme", "Close", "Inchide"},
    {"QPlatformTheme", "Cancel", "Anuleaza"},
    {"QPlatformTheme", "Discard", "Renunta"},
    {"QPlatformTheme", "Help", "Ajutor"},
    {"QPlatformTheme", "Apply", "Aplica"},
    {"QPlatformTheme", "Reset", "Reseteaza"},
    {"QPlatformTheme", "Restore Defaults", "Restabileste valorile implicite"},
    // The file dialog's basics.
    {"QFileDialog", "Look in:", "Cauta in:"},
    {"QFileDialog", "File &name:", "&Nume fisier:"},
    {"QFileDialog", "Files of type:", "Fisiere de tipul:"},
    {"QFileDialog", "&Open", "&Deschide"},
    {"QFileDialog", "&Save", "&Salveaza"},
    {"QFileDialog", "&Choose", "&Alege"},
    {"QFileDialog", "Open", "Deschide"},
    {"QFileDialog", "Save As", "Salveaza ca"},
    {"QFileDialog", "Back", "Inapoi"},
    {"QFileDialog", "Forward", "Inainte"},
    {"QFileDialog", "Parent Directory", "Dosarul parinte"},
    {"QFileDialog", "Create New Folder", "Dosar nou"},
    {"QFileDialog", "New Folder", "Dosar nou"},
    {"QFileDialog", "List View", "Lista"},
    {"QFileDialog", "Detail View", "Detalii"},
    {"QFileDialog", "All Files (*)", "Toate fisierele (*)"},
    {"QFileDialog", "%1 already exists.\nDo you want to replace it?", "%1 exista deja.\nIl inlocuiti?"},
    {"QFileSystemModel", "Name", "Nume"},
    {"QFileSystemModel", "Size", "Marime"},
    {"QFileSystemModel", "Type", "Tip"},
    {"QFileSystemModel", "Date Modified", "Data modificarii"},
    // The print dialog (the report's Print / PDF…).
    {"QPrintDialog", "Print", "Tiparire"},
    {"QPrintDialog", "&Print", "&Tipareste"},
    {"QPrintDialog", "&Options >>", "&Optiuni >>"},
    {"QPrintDialog", "&Options <<", "&Optiuni <<"},
    {"QPrintDialog", "Print to File (PDF)", "Tiparire in fisier (PDF)"},
    {"QPrintDialog", "Local file", "Fisier local"},
    {"QPrintDialog", "Write PDF file", "Scrie fisier PDF"},
    {"QPrintDialog", "Print To File ...", "Tiparire in fisier…"},
    {"QPrintDialog", "All Pages", "Toate paginile"},
    {"QPrintDialog", "Odd Pages", "Paginile impare"},
    {"QPrintDialog", "Even Pages", "Paginile pare"},
    {"QPrintDialog", "Automatic", "Automat"},
    {"QPrintDialog", "%1 is a directory.\nPlease choose a different file name.",
     "%1 este un dosar.\nAlegeti alt nume de fisier."},
    {"QPrintDialog", "File %1 is not writable.\nPlease choose a different file name.",
     "Fisierul %1 nu poate fi scris.\nAlegeti alt nume de fisier."},
    {"QPrintDialog", "%1 already exists.\nDo you want to overwrite it?", "%1 exista deja.\nIl suprascrieti?"},
    {"QPrintDialog", "The 'From' value cannot be greater than the 'To' value.",
     "Valoarea „De la” nu poate fi mai mare decat valoarea „Pana la”."},
    {"QPrintWidget", "Printer", "Imprimanta"},
    {"QPrintWidget", "&Name:", "&Nume:"},
    {"QPrintWidget", "P&roperties", "P&roprietati"},
    {"QPrintWidget", "Location:", "Locatie:"},
    {"QPrintWidget", "Preview", "Previzualizare"},
    {"QPrintWidget", "Type:", "Tip:"},
    {"QPrintWidget", "Output &file:", "&Fisier de iesire:"},
    {"QPrintSettingsOutput", "Copies", "Copii"},
    {"QPrintSettingsOutput", "Copies:", "Copii:"},
    {"QPrintSettingsOutput", "Print range", "Interval de tiparire"},
    {"QPrintSettingsOutput", "Print all", "Tipareste tot"},
    {"QPrintSettingsOutput", "Pages from", "Paginile de la"},
    {"QPrintSettingsOutput", "to", "pana la"},
    {"QPrintSettingsOutput", "Current Page", "Pagina curenta"},
    {"QPrintSettingsOutput", "Selection", "Selectia"},
    {"QPrintSettingsOutput", "Output Settings", "Setari de iesire"},
    {"QPrintSettingsOutput", "Collate", "Asamblare"},
    {"QPrintSettingsOutput", "Reverse", "Ordine inversa"},
    {"QPrintSettingsOutput", "Options", "Optiuni"},
    {"QPrintSettingsOutput", "Color Mode", "Mod de culoare"},
    {"QPrintSettingsOutput", "Color", "Color"},
    {"QPrintSettingsOutput", "Grayscale", "Nuante de gri"},
    {"QPrintSettingsOutput", "Duplex Printing", "Tiparire fata-verso"},
    {"QPrintSettingsOutput", "None", "Fara"},
    {"QPrintSettingsOutput", "Long side", "Latura lunga"},
    {"QPrintSettingsOutput", "Short side", "Latura scurta"},
    {"QPrintSettingsOutput", "Page Set:", "Set de pagini:"},
    {"QPrintPropertiesDialog", "Printer Properties", "Proprietatile imprimantei"},
    {"QPrintPropertiesDialog", "Job Options", "Optiunile lucrarii"},
    {"QPrintPropertiesWidget", "Page", "Pagina"},
    {"QPageSetupWidget", "Paper", "Hartie"},
    {"QPageSetupWidget", "Page size:", "Dimensiunea paginii:"},
    {"QPageSetupWidget", "Width:", "Latime:"},
    {"QPageSetupWidget", "Height:", "Inaltime:"},
    {"QPageSetupWidget", "Paper source:", "Sursa hartiei:"},
    {"QPageSetupWidget", "Orientation", "Orientare"},
    {"QPageSetupWidget", "Portrait", "Portret"},
    {"QPageSetupWidget", "Landscape", "Peisaj"},
    {"QPageSetupWidget", "Reverse landscape", "Peisaj inversat"},
    {"QPageSetupWidget", "Reverse portrait", "Portret inversat"},
    {"QPageSetupWidget", "Margins", "Margini"},
    {"QPageSetupWidget", "Custom", "Personalizat"},
    {"QPageSetupWidget", "Page Layout", "Aranjare in pagina"},
    {"QPageSetupWidget", "Pages per sheet:", "Pagini pe foaie:"},
    {"QPageSetupWidget", "Page order:", "Ordinea paginilor:"},
};

}   // namespace

QString QtRomanian::translate(const char* context, const char* sourceText, const char*, int) const {
    if (!context || !sourceText) return {};
    for (const Entry& e : kEntries)
        if (std::strcmp(e.context, context) == 0 && std::strcmp(e.source, sourceText) == 0)
            return QString::fromUtf8(e.text);
    return {};
}
