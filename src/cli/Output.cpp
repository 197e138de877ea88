#include "cli/Internal.h"
#include "cli/Tool.h"

#include "core/modem/TModem.h"
#include "core/text/Codec.h"

#include <QJsonDocument>

#include <algorithm>
#include <cstdio>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#endif

namespace cli {
namespace {

// A key or value quoted in a message, cut to a length that fits a line.
QString shortened(const QString& text) {
    const int kMax = 40;
    return text.size() <= kMax ? text : text.left(kMax) + QStringLiteral("…");
}

// A Windows console is given the text itself: the bytes would be shown in
// the console's code page, not the program's. Pipes and files get the bytes.
// False when `to` is no console.
bool toConsole(FILE* to, const QString& text) {
#ifdef _WIN32
    const auto handle = HANDLE(_get_osfhandle(_fileno(to)));
    DWORD mode;
    if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) return false;
    std::fflush(to);
    DWORD written;
    return WriteConsoleW(handle, reinterpret_cast<const wchar_t*>(text.utf16()), DWORD(text.size()), &written,
                         nullptr) != 0;
#else
    (void)to;
    (void)text;
    return false;
#endif
}

}   // namespace

QString escaped(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (c == QLatin1Char('\\'))
            out += QLatin1String("\\\\");
        else if (c == QLatin1Char('\n'))
            out += QLatin1String("\\n");
        else if (c == QLatin1Char('\r'))
            out += QLatin1String("\\r");
        else if (c == QLatin1Char('\t'))
            out += QLatin1String("\\t");
        else if (u < 0x20 || (u >= 0x7F && u <= 0x9F))
            out += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

QByteArray quoted(const QString& text) { return shortened(text).toLocal8Bit(); }
QByteArray quoted(const QByteArray& cp1250) { return quoted(text::fromCp1250(cp1250)); }

void Tool::say(const char* fmt, const QByteArray& a, const QByteArray& b) const {
    // Kept as the reason of the event that fails with it.
    const int n = std::max(0, std::snprintf(nullptr, 0, fmt, a.constData(), b.constData()));
    lastSaid_ = QByteArray(n, '\0');
    std::snprintf(lastSaid_.data(), size_t(n) + 1, fmt, a.constData(), b.constData());
    const QByteArray line = "kestrum-cli: " + moduleTag_ + lastSaid_ + '\n';
    if (!toConsole(env_.err, QString::fromLocal8Bit(line))) std::fputs(line.constData(), env_.err);
}

void Tool::print(const QByteArray& line) const { printText(text::fromCp1250(line)); }

void Tool::printText(const QString& line) const {
    if (toConsole(env_.out, line + QLatin1Char('\n'))) return;
    const QByteArray local = line.toLocal8Bit();
    std::fwrite(local.constData(), 1, size_t(local.size()), env_.out);
    std::fputc('\n', env_.out);
    std::fflush(env_.out);
}

void Tool::printJson(const QJsonDocument& doc) const {
    const QByteArray utf8 = doc.toJson(QJsonDocument::Compact);
    if (toConsole(env_.out, QString::fromUtf8(utf8) + QLatin1Char('\n'))) return;
    std::fwrite(utf8.constData(), 1, size_t(utf8.size()), env_.out);
    std::fputc('\n', env_.out);
    std::fflush(env_.out);
}

std::function<void(int)> Tool::progress(int total) const {
    if (!env_.errIsTerminal) return {};
    return [this, total](int done) {
        const int width = 40;
        const int filled = done * width / total;
        std::fprintf(env_.err, "\r[%s%s] %3d/%d", QByteArray(filled, '#').constData(),
                     QByteArray(width - filled, '.').constData(), done, total);
        std::fflush(env_.err);
        progressShown_ = true;
    };
}

void Tool::endProgress() const {
    if (progressShown_) std::fprintf(env_.err, "\n");
    progressShown_ = false;
}

QByteArray Tool::linkReason() const {
    QString why;
    if (overModem_)
        why = session_->Modem() ? session_->Modem()->PortError() : QString();
    else
        why = session_->UsbProblem();
    return why.isEmpty() ? QByteArray() : " (" + why.toLocal8Bit() + ")";
}

int Tool::exchangeFailure(const QByteArray& key, Outcome result) const {
    endProgress();
    if (interrupted_) {
        say("interrupted");
        return Interrupted;
    }
    switch (result) {
        case Outcome::Refused:
            say("the module refused %s", quoted(key));
            return ParamRefused;
        case Outcome::LinkLost:
            say("the module was disconnected%s", linkReason());
            return NoModule;
        case Outcome::NotSent:
            say("%s cannot be sent to the module", quoted(key));
            return Usage;
        case Outcome::Accepted:
        case Outcome::NoAnswer:
            break;
    }
    say("no answer from the module for %s", quoted(key));
    return NoAnswer;
}

// A Read or Write that stopped: the link going names how far it got.
int Tool::transferFailure(Outcome result, const QByteArray& key, int done) {
    if (result != Outcome::LinkLost || interrupted_) return exchangeFailure(key, result);
    endProgress();
    say("the module was disconnected after %s of %s", QByteArray::number(done),
        QByteArray::number(form().bindings.Count()) + " settings" + linkReason());
    return NoModule;
}

// A command's failures that come as exceptions (a file, a value) end it with
// their own exit code.
int Tool::guarded(const std::function<int()>& body) {
    try {
        return body();
    } catch (const text::ConvertError& e) {
        endProgress();
        say("'%s' is not a valid integer value", quoted(e.text));
        return Failure;
    } catch (const std::exception& e) {
        endProgress();
        say("%s", e.what());
        return FileError;
    }
}

}   // namespace cli
