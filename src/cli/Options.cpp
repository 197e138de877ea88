#include "cli/Internal.h"
#include "cli/Tool.h"

#include "core/config/IniFile.h"
#include "core/config/WholeFile.h"
#include "core/protocol/Session.h"
#include "core/text/Codec.h"
#include "ui/widgets/TextInput.h"

#include <QCommandLineParser>
#include <QFileInfo>

namespace cli {
namespace {

constexpr char kUsage[] =
    "usage: kestrum-cli COMMAND [ARGS] [OPTIONS]\n"
    "commands:\n"
    "  read --out FILE.ini          read every setting and save them\n"
    "  write FILE.ini [--verify] [--all]\n"
    "                               open a settings file and write it to the module;\n"
    "                               --verify reads every setting back and compares,\n"
    "                               --all writes every attached module in turn\n"
    "  get KEY... [--json]          print KEY=VALUE for each key\n"
    "  set KEY=VALUE...             set each, stopping at the first failure\n"
    "  volumes [--mic N] [--spk N]  print or set the microphone and speaker levels\n"
    "  status [--json]              print the module's status values\n"
    "  log                          print the module's log lines until interrupted\n"
    "  list [--json]                print every attached module: path, serial number, product\n"
    "  diff [A.ini] B.ini [--json]  compare the module (or A.ini) with B.ini: KEY (caption): left -> right;\n"
    "                               exit 0 when equal, 1 when not\n"
    "  report [FILE.ini] --pdf OUT.pdf\n"
    "                               the commissioning report of the file, or of the module\n"
    "  sites [--json]               print the sites: name, customer, address, module\n"
    "  site add NAME [--address A] [--customer C] [--notes N]\n"
    "                               add a site to the site database\n"
    "  site assign NAME [--device SERIAL | --phone NUMBER]\n"
    "                               install the attached module (or the one named) at the site\n"
    "  history [--site NAME | --module SERIAL] [--limit N] [--json]\n"
    "                               what was done to the modules, newest first\n"
    "  export REF --out FILE.ini    save a snapshot as a settings file\n"
    "  restore REF [--verify]       write a snapshot to the module\n"
    "  import FILES|FOLDER --site NAME\n"
    "                               store settings files as snapshots of the site\n"
    "  db check                     print the site database's engine and schema, and whether it is current\n"
    "  db migrate                   bring the site database's schema up to this version\n"
    "  db copy --from REF --to REF  copy one site database into another (a file to the team server,\n"
    "                               and back); what is there already is not copied again\n"
    "  sync                         send the records kept while the team database was out of reach\n"
    "A settings file of write, diff and report may be a snapshot reference (REF) instead:\n"
    "@ID, @site:NAME (the site's latest snapshot) or @module:SERIAL (the module's latest).\n"
    "Read, write, verify, diff with the module, restore and volumes set are recorded in\n"
    "the site database, with the module's status at the connection.\n"
    "options:\n"
    "  --password PW      device password (default 4826)\n"
    "  --wait SECONDS     how long to wait for the module (default 5)\n"
    "  --device PATH|SERIAL  the module to use when several are attached (see list)\n"
    "  --lang en|hu|ro    the language of captions in status, diff and report (default en)\n"
    "  --encoding windows-1250|utf-8\n"
    "                     the encoding of a settings file whose text reads as UTF-8 but\n"
    "                     has no byte-order mark (refused without it)\n"
    "  --demo [N]         use the simulated module (N of them, default 1)\n"
    "  --serial-port PATH --phone NUMBER   reach the module through a GSM modem data call\n"
    "  --database REF     the site database: a file (or sqlite:FILE), or a team server as\n"
    "                     postgresql://USER@HOST[:PORT]/DBNAME[?sslmode=...] (default:\n"
    "                     $KESTRUM_DATABASE, else sites.sqlite in the user's application-data\n"
    "                     folder); libpq finds the password in PGPASSFILE, ~/.pgpass or PGPASSWORD.\n"
    "                     Records for a team server out of reach wait in team-queue.sqlite\n"
    "                     beside sites.sqlite and are sent when it is reached again\n"
    "  --no-record        record nothing in the site database in this run\n"
    "  --operator NAME    who works, as the history names it (default: the user name)\n"
    "  --version          print the version\n"
    "Values the module holds are printed with control characters escaped: \\n, \\r, \\t,\n"
    "\\xHH for the others (ESC is \\x1b), and a backslash as \\\\.\n";

// What each exit code means; --help lists them, the README has the same table.
const struct {
    Exit code;
    const char* meaning;
} kExitCodes[] = {
    {Ok, "done"},
    {Failure, "a value the window could not take (not an integer, or not sendable, in the file)"},
    {Usage, "usage error, or a key or value that cannot be sent"},
    {NoModule,
     "no module found, the data call failed, or the module went away (how far it got is said; log says that "
     "it ended)"},
    {LoginRefused, "the module refused the password"},
    {ParamRefused, "the module refused a parameter (named on standard error)"},
    {NoAnswer, "no answer from the module for a parameter (named)"},
    {FileError,
     "a file that cannot be read or written (a full disk, a FIFO or device, over 1 MiB), is not a settings "
     "file, or whose encoding cannot be told without --encoding"},
    {Mismatch, "write --verify: the module holds other values than were written (each is listed)"},
    {UnknownSite, "no site of that name in the site database"},
    {UnknownReference, "no snapshot behind the reference (@ID, @site:NAME, @module:SERIAL)"},
    {DatabaseUnusable,
     "the site database cannot be used (why is said) by a command that needs it: sites, site, history, a "
     "reference, export, restore, import; for the others recording is given up and the work goes on"},
    {DatabaseOld, "db check: the site database's schema is older than this version's (db migrate upgrades it)"},
    {Interrupted, "interrupted (Ctrl+C or SIGTERM, also the usual end of log); nothing is written"},
};

}   // namespace

void printUsage(FILE* to) {
    std::fputs(kUsage, to);
    std::fputs("exit codes:\n", to);
    for (const auto& e : kExitCodes) std::fprintf(to, "  %3d  %s\n", int(e.code), e.meaning);
}

QStringList takeDemoCount(QStringList args, int* count) {
    *count = 1;
    for (int i = 0; i < args.size(); ++i) {
        bool number = false;
        if (args[i].startsWith(QLatin1String("--demo="))) {
            *count = args[i].mid(7).toInt(&number);
            if (!number) *count = -1;
            args[i] = QStringLiteral("--demo");
        } else if (args[i] == QLatin1String("--demo") && i + 1 < args.size()) {
            const int n = args[i + 1].toInt(&number);
            if (number) {
                *count = n;
                args.removeAt(i + 1);
            }
        }
    }
    return args;
}

void addOptions(QCommandLineParser& p) {
    p.addOptions({
        {"out", "", "file"},
        {"password", "", "pw", "4826"},
        {"wait", "", "seconds", "5"},
        {"demo", ""},
        {"serial-port", "", "path"},
        {"phone", "", "number"},
        {"mic", "", "level"},
        {"spk", "", "level"},
        {"json", ""},
        {"verify", ""},
        {"all", ""},
        {"device", "", "path-or-serial"},
        {"lang", "", "language", "en"},
        {"pdf", "", "file"},
        {"encoding", "", "encoding"},
        {"database", "", "reference"},
        {"from", "", "reference"},
        {"to", "", "reference"},
        {"no-record", ""},
        {"operator", "", "name"},
        {"address", "", "text"},
        {"customer", "", "text"},
        {"notes", "", "text"},
        {"site", "", "name"},
        {"module", "", "serial-or-phone"},
        {"limit", "", "count"},
        {{"h", "help"}, ""},
        {"version", ""},
    });
}

QString english(lang::Msg m) { return lang::message(lang::Language::English, m); }

// --password, else KESTRUM_PASSWORD (kept out of the process list), else the default.
QByteArray Tool::password() const {
    if (p_.isSet("password")) return text::toCp1250(p_.value("password"));
    const QString env = qEnvironmentVariable("KESTRUM_PASSWORD");
    return env.isEmpty() ? QByteArray(kDefaultPassword) : text::toCp1250(env);
}

lang::Language Tool::language() const {
    const QString code = p_.value("lang");
    return code == QLatin1String("hu")   ? lang::Language::Hungarian
           : code == QLatin1String("ro") ? lang::Language::Romanian
                                         : lang::Language::English;
}

// --encoding: how a settings file without a byte-order mark is read when its
// text would read as UTF-8; none: such a file is refused.
std::optional<FileEncoding> Tool::encoding() const {
    if (!p_.isSet("encoding")) return std::nullopt;
    return p_.value("encoding").toLower() == QLatin1String("utf-8") ? FileEncoding::Utf8 : FileEncoding::Windows1250;
}

// A key or value from the command line that could not go to the module as
// typed (a line break would end the command and start another one).
bool Tool::sendable(const QString& what, const QString& text) const {
    const QString problem = ModuleTextProblem(text);
    if (problem.isEmpty()) return true;
    say("%s cannot be sent to the module: it holds %s", quoted(what), problem.toLocal8Bit());
    return false;
}

// read --out and report --pdf: a target that cannot be written is said before
// the module is looked for, not after it has been read.
bool Tool::outputWritable(const QString& command) {
    if (command == "read" || command == "export") {
        const QString out = p_.value("out");
        const IniFile existing(out);   // a regular file of at most the limit, or none
        if (existing.Readable()) return true;
        say("cannot write to %s: %s", out.toLocal8Bit(), existing.Error().toLocal8Bit());
        return false;
    }
    if (command == "report") {
        const QString pdf = p_.value("pdf");
        // The settings file the report is made of is never written over.
        const QString input = positional_.isEmpty() ? QString() : QFileInfo(positional_[0]).canonicalFilePath();
        if (!input.isEmpty() && QFileInfo(pdf).canonicalFilePath() == input) {
            say("cannot write the report to %s: it is the settings file it is made of", pdf.toLocal8Bit());
            return false;
        }
        const QString other = wholefile::notRegular(pdf);
        if (other.isEmpty() || wholefile::isCharacterDevice(pdf)) return true;
        say("cannot write the report to %s: not a regular file (%s)", pdf.toLocal8Bit(), other.toLocal8Bit());
        return false;
    }
    return true;
}

// The arguments of each command, checked before any module is looked for.
bool Tool::validate(const QString& command) {
    const auto fail = [this](const char* what, const QByteArray& a = {}) {
        say(what, a);
        return false;
    };
    if (QStringList{"read", "volumes", "status", "log", "list", "sites", "history"}.contains(command) &&
        !positional_.isEmpty())
        return fail("%s takes no further arguments", command.toLocal8Bit());
    if (command == "diff" && (positional_.isEmpty() || positional_.size() > 2))
        return fail("diff needs one settings file (compared with the module) or two");
    if (command == "report" && positional_.size() > 1) return fail("report takes at most one settings file");
    if (command == "report" && p_.value("pdf").isEmpty()) return fail("report needs --pdf FILE.pdf");
    if (p_.isSet("verify") && command != "write" && command != "restore")
        return fail("--verify goes with write and restore");
    if (p_.isSet("all") && command != "write") return fail("--all goes with write");
    if (!validateSites(command)) return false;
    if (p_.isSet("all") && (p_.isSet("device") || p_.isSet("serial-port")))
        return fail("--all writes every module on USB: not with --device or --serial-port");
    if (p_.isSet("device") && p_.isSet("serial-port"))
        return fail("--device picks a module on USB: not with --serial-port");
    if (!QStringList{"en", "hu", "ro"}.contains(p_.value("lang"))) return fail("--lang takes en, hu or ro");
    if (p_.isSet("encoding") && !QStringList{"windows-1250", "utf-8"}.contains(p_.value("encoding").toLower()))
        return fail("--encoding takes windows-1250 or utf-8");
    if (p_.isSet("encoding") && !QStringList{"write", "diff", "report", "import"}.contains(command))
        return fail("--encoding goes with write, diff, report and import");
    if (p_.isSet("demo") && (demoCount_ < 1 || demoCount_ > 16)) return fail("--demo takes 1 to 16 modules");
    if (command == "read" && p_.value("out").isEmpty()) return fail("read needs --out FILE.ini");
    if (command == "write" && positional_.size() != 1) return fail("write needs one FILE.ini");
    if ((command == "get" || command == "set") && positional_.isEmpty())
        return fail("%s needs at least one key", command.toLocal8Bit());
    if (command == "set")
        for (const QString& kv : positional_)
            if (kv.indexOf('=') <= 0) return fail("not KEY=VALUE: %s", quoted(kv));
    // Nothing that would end or split a command line, or that the module's
    // code page cannot hold, is sent: refused before the module is looked for.
    if (command == "get")
        for (const QString& k : positional_)
            if (!sendable(k, k)) return false;
    if (command == "set")
        for (const QString& kv : positional_) {
            const QString key = kv.left(kv.indexOf('='));
            if (!sendable(key, key) || !sendable(key, kv.mid(kv.indexOf('=') + 1))) return false;
        }
    if (p_.isSet("password") && !sendable("the password", p_.value("password"))) return false;
    if (!p_.isSet("password") && !sendable("the password", qEnvironmentVariable("KESTRUM_PASSWORD"))) return false;
    for (const auto& [option, max] : {std::pair<const char*, int>{"mic", 15}, {"spk", 100}}) {
        bool ok = true;
        const int v = p_.isSet(option) ? p_.value(option).toInt(&ok) : 0;
        if (!ok || v < 0 || v > max) {
            say("--%s takes a level from 0 to %s", option, QByteArray::number(max));
            return false;
        }
    }
    const bool assigning = command == "site" && positional_.value(0) == "assign";
    if (!assigning && p_.isSet("serial-port") != p_.isSet("phone"))
        return fail("--serial-port and --phone go together");
    if (p_.isSet("phone") && p_.value("phone").trimmed().isEmpty()) return fail("--phone needs the module's number");
    if (p_.isSet("phone") && !sendable("the phone number", p_.value("phone"))) return false;
    bool ok = false;
    const double wait = p_.value("wait").toDouble(&ok);
    if (!ok || !(wait >= 0 && wait <= 86400)) return fail("--wait takes a number of seconds from 0 to 86400");
    return true;
}

// The site database's commands and options.
bool Tool::validateSites(const QString& command) {
    const auto fail = [this](const char* what, const QByteArray& a = {}) {
        say(what, a);
        return false;
    };
    if (command == "site") {
        const QString sub = positional_.value(0);
        if ((sub != "add" && sub != "assign") || positional_.size() != 2)
            return fail("site takes add NAME or assign NAME");
        if (positional_[1].trimmed().isEmpty()) return fail("a site needs a name");
        if (sub == "assign" && p_.isSet("device") && p_.isSet("phone"))
            return fail("site assign takes --device or --phone, not both");
    }
    for (const char* option : {"address", "customer", "notes"})
        if (p_.isSet(option) && !(command == "site" && positional_.value(0) == "add"))
            return fail("--%s goes with site add", option);
    for (const char* option : {"module", "limit"})
        if (p_.isSet(option) && command != "history") return fail("--%s goes with history", option);
    if (p_.isSet("site") && command != "history" && command != "import")
        return fail("--site goes with history and import");
    if (p_.isSet("site") && p_.isSet("module")) return fail("history takes --site or --module, not both");
    if (p_.isSet("limit")) {
        bool ok = false;
        const int limit = p_.value("limit").toInt(&ok);
        if (!ok || limit < 1) return fail("--limit takes a number of events from 1");
    }
    if ((command == "export" || command == "restore") && (positional_.size() != 1 || !isReference(positional_[0])))
        return fail("%s needs one snapshot reference: @ID, @site:NAME or @module:SERIAL", command.toLocal8Bit());
    if (command == "export" && p_.value("out").isEmpty()) return fail("export needs --out FILE.ini");
    if (command == "import" && positional_.isEmpty()) return fail("import needs settings files or a folder");
    if (command == "import" && p_.value("site").trimmed().isEmpty()) return fail("import needs --site NAME");
    if (p_.isSet("operator") && p_.value("operator").trimmed().isEmpty()) return fail("--operator needs a name");
    if (p_.isSet("database") && p_.value("database").isEmpty()) return fail("--database needs a file or a server");
    if (command == "db") {
        const QString sub = positional_.value(0);
        if (!QStringList{"check", "migrate", "copy"}.contains(sub) || positional_.size() != 1)
            return fail("db takes check, migrate or copy");
        if (sub == "copy" && (p_.value("from").isEmpty() || p_.value("to").isEmpty()))
            return fail("db copy needs --from REF and --to REF");
        if (sub == "copy" && p_.isSet("database")) return fail("db copy takes --from and --to, not --database");
    }
    for (const char* option : {"from", "to"})
        if (p_.isSet(option) && command != "db") return fail("--%s goes with db copy", option);
    if (command == "sync" && !positional_.isEmpty()) return fail("sync takes no arguments");
    return true;
}

}   // namespace cli
