#include "core/config/IniFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

void putFile(const QString& path, const QByteArray& data) {
    QFile f(path);
    QVERIFY2(f.open(QIODevice::WriteOnly), qPrintable(path));
    QCOMPARE(f.write(data), qint64(data.size()));
}

QByteArray fileBytes(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return QByteArray("<unreadable>");
    return f.readAll();
}

QStringList entries(const QString& dir) {
    return QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
}

// Whether this process can create files in a directory without write permission
// (it runs with root rights); permission tests say nothing then.
bool permissionsIgnored(const QString& dir) {
    QFile probe(dir + "/probe");
    if (!probe.open(QIODevice::WriteOnly)) return false;
    probe.close();
    probe.remove();
    return true;
}

}   // namespace

class TestIniFile : public QObject {
    Q_OBJECT

private slots:
    void roundTrip();
    void windowsFileIsRead();
    void namesIgnoreAsciiCase();
    void firstSectionAndFirstKeyWin();
    void valuesAreTrimmedAndUnquoted_data();
    void valuesAreTrimmedAndUnquoted();
    void longValuesReadBackCut();
    void missingFileAndKeysGiveDefaults();
    void updateKeepsForeignContent();
    void newKeyPlacement_data();
    void newKeyPlacement();
    void eightBitBytesSurvive();
    void byteOrderMarkIsSkippedAndKept();
    void lineBreakInValueCannotAddLines();
    void refusedNamesFailTheUpdate();
    void unwritableDirectoryKeepsOldFile();
    void tooLongNameKeepsOldFile();
    void readOnlyFileIsNotReplaced();
    void directoryAsTargetFails();
    void fileSizeLimitKeepsOldFile_data();
    void fileSizeLimitKeepsOldFile();
    void fifoIsRefusedWithoutBlocking();
    void whatUpdateWritesReadsBack();

private:
    QTemporaryDir m_dir;
    QString file(const QString& name) const { return m_dir.filePath(name); }
};

void TestIniFile::roundTrip() {
    const QString path = file("round.ini");
    {
        IniFile ini(path);
        QCOMPARE(ini.path(), path);
        ini.WriteString("Settings", "EditPhoneNumber1", "+36301234567");
        ini.WriteString("Settings", "cbSMSfw", "1");
        ini.WriteString("Settings", "tbMinTemp", "-20");
        ini.WriteString("Settings", "EditSMS1", "");
        ini.WriteString("Settings", "cbSMSfw", "0");   // second write replaces the first
        QString error;
        QVERIFY2(ini.UpdateFile(&error), qPrintable(error));
    }
    QCOMPARE(fileBytes(path), QByteArray("[Settings]\r\n"
                                         "EditPhoneNumber1=+36301234567\r\n"
                                         "cbSMSfw=0\r\n"
                                         "tbMinTemp=-20\r\n"
                                         "EditSMS1=\r\n"));

    IniFile again(path);
    QCOMPARE(again.ReadString("Settings", "EditPhoneNumber1", "x"), QByteArray("+36301234567"));
    QCOMPARE(again.ReadString("Settings", "cbSMSfw", "x"), QByteArray("0"));
    QCOMPARE(again.ReadString("Settings", "tbMinTemp", "x"), QByteArray("-20"));
    QCOMPARE(again.ReadString("Settings", "EditSMS1", "x"), QByteArray(""));   // present but empty
    QVERIFY(!again.ReadString("Settings", "EditSMS1", "x").isNull());

    // Writing without changes reproduces the file byte for byte.
    QVERIFY(again.UpdateFile());
    QCOMPARE(fileBytes(path), QByteArray("[Settings]\r\n"
                                         "EditPhoneNumber1=+36301234567\r\n"
                                         "cbSMSfw=0\r\n"
                                         "tbMinTemp=-20\r\n"
                                         "EditSMS1=\r\n"));
    QCOMPARE(entries(m_dir.path()).filter("round"), QStringList{"round.ini"});
}

void TestIniFile::windowsFileIsRead() {
    const QString crlf = file("windows.ini");
    putFile(crlf, "[Settings]\r\ncbSMSfw=1\r\n");
    IniFile a(crlf);
    QCOMPARE(a.ReadString("Settings", "cbSMSfw", "d"), QByteArray("1"));

    // LF only, mixed line ends and no line end after the last line.
    const QString lf = file("unix.ini");
    putFile(lf, "[Settings]\nA=1\r\nB=2\nC=3");
    IniFile b(lf);
    QCOMPARE(b.ReadString("Settings", "A", "d"), QByteArray("1"));
    QCOMPARE(b.ReadString("Settings", "B", "d"), QByteArray("2"));
    QCOMPARE(b.ReadString("Settings", "C", "d"), QByteArray("3"));
    // Written back, every line ends with CR LF.
    QVERIFY(b.UpdateFile());
    QCOMPARE(fileBytes(lf), QByteArray("[Settings]\r\nA=1\r\nB=2\r\nC=3\r\n"));
}

void TestIniFile::namesIgnoreAsciiCase() {
    const QString path = file("case.ini");
    putFile(path, "[sETTINGS]\r\nCBSMSFW=1\r\n\xC1key=up\r\n");
    IniFile ini(path);
    QCOMPARE(ini.ReadString("Settings", "cbSMSfw", "d"), QByteArray("1"));
    QCOMPARE(ini.ReadString("SETTINGS", "cbsmsfw", "d"), QByteArray("1"));
    // Only ASCII letters fold: 0xC1 and 0xE1 are different names.
    QCOMPARE(ini.ReadString("settings", "\xC1KEY", "d"), QByteArray("up"));
    QCOMPARE(ini.ReadString("settings", "\xE1key", "d"), QByteArray("d"));

    // Writing an existing key in another case replaces its line, spelled as written.
    ini.WriteString("Settings", "cbSMSfw", "0");
    QVERIFY(ini.UpdateFile());
    QCOMPARE(fileBytes(path), QByteArray("[sETTINGS]\r\ncbSMSfw=0\r\n\xC1key=up\r\n"));
}

void TestIniFile::firstSectionAndFirstKeyWin() {
    const QString path = file("dups.ini");
    putFile(path, "[A]\r\nk=1\r\nK=2\r\n[a]\r\nk=3\r\nonly=4\r\n");
    IniFile ini(path);
    QCOMPARE(ini.ReadString("A", "k", "d"), QByteArray("1"));
    QCOMPARE(ini.ReadString("a", "only", "d"), QByteArray("d"));   // second [a] is not searched

    ini.WriteString("a", "K", "9");
    ini.WriteString("A", "only", "5");
    QVERIFY(ini.UpdateFile());
    QCOMPARE(fileBytes(path), QByteArray("[A]\r\nK=9\r\nK=2\r\nonly=5\r\n[a]\r\nk=3\r\nonly=4\r\n"));
}

void TestIniFile::valuesAreTrimmedAndUnquoted_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("blanks around") << QByteArray("  k  =  some value \t") << QByteArray("some value");
    QTest::newRow("tab before key") << QByteArray("\tk=v") << QByteArray("v");
    QTest::newRow("second equals") << QByteArray("k=a=b") << QByteArray("a=b");
    QTest::newRow("double quotes") << QByteArray("k=\"  spaced  \"") << QByteArray("  spaced  ");
    QTest::newRow("single quotes") << QByteArray("k='x'") << QByteArray("x");
    QTest::newRow("quotes then blanks") << QByteArray("k=  \"x\"  ") << QByteArray("x");
    QTest::newRow("empty quotes") << QByteArray("k=\"\"") << QByteArray("");
    QTest::newRow("one pair only") << QByteArray("k=\"\"x\"\"") << QByteArray("\"x\"");
    QTest::newRow("inner quote") << QByteArray("k=\"a\"b\"") << QByteArray("a\"b");
    QTest::newRow("mixed quotes") << QByteArray("k=\"x'") << QByteArray("\"x'");
    QTest::newRow("lone quote") << QByteArray("k=\"") << QByteArray("\"");
    QTest::newRow("quote at start only") << QByteArray("k=\"abc") << QByteArray("\"abc");
    QTest::newRow("empty") << QByteArray("k=") << QByteArray("");
    QTest::newRow("blank") << QByteArray("k=   ") << QByteArray("");
}

void TestIniFile::valuesAreTrimmedAndUnquoted() {
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, expected);
    const QString path = file("trim.ini");
    putFile(path, "[  Settings ]\r\n" + line + "\r\n");
    IniFile ini(path);
    QCOMPARE(ini.ReadString("Settings", "k", "default"), expected);
}

void TestIniFile::longValuesReadBackCut() {
    const QString path = file("long.ini");
    const QByteArray exact(2047, 'a');
    QByteArray longer(3000, 'b');
    longer[2046] = 'X';
    longer[2047] = 'Y';

    IniFile ini(path);
    ini.WriteString("Settings", "exact", exact);
    ini.WriteString("Settings", "longer", longer);
    QCOMPARE(ini.ReadString("Settings", "exact", ""), exact);
    QCOMPARE(ini.ReadString("Settings", "longer", ""), longer.left(2047));
    QVERIFY(ini.UpdateFile());

    // The whole value is in the file; only reading cuts it.
    QVERIFY(fileBytes(path).contains("longer=" + longer + "\r\n"));
    IniFile again(path);
    const QByteArray read = again.ReadString("Settings", "longer", "");
    QCOMPARE(read.size(), 2047);
    QCOMPARE(read.back(), 'X');
    QCOMPARE(again.ReadString("Settings", "exact", ""), exact);

    // Quotes are removed before the cut.
    putFile(path, "[S]\r\nq=\"" + QByteArray(2046, 'c') + "Z\"\r\n");
    IniFile quoted(path);
    QCOMPARE(quoted.ReadString("S", "q", ""), QByteArray(2046, 'c') + "Z");
}

void TestIniFile::missingFileAndKeysGiveDefaults() {
    const QString path = file("missing.ini");
    IniFile ini(path);
    QCOMPARE(ini.ReadString("Settings", "cbSMSfw", "dflt"), QByteArray("dflt"));
    QCOMPARE(ini.ReadString("Settings", "cbSMSfw", ""), QByteArray(""));
    QVERIFY(!QFile::exists(path));   // reading creates nothing

    const QString other = file("other.ini");
    putFile(other,
            "; header\r\n"
            "orphan=1\r\n"   // before any section
            "[Other]\r\ncbSMSfw=1\r\n"
            "[Settings]\r\n"
            ";cbSMSfw=1\r\n"   // a comment, not a key
            "cbSMSfw\r\n"      // no '=': not a key
            "[broken\r\n");    // no ']': not a section
    IniFile partial(other);
    QCOMPARE(partial.ReadString("Settings", "cbSMSfw", "d"), QByteArray("d"));
    QCOMPARE(partial.ReadString("Settings", ";cbSMSfw", "d"), QByteArray("d"));
    QCOMPARE(partial.ReadString("", "orphan", "d"), QByteArray("d"));
    QCOMPARE(partial.ReadString("broken", "x", "d"), QByteArray("d"));
    QCOMPARE(partial.ReadString("Other", "cbSMSfw", "d"), QByteArray("1"));
    // Only key lines count as present, an empty value included.
    QVERIFY(!partial.HasKey("Settings", "cbSMSfw"));
    QVERIFY(partial.HasKey("OTHER", "CBSMSFW"));
    putFile(other, "[Settings]\r\nedSMS1=\r\n");
    QVERIFY(IniFile(other).HasKey("settings", "edsms1"));
}

void TestIniFile::updateKeepsForeignContent() {
    const QString path = file("foreign.ini");
    const QByteArray before =
        "; written by hand\r\n"
        "[Other]\r\n"
        "cbSMSfw = 7 \r\n"
        "Foreign=\"quoted\"\r\n"
        "\r\n"
        "[Settings]\r\n"
        "  EditPhoneNumber1 =  +361  \r\n"
        "; keep me\r\n"
        "Unknown=kept\r\n"
        "garbage line\r\n"
        "\r\n"
        "\r\n"
        "[Tail]\r\n"
        "z=\xB0\r\n";
    putFile(path, before);

    IniFile ini(path);
    ini.WriteString("Settings", "editphonenumber1", "+3620");
    ini.WriteString("Settings", "cbSMSfw", "1");
    ini.WriteString("Extra", "k", "v");
    QVERIFY(ini.UpdateFile());

    QCOMPARE(fileBytes(path), QByteArray("; written by hand\r\n"
                                         "[Other]\r\n"
                                         "cbSMSfw = 7 \r\n"
                                         "Foreign=\"quoted\"\r\n"
                                         "\r\n"
                                         "[Settings]\r\n"
                                         "editphonenumber1=+3620\r\n"
                                         "; keep me\r\n"
                                         "Unknown=kept\r\n"
                                         "garbage line\r\n"
                                         "cbSMSfw=1\r\n"
                                         "\r\n"
                                         "\r\n"
                                         "[Tail]\r\n"
                                         "z=\xB0\r\n"
                                         "\r\n"
                                         "[Extra]\r\n"
                                         "k=v\r\n"));
}

void TestIniFile::newKeyPlacement_data() {
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("after");

    QTest::newRow("empty file") << QByteArray("") << QByteArray("[Settings]\r\nk=v\r\n");
    QTest::newRow("new section after text")
        << QByteArray("[A]\r\na=1\r\n") << QByteArray("[A]\r\na=1\r\n\r\n[Settings]\r\nk=v\r\n");
    QTest::newRow("new section after blank line")
        << QByteArray("[A]\r\na=1\r\n\r\n") << QByteArray("[A]\r\na=1\r\n\r\n[Settings]\r\nk=v\r\n");
    QTest::newRow("new section, blanks only in file")
        << QByteArray("  \r\n") << QByteArray("  \r\n[Settings]\r\nk=v\r\n");
    QTest::newRow("empty section") << QByteArray("[Settings]\r\n\r\n[B]\r\n")
                                   << QByteArray("[Settings]\r\nk=v\r\n\r\n[B]\r\n");
    QTest::newRow("before blank lines of the section")
        << QByteArray("[Settings]\r\na=1\r\n\r\n \r\n[B]\r\nb=2\r\n")
        << QByteArray("[Settings]\r\na=1\r\nk=v\r\n\r\n \r\n[B]\r\nb=2\r\n");
    QTest::newRow("after a comment that ends the section") << QByteArray("[Settings]\r\na=1\r\n;end\r\n[B]\r\n")
                                                           << QByteArray("[Settings]\r\na=1\r\n;end\r\nk=v\r\n[B]\r\n");
    QTest::newRow("last section, no final line end")
        << QByteArray("[B]\r\nb=2\r\n[Settings]\r\na=1") << QByteArray("[B]\r\nb=2\r\n[Settings]\r\na=1\r\nk=v\r\n");
    QTest::newRow("section header with comment")
        << QByteArray("[settings] ; mine\r\n") << QByteArray("[settings] ; mine\r\nk=v\r\n");
}

void TestIniFile::newKeyPlacement() {
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);
    const QString path = file("place.ini");
    QFile::remove(path);
    if (!before.isEmpty()) putFile(path, before);
    IniFile ini(path);
    ini.WriteString("Settings", "k", "v");
    QVERIFY(ini.UpdateFile());
    QCOMPARE(fileBytes(path), after);
}

void TestIniFile::eightBitBytesSurvive() {
    const QString path = file("cp1250.ini");
    const QByteArray value(
        "25\xB0"
        "C \xF5r\xE9s \x80\xFF");
    putFile(path, "[Settings]\r\nforeign=\xF5\xB0\r\n");
    {
        IniFile ini(path);
        ini.WriteString("Settings", "EditSMS1", value);
        ini.WriteString("\xC1llapot", "\xE9rt\xE9k", "\xB0");
        QCOMPARE(ini.ReadString("Settings", "EditSMS1", ""), value);
        QVERIFY(ini.UpdateFile());
    }
    QCOMPARE(fileBytes(path), QByteArray("[Settings]\r\nforeign=\xF5\xB0\r\nEditSMS1=") + value +
                                  "\r\n\r\n[\xC1llapot]\r\n\xE9rt\xE9k=\xB0\r\n");
    IniFile again(path);
    QCOMPARE(again.ReadString("Settings", "EditSMS1", ""), value);
    QCOMPARE(again.ReadString("Settings", "foreign", ""), QByteArray("\xF5\xB0"));
    QCOMPARE(again.ReadString("\xC1LLAPOT", "\xE9RT\xE9K", ""), QByteArray("\xB0"));
}

void TestIniFile::byteOrderMarkIsSkippedAndKept() {
    // A file saved with a UTF-8 byte-order mark: the first line is still the
    // section header, and the mark stays in front when the file is updated.
    const QByteArray bom = "\xEF\xBB\xBF";
    const QString path = file("bom.ini");
    putFile(path, bom + "[Settings]\r\ncbSMSfw=1\r\nEditSMS1=x\r\n");
    IniFile ini(path);
    QCOMPARE(ini.ReadString("Settings", "cbSMSfw", "d"), QByteArray("1"));
    ini.WriteString("Settings", "cbSMSfw", "0");
    QVERIFY(ini.UpdateFile());
    QCOMPARE(fileBytes(path), bom + "[Settings]\r\ncbSMSfw=0\r\nEditSMS1=x\r\n");

    // Nothing but the mark: the file is empty, so a new section needs no blank
    // line before it.
    const QString bare = file("bombare.ini");
    putFile(bare, bom);
    IniFile empty(bare);
    empty.WriteString("Settings", "k", "v");
    QVERIFY(empty.UpdateFile());
    QCOMPARE(fileBytes(bare), bom + "[Settings]\r\nk=v\r\n");
}

void TestIniFile::lineBreakInValueCannotAddLines() {
    const QString path = file("breaks.ini");
    IniFile ini(path);
    ini.WriteString("Settings", "a", "first\r\nInjected=1\r\n[Evil]\r\nx=1");
    ini.WriteString("Settings", "b", "one\ntwo");
    ini.WriteString("Settings", "c", "cr\rrest");
    ini.WriteString("Settings", "d", QByteArray("nul\0rest", 8));
    ini.WriteString("Settings", "e", "\nall gone");
    QCOMPARE(ini.ReadString("Settings", "a", ""), QByteArray("first"));
    QVERIFY(ini.UpdateFile());

    QCOMPARE(fileBytes(path), QByteArray("[Settings]\r\na=first\r\nb=one\r\nc=cr\r\nd=nul\r\ne=\r\n"));
    IniFile again(path);
    QCOMPARE(again.ReadString("Settings", "Injected", "none"), QByteArray("none"));
    QCOMPARE(again.ReadString("Evil", "x", "none"), QByteArray("none"));
    QCOMPARE(again.ReadString("Settings", "e", "none"), QByteArray(""));
}

void TestIniFile::refusedNamesFailTheUpdate() {
    const QList<QPair<QByteArray, QByteArray>> bad = {
        {"Settings", "a=b"}, {"Settings", ""},   {"Settings", " k"}, {"Settings", "k\r\nx"}, {"Settings", "[k]"},
        {"Settings", ";k"},  {"Set]tings", "k"}, {"", "k"},          {"Settings ", "k"},     {"Sett\ning", "k"},
    };
    const QString path = file("names.ini");
    const QByteArray before = "[Settings]\r\nk=1\r\n";
    for (const auto& names : bad) {
        putFile(path, before);
        IniFile ini(path);
        ini.WriteString("Settings", "k", "2");
        ini.WriteString(names.first, names.second, "v");
        QString error;
        QVERIFY2(!ini.UpdateFile(&error), names.first + " / " + names.second);
        QVERIFY(!error.isEmpty());
        QCOMPARE(fileBytes(path), before);
    }
}

void TestIniFile::unwritableDirectoryKeepsOldFile() {
    const QString dir = file("locked");
    QVERIFY(QDir().mkpath(dir));
    const QString path = dir + "/settings.ini";
    const QByteArray before = "[Settings]\r\ncbSMSfw=1\r\n";
    putFile(path, before);
    QVERIFY(QFile::setPermissions(dir, QFile::ReadOwner | QFile::ExeOwner));
    struct Unlock {
        QString dir;
        ~Unlock() { QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner); }
    } unlock{dir};
    if (permissionsIgnored(dir)) QSKIP("running with root rights: directory permissions are not enforced");

    IniFile ini(path);
    ini.WriteString("Settings", "cbSMSfw", "0");
    ini.WriteString("Settings", "EditPhoneNumber1", "+3630");
    QString error;
    QVERIFY(!ini.UpdateFile(&error));
    QVERIFY(!error.isEmpty());
    QCOMPARE(fileBytes(path), before);
    QCOMPARE(entries(dir), QStringList{"settings.ini"});
}

void TestIniFile::tooLongNameKeepsOldFile() {
    // The file fits the name limit but a temporary name beside it does not:
    // the new content cannot be written and the old file must stay whole.
    const QString dir = file("longname");
    QVERIFY(QDir().mkpath(dir));
    const QString path = dir + "/" + QString(250, 'n') + ".ini";   // 254 characters
    const QByteArray before = "[Settings]\r\ncbSMSfw=1\r\n[Other]\r\nx=y\r\n";
    putFile(path, before);

    IniFile ini(path);
    QCOMPARE(ini.ReadString("Settings", "cbSMSfw", ""), QByteArray("1"));
    ini.WriteString("Settings", "cbSMSfw", "0");
    QString error;
    QVERIFY(!ini.UpdateFile(&error));
    QVERIFY(!error.isEmpty());
    QCOMPARE(fileBytes(path), before);
    QCOMPARE(entries(dir).size(), 1);
}

void TestIniFile::readOnlyFileIsNotReplaced() {
    const QString dir = file("ro");
    QVERIFY(QDir().mkpath(dir));
    const QString path = dir + "/settings.ini";
    const QByteArray before = "[Settings]\r\ncbSMSfw=1\r\n";
    putFile(path, before);
    QVERIFY(QFile::setPermissions(path, QFile::ReadOwner));
    if (permissionsIgnored(dir) && QFile(path).open(QIODevice::WriteOnly | QIODevice::Append))
        QSKIP("running with root rights: file permissions are not enforced");

    IniFile ini(path);
    ini.WriteString("Settings", "cbSMSfw", "0");
    QString error;
    QVERIFY(!ini.UpdateFile(&error));
    QVERIFY(!error.isEmpty());
    QCOMPARE(fileBytes(path), before);
    QCOMPARE(entries(dir), QStringList{"settings.ini"});
}

void TestIniFile::directoryAsTargetFails() {
    const QString path = file("folder.ini");
    QVERIFY(QDir().mkpath(path + "/inside"));
    IniFile ini(path);
    QCOMPARE(ini.ReadString("Settings", "k", "d"), QByteArray("d"));
    ini.WriteString("Settings", "k", "v");
    QString error;
    QVERIFY(!ini.UpdateFile(&error));
    QVERIFY(!error.isEmpty());
    QVERIFY(QFileInfo(path).isDir());
    QCOMPARE(entries(path), QStringList{"inside"});
    QCOMPARE(entries(m_dir.path()).filter("folder"), QStringList{"folder.ini"});

    // A directory that does not exist.
    IniFile nowhere(file("no/such/dir/x.ini"));
    nowhere.WriteString("Settings", "k", "v");
    QVERIFY(!nowhere.UpdateFile(&error));
    QVERIFY(!QFileInfo::exists(file("no")));
}

void TestIniFile::fileSizeLimitKeepsOldFile_data() {
    QTest::addColumn<int>("keys");
    // Below and above the 16 KiB a Qt file device buffers before it writes.
    QTest::newRow("3 KiB") << 50;
    QTest::newRow("32 KiB") << 500;
}

void TestIniFile::fileSizeLimitKeepsOldFile() {
#ifdef _WIN32
    QSKIP("a file size limit is a POSIX resource limit");
#else
    // The new content cannot be written in full (a file-size limit here, a
    // full disk in the field): the save must fail and the old file stay whole.
    QFETCH(int, keys);
    const QString dir = file(QStringLiteral("fsize%1").arg(keys));
    QVERIFY(QDir().mkpath(dir));
    const QString path = dir + "/settings.ini";
    const QByteArray before = "[Settings]\r\ncbSMSfw=1\r\n[Other]\r\nx=y\r\n";
    putFile(path, before);

    IniFile ini(path);
    for (int i = 0; i < keys; ++i)
        ini.WriteString("Settings", "EditSMS" + QByteArray::number(i), QByteArray(50, 'a' + i % 26));

    // Files this process writes may not grow past 1 KiB, and going past the
    // limit gives an error instead of the signal. Both are put back before
    // anything is checked.
    bool saved = true;
    QString error;
    {
        rlimit old{};
        QVERIFY(getrlimit(RLIMIT_FSIZE, &old) == 0);
        rlimit small = old;
        small.rlim_cur = std::min<rlim_t>(1024, old.rlim_max);
        struct Restore {
            rlimit limit;
            void (*handler)(int);
            ~Restore() {
                setrlimit(RLIMIT_FSIZE, &limit);
                std::signal(SIGXFSZ, handler);
            }
        } restore{old, std::signal(SIGXFSZ, SIG_IGN)};
        QVERIFY(setrlimit(RLIMIT_FSIZE, &small) == 0);
        saved = ini.UpdateFile(&error);
    }
    QVERIFY(!saved);
    QVERIFY2(error.contains(QString::fromLocal8Bit(std::strerror(EFBIG))), qPrintable(error));
    QCOMPARE(fileBytes(path), before);
    QCOMPARE(entries(dir), QStringList{"settings.ini"});
#endif
}

void TestIniFile::fifoIsRefusedWithoutBlocking() {
#ifdef _WIN32
    QSKIP("FIFOs are POSIX");
#else
    const QString path = file("pipe.ini");
    QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
    // Read on a thread of its own: a read that waits for a writer is found
    // out (the limit is far above what a look at the file takes), then given
    // an end so that the thread can be joined.
    std::mutex m;
    std::condition_variable cv;
    bool finished = false, readable = true;
    IniFile::Unreadable why = IniFile::Unreadable::No;
    QString error;
    std::thread reader([&] {
        const IniFile ini(path);
        std::lock_guard<std::mutex> g(m);
        readable = ini.Readable();
        why = ini.Why();
        error = ini.Error();
        finished = true;
        cv.notify_all();
    });
    bool inTime;
    {
        std::unique_lock<std::mutex> lk(m);
        inTime = cv.wait_for(lk, std::chrono::seconds(20), [&] { return finished; });
    }
    if (!inTime) ::close(::open(QFile::encodeName(path).constData(), O_WRONLY | O_NONBLOCK));   // end of file
    reader.join();
    QVERIFY2(inTime, "the FIFO was opened and waited on");
    QVERIFY(!readable);
    QCOMPARE(why, IniFile::Unreadable::NotRegularFile);
    QVERIFY2(error.contains("FIFO"), qPrintable(error));

    // Nothing is written into it or put in its place.
    IniFile ini(path);
    ini.WriteString("Settings", "k", "v");
    QString updateError;
    QVERIFY(!ini.UpdateFile(&updateError));
    QVERIFY2(updateError.contains("not a regular file"), qPrintable(updateError));
    struct stat st;
    QVERIFY(::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISFIFO(st.st_mode));
    const QStringList all = QDir(m_dir.path()).entryList(QDir::AllEntries | QDir::System | QDir::Hidden);
    QCOMPARE(all.filter("pipe"), QStringList{"pipe.ini"});   // no temporary file beside it
#endif
}

// The size limit is the same for reading and writing: a file UpdateFile would
// make larger is not written, and a file larger than it is not read.
void TestIniFile::whatUpdateWritesReadsBack() {
    const QString path = file("large.ini");
    const QByteArray limit = QByteArray::number(IniFile::kMaxFileSize);
    // An extra section that leaves room for less than 205 entries.
    const QByteArray before =
        "[Settings]\r\nk0=1\r\n[Extra]\r\nblob=" + QByteArray(int(IniFile::kMaxFileSize) - 1000, 'x') + "\r\n";
    putFile(path, before);
    IniFile ini(path);
    QVERIFY(ini.Readable());
    for (int i = 0; i < 205; ++i) ini.WriteString("Settings", "k" + QByteArray::number(i), "value");
    QVERIFY(ini.Data().size() > IniFile::kMaxFileSize);
    QString error;
    QVERIFY(!ini.UpdateFile(&error));
    QVERIFY2(error.contains(QByteArray::number(ini.Data().size())) && error.contains(limit) && error.contains("1 MiB"),
             qPrintable(error));
    QCOMPARE(fileBytes(path), before);

    // A few entries fit, and read back.
    IniFile some(path);
    for (int i = 0; i < 10; ++i) some.WriteString("Settings", "k" + QByteArray::number(i), "value");
    QVERIFY(some.UpdateFile(&error));
    const IniFile back(path);
    QVERIFY(back.Readable());
    QCOMPARE(back.ReadString("Settings", "k9", ""), QByteArray("value"));

    // One byte over the limit is not read, and says its size and the limit.
    putFile(path, QByteArray(int(IniFile::kMaxFileSize) + 1, ';'));
    const IniFile over(path);
    QVERIFY(!over.Readable());
    QCOMPARE(over.Why(), IniFile::Unreadable::TooLarge);
    QCOMPARE(over.SizeOnDisk(), IniFile::kMaxFileSize + 1);
    QVERIFY2(over.Error().contains(QByteArray::number(IniFile::kMaxFileSize + 1)) && over.Error().contains(limit),
             qPrintable(over.Error()));
}

QTEST_GUILESS_MAIN(TestIniFile)
#include "test_inifile.moc"
