#include "sites/Reference.h"

#include <QUrl>

namespace sites {
namespace {

QString decoded(const QString& s) { return QUrl::fromPercentEncoding(s.toUtf8()); }

bool isPasswordKey(const QString& key) { return key == QLatin1String("password"); }

}   // namespace

std::optional<Reference> Reference::parse(const QString& text, const QString& defaultPath, QString* why) {
    Reference r;
    QString uri = text.trimmed();
    if (uri.isEmpty()) {
        r.path = defaultPath;
        return r;
    }
    if (uri.startsWith(QLatin1String("sqlite:"))) {
        r.path = uri.mid(7);
        if (r.path.isEmpty()) {
            *why = QStringLiteral("%1: no file after sqlite:").arg(text);
            return std::nullopt;
        }
        return r;
    }
    const QString scheme = uri.section(QLatin1String("://"), 0, 0);
    if (!uri.contains(QLatin1String("://")) || scheme.contains('/') || scheme.contains('\\') ||
        (scheme.size() == 1 && scheme[0].isLetter())) {   // a path, also C:\… on Windows
        r.path = uri;
        return r;
    }
    if (scheme != QLatin1String("postgresql") && scheme != QLatin1String("postgres")) {
        *why = QStringLiteral("%1: a database is a file, sqlite:FILE or postgresql://USER@HOST/DBNAME").arg(text);
        return std::nullopt;
    }
    r.engine = Engine::PostgreSQL;
    QString rest = uri.mid(scheme.size() + 3);
    QString query;
    if (const int q = rest.indexOf('?'); q >= 0) {
        query = rest.mid(q + 1);
        rest.truncate(q);
    }
    QString authority = rest, path;
    if (const int slash = rest.indexOf('/'); slash >= 0) {
        authority = rest.left(slash);
        path = rest.mid(slash + 1);
    }
    if (const int at = authority.lastIndexOf('@'); at >= 0) {
        const QString userinfo = authority.left(at);
        authority = authority.mid(at + 1);
        if (userinfo.contains(':')) {
            *why = QStringLiteral(
                "a password is not taken in a database reference; libpq reads it from "
                "PGPASSFILE, ~/.pgpass or PGPASSWORD");
            return std::nullopt;
        }
        r.user = decoded(userinfo);
    }
    // HOST, [IPv6] or nothing, then :PORT.
    QString portText;
    if (authority.startsWith('[')) {
        const int close = authority.indexOf(']');
        if (close < 0) {
            *why = QStringLiteral("%1: an address in [ ] is not closed").arg(text);
            return std::nullopt;
        }
        r.host = authority.mid(1, close - 1);
        if (authority.mid(close + 1).startsWith(':')) portText = authority.mid(close + 2);
    } else {
        const int colon = authority.lastIndexOf(':');
        r.host = decoded(colon >= 0 ? authority.left(colon) : authority);
        if (colon >= 0) portText = authority.mid(colon + 1);
    }
    if (!portText.isEmpty()) {
        bool ok = false;
        r.port = portText.toInt(&ok);
        if (!ok || r.port <= 0 || r.port > 65535) {
            *why = QStringLiteral("%1: %2 is no port number").arg(text, portText);
            return std::nullopt;
        }
    }
    r.database = decoded(path);
    for (const QString& pair : query.split('&', Qt::SkipEmptyParts)) {
        const QString key = decoded(pair.section('=', 0, 0));
        const QString value = decoded(pair.section('=', 1));
        if (isPasswordKey(key)) {
            *why = QStringLiteral(
                "a password is not taken in a database reference; libpq reads it from PGPASSFILE, "
                "~/.pgpass or PGPASSWORD");
            return std::nullopt;
        }
        if (key == QLatin1String("host"))
            r.host = value;
        else if (key == QLatin1String("port"))
            r.port = value.toInt();
        else if (key == QLatin1String("user"))
            r.user = value;
        else if (key == QLatin1String("dbname"))
            r.database = value;
        else
            r.options.append({key, value});
    }
    return r;
}

QString Reference::display() const {
    if (engine == Engine::SQLite) return path;
    QString text = QStringLiteral("postgresql://");
    if (!user.isEmpty()) text += user + '@';
    if (!host.startsWith('/')) text += host.contains(':') ? '[' + host + ']' : host;
    if (port > 0 && !host.startsWith('/')) text += ':' + QString::number(port);
    text += '/' + database;
    if (host.startsWith('/')) {
        text += QStringLiteral("?host=") + host;
        if (port > 0) text += QStringLiteral("&port=") + QString::number(port);
    }
    return text;
}

QString Reference::connectOptions() const {
    QStringList out;
    for (const auto& [key, value] : options) {
        QString v = value;
        v.replace('\\', QLatin1String("\\\\")).replace('\'', QLatin1String("\\'"));
        out << key + QStringLiteral("='") + v + '\'';
    }
    return out.join(';');
}

}   // namespace sites
