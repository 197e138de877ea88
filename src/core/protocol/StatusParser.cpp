#include "core/protocol/StatusParser.h"

#include <cstring>

namespace {

// Keeps at most `limit` bytes of the buffer: its newest ones.
void keepNewest(QByteArray& buffer, int limit) {
    if (buffer.size() > limit) buffer.remove(0, buffer.size() - limit);
}

}   // namespace

void StatusTextParser::Feed(const QByteArray& text,
                            const std::function<void(const QByteArray& key, const QByteArray& value)>& apply) {
    buffer_.append(text);

    // `pos` marks the front of the buffer: everything before it counts as
    // removed. The bytes are cut off once at the end, so a delivery holding
    // many pairs is handled in linear time.
    qsizetype pos = 0;
    qsizetype open = -1;   // first "{" at or after pos, kept while still ahead
    for (;;) {
        if (open < pos) open = buffer_.indexOf('{', pos);
        if (open < 0) break;
        const qsizetype close = buffer_.indexOf('}', pos);
        if (close < 0) break;
        if (open < close) {
            // The first "=" of the buffer: only whether it lies between the
            // braces matters, so searching up to the "}" is enough.
            const char* from = buffer_.constData() + pos;
            const void* hit = std::memchr(from, '=', size_t(close - pos));
            const qsizetype eq = hit ? pos + (static_cast<const char*>(hit) - from) : -1;
            if (eq > open) {
                const QByteArray key = buffer_.mid(open + 1, eq - open - 1);
                QByteArray value = buffer_.mid(eq + 1, close - eq - 1);
                if (value.isEmpty()) value = " ";
                apply(key, value);
            }
        }
        pos = close + 1;
    }
    buffer_.remove(0, pos);
    keepNewest(buffer_, kMaxBuffer);
}

void LogLineSplitter::Feed(const QByteArray& text, const std::function<void(const QByteArray& line)>& emitLine) {
    const qsizetype zero = text.indexOf('\0');
    buffer_.append(zero < 0 ? text : text.left(zero));

    qsizetype pos = 0;
    for (;;) {
        const qsizetype cr = buffer_.indexOf('\r', pos);
        if (cr < 0) break;
        emitLine(buffer_.mid(pos, cr - pos));
        pos = cr + 1;
    }
    buffer_.remove(0, pos);
    keepNewest(buffer_, kMaxBuffer);
}

QByteArray ModuleTagCut(const QByteArray& line, const QList<QByteArray>& modules) {
    for (const QByteArray& name : modules) {
        const QByteArray tag = "] <" + name + "> (";
        const qsizetype t = line.indexOf(tag);
        if (t >= 0) return line.mid(t + 2);
    }
    return QByteArray();
}
