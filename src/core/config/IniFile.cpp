#include "core/config/IniFile.h"

#include <QFile>
#include <QSaveFile>

namespace {

enum class LineKind { Blank, Comment, Section, Key, Other };

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
    QFile file(path);
    if (!file.exists()) return;
    if (!file.open(QIODevice::ReadOnly)) {
        m_error = file.errorString();
        m_readable = false;
        return;
    }
    const QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        m_error = file.errorString();
        m_readable = false;
        return;
    }
    parse(data);
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
    for (QByteArray& line : m_lines) {
        if (line.endsWith('\r')) line.chop(1);
    }
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
    for (int i = 0; i < m_lines.size(); ++i) {
        const Line line = parseLine(m_lines[i]);
        if (line.kind == LineKind::Section && sameName(line.name, section)) return i;
    }
    return -1;
}

int IniFile::sectionEnd(int header) const {
    for (int i = header + 1; i < m_lines.size(); ++i) {
        if (parseLine(m_lines[i]).kind == LineKind::Section) return i;
    }
    return m_lines.size();
}

int IniFile::findKey(int header, const QByteArray& key) const {
    const int end = sectionEnd(header);
    for (int i = header + 1; i < end; ++i) {
        const Line line = parseLine(m_lines[i]);
        if (line.kind == LineKind::Key && sameName(line.name, key)) return i;
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
        if (!m_lines.isEmpty() && parseLine(m_lines.last()).kind != LineKind::Blank) m_lines.append(QByteArray());
        m_lines.append('[' + section + ']');
        m_lines.append(entry);
        return;
    }

    const int at = findKey(header, key);
    if (at >= 0) {
        m_lines[at] = entry;
        return;
    }

    int last = header;
    const int end = sectionEnd(header);
    for (int i = header + 1; i < end; ++i) {
        if (parseLine(m_lines[i]).kind != LineKind::Blank) last = i;
    }
    m_lines.insert(last + 1, entry);
}

bool IniFile::UpdateFile(QString* error) {
    auto fail = [error](const QString& why) {
        if (error) *error = why;
        return false;
    };
    if (!m_error.isEmpty()) return fail(m_error);

    const QByteArray data = Data();

    // QSaveFile writes a temporary file in the same directory and renames it
    // over the target on commit. It refuses an existing read-only file.
    //
    // A write error must be caught here, before commit: QSaveFile renames the
    // temporary file over the target even when writing its buffered data failed
    // on the way (a full disk, a file-size limit), which would leave the target
    // cut short. So the file is written unbuffered, every write is checked, and
    // on any failure the temporary file is dropped and the target left alone.
    QSaveFile file(m_path);
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) return fail(file.errorString());
    auto cancel = [&]() {
        const QString why = file.errorString();
        file.cancelWriting();   // the temporary file goes when `file` does
        return fail(why);
    };
    // A write that stops short (the disk filled up part way) reports no error;
    // the next one fails and says why.
    for (qint64 done = 0; done < data.size();) {
        const qint64 n = file.write(data.constData() + done, data.size() - done);
        if (n <= 0) return cancel();
        done += n;
    }
    if (!file.flush() || file.error() != QFileDevice::NoError) return cancel();
    if (!file.commit()) return fail(file.errorString());
    return true;
}
