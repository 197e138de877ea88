#include "core/text/Codec.h"

#include <cstdint>
#include <limits>

namespace text {
namespace {

// Unicode code points of bytes 0x80..0xFF. The five bytes the code page leaves
// undefined map to the C1 control of the same value, so any byte survives a
// round trip through a widget.
const char16_t kHigh[128] = {
    0x20AC, 0x0081, 0x201A, 0x0083, 0x201E, 0x2026, 0x2020, 0x2021, 0x0088, 0x2030, 0x0160, 0x2039, 0x015A,
    0x0164, 0x017D, 0x0179, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x0098, 0x2122,
    0x0161, 0x203A, 0x015B, 0x0165, 0x017E, 0x017A, 0x00A0, 0x02C7, 0x02D8, 0x0141, 0x00A4, 0x0104, 0x00A6,
    0x00A7, 0x00A8, 0x00A9, 0x015E, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x017B, 0x00B0, 0x00B1, 0x02DB, 0x0142,
    0x00B4, 0x00B5, 0x00B6, 0x00B7, 0x00B8, 0x0105, 0x015F, 0x00BB, 0x013D, 0x02DD, 0x013E, 0x017C, 0x0154,
    0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7, 0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD,
    0x00CE, 0x010E, 0x0110, 0x0143, 0x0147, 0x00D3, 0x00D4, 0x0150, 0x00D6, 0x00D7, 0x0158, 0x016E, 0x00DA,
    0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF, 0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7,
    0x010D, 0x00E9, 0x0119, 0x00EB, 0x011B, 0x00ED, 0x00EE, 0x010F, 0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4,
    0x0151, 0x00F6, 0x00F7, 0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9,
};

// Romanian keyboards type S and T with a comma below (U+0218..U+021B); the
// code page has them with a cedilla, which is how the module shows them.
char16_t withCedilla(char16_t c) {
    switch (c) {
        case 0x0218:
            return 0x015E;   // Ș -> Ş
        case 0x0219:
            return 0x015F;   // ș -> ş
        case 0x021A:
            return 0x0162;   // Ț -> Ţ
        case 0x021B:
            return 0x0163;   // ț -> ţ
        default:
            return c;
    }
}

// The byte for a character, or 0 when the code page has none (NUL itself is
// below 0x80 and handled before).
char encodeHigh(char16_t c) {
    c = withCedilla(c);
    for (int i = 0; i < 128; ++i)
        if (kHigh[i] == c) return char(0x80 + i);
    return 0;
}

char encodeChar(char16_t c) {
    if (c < 0x80) return char(c);
    const char b = encodeHigh(c);
    return b ? b : '?';
}

}   // namespace

QString fromCp1250(const QByteArray& bytes) {
    QString out;
    out.reserve(bytes.size());
    for (char b : bytes) {
        const auto u = uint8_t(b);
        out.append(QChar(u < 0x80 ? char16_t(u) : kHigh[u - 0x80]));
    }
    return out;
}

QByteArray toCp1250(const QString& s) {
    QByteArray out;
    out.reserve(s.size());
    for (QChar c : s) out.append(encodeChar(c.unicode()));
    return out;
}

int firstUnencodable(const QString& s) {
    for (int i = 0; i < s.size(); ++i) {
        const char16_t c = s[i].unicode();
        if (c >= 0x80 && !encodeHigh(c)) return i;
    }
    return -1;
}

bool isMultiByteUtf8(const QByteArray& bytes) {
    bool high = false;
    for (int i = 0; i < bytes.size();) {
        const auto b = uint8_t(bytes[i]);
        if (b < 0x80) {
            ++i;
            continue;
        }
        high = true;
        // The length of the sequence and the range its second byte must fall
        // in, which rules out overlong forms, surrogates and code points past
        // U+10FFFF.
        int length;
        uint8_t low = 0x80, top = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            length = 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            length = 3;
            if (b == 0xE0) low = 0xA0;
            if (b == 0xED) top = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            length = 4;
            if (b == 0xF0) low = 0x90;
            if (b == 0xF4) top = 0x8F;
        } else {
            return false;
        }
        if (i + length > bytes.size()) return false;
        const auto second = uint8_t(bytes[i + 1]);
        if (second < low || second > top) return false;
        for (int k = 2; k < length; ++k)
            if ((uint8_t(bytes[i + k]) & 0xC0) != 0x80) return false;
        i += length;
    }
    return high;
}

ConvertError::ConvertError(const QByteArray& t)
    : std::runtime_error("'" + t.toStdString() + "' is not a valid integer value"), text(t) {}

bool tryStrToInt(const QByteArray& s, int& out) {
    int i = 0;
    const int n = s.size();
    while (i < n && s[i] == ' ') ++i;
    bool neg = false;
    if (i < n && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
    int base = 10;
    if (i < n && s[i] == '$') {
        base = 16;
        ++i;
    } else if (i + 1 < n && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= n) return false;
    int64_t v = 0;
    for (; i < n; ++i) {
        const char c = s[i];
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        v = v * base + d;
        if (v > int64_t(std::numeric_limits<int>::max()) + 1) return false;
    }
    if (neg) v = -v;
    if (v > std::numeric_limits<int>::max() || v < std::numeric_limits<int>::min()) return false;
    out = int(v);
    return true;
}

int strToInt(const QByteArray& s) {
    int v = 0;
    if (!tryStrToInt(s, v)) throw ConvertError(s);
    return v;
}

}   // namespace text
