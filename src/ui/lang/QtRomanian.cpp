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
};

}   // namespace

QString QtRomanian::translate(const char* context, const char* sourceText, const char*, int) const {
    if (!context || !sourceText) return {};
    for (const Entry& e : kEntries)
        if (std::strcmp(e.context, context) == 0 && std::strcmp(e.source, sourceText) == 0)
            return QString::fromUtf8(e.text);
    return {};
}
