#pragma once
// The two text streams the device pushes besides command answers:
//  - status pairs on channel 4, each "{" key "=" value "}";
//  - log lines on channel 3, each ended by a carriage return.
// Both arrive in pieces of any size; these classes keep the unfinished rest
// between deliveries and hand out every complete pair or line. No widgets here.
#include <QByteArray>
#include <QList>

#include <functional>

// Cuts "{key=value}" pairs out of the received status text.
//
// For every delivery: append it to the buffer, then repeat
//   - no "{" in the buffer: stop, the buffer keeps its content;
//   - no "}" in the buffer: stop, wait for more text;
//   - if the first "{" lies before the first "}" and the first "=" of the
//     buffer lies between them, the text between "{" and "=" is the key and the
//     text between "=" and "}" the value (an empty value becomes " ");
//   - drop everything up to and including that first "}", whether or not a
//     pair was taken.
// So junk is dropped one "}" at a time, and "a=b{RFE=3}" yields nothing
// because the first "=" lies before the "{".
//
// Memory: the buffer never keeps more than kMaxBuffer bytes. A delivery is
// parsed as a whole first, so no complete pair is ever lost however large the
// delivery; afterwards an unparsed rest longer than kMaxBuffer keeps only its
// last kMaxBuffer bytes (the oldest bytes are dropped). A rest that long is junk
// anyway: no real pair comes near that size.
//
// apply must not feed the same parser again.
class StatusTextParser {
public:
    void Feed(const QByteArray& text, const std::function<void(const QByteArray& key, const QByteArray& value)>& apply);
    QByteArray Buffer() const { return buffer_; }
    static constexpr int kMaxBuffer = 64 * 1024;

private:
    QByteArray buffer_;
};

// Cuts carriage-return-terminated lines out of the received log text.
//
// A delivery ends at its first zero byte; the bytes after it are dropped. The
// text is appended to the buffer; each carriage return ends a line, which is
// handed out without it. Only the carriage return itself is removed: a line feed
// after it stays and becomes the first byte of the next line.
//
// Memory: as for the status parser, the delivery is split as a whole first;
// then an unfinished rest longer than kMaxBuffer keeps only its last kMaxBuffer
// bytes.
//
// emitLine must not feed the same splitter again.
class LogLineSplitter {
public:
    void Feed(const QByteArray& text, const std::function<void(const QByteArray& line)>& emitLine);
    QByteArray Buffer() const { return buffer_; }
    static constexpr int kMaxBuffer = 64 * 1024;

private:
    QByteArray buffer_;
};

// The part of a log line that starts at the "<" of the first module tag found,
// trying the module names in list order; a module tag is "] <" name "> (", so
// "DTMF" does not match a "DTMFF" line. A null QByteArray when no name matches.
QByteArray ModuleTagCut(const QByteArray& line, const QList<QByteArray>& modules);
