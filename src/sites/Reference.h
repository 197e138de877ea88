#pragma once
// Where the site database is: a SQLite file (a path, or "sqlite:PATH"), or a
// PostgreSQL server in the URI form libpq takes:
//   postgresql://USER@HOST[:PORT]/DBNAME[?sslmode=…&…]
//   postgresql://USER@/DBNAME?host=/run/postgresql   (a socket folder)
// A password is never part of it: libpq finds it in PGPASSFILE, ~/.pgpass or
// PGPASSWORD, and reads its TLS options (sslmode, sslrootcert…) from the
// query or its own environment.
#include <QList>
#include <QPair>
#include <QString>

#include <optional>

namespace sites {

struct Reference {
    enum class Engine { SQLite, PostgreSQL };
    Engine engine = Engine::SQLite;
    QString path;   // SQLite: the file
    // PostgreSQL: what libpq is given; empty: libpq's own default.
    QString user, host, database;
    int port = -1;
    QList<QPair<QString, QString>> options;   // the query's further keywords (sslmode, …)

    // Empty text: the default file. Nothing, with why set, for a reference
    // that is not understood or carries a password.
    static std::optional<Reference> parse(const QString& text, const QString& defaultPath, QString* why);
    bool isTeam() const { return engine == Engine::PostgreSQL; }
    // As the user sees it named: the file, or postgresql://USER@HOST:PORT/DBNAME.
    QString display() const;
    // libpq's further keywords for Qt's connect options ("k='v';…").
    QString connectOptions() const;
};

}   // namespace sites
