// Language manager and translation tables: table shape and encoding, the walk
// over the window's controls, caption writing by control kind, language codes,
// the stored language and a failing store.
#include "core/text/Codec.h"
#include "ui/lang/LangMan.h"
#include "ui/lang/LangTables.h"
#include "ui/widgets/Controls.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSet>
#include <QSettings>
#include <QSignalSpy>
#include <QSlider>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <memory>

using lang::Language;

namespace {

template <class T>
T* add(QWidget* parent, const char* name, const QString& caption = QString()) {
    auto* w = new T(parent);
    w->setObjectName(QLatin1String(name));
    if constexpr (std::is_base_of_v<QAbstractButton, T> || std::is_same_v<T, QLabel> || std::is_same_v<T, QLineEdit>)
        w->setText(caption);
    else if constexpr (std::is_base_of_v<QGroupBox, T>)
        w->setTitle(caption);
    return w;
}

// A cut-down main window: the page control with its keyed and unkeyed pages,
// and one control of each kind the language manager has to tell apart. The
// design-time captions are the Hungarian-ish ones of the form.
struct TestWindow {
    QWidget window;
    QTabWidget* pages;
    QWidget* tsSettings;
    QWidget* tsStatus;
    QWidget* tsLog;
    QWidget* tsVolSettings;
    QGroupBox* gbTemp;
    QSlider* tbMinTemp;
    QSlider* tbMaxTemp;
    QLabel* lbMinTemp;
    QLabel* lbMinCelsius;
    QLabel* lbMaxCelsius;
    QLabel* lbCent1;
    QLabel* lbCent2;
    QLabel* lbEvents;
    QPushButton* insideLabel;
    QComboBox* cmbACK1;
    QRadioButton* rbRelay1TempIn;
    QCheckBox* cbSMSfw;
    QPushButton* btnRead;
    QPushButton* btSetVols;
    RadioGroup* gbRelay1;
    QLineEdit* edKeyed;
    QToolButton* speedButton;

    TestWindow() {
        pages = add<QTabWidget>(&window, "PageControl1");
        tsSettings = new QWidget;
        tsSettings->setObjectName("tsSettings");
        tsStatus = new QWidget;
        tsStatus->setObjectName("tsStatus");
        tsLog = new QWidget;
        tsLog->setObjectName("tsLog");
        tsVolSettings = new QWidget;
        tsVolSettings->setObjectName("tsVolSettings");
        pages->addTab(tsSettings, "Beállítások");
        pages->addTab(tsStatus, "Státusz");
        pages->addTab(tsLog, "Napló");
        pages->addTab(tsVolSettings, "Volumes");
        pages->setTabVisible(2, false);

        gbTemp = add<QGroupBox>(tsSettings, "gbTemp", " Hőmérséklet ");
        tbMinTemp = add<QSlider>(gbTemp, "tbMinTemp");
        tbMaxTemp = add<QSlider>(gbTemp, "tbMaxTemp");
        for (QSlider* bar : {tbMinTemp, tbMaxTemp}) bar->setRange(-20, 60);
        tbMinTemp->setValue(36);
        tbMaxTemp->setValue(50);
        lbMinTemp = add<QLabel>(gbTemp, "lbMinTemp", "Min. hőmérséklet:");
        lbMinCelsius = add<QLabel>(gbTemp, "lbMinCelsius", "0 °C");
        lbMaxCelsius = add<QLabel>(gbTemp, "lbMaxCelsius", "40 °C");
        lbCent1 = add<QLabel>(tsSettings, "lbCent1", "Táv");
        lbCent2 = add<QLabel>(tsSettings, "lbCent2", "felügy.");
        lbEvents = add<QLabel>(tsSettings, "lbEvents", "Események");
        insideLabel = add<QPushButton>(lbEvents, "btTestReportNow", "design");
        cmbACK1 = add<QComboBox>(tsSettings, "cmbACK1");
        cmbACK1->addItems({"nincs nyugta", "nyugta"});
        rbRelay1TempIn = add<QRadioButton>(tsSettings, "rbRelay1TempIn", "design");
        cbSMSfw = add<QCheckBox>(tsSettings, "cbSMSfw", "design");
        btnRead = add<QPushButton>(tsSettings, "btnRead", "Olvasás");
        gbRelay1 = add<RadioGroup>(tsSettings, "gbRelay1", "radio group");
        edKeyed = add<QLineEdit>(tsSettings, "txtOn", "typed");
        btSetVols = add<QPushButton>(tsVolSettings, "btSetVols", "Set");
        speedButton = add<QToolButton>(&window, "lbModemdetails", "EN");
    }

    // What the window wires into the language manager.
    void formatTempLabels() {
        lbMinCelsius->setText(QString::number(tbMinTemp->value()) + QChar(0xB0) + "C");
        lbMaxCelsius->setText(QString::number(tbMaxTemp->value()) + QChar(0xB0) + "C");
    }
};

struct Fixture {
    QTemporaryDir dir;
    std::unique_ptr<QSettings> store;
    TestWindow w;
    std::unique_ptr<LangMan> lm;
    QStringList errors;
    int formatCalls = 0;

    Fixture() {
        store = std::make_unique<QSettings>(dir.filePath("kestrum.ini"), QSettings::IniFormat);
        lm = std::make_unique<LangMan>(&w.window, store.get());
        lm->showError = [this](const QString& m) { errors << m; };
        lm->formatTempLabels = [this] {
            ++formatCalls;
            w.formatTempLabels();
        };
    }
};

QList<QByteArray> keysOf(Language language) {
    QList<QByteArray> keys;
    for (const lang::Row& row : lang::table(language)) keys << row.key;
    return keys;
}

}   // namespace

class TestLangMan : public QObject {
    Q_OBJECT
private slots:
    void tablesShareOneKeyOrder();
    void textsSurviveWindows1250();
    void characteristicRows_data();
    void characteristicRows();
    void twentyRowsReadTheSameEverywhere();
    void walkOrder();
    void deletedControlLeavesTheList();
    void firstStartIsEnglish();
    void languageCode_data();
    void languageCode();
    void captionsByControlKind();
    void comboKeepsSelectionAcrossSwitches();
    void tempLabelsFormattedAfterEveryApply();
    void lookupText();
    void selectLanguageIsStored();
    void storedValueThatIsNoString();
#ifdef Q_OS_WIN
    void theRegistryKeepsTheLanguage();
#endif
    void unwritableStoreReportsAndKeepsLanguage();
    void messagesInEveryLanguage();
    void qtDialogsFollowTheLanguage();
};

void TestLangMan::tablesShareOneKeyOrder() {
    QCOMPARE(lang::table(Language::English).size(), 175);
    QCOMPARE(lang::table(Language::Hungarian).size(), 176);
    QCOMPARE(lang::table(Language::Romanian).size(), 175);
    for (Language l : {Language::English, Language::Hungarian, Language::Romanian})
        QCOMPARE(lang::table(l).size(), lang::sourceTable(l).count);

    const QList<QByteArray> en = keysOf(Language::English);
    QCOMPARE(keysOf(Language::Romanian), en);
    QCOMPARE(en.first(), QByteArray("tsSettings"));
    QCOMPARE(en.last(), QByteArray("btCSDDisconnect"));
    QCOMPARE(QSet<QByteArray>(en.begin(), en.end()).size(), en.size());   // no key twice

    // Hungarian: the same keys with a second tsLog row right after the first.
    QList<QByteArray> hu = keysOf(Language::Hungarian);
    const int log = int(en.indexOf("tsLog"));
    QVERIFY(log > 0);
    QCOMPARE(hu.at(log), QByteArray("tsLog"));
    QCOMPARE(hu.at(log + 1), QByteArray("tsLog"));
    hu.removeAt(log + 1);
    QCOMPARE(hu, en);
}

void TestLangMan::textsSurviveWindows1250() {
    bool hasO = false, hasU = false;
    for (Language l : {Language::English, Language::Hungarian, Language::Romanian}) {
        const lang::SourceTable source = lang::sourceTable(l);
        const lang::Table& table = lang::table(l);
        for (int i = 0; i < source.count; ++i) {
            const QString written = QString::fromUtf8(source.rows[i].text);
            QVERIFY2(!written.contains('?'), source.rows[i].key);
            QVERIFY2(!written.contains('\n'), source.rows[i].key);
            QCOMPARE(text::fromCp1250(table.at(i).text), written);   // nothing lost to '?'
            if (l == Language::Hungarian) {
                hasO = hasO || written.contains(QChar(0x151));
                hasU = hasU || written.contains(QChar(0x171));
                // The Latin-1 look-alikes are not Hungarian letters.
                QVERIFY2(!written.contains(QChar(0xF5)) && !written.contains(QChar(0xFB)), source.rows[i].key);
            }
            if (l == Language::Romanian) {
                for (char c : table.at(i).text) QVERIFY2(uchar(c) < 0x80 || c == text::kDegree, source.rows[i].key);
            }
        }
    }
    QVERIFY(hasO);
    QVERIFY(hasU);

    // Golden bytes: o with double acute is 0xF5 in the code page, the degree sign 0xB0.
    Fixture f;
    f.lm->ApplyLanguage("hu");
    QCOMPARE(*f.lm->LookupText("gbTemp"), QByteArray(" H\xF5m\xE9rs\xE9klet "));
    QCOMPARE(*f.lm->LookupText("lbMinCelsius"), QByteArray("0 \xB0"
                                                           "C"));
    QCOMPARE(*f.lm->LookupText("cmbACK1"), QByteArray("nincs nyugta, # = Stop\r* = nyugta, # = Stop"));
}

void TestLangMan::characteristicRows_data() {
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QString>("en");
    QTest::addColumn<QString>("hu");
    QTest::addColumn<QString>("ro");
    auto row = [](const char* key, const QString& en, const QString& hu, const QString& ro) {
        QTest::newRow(key) << QByteArray(key) << en << hu << ro;
    };
    row("tsSettings", "Settings", "Beállítások", "Setari");
    row("tsStatus", "Status", "Státusz", "Monitorizare");
    row("tsLog", "Log", "Log", "Log");
    for (const char* k : {"cmbACK1", "cmbACK2", "cmbACK3", "cmbACK4"})
        row(k, "no ack., # = Stop\r* = ack, # = Stop", "nincs nyugta, # = Stop\r* = nyugta, # = Stop",
            "fara confirmare, # = oprire\r* = confirmare, # = oprire");
    row("txtActive", "Active", "Aktív", "Active");
    row("txtInactive", "Inactive", "Inaktív", "Inactive");
    row("txtOn", "On", "Be", "On");
    row("txtOff", "Off", "Ki", "Off");
    row("rbepw", "Login", "Bejelentkezés", "Autentificare");
    row("rbcpw", "Change password", "Jelszó megváltoztatása", "Modificare parola");
    row("lbLoginpw", "Password:", "Jelszó:", "Parola:");
    row("lbpwcorig", "Original password:", "Eredeti jelszó:", "Parola originala:");
    row("lbpwcnew1", "New password:", "Új jelszó:", "Parola noua:");
    row("lbpwcnew2", "Confirm new password:", "Új jelszó megerősítés:", "Confirmare parola noua:");
    row("lbCent1", "Mon.", "", "");
    row("lbCent2", "stat.", "Távf.", "Disp.");
    row("rlbShortAct", "Normally open", "NO (rövidzárra aktív)", "NO (normal deschis)");
    row("rlbOpenAct", "Normally closed", "NC (szakadásra aktív)", "NC (normal inchis)");
    row("gbTemp", " Temperature ", " Hőmérséklet ", " Temperatura ");
    row("lbEvent1", "01.  IN1 Alarm", "01.  IN1 Riasztás", "01.  IN1 Alarma");
    for (const char* k : {"lbMinCelsius", "lbRelay1MinCelsius", "lbRelay2MinCelsius"}) row(k, "0 °C", "0 °C", "0 °C");
    for (const char* k : {"lbMaxCelsius", "lbRelay1MaxCelsius", "lbRelay2MaxCelsius"})
        row(k, "40 °C", "40 °C", "40 °C");
    row("lbTPhoneSu", "Superuser", "Superuser", "Superuser");
}

void TestLangMan::characteristicRows() {
    QFETCH(QByteArray, key);
    QFETCH(QString, en);
    QFETCH(QString, hu);
    QFETCH(QString, ro);
    Fixture f;
    f.lm->ApplyLanguage("en");
    QCOMPARE(f.lm->Text(key), en);
    f.lm->ApplyLanguage("hu");
    QCOMPARE(f.lm->Text(key), hu);
    f.lm->ApplyLanguage("ro");
    QCOMPARE(f.lm->Text(key), ro);
    QVERIFY(f.lm->LookupText(key).has_value());   // an empty text is still a row
}

void TestLangMan::twentyRowsReadTheSameEverywhere() {
    const lang::Table& en = lang::table(Language::English);
    const lang::Table& ro = lang::table(Language::Romanian);
    Fixture f;
    f.lm->ApplyLanguage("hu");
    QSet<QByteArray> same;
    for (int i = 0; i < en.size(); ++i) {
        QCOMPARE(ro.at(i).key, en.at(i).key);
        if (en.at(i).text == ro.at(i).text && f.lm->LookupText(en.at(i).key) == en.at(i).text) same << en.at(i).key;
    }
    const QSet<QByteArray> expected{"lbTPhoneSu",
                                    "lbT1",
                                    "lbT2",
                                    "lbT3",
                                    "lbT4",
                                    "lbS1",
                                    "lbS2",
                                    "lbS3",
                                    "lbS4",
                                    "lbIN1",
                                    "lbIN2",
                                    "lbInputsIN1",
                                    "lbInputsIN2",
                                    "tsLog",
                                    "lbMinCelsius",
                                    "lbMaxCelsius",
                                    "lbRelay1MinCelsius",
                                    "lbRelay1MaxCelsius",
                                    "lbRelay2MinCelsius",
                                    "lbRelay2MaxCelsius"};
    QCOMPARE(same, expected);
    // English captions that stand with their controls on the Settings page.
    f.lm->ApplyLanguage("en");
    QCOMPARE(f.lm->Text("cbSMSfw"), QString("Forward incomming SMS to phone number 1"));
    QCOMPARE(f.lm->Text("lbEventTEMP_S"), QString("09.  Temperature sensor error"));
    QCOMPARE(f.lm->Text("lbEvent9"), QString("11.  Battery low"));
    QCOMPARE(f.lm->Text("lbCarAlarm"),
             QString("Car alarm adaptation  (Activation on impulses received in a regular rhythm)"));
    QCOMPARE(f.lm->Text("gbRelay2AlarmStopEvent"), QString(" Deactivation event "));
}

void TestLangMan::walkOrder() {
    QWidget window;
    auto* a = add<QGroupBox>(&window, "A");
    auto* label = add<QLabel>(a, "L");
    add<QPushButton>(label, "insideLabel");   // a label is never entered
    auto* b = add<QPushButton>(a, "B");
    new QTimer(&window);   // not a widget
    auto* frame = add<QFrame>(&window, "F");
    auto* inner = add<QFrame>(frame, "G");
    auto* c = add<QCheckBox>(inner, "C");
    auto* d = add<QLabel>(&window, "D");

    QTemporaryDir dir;
    QSettings store(dir.filePath("s.ini"), QSettings::IniFormat);
    LangMan lm(&window, &store);
    const QList<QWidget*> expected{a, label, b, frame, inner, c, d};
    QCOMPARE(lm.ControlList(), expected);
    QCOMPARE(lm.RowCount(), 0);   // no table before the first apply

    // The full test window: parents precede their children, each control once,
    // the window itself and the label's child absent.
    Fixture f;
    const QList<QWidget*>& list = f.lm->ControlList();
    QVERIFY(!list.contains(&f.w.window));
    QVERIFY(!list.contains(f.w.insideLabel));
    QCOMPARE(QSet<QWidget*>(list.begin(), list.end()).size(), list.size());
    for (int i = 0; i < list.size(); ++i) {
        QWidget* parent = list.at(i)->parentWidget();
        if (parent != &f.w.window) QVERIFY(list.indexOf(parent) >= 0 && list.indexOf(parent) < i);
    }
    for (QWidget* w : {static_cast<QWidget*>(f.w.tsSettings), static_cast<QWidget*>(f.w.gbTemp),
                       static_cast<QWidget*>(f.w.lbMinCelsius), static_cast<QWidget*>(f.w.cmbACK1),
                       static_cast<QWidget*>(f.w.gbRelay1), static_cast<QWidget*>(f.w.btSetVols)})
        QVERIFY(list.contains(w));
}

void TestLangMan::deletedControlLeavesTheList() {
    Fixture f;
    QWidget* gone = f.w.cmbACK1;
    const int before = int(f.lm->ControlList().size());
    delete f.w.cmbACK1;
    QVERIFY(!f.lm->ControlList().contains(gone));
    QVERIFY(f.lm->ControlList().size() < before);
    f.lm->ApplyLanguage("ro");   // must not touch the deleted control
    QCOMPARE(f.w.lbCent2->text(), QString("Disp."));
}

void TestLangMan::firstStartIsEnglish() {
    Fixture f;
    QCOMPARE(f.lm->StoredLanguage(), QByteArray());
    f.lm->ApplyLanguage(f.lm->StoredLanguage());
    QCOMPARE(f.lm->RowCount(), 175);
    QCOMPARE(f.w.lbCent1->text(), QString("Mon."));
    QCOMPARE(f.w.lbCent2->text(), QString("stat."));
    QCOMPARE(f.w.pages->tabText(0), QString("Settings"));
    QCOMPARE(f.w.gbTemp->title(), QString(" Temperature "));
    QCOMPARE(f.w.cmbACK1->itemText(0), QString("no ack., # = Stop"));
    QVERIFY(f.errors.isEmpty());
}

void TestLangMan::languageCode_data() {
    QTest::addColumn<QByteArray>("code");
    QTest::addColumn<int>("rows");
    QTest::addColumn<QString>("cent2");
    const QString en = "stat.", hu = "Távf.", ro = "Disp.";
    QTest::newRow("empty") << QByteArray() << 175 << en;
    QTest::newRow("en") << QByteArray("en") << 175 << en;
    QTest::newRow("hu") << QByteArray("hu") << 176 << hu;
    QTest::newRow("HU") << QByteArray("HU") << 176 << hu;
    QTest::newRow("Hu") << QByteArray("Hu") << 176 << hu;
    QTest::newRow("0") << QByteArray("0") << 176 << hu;
    QTest::newRow("ro") << QByteArray("ro") << 175 << ro;
    QTest::newRow("RO") << QByteArray("RO") << 175 << ro;
    QTest::newRow("de") << QByteArray("de") << 175 << en;
    QTest::newRow("hu+blank") << QByteArray("hu ") << 175 << en;
    QTest::newRow("blank+hu") << QByteArray(" hu") << 175 << en;
    QTest::newRow("00") << QByteArray("00") << 175 << en;
    QTest::newRow("1") << QByteArray("1") << 175 << en;
}

void TestLangMan::languageCode() {
    QFETCH(QByteArray, code);
    QFETCH(int, rows);
    QFETCH(QString, cent2);
    Fixture f;
    f.lm->ApplyLanguage(code);
    QCOMPARE(f.lm->RowCount(), rows);
    QCOMPARE(f.w.lbCent2->text(), cent2);
    QVERIFY(f.errors.isEmpty());   // an unknown code is no error
}

void TestLangMan::captionsByControlKind() {
    Fixture f;
    f.lm->ApplyLanguage("hu");
    QCOMPARE(f.w.pages->tabText(0), QString("Beállítások"));
    QCOMPARE(f.w.pages->tabText(1), QString("Státusz"));
    QCOMPARE(f.w.pages->tabText(2), QString("Log"));   // the first tsLog row wins
    QVERIFY(!f.w.pages->isTabVisible(2));              // a caption does not show a tab
    QCOMPARE(f.w.lbCent1->text(), QString());          // an empty text is written too
    QCOMPARE(f.w.rbRelay1TempIn->text(), QString("Bekapcsolás a hőmérséklet-tartományon belül"));

    f.lm->ApplyLanguage("ro");
    QCOMPARE(f.w.pages->tabText(0), QString("Setari"));
    QCOMPARE(f.w.pages->tabText(1), QString("Monitorizare"));
    QCOMPARE(f.w.gbTemp->title(), QString(" Temperatura "));
    QCOMPARE(f.w.lbCent1->text(), QString());
    QCOMPARE(f.w.lbCent2->text(), QString("Disp."));
    QCOMPARE(f.w.lbEvents->text(), f.lm->Text("lbEvents"));
    QCOMPARE(f.w.btnRead->text(), QString("Citire"));
    QCOMPARE(f.w.cbSMSfw->text(), f.lm->Text("cbSMSfw"));
    QCOMPARE(f.w.rbRelay1TempIn->text(), QString("Activare releu in intervalul de temperatura"));
    QCOMPARE(f.w.lbMinTemp->text(), f.lm->Text("lbMinTemp"));

    // Keyed controls of other kinds keep their state; so do controls without a row.
    QCOMPARE(f.w.gbRelay1->title(), QString("radio group"));   // a group box subclass
    QCOMPARE(f.w.edKeyed->text(), QString("typed"));
    QCOMPARE(f.w.speedButton->text(), QString("EN"));
    QCOMPARE(f.w.pages->tabText(3), QString("Volumes"));
    QCOMPARE(f.w.btSetVols->text(), QString("Set"));
    QCOMPARE(f.w.insideLabel->text(), QString("design"));   // inside a label: never reached

    f.lm->ApplyLanguage("en");
    QCOMPARE(f.w.lbCent1->text(), QString("Mon."));
    QCOMPARE(f.w.pages->tabText(1), QString("Status"));
    QCOMPARE(f.w.btnRead->text(), QString("Read"));
}

void TestLangMan::comboKeepsSelectionAcrossSwitches() {
    Fixture f;
    f.w.cmbACK1->setCurrentIndex(1);
    QSignalSpy changed(f.w.cmbACK1, &QComboBox::currentIndexChanged);
    const struct {
        QByteArray code;
        QString first, second;
    } cases[] = {
        {"en", "no ack., # = Stop", "* = ack, # = Stop"},
        {"hu", "nincs nyugta, # = Stop", "* = nyugta, # = Stop"},
        {"ro", "fara confirmare, # = oprire", "* = confirmare, # = oprire"},
        {"0", "nincs nyugta, # = Stop", "* = nyugta, # = Stop"},
    };
    for (const auto& c : cases) {
        f.lm->ApplyLanguage(c.code);
        QCOMPARE(f.w.cmbACK1->count(), 2);
        QCOMPARE(f.w.cmbACK1->currentIndex(), 1);
        QCOMPARE(f.w.cmbACK1->currentText(), c.second);
        QCOMPARE(f.w.cmbACK1->itemText(0), c.first);
    }
    QCOMPARE(changed.count(), 0);   // the selection never really changed

    f.w.cmbACK1->setCurrentIndex(0);
    f.lm->ApplyLanguage("en");
    QCOMPARE(f.w.cmbACK1->currentIndex(), 0);
    QCOMPARE(f.w.cmbACK1->currentText(), QString("no ack., # = Stop"));
}

void TestLangMan::tempLabelsFormattedAfterEveryApply() {
    Fixture f;
    QStringList cent1AtFormat;
    f.lm->formatTempLabels = [&] {
        ++f.formatCalls;
        cent1AtFormat << f.w.lbCent1->text();   // captions are written before
        f.w.formatTempLabels();
    };
    const QString deg = QString(QChar(0xB0)) + "C";
    int applies = 0;
    for (const char* code : {"", "hu", "ro", "en", "xx"}) {
        f.lm->ApplyLanguage(code);
        ++applies;
        QCOMPARE(f.formatCalls, applies);
        QCOMPARE(f.w.lbMinCelsius->text(), "36" + deg);   // not the table's "0 °C"
        QCOMPARE(f.w.lbMaxCelsius->text(), "50" + deg);
    }
    QCOMPARE(cent1AtFormat, QStringList({"Mon.", "", "", "Mon.", "Mon."}));

    f.w.tbMinTemp->setValue(-5);
    f.lm->SelectLanguage("hu");
    QCOMPARE(f.formatCalls, applies + 1);
    QCOMPARE(f.w.lbMinCelsius->text(), "-5" + deg);

    // Without a formatter the table's text stands; nothing breaks.
    f.lm->formatTempLabels = nullptr;
    f.lm->ApplyLanguage("en");
    QCOMPARE(f.w.lbMinCelsius->text(), QString("0 °C"));
}

void TestLangMan::lookupText() {
    Fixture f;
    QVERIFY(!f.lm->LookupText("txtOn"));   // no table yet
    QCOMPARE(f.lm->Text("txtOn"), QString());
    const struct { QByteArray code, on; } cases[] = {{"en", "On"}, {"hu", "Be"}, {"ro", "On"}};
    for (const auto& c : cases) {
        f.lm->ApplyLanguage(c.code);
        QCOMPARE(f.lm->LookupText("txtOn"), std::optional<QByteArray>(c.on));
        QVERIFY(!f.lm->LookupText("txtUnknown"));
        QVERIFY(!f.lm->LookupText("TXTON"));
        QVERIFY(!f.lm->LookupText("txtOn "));
        QVERIFY(!f.lm->LookupText("txtO"));
        QVERIFY(!f.lm->LookupText(""));
        QCOMPARE(f.lm->Text("TXTON"), QString());
    }
    f.lm->ApplyLanguage("hu");
    QCOMPARE(f.lm->LookupText("tsLog"), std::optional<QByteArray>("Log"));   // first match
    QCOMPARE(f.lm->Text("txtInactive"), QString("Inaktív"));
    QCOMPARE(f.lm->LookupText("txtInactive"), std::optional<QByteArray>("Inakt\xEDv"));
}

void TestLangMan::selectLanguageIsStored() {
    Fixture f;
    f.lm->ApplyLanguage(f.lm->StoredLanguage());
    f.lm->SelectLanguage("ro");
    QVERIFY(f.errors.isEmpty());
    QCOMPARE(f.w.lbCent2->text(), QString("Disp."));
    QCOMPARE(f.store->value(LangMan::kLanguageIdKey).toString(), QString("ro"));
    QCOMPARE(f.lm->StoredLanguage(), QByteArray("ro"));

    // The next start reads it back and comes up in Romanian.
    TestWindow next;
    LangMan again(&next.window, f.store.get());
    QCOMPARE(again.StoredLanguage(), QByteArray("ro"));
    again.ApplyLanguage(again.StoredLanguage());
    QCOMPARE(next.pages->tabText(0), QString("Setari"));

    // It is on disk, not only in memory. (Closed again at once: Windows
    // refuses to replace a file that is open.)
    QFile file(f.dir.filePath("kestrum.ini"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray content = file.readAll();
    file.close();
    QVERIFY2(content.contains("[Kestrum]") && content.contains("LanguageId=ro"), content.constData());

    // The code is stored as given; lower-casing is only for choosing the table.
    f.lm->SelectLanguage("HU");
    QCOMPARE(f.lm->StoredLanguage(), QByteArray("HU"));
    QCOMPARE(f.w.lbCent2->text(), QString("Távf."));
    QVERIFY(f.errors.isEmpty());
}

#ifdef Q_OS_WIN
// Without a store of its own the language goes to the user's registry hive,
// read back here through the key's full name, not through the same QSettings.
void TestLangMan::theRegistryKeepsTheLanguage() {
    const QString key = QStringLiteral("HKEY_CURRENT_USER\\Software\\Orvik\\Brisal\\Kestrum");
    const QVariant before = QSettings(key, QSettings::NativeFormat).value("LanguageId");
    TestWindow w;
    {
        LangMan lm(&w.window);
        QStringList errors;
        lm.showError = [&errors](const QString& m) { errors << m; };
        lm.SelectLanguage("ro");
        QVERIFY(errors.isEmpty());
    }
    QSettings raw(key, QSettings::NativeFormat);
    QCOMPARE(raw.value("LanguageId").toString(), QString("ro"));
    TestWindow next;
    LangMan again(&next.window);
    QCOMPARE(again.StoredLanguage(), QByteArray("ro"));
    if (before.isValid())
        raw.setValue("LanguageId", before);
    else
        raw.remove("LanguageId");
}
#endif

void TestLangMan::storedValueThatIsNoString() {
    Fixture f;
    f.store->setValue(LangMan::kLanguageIdKey, QStringList{"hu", "ro"});
    QCOMPARE(f.lm->StoredLanguage(), QByteArray());
    f.lm->ApplyLanguage(f.lm->StoredLanguage());
    QCOMPARE(f.w.lbCent1->text(), QString("Mon."));
}

void TestLangMan::unwritableStoreReportsAndKeepsLanguage() {
    QTemporaryDir dir;
    // A settings path below a plain file cannot be created, not even by root.
    QFile blocker(dir.filePath("blocker"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QSettings store(dir.filePath("blocker/kestrum.ini"), QSettings::IniFormat);

    TestWindow w;
    LangMan lm(&w.window, &store);
    QStringList errors;
    lm.showError = [&](const QString& m) { errors << m; };
    lm.ApplyLanguage("en");
    lm.SelectLanguage("ro");
    QCOMPARE(errors, QStringList{"Failed to set data for 'LanguageId'"});
    QCOMPARE(lm.RowCount(), 175);
    QCOMPARE(w.lbCent2->text(), QString("Disp."));
    QCOMPARE(lm.Text("txtOn"), QString("On"));
    QCOMPARE(w.pages->tabText(0), QString("Setari"));
}

void TestLangMan::messagesInEveryLanguage() {
    const QRegularExpression placeholder("%\\d");
    const auto placeholders = [&](const QString& t) {
        QStringList p;
        for (auto it = placeholder.globalMatch(t); it.hasNext();) p << it.next().captured();
        p.sort();
        return p;
    };
    for (int m = 0; m < int(lang::Msg::Count); ++m) {
        const QString en = lang::message(lang::Language::English, lang::Msg(m));
        for (const auto l : {lang::Language::Hungarian, lang::Language::Romanian}) {
            const QString t = lang::message(l, lang::Msg(m));
            QVERIFY2(!t.isEmpty() && t != en, qPrintable(en));
            QCOMPARE(placeholders(t), placeholders(en));
            QCOMPARE(text::firstUnencodable(t), -1);
        }
        // Romanian as the window's captions write it: without diacritics.
        const QString ro = lang::message(lang::Language::Romanian, lang::Msg(m));
        QVERIFY2(!ro.contains(QRegularExpression(QString::fromUtf8("[ăâîșşțţĂÂÎȘŞȚŢ]"))), qPrintable(ro));
    }
    Fixture f;
    QCOMPARE(f.lm->Message(lang::Msg::SettingsRead), QString("%1 settings read"));
    f.lm->ApplyLanguage("hu");
    QCOMPARE(f.lm->Message(lang::Msg::SettingsRead), QString::fromUtf8("%1 beállítás beolvasva"));
}

void TestLangMan::qtDialogsFollowTheLanguage() {
    // The buttons of message boxes and button boxes, and the file dialog, come from Qt.
    const auto cancel = [] {
        return QDialogButtonBox(QDialogButtonBox::Cancel).button(QDialogButtonBox::Cancel)->text();
    };
    Fixture f;
    f.lm->ApplyLanguage("en");
    QCOMPARE(cancel(), QString("Cancel"));
    QVERIFY(!f.lm->qtTranslator());
    f.lm->ApplyLanguage("hu");
    QVERIFY(f.lm->qtTranslator());
    QCOMPARE(cancel(), QString::fromUtf8("Mégse"));
    f.lm->ApplyLanguage("ro");
    QCOMPARE(cancel(), QString::fromUtf8("Anuleaza"));
    QCOMPARE(QCoreApplication::translate("QFileDialog", "All Files (*)"), QString::fromUtf8("Toate fisierele (*)"));
    QCOMPARE(QCoreApplication::translate("QPrintDialog", "Print to File (PDF)"),
             QString::fromUtf8("Tiparire in fisier (PDF)"));
    f.lm->ApplyLanguage("en");
    QVERIFY(!f.lm->qtTranslator());
    QCOMPARE(cancel(), QString("Cancel"));
    // The window's manager going leaves Qt in English.
    f.lm->ApplyLanguage("hu");
    f.lm.reset();
    QCOMPARE(cancel(), QString("Cancel"));
}

QTEST_MAIN(TestLangMan)
#include "test_langman.moc"
