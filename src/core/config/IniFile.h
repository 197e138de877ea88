#pragma once
// A Windows private profile ("INI") file, read whole into memory, edited there
// and written back in one piece. Files written by the Windows tools that use
// the same format open here unchanged, and the other way round.
//
// Text is 8-bit (Windows-1250) and kept byte for byte: no encoding conversion
// happens anywhere in this class.
//
// Reading follows GetPrivateProfileString:
// - section and key names are compared without regard to ASCII case; the first
//   section with a matching name is the only one searched, and in it the first
//   matching key wins;
// - a line whose first non-blank character is '[' and that has a ']' later is a
//   section header (the name between the brackets, trimmed); a line starting
//   with ';' is a comment; any other line with a '=' is a key line (key before
//   the first '=', value after it, both trimmed); every other line is ignored;
// - a value enclosed in a matching pair of double quotes or of single quotes is
//   returned without them, as Windows does ("'abc'" reads back as abc);
// - at most 2047 characters of a value are returned, as the Windows INI-file
//   class reads through a 2048-character buffer.
//
// Writing follows WritePrivateProfileString:
// - an existing key line is replaced in place by "key=value" (no blanks);
// - a new key goes after the last non-blank line of its section;
// - a new section goes at the end of the file as a "[Section]" line, preceded
//   by a blank line unless the file is empty or already ends with a blank line;
// - every other line (foreign sections and keys, comments, unrecognised lines)
//   is kept exactly as it was.
// A value cannot hold a line break: it is cut at the first CR, LF or NUL, so a
// value can never add lines of its own to the file. Section and key names that
// could not be read back as written (empty, surrounding blanks, line breaks, a
// ']' in a section name, a '=' in a key, a key starting with '[' or ';') are
// refused; the refusal is remembered and makes UpdateFile fail.
//
// A UTF-8 byte-order mark (EF BB BF) at the start of the file, as some Windows
// editors write, is not part of the first line; UpdateFile keeps it.
//
// A settings file is a few kilobytes. Only a regular file of at most
// kMaxFileSize bytes is read, and UpdateFile writes no file larger than that,
// so whatever it writes reads back. Anything else at the path (a FIFO, a
// device) is neither read nor replaced.
//
// Line ends: reading accepts LF and CR LF; UpdateFile writes every line,
// touched or not, with CR LF, the last one included.
#include <QByteArray>
#include <QList>
#include <QString>

// What a line of the file is (see above).
enum class IniLineKind : unsigned char { Blank, Comment, Section, Key, Other };

class IniFile {
public:
    // Longest value ReadString returns.
    static constexpr int kMaxValueLength = 2047;
    // Largest file read or written (1 MiB).
    static constexpr qint64 kMaxFileSize = 1024 * 1024;

    // Reads the whole file if it exists; a missing file is an empty one. A file
    // that exists but cannot be read (or is too large, or is no regular file)
    // is remembered as an error, so that UpdateFile never replaces content it
    // could not see.
    explicit IniFile(const QString& path);

    // The same, read from text instead of a file (path stays empty).
    static IniFile FromData(const QByteArray& data);
    // The whole file as UpdateFile writes it.
    QByteArray Data() const;

    QString path() const;
    // False when the file exists but could not be read; Error() says why.
    bool Readable() const { return m_readable; }
    QString Error() const { return m_error; }
    // Why it could not be read, for a message of the caller's own.
    enum class Unreadable { No, NotRegularFile, TooLarge, Failed };
    Unreadable Why() const { return m_why; }
    qint64 SizeOnDisk() const { return m_size; }   // as found, also when too large
    // The file starts with a UTF-8 byte-order mark.
    bool HasByteOrderMark() const { return !m_bom.isEmpty(); }

    QByteArray ReadString(const QByteArray& section, const QByteArray& key, const QByteArray& def) const;
    // Whether the section holds the key (a key line, whatever its value).
    bool HasKey(const QByteArray& section, const QByteArray& key) const;

    // Changes the file in memory only; UpdateFile writes it.
    void WriteString(const QByteArray& section, const QByteArray& key, const QByteArray& value);

    // Writes the whole file: a temporary file beside it, then renamed over it.
    // On failure returns false with the reason in *error (the system's words,
    // such as "File too large"; the caller names the file), and the file on disk
    // is left exactly as it was (no temporary file stays behind). A file that
    // would be larger than kMaxFileSize is not written.
    bool UpdateFile(QString* error = nullptr);

private:
    IniFile() = default;
    // What a line is, and its section or key name (trimmed), kept beside
    // m_lines so that finding a key does not read every line again.
    struct Parsed {
        IniLineKind kind = IniLineKind::Other;
        QByteArray name;
    };
    void parse(const QByteArray& data);
    void setLine(int i, const QByteArray& text);
    void insertLine(int i, const QByteArray& text);
    int findSection(const QByteArray& section) const;       // header line, or -1
    int sectionEnd(int header) const;                       // next header, or line count
    int findKey(int header, const QByteArray& key) const;   // key line, or -1

    QString m_path;
    QByteArray m_bom;            // the byte-order mark the file starts with, or empty
    QList<QByteArray> m_lines;   // without their line ends
    QList<Parsed> m_parsed;      // one for each of m_lines
    QString m_error;             // a read failure or a refused name; UpdateFile reports it
    bool m_readable = true;
    Unreadable m_why = Unreadable::No;
    qint64 m_size = 0;
};
