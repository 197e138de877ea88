#pragma once
// 8-bit text: everything the device, the settings files and the translation
// tables carry is Windows-1250. Widgets hold QString. These are the only two
// conversions between the two worlds.
#include <QByteArray>
#include <QString>
#include <stdexcept>

namespace text {

QString fromCp1250(const QByteArray& bytes);
// Characters outside the code page become '?'; S and T with a comma below
// become their cedilla forms.
QByteArray toCp1250(const QString& s);
// The index of the first character toCp1250 would turn into '?', or -1.
int firstUnencodable(const QString& s);

// The bytes hold 8-bit characters and all of them form well-formed UTF-8
// (multi-byte sequences only): text written as UTF-8 rather than in the code
// page. Windows-1250 text seldom does: its letters stand alone, and a lead
// byte of UTF-8 followed by the right continuation bytes is rare.
bool isMultiByteUtf8(const QByteArray& bytes);

// The degree sign of the 8-bit code page.
constexpr char kDegree = '\xB0';

// The integer conversion error the user sees in a message box.
class ConvertError : public std::runtime_error {
public:
    explicit ConvertError(const QByteArray& text);
    QByteArray text;
};

// Decimal integer with an optional sign (leading blanks allowed, as the Windows
// toolkit allowed them), or hexadecimal written "$1F" or "0x1F". Throws ConvertError.
int strToInt(const QByteArray& s);
bool tryStrToInt(const QByteArray& s, int& out);

}   // namespace text
