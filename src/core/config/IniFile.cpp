#include "core/config/IniFile.h"

#include "core/config/WholeFile.h"

namespace {

using LineKind = IniLineKind;

struct Line {
    LineKind kind = LineKind::Other;
    QByteArray name;    // section or key name, trimmed
    QByteArray value;   // key lines: the value, trimmed
};

Line parseLine(const QByteArray& raw) {
    Line line;
    const QByteArray text = raw.trimmed();
    if (text.isEmpty()) {
        line.kind = LineKind::Blank;
    } else if (text.startsWith(';')) {
        line.kind = LineKind::Comment;
    } else if (text.startsWith('[')) {
        const int close = text.indexOf(']');
        if (close > 0) {
            line.kind = LineKind::Section;
            line.name = text.mid(1, close - 1).trimmed();
        }
    } else {
        const int eq = text.indexOf('=');
        if (eq >= 0) {
            line.kind = LineKind::Key;
            line.name = text.left(eq).trimmed();
            line.value = text.mid(eq + 1).trimmed();
        }
    }
    return line;
}

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

// Names match without regard to ASCII case; 8-bit letters must match exactly.
bool sameName(const QByteArray& a, const QByteArray& b) {
    if (a.size() != b.size()) return false;
    for (int i = 0; i < a.size(); ++i) {
        if (asciiLower(a[i]) != asciiLower(b[i])) return false;
    }
    return true;
}

QString tooLarge(qint64 size) {
    return QStringLiteral("%1 bytes, more than the limit of 1 MiB (%2 bytes)").arg(size).arg(IniFile::kMaxFileSize);
}

bool hasLineBreakOrNul(const QByteArray& s) { return s.contains('\r') || s.contains('\n') || s.contains('\0'); }

// Empty text when the name can be written and read back as itself.
QString checkSectionName(const QByteArray& s) {
    if (s.isEmpty() || s.trimmed() != s || hasLineBreakOrNul(s) || s.contains(']'))
        return QStringLiteral("Invalid section name \"%1\"").arg(QString::fromLatin1(s));
    return QString();
}

QString checkKeyName(const QByteArray& s) {
    if (s.isEmpty() || s.trimmed() != s || hasLineBreakOrNul(s) || s.contains('=') || s.startsWith('[') ||
        s.startsWith(';'))
        return QStringLiteral("Invalid key name \"%1\"").arg(QString::fromLatin1(s));
    return QString();
}

}   // namespace

IniFile::IniFile(const QString& path) : m_path(path) {
    const wholefile::ReadResult r = wholefile::read(path, kMaxFileSize);
    m_size = r.size;
    switch (r.status) {
        case wholefile::Read::Missing:
            return;
        case wholefile::Read::Ok:
            parse(r.data);
            return;
        case wholefile::Read::NotRegular:
            m_why = Unreadable::NotRegularFile;
            m_error = QStringLiteral("not a regular file (%1)").arg(r.error);
            break;
        case wholefile::Read::TooLarge:
            m_why = Unreadable::TooLarge;
            m_error = tooLarge(r.size);
            break;
        case wholefile::Read::Failed:
            m_why = Unreadable::Failed;
            m_error = r.error;
            break;
    }
    m_readable = false;
}

IniFile IniFile::FromData(const QByteArray& data) {
    IniFile ini;
    ini.parse(data);
    return ini;
}

void IniFile::parse(const QByteArray& data) {
    // Some Windows editors put a UTF-8 byte-order mark before the first line.
    // It is not part of the first line; it is kept aside and written back.
    static const QByteArray bom("\xEF\xBB\xBF");
    if (data.startsWith(bom)) m_bom = bom;
    const QByteArray text = data.mid(m_bom.size());
    if (text.isEmpty()) return;

    m_lines = text.split('\n');
    if (text.endsWith('\n')) m_lines.removeLast();   // the empty piece after the last line end
    m_parsed.reserve(m_lines.size());
    for (QByteArray& line : m_lines) {
        if (line.endsWith('\r')) line.chop(1);
        const Line l = parseLine(line);
        m_parsed.append({l.kind, l.name});
    }
}

void IniFile::setLine(int i, const QByteArray& text) {
    m_lines[i] = text;
    const Line l = parseLine(text);
    m_parsed[i] = {l.kind, l.name};
}

void IniFile::insertLine(int i, const QByteArray& text) {
    m_lines.insert(i, text);
    const Line l = parseLine(text);
    m_parsed.insert(i, {l.kind, l.name});
}

QByteArray IniFile::Data() const {
    QByteArray data = m_bom;
    for (const QByteArray& line : m_lines) {
        data += line;
        data += "\r\n";
    }
    return data;
}

QString IniFile::path() const { return m_path; }

int IniFile::findSection(const QByteArray& section) const {
    for (int i = 0; i < m_parsed.size(); ++i) {
        if (m_parsed[i].kind == LineKind::Section && sameName(m_parsed[i].name, section)) return i;
    }
    return -1;
}

int IniFile::sectionEnd(int header) const {
    for (int i = header + 1; i < m_parsed.size(); ++i) {
        if (m_parsed[i].kind == LineKind::Section) return i;
    }
    return m_parsed.size();
}

int IniFile::findKey(int header, const QByteArray& key) const {
    const int end = sectionEnd(header);
    for (int i = header + 1; i < end; ++i) {
        if (m_parsed[i].kind == LineKind::Key && sameName(m_parsed[i].name, key)) return i;
    }
    return -1;
}

QByteArray IniFile::ReadString(const QByteArray& section, const QByteArray& key, const QByteArray& def) const {
    const int header = findSection(section);
    if (header < 0) return def;
    const int at = findKey(header, key);
    if (at < 0) return def;

    QByteArray value = parseLine(m_lines[at]).value;
    // Windows drops one matching pair of enclosing quotes, double or single.
    if (value.size() >= 2) {
        const char first = value.front();
        if ((first == '"' || first == '\'') && value.back() == first) value = value.mid(1, value.size() - 2);
    }
    return value.left(kMaxValueLength);
}

bool IniFile::HasKey(const QByteArray& section, const QByteArray& key) const {
    const int header = findSection(section);
    return header >= 0 && findKey(header, key) >= 0;
}

void IniFile::WriteString(const QByteArray& section, const QByteArray& key, const QByteArray& value) {
    QString refused = checkSectionName(section);
    if (refused.isEmpty()) refused = checkKeyName(key);
    if (!refused.isEmpty()) {
        if (m_error.isEmpty()) m_error = refused;
        return;
    }

    // A line break would start a new line in the file: keep only the first line.
    QByteArray stored = value;
    for (int i = 0; i < stored.size(); ++i) {
        const char c = stored[i];
        if (c == '\r' || c == '\n' || c == '\0') {
            stored.truncate(i);
            break;
        }
    }
    const QByteArray entry = key + '=' + stored;

    const int header = findSection(section);
    if (header < 0) {
        if (!m_parsed.isEmpty() && m_parsed.last().kind != LineKind::Blank) insertLine(m_lines.size(), QByteArray());
        insertLine(m_lines.size(), '[' + section + ']');
        insertLine(m_lines.size(), entry);
        return;
    }

    const int at = findKey(header, key);
    if (at >= 0) {
        setLine(at, entry);
        return;
    }

    int last = header;
    const int end = sectionEnd(header);
    for (int i = header + 1; i < end; ++i) {
        if (m_parsed[i].kind != LineKind::Blank) last = i;
    }
    insertLine(last + 1, entry);
}

bool IniFile::UpdateFile(QString* error) {
    auto fail = [error](const QString& why) {
        if (error) *error = why;
        return false;
    };
    if (!m_error.isEmpty()) return fail(m_error);

    const QByteArray data = Data();
    if (data.size() > kMaxFileSize) return fail(QStringLiteral("it would be ") + tooLarge(data.size()));
    return wholefile::replace(m_path, data, error);
}
