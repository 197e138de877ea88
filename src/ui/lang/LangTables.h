#pragma once
// The three translation tables of the user interface: English, Hungarian and
// Romanian captions keyed on control names, plus a few text keys that name no
// control (status words, password dialog captions).
//
// The rows are written in the source as UTF-8 for readability and converted to
// Windows-1250 once, on first use; everything the program looks up is 8-bit text.
#include <QByteArray>
#include <QList>

namespace lang {

enum class Language { English, Hungarian, Romanian };

// A row as written in the source, key and text in UTF-8. A multi-line text
// separates its lines with a single carriage return.
struct SourceRow {
    const char* key;
    const char* text;
};

struct SourceTable {
    const SourceRow* rows;
    int count;
};

SourceTable sourceTable(Language language);

// A row as the program uses it: Windows-1250 bytes.
struct Row {
    QByteArray key;
    QByteArray text;
};
using Table = QList<Row>;

// The converted table; built on first use and kept until the process ends.
const Table& table(Language language);

}   // namespace lang
