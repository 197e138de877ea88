// The Windows-1250 codec and the integer conversion: every byte survives a
// round trip through a widget's text; text the code page can hold survives
// the way back (S and T with a comma below become their cedilla forms); the
// integer conversion agrees with a plain reading of decimal text.
#include "FuzzInput.h"
#include "core/text/Codec.h"

#include <QByteArray>
#include <QString>

#include <climits>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), int(size));
    FUZZ_CHECK(text::toCp1250(text::fromCp1250(bytes)) == bytes);

    // The same bytes as UTF-16 text.
    QString s;
    for (size_t i = 0; i + 1 < size; i += 2) s.append(QChar(char16_t(data[i] | data[i + 1] << 8)));
    const int bad = text::firstUnencodable(s);
    const QByteArray encoded = text::toCp1250(s);
    FUZZ_CHECK(encoded.size() == s.size());
    if (bad < 0) {
        QString expected = s;
        expected.replace(QChar(0x0218), QChar(0x015E)).replace(QChar(0x0219), QChar(0x015F));
        expected.replace(QChar(0x021A), QChar(0x0162)).replace(QChar(0x021B), QChar(0x0163));
        FUZZ_CHECK(text::fromCp1250(encoded) == expected);
    } else {
        FUZZ_CHECK(bad < s.size() && encoded[bad] == '?');
        FUZZ_CHECK(text::firstUnencodable(s.left(bad)) == -1);
    }

    // Integers: a plain reading of blanks, sign and decimal digits.
    int value = 0;
    const bool ok = text::tryStrToInt(bytes, value);
    int i = 0;
    while (i < bytes.size() && bytes[i] == ' ') ++i;
    bool neg = false;
    if (i < bytes.size() && (bytes[i] == '+' || bytes[i] == '-')) neg = bytes[i++] == '-';
    const bool hex =
        i < bytes.size() &&
        (bytes[i] == '$' || (bytes[i] == '0' && i + 1 < bytes.size() && (bytes[i + 1] == 'x' || bytes[i + 1] == 'X')));
    if (!hex) {
        long long v = 0;
        bool digits = i < bytes.size(), fits = true;
        for (int j = i; j < bytes.size() && digits; ++j) {
            digits = bytes[j] >= '0' && bytes[j] <= '9';
            if (digits && fits) {
                v = v * 10 + (bytes[j] - '0');
                fits = v <= (long long)INT_MAX + 1;
            }
        }
        if (neg) v = -v;
        const bool expected = digits && fits && v >= INT_MIN && v <= INT_MAX;
        FUZZ_CHECK(ok == expected);
        if (ok) FUZZ_CHECK(value == v);
    }
    if (ok) {
        int again = 0;
        FUZZ_CHECK(text::tryStrToInt(QByteArray::number(value), again) && again == value);
    }
    return 0;
}
