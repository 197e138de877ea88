// The INI reader and writer: any text reads without harm and writes back to
// a text that reads the same; values written under the settings section are
// read back as written, before and after a write to text and a new read,
// whatever the file held before.
#include "FuzzInput.h"
#include "core/config/IniFile.h"

#include <QByteArray>
#include <QMap>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const int pairs = in.byte() % 8;
    size_t n;
    const uint8_t* before = in.take(in.byte() * 4u, &n);
    IniFile ini = IniFile::FromData(QByteArray(reinterpret_cast<const char*>(before), int(n)));

    // Writing back and reading again changes nothing.
    const QByteArray text = ini.Data();
    FUZZ_CHECK(IniFile::FromData(text).Data() == text);

    // Names the writer accepts, values as the reader gives them back: no line
    // break or zero byte, no blanks around, no enclosing quotes, not too long.
    QMap<QByteArray, QPair<QByteArray, QByteArray>> written;   // lower-cased name -> (name, value)
    for (int i = 0; i < pairs; ++i) {
        QByteArray name = "k";
        for (int j = in.byte() % 6; j > 0; --j) {
            const char c = char(in.byte() % 36);
            name += c < 26 ? char((i & 1 ? 'A' : 'a') + c) : char('0' + c - 26);
        }
        const uint8_t* v = in.take(in.byte(), &n);
        QByteArray value(reinterpret_cast<const char*>(v), int(n));
        for (char bad : {'\r', '\n', '\0'}) value.replace(bad, ' ');
        value = value.trimmed().left(IniFile::kMaxValueLength);
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
            value.back() = 'x';   // quotes around a value are dropped when it is read
        ini.WriteString("Settings", name, value);
        written[name.toLower()] = {name, value};
    }
    const IniFile again = IniFile::FromData(ini.Data());
    for (const auto& [name, value] : written) {
        FUZZ_CHECK(ini.HasKey("SETTINGS", name));
        FUZZ_CHECK(ini.ReadString("settings", name, "\n") == value);
        FUZZ_CHECK(again.ReadString("Settings", name, "\n") == value);
    }
    return 0;
}
