#include "ui/lang/QtRomanian.h"

#include <cstring>

namespace {

struct Entry {
    const char* context;
    const char* source;
    const char* text;   // UTF-8
};

// Written with the comma-below ș and ț, as the program's own messages are.
constexpr Entry kEntries[] = {
    // The standard buttons of message boxes and button boxes.
    {"QPlatformTheme", "OK", "OK"},
    {"QPlatformTheme", "Save", "Salvează"},
    {"QPlatformTheme", "Save All", "Salvează tot"},
    {"QPlatformTheme", "Open", "Deschide"},
    {"QPlatformTheme", "&Yes", "&Da"},
    {"QPlatformTheme", "Yes to &All", "Da la &toate"},
    {"QPlatformTheme", "&No", "&Nu"},
    {"QPlatformTheme", "N&o to All", "N&u la toate"},
    {"QPlatformTheme", "Abort", "Abandonează"},
    {"QPlatformTheme", "Retry", "Reîncearcă"},
    {"QPlatformTheme", "Ignore", "Ignoră"},
    {"QPlatformTheme", "Close", "Închide"},
    {"QPlatformTheme", "Cancel", "Anulează"},
    {"QPlatformTheme", "Discard", "Renunță"},
    {"QPlatformTheme", "Help", "Ajutor"},
    {"QPlatformTheme", "Apply", "Aplică"},
    {"QPlatformTheme", "Reset", "Resetează"},
    {"QPlatformTheme", "Restore Defaults", "Restabilește valorile implicite"},
    // The file dialog's basics.
    {"QFileDialog", "Look in:", "Caută în:"},
    {"QFileDialog", "File &name:", "&Nume fișier:"},
    {"QFileDialog", "Files of type:", "Fișiere de tipul:"},
    {"QFileDialog", "&Open", "&Deschide"},
    {"QFileDialog", "&Save", "&Salvează"},
    {"QFileDialog", "&Choose", "&Alege"},
    {"QFileDialog", "Open", "Deschide"},
    {"QFileDialog", "Save As", "Salvează ca"},
    {"QFileDialog", "Back", "Înapoi"},
    {"QFileDialog", "Forward", "Înainte"},
    {"QFileDialog", "Parent Directory", "Dosarul părinte"},
    {"QFileDialog", "Create New Folder", "Dosar nou"},
    {"QFileDialog", "New Folder", "Dosar nou"},
    {"QFileDialog", "List View", "Listă"},
    {"QFileDialog", "Detail View", "Detalii"},
    {"QFileDialog", "All Files (*)", "Toate fișierele (*)"},
    {"QFileDialog", "%1 already exists.\nDo you want to replace it?", "%1 există deja.\nÎl înlocuiți?"},
    {"QFileSystemModel", "Name", "Nume"},
    {"QFileSystemModel", "Size", "Mărime"},
    {"QFileSystemModel", "Type", "Tip"},
    {"QFileSystemModel", "Date Modified", "Data modificării"},
    // The print dialog (the report's Print / PDF…).
    {"QPrintDialog", "Print", "Tipărire"},
    {"QPrintDialog", "&Print", "&Tipărește"},
    {"QPrintDialog", "&Options >>", "&Opțiuni >>"},
    {"QPrintDialog", "&Options <<", "&Opțiuni <<"},
    {"QPrintDialog", "Print to File (PDF)", "Tipărire în fișier (PDF)"},
    {"QPrintDialog", "Local file", "Fișier local"},
    {"QPrintDialog", "Write PDF file", "Scrie fișier PDF"},
    {"QPrintDialog", "Print To File ...", "Tipărire în fișier…"},
    {"QPrintDialog", "All Pages", "Toate paginile"},
    {"QPrintDialog", "Odd Pages", "Paginile impare"},
    {"QPrintDialog", "Even Pages", "Paginile pare"},
    {"QPrintDialog", "Automatic", "Automat"},
    {"QPrintDialog", "%1 is a directory.\nPlease choose a different file name.",
     "%1 este un dosar.\nAlegeți alt nume de fișier."},
    {"QPrintDialog", "File %1 is not writable.\nPlease choose a different file name.",
     "Fișierul %1 nu poate fi scris.\nAlegeți alt nume de fișier."},
    {"QPrintDialog", "%1 already exists.\nDo you want to overwrite it?", "%1 există deja.\nÎl suprascrieți?"},
    {"QPrintDialog", "The 'From' value cannot be greater than the 'To' value.",
     "Valoarea „De la” nu poate fi mai mare decât valoarea „Până la”."},
    {"QPrintWidget", "Printer", "Imprimantă"},
    {"QPrintWidget", "&Name:", "&Nume:"},
    {"QPrintWidget", "P&roperties", "P&roprietăți"},
    {"QPrintWidget", "Location:", "Locație:"},
    {"QPrintWidget", "Preview", "Previzualizare"},
    {"QPrintWidget", "Type:", "Tip:"},
    {"QPrintWidget", "Output &file:", "&Fișier de ieșire:"},
    {"QPrintSettingsOutput", "Copies", "Copii"},
    {"QPrintSettingsOutput", "Copies:", "Copii:"},
    {"QPrintSettingsOutput", "Print range", "Interval de tipărire"},
    {"QPrintSettingsOutput", "Print all", "Tipărește tot"},
    {"QPrintSettingsOutput", "Pages from", "Paginile de la"},
    {"QPrintSettingsOutput", "to", "până la"},
    {"QPrintSettingsOutput", "Current Page", "Pagina curentă"},
    {"QPrintSettingsOutput", "Selection", "Selecția"},
    {"QPrintSettingsOutput", "Output Settings", "Setări de ieșire"},
    {"QPrintSettingsOutput", "Collate", "Asamblare"},
    {"QPrintSettingsOutput", "Reverse", "Ordine inversă"},
    {"QPrintSettingsOutput", "Options", "Opțiuni"},
    {"QPrintSettingsOutput", "Color Mode", "Mod de culoare"},
    {"QPrintSettingsOutput", "Color", "Color"},
    {"QPrintSettingsOutput", "Grayscale", "Nuanțe de gri"},
    {"QPrintSettingsOutput", "Duplex Printing", "Tipărire față-verso"},
    {"QPrintSettingsOutput", "None", "Fără"},
    {"QPrintSettingsOutput", "Long side", "Latura lungă"},
    {"QPrintSettingsOutput", "Short side", "Latura scurtă"},
    {"QPrintSettingsOutput", "Page Set:", "Set de pagini:"},
    {"QPrintPropertiesDialog", "Printer Properties", "Proprietățile imprimantei"},
    {"QPrintPropertiesDialog", "Job Options", "Opțiunile lucrării"},
    {"QPrintPropertiesWidget", "Page", "Pagină"},
    {"QPageSetupWidget", "Paper", "Hârtie"},
    {"QPageSetupWidget", "Page size:", "Dimensiunea paginii:"},
    {"QPageSetupWidget", "Width:", "Lățime:"},
    {"QPageSetupWidget", "Height:", "Înălțime:"},
    {"QPageSetupWidget", "Paper source:", "Sursa hârtiei:"},
    {"QPageSetupWidget", "Orientation", "Orientare"},
    {"QPageSetupWidget", "Portrait", "Portret"},
    {"QPageSetupWidget", "Landscape", "Peisaj"},
    {"QPageSetupWidget", "Reverse landscape", "Peisaj inversat"},
    {"QPageSetupWidget", "Reverse portrait", "Portret inversat"},
    {"QPageSetupWidget", "Margins", "Margini"},
    {"QPageSetupWidget", "Custom", "Personalizat"},
    {"QPageSetupWidget", "Page Layout", "Aranjare în pagină"},
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
